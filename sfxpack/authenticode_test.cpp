#include "sfxpack/authenticode.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "sfxpack/acceptance.h"
#include "vocabulary/little_endian.h"

namespace sfxpack {
namespace {

namespace fs = std::filesystem;
using tzk::archive::kTailBlockSize;
using tzk::vocabulary::ReadLe32;

std::string fromEnv(const char* variable, const std::string& name) {
  const char* folder = std::getenv(variable);
  return std::string(folder != nullptr ? folder : std::string(variable) + " is not set") + "/" + name;
}
// Installers built with --cert (room.exe) and without (unsigned.exe); one built with --prepare
// (prepared.exe) and that one as osslsigncode signs it, not yet sealed (signed.exe).
std::string stamped(const std::string& name) { return fromEnv("SFX_STAMP_FIXTURES", name); }
std::string sealing(const std::string& name) { return fromEnv("SFX_SEAL_FIXTURES", name); }

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The file's bytes, held for the test; a source reads them in place.
FileSource sourceOf(const Bytes& bytes) {
  return {bytes.size(), [&bytes](std::uint64_t at, void* buffer, std::size_t size) {
            if (at > bytes.size() || size > bytes.size() - at) return false;
            std::memcpy(buffer, bytes.data() + at, size);
            return true;
          }};
}

Bytes readAll(const FileSource& file) {
  Bytes bytes(static_cast<std::size_t>(file.size));
  EXPECT_TRUE(file.read(0, bytes.data(), bytes.size()));
  return bytes;
}

tzk::pe::PeHeaders headersOf(const Bytes& bytes) {
  tzk::pe::PeHeaders h;
  EXPECT_TRUE(tzk::pe::ReadPeHeaders(bytes.data(), bytes.size(), &h));
  return h;
}

Bytes le32(std::uint32_t value) {
  Bytes bytes(4);
  tzk::vocabulary::WriteLe32(bytes.data(), value);
  return bytes;
}

// The PE checksum summed here on its own terms: the file as 16-bit little-endian words (an odd
// last byte padded with a zero), the checksum field as zero, carries folded back, plus the size.
std::uint32_t checksumOf(const Bytes& file) {
  const std::uint64_t field = headersOf(file).checksumOffset;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < file.size(); i += 2) {
    if (i >= field && i < field + 4) continue;
    sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + file.size());
}

std::uint32_t storedChecksum(const Bytes& file) { return ReadLe32(file.data() + headersOf(file).checksumOffset); }

// An installer built with --cert: its table is the reservation, ends the file, and holds the
// signature whose image digest holds, with the room the tail block is written into.
TEST(CodeSignature, ABuiltTableReadsBackWhole) {
  const Bytes room = readBytes(stamped("room.exe"));
  const CodeSignatureReport r = InspectCodeSignature(sourceOf(room));
  ASSERT_TRUE(r.table) << r.problem;
  EXPECT_EQ(r.tableSize, kDefaultTableReserve);
  EXPECT_EQ(std::uint64_t{r.tableOffset} + r.tableSize, room.size());
  EXPECT_EQ(r.tableOffset % 8, 0u);
  EXPECT_TRUE(r.tableEndsFile && r.parses && r.paddingOk && r.sound) << r.problem;
  EXPECT_TRUE(r.digestMatches);
  EXPECT_EQ(r.digestAlgorithm, "SHA256");
  EXPECT_TRUE(r.tailRoom);
  EXPECT_GE(r.tailRoomSize, kTailBlockSize);
  EXPECT_EQ(r.pkcs7Size, r.tableSize - 8);
  EXPECT_TRUE(r.problem.empty()) << r.problem;
  std::uint32_t offset = 0, size = 0;
  ASSERT_TRUE(ReadSecurityDirectory(stamped("room.exe"), &offset, &size));
  EXPECT_EQ(offset, r.tableOffset);
  EXPECT_EQ(size, r.tableSize);
  EXPECT_EQ(storedChecksum(room), checksumOf(room));
  const CodeSignatureReport none = InspectCodeSignature(sourceOf(readBytes(stamped("unsigned.exe"))));
  EXPECT_TRUE(none.readable);
  EXPECT_FALSE(none.table || none.reserved || none.truncated);
}

// Sealing the signing tool's output gives the table back the reservation's place and size: the
// header bytes the archive signature covers are the prepared file's again, the table ends the
// file with the tail room inside, the image digest still holds, and the checksum is current.
TEST(CodeSignature, SealingRestoresTheReservation) {
  const Bytes prepared = readBytes(sealing("prepared.exe"));
  const Bytes signedBytes = readBytes(sealing("signed.exe"));
  const tzk::pe::PeHeaders before = headersOf(prepared);
  ASSERT_NE(headersOf(signedBytes).tableSize, before.tableSize) << "the signing tool kept the reservation's size";
  FilePatch patch;
  std::string error;
  ASSERT_TRUE(SealTable(sourceOf(signedBytes), kDefaultTableReserve, &patch, &error)) << error;
  const Bytes sealed = readAll(Patched(sourceOf(signedBytes), patch));
  ASSERT_EQ(sealed.size(), prepared.size());
  for (std::size_t i = 0; i < before.tableOffset; ++i) {
    if (i >= before.checksumOffset && i < before.checksumOffset + 4) continue;
    ASSERT_EQ(sealed[i], prepared[i]) << "byte " << i << " in front of the table";
  }
  EXPECT_EQ(storedChecksum(sealed), checksumOf(sealed));
  const CodeSignatureReport r = InspectCodeSignature(sourceOf(sealed));
  EXPECT_EQ(r.tableOffset, before.tableOffset);
  EXPECT_EQ(r.tableSize, kDefaultTableReserve);
  EXPECT_TRUE(r.sound && r.tailRoom && r.digestMatches) << r.problem;

  // The sealed file is what the stub accepts, and sealing it again changes nothing.
  const fs::path path = fs::path(::testing::TempDir()) / ("sealed_" + std::to_string(::getpid()) + ".exe");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(sealed.data()),
                                              static_cast<std::streamsize>(sealed.size()));
  tzk::archive::SfxArchive archive;
  const StubVerdict v = CheckAsStub(path.string(), &archive, nullptr, "");
  EXPECT_TRUE(v.accepted()) << v.message();
  EXPECT_TRUE(v.authenticodeTable);
  fs::remove(path);
  FilePatch again;
  ASSERT_TRUE(SealTable(sourceOf(sealed), kDefaultTableReserve, &again, &error)) << error;
  EXPECT_EQ(again.size, sealed.size());
  EXPECT_TRUE(again.writes.empty());
  EXPECT_FALSE(SealTable(sourceOf(sealed), kDefaultTableReserve + 8, &again, &error));
  EXPECT_EQ(error, "its table already has tail room, in 40960 bytes, not 40968");
}

// A reservation too small names the one that fits, and that one does fit, to the byte.
TEST(CodeSignature, TheReserveNamedForATightTableFits) {
  const Bytes signedBytes = readBytes(sealing("signed.exe"));
  FilePatch patch;
  std::string error;
  ASSERT_FALSE(SealTable(sourceOf(signedBytes), kMinTableReserve, &patch, &error));
  const std::string mark = "prepare with --reserve ";
  const std::size_t at = error.find(mark);
  ASSERT_NE(at, std::string::npos) << error;
  const std::uint32_t needed = static_cast<std::uint32_t>(std::stoul(error.substr(at + mark.size())));
  EXPECT_EQ(needed % 8, 0u);
  EXPECT_TRUE(patch.writes.empty()) << "a refused seal changes nothing";
  ASSERT_TRUE(SealTable(sourceOf(signedBytes), needed, &patch, &error)) << error;
  const CodeSignatureReport r = InspectCodeSignature(Patched(sourceOf(signedBytes), patch));
  EXPECT_EQ(r.tableSize, needed);
  EXPECT_TRUE(r.sound && r.tailRoom) << r.problem;
  EXPECT_FALSE(SealTable(sourceOf(signedBytes), needed - 8, &patch, &error));
}

// Files seal cannot work on, each refused with what to do about it.
TEST(CodeSignature, SealRefusesWhatIsNotASignedTableEndingTheFile) {
  Bytes behind = readBytes(sealing("signed.exe"));
  behind.insert(behind.end(), 16, 0);
  const struct {
    Bytes file;
    std::uint32_t reserve;
    std::string error;
  } cases[] = {
      {readBytes(stamped("unsigned.exe")), kDefaultTableReserve,
       "it has no certificate table: sign it with your Authenticode tool first"},
      {readBytes(sealing("prepared.exe")), kDefaultTableReserve,
       "its certificate table is only reserved: sign it with your Authenticode tool first"},
      {behind, kDefaultTableReserve, "its certificate table does not end the file"},
      {readBytes(sealing("signed.exe")), kDefaultTableReserve + 4,
       "the reservation must be a multiple of 8 and larger than the tail block, not 40964"},
      {Bytes(4096, 0x4D), kDefaultTableReserve, "not a PE image"},
  };
  for (const auto& c : cases) {
    FilePatch patch;
    std::string error;
    EXPECT_FALSE(SealTable(sourceOf(c.file), c.reserve, &patch, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

// Security directories and certificate headers that do not describe the bytes: reported with
// what is wrong, never read past the file or into a table larger than sfxpack reads.
TEST(CodeSignature, HeadersThatLieAboutTheTable) {
  const Bytes room = readBytes(stamped("room.exe"));
  const tzk::pe::PeHeaders h = headersOf(room);
  const std::uint32_t at = h.tableOffset, size = h.tableSize;
  const std::uint64_t sizeField = h.securityEntry + 4;
  const struct {
    const char* label;
    FilePatch patch;
    bool table, truncated;
    std::string problem;
  } cases[] = {
      {"cut short", {room.size() - 100, {}}, false, true,
       "the file ends 40860 bytes into its 40960-byte certificate table: it was cut short"},
      {"size past the end", {room.size(), {{sizeField, le32(size + 8)}}}, false, true,
       "the file ends 40960 bytes into its 40968-byte certificate table: it was cut short"},
      {"offset past the end", {room.size(), {{h.securityEntry, le32(static_cast<std::uint32_t>(room.size()) + 8)}}},
       false, false, "the security directory names bytes beyond the end of the file"},
      {"over what is read", {std::uint64_t{at} + (17u << 20), {{sizeField, le32(17u << 20)}}}, false, false,
       "its security directory claims a 17825792-byte certificate table, more than the 16 MiB sfxpack reads: not read"},
      {"certificate longer than the table", {room.size(), {{at, le32(size + 8)}}}, true, false,
       "the table is not one PKCS#7 certificate inside the directory's size"},
      {"another revision", {room.size(), {{at + 4, {0x00, 0x01}}}}, true, false,
       "the table is not one PKCS#7 certificate inside the directory's size"},
      {"eight bytes of padding", {room.size() + 8, {{sizeField, le32(size + 8)}}}, true, false,
       "more than 7 bytes, or bytes that are not zero, follow the PKCS#7 in the table"},
      {"a certificate longer than the directory says", {room.size(), {{sizeField, le32(size - 8)}}}, true, false,
       "the table is not one PKCS#7 certificate inside the directory's size"},
      {"bytes behind the table", {room.size() + 8, {}}, true, false,
       "bytes follow the certificate table, so Authenticode tools find no signature"},
  };
  for (const auto& c : cases) {
    const CodeSignatureReport r = InspectCodeSignature(Patched(sourceOf(room), c.patch));
    EXPECT_EQ(r.table, c.table) << c.label;
    EXPECT_EQ(r.truncated, c.truncated) << c.label;
    EXPECT_FALSE(r.sound) << c.label;
    EXPECT_FALSE(r.tailRoom) << c.label;
    EXPECT_EQ(r.problem, c.problem) << c.label;
  }
}

// The checksum is summed over the file as the patch leaves it, an odd length included.
TEST(CodeSignature, TheChecksumCoversThePatchedFile) {
  const Bytes room = readBytes(stamped("room.exe"));
  const std::uint64_t field = headersOf(room).checksumOffset;
  for (const std::uint64_t grow : {0, 1, 3, 8}) {
    FilePatch patch{room.size() + grow, {{field, le32(0)}, {room.size() - 5, {0x01, 0x02, 0x03}}}};
    if (grow != 0) patch.writes.push_back({room.size() + grow - 1, {0xFF}});
    ASSERT_TRUE(RefreshPeChecksum(sourceOf(room), &patch));
    const Bytes result = readAll(Patched(sourceOf(room), patch));
    EXPECT_EQ(storedChecksum(result), checksumOf(result)) << "grown by " << grow;
  }
}

}  // namespace
}  // namespace sfxpack
