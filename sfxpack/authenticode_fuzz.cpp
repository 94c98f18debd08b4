// Any bytes as the PKCS#7 of a certificate table: reading the table and sealing it must stay
// inside the file, and a seal that succeeds must give a table that reads back with its room.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "vocabulary/little_endian.h"
#include "sfxpack/authenticode.h"

namespace {

// A 32-bit PE header of 512 bytes whose security directory names a table right behind it.
sfxpack::Bytes fileAround(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t table = 0x200, tableSize = static_cast<std::uint32_t>((8 + size + 7) / 8 * 8);
  sfxpack::Bytes file(table + tableSize, 0);
  const auto put32 = [&file](std::size_t at, std::uint32_t v) { tzk::vocabulary::WriteLe32(file.data() + at, v); };
  file[0] = 'M';
  file[1] = 'Z';
  put32(0x3C, 0x80);
  std::memcpy(file.data() + 0x80, "PE\0\0\x4c\x01", 6);
  put32(0x80 + 152, table);
  put32(0x80 + 156, tableSize);
  put32(table, tableSize);
  put32(table + 4, 0x00020200);
  std::memcpy(file.data() + table + 8, data, size);
  return file;
}

// The bytes as a file to read where it lies; bytes must outlive it.
sfxpack::FileSource sourceOf(const sfxpack::Bytes& bytes) {
  return {bytes.size(), [&bytes](std::uint64_t at, void* buffer, std::size_t size) {
            if (at > bytes.size() || size > bytes.size() - at) return false;
            if (size > 0) std::memcpy(buffer, bytes.data() + at, size);
            return true;
          }};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 64 * 1024) return 0;
  const sfxpack::Bytes file = fileAround(data, size);
  const sfxpack::FileSource source = sourceOf(file);
  sfxpack::InspectCodeSignature(source);
  const auto roomy = static_cast<std::uint32_t>((file.size() + tzk::archive::kTailBlockSize + 64) / 8 * 8);
  for (std::uint32_t reserve : {sfxpack::kMinTableReserve, roomy}) {
    sfxpack::FilePatch sealing;
    std::string error;
    if (sfxpack::SealTable(source, reserve, &sealing, &error)) {
      const sfxpack::CodeSignatureReport r = sfxpack::InspectCodeSignature(sfxpack::Patched(source, std::move(sealing)));
      if (!r.tailRoom || !r.paddingOk || r.tableSize != reserve) std::abort();
    }
  }
  return 0;
}
