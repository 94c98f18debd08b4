#include "packers/file_package.h"

#include <cstring>
#include <new>

#include "packers/data_packer.h"
#include "vocabulary/little_endian.h"

namespace tzk::packers {
namespace {

constexpr std::size_t kMagicSize = 16;

struct Magic {
  const char* text;
  std::uint32_t kind;
};
// Looked up in this order.
constexpr Magic kMagics[] = {{kZlibPackageMagic, kPackerZlib}, {kLzmaPackageMagic, kPackerLzma}};
static_assert(sizeof kZlibPackageMagic == kMagicSize + 1 && sizeof kLzmaPackageMagic == kMagicSize + 1);

// A package is unpacked into one buffer of the announced size, which must stay addressable
// from a 32-bit process; larger announcements are refused before anything is allocated.
constexpr std::uint32_t kMaxUnpackedSize = vocabulary::kLargestSignedField;

// Hands the packed bytes back to the file that lent them, on every way out.
class LentBytes {
 public:
  LentBytes(CGenFile& file, std::uint8_t* bytes) : file_(file), bytes_(bytes) {}
  ~LentBytes() {
    if (bytes_ != nullptr) file_.Release(bytes_);
  }
  LentBytes(const LentBytes&) = delete;
  LentBytes& operator=(const LentBytes&) = delete;
  const std::uint8_t* get() const { return bytes_; }

 private:
  CGenFile& file_;
  std::uint8_t* bytes_;
};

void PutUint32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

Result ReadPackageHeader(CGenFile& file, std::uint32_t start, std::uint32_t length, PackageHeader* header) {
  char magic[kMagicSize] = {};
  std::int32_t count = 0;
  header->kind = 0;
  if (length >= kMagicSize && file.Seek(static_cast<std::int32_t>(start), kSeekBegin) == static_cast<std::int32_t>(start) &&
      file.Read(magic, kMagicSize, &count) && count == kMagicSize) {
    for (const Magic& known : kMagics) {
      if (std::memcmp(magic, known.text, kMagicSize) == 0) header->kind = known.kind;
    }
  }
  if (header->kind == 0) return code::kPackageCorrupt;
  if (length < kPackageHeaderSize || !ReadUint32(file, &header->unpackedSize) || !ReadUint32(file, &header->packedSize)) {
    return code::kNotEnoughMemory;
  }
  // The packed bytes must lie inside the package: a larger announcement would have a disk
  // file allocate up to 4 GiB and unpack the zeroes behind its end.
  if (header->unpackedSize > kMaxUnpackedSize || header->packedSize > length - kPackageHeaderSize) return code::kNotEnoughMemory;
  return code::kSuccess;
}

Result LoadFilePackage(CGenFile& file, std::uint32_t* outSize, std::unique_ptr<std::uint8_t[]>* outData) {
  outData->reset();
  PackageHeader header;
  const Result read = ReadPackageHeader(file, 0, file.GetSize(), &header);
  if (read != code::kSuccess) return read;
  const std::uint32_t unpackedSize = header.unpackedSize;
  const std::uint32_t packedSize = header.packedSize;
  std::unique_ptr<std::uint8_t[]> unpacked(new (std::nothrow) std::uint8_t[unpackedSize]);
  if (unpacked == nullptr) return code::kNotEnoughMemory;
  const LentBytes packed(file, file.ReadAlloc(packedSize));
  if (packed.get() == nullptr) return code::kNotEnoughMemory;
  const std::unique_ptr<DataPacker> packer = CreateDataPacker(header.kind);
  if (packer == nullptr) return code::kNotEnoughMemory;

  std::uint32_t produced = unpackedSize;
  if (packer->Decompress(packed.get(), packedSize, unpacked.get(), &produced) != 0) return code::kPackageCorrupt;
  // A stream that ends early leaves a shorter length; callers get what it held.
  *outSize = produced;
  *outData = std::move(unpacked);
  return code::kSuccess;
}

Result BuildFilePackage(std::uint32_t kind, const std::uint8_t* data, std::uint32_t size,
                        std::vector<std::uint8_t>* out) {
  if (size > kMaxUnpackedSize) return code::kInvalidParameter;
  const std::unique_ptr<DataPacker> packer = CreateDataPacker(kind);
  if (packer == nullptr) return code::kInvalidParameter;
  std::uint32_t packedSize = packer->MaxCompressedSize(size);
  try {
    out->assign(kPackageHeaderSize + std::size_t{packedSize}, 0);
  } catch (const std::bad_alloc&) {
    return code::kNotEnoughMemory;
  }
  const std::int32_t result = packer->Compress(data, size, out->data() + kPackageHeaderSize, &packedSize);
  if (result != 0) {
    out->clear();
    const bool outOfMemory = (kind == kPackerZlib && result == -4) || (kind == kPackerLzma && result == 2);
    return outOfMemory ? code::kNotEnoughMemory : code::kInternalError;
  }
  out->resize(kPackageHeaderSize + packedSize);
  WritePackageHeader(kind, size, packedSize, out->data());
  return code::kSuccess;
}

void WritePackageHeader(std::uint32_t kind, std::uint32_t unpackedSize, std::uint32_t packedSize, std::uint8_t* out) {
  std::memcpy(out, kMagics[kind == kPackerZlib ? 0 : 1].text, kMagicSize);
  PutUint32(out + kMagicSize, unpackedSize);
  PutUint32(out + kMagicSize + 4, packedSize);
}

}  // namespace tzk::packers
