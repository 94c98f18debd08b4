#include "sfxpack/tail_stamper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <random>

#include "archive/embedded_items.h"
#include "archive/format.h"
#include "archive/installer_writer.h"
#include "pe/pe_image.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"

namespace sfxpack {
namespace {

using tzk::archive::kTailBlockSize;

constexpr std::uint32_t kPeOffset = 0x40;
constexpr std::uint64_t kChecksumField = kPeOffset + tzk::pe::kPeChecksumField;

Bytes readAll(const FileSource& file) {
  Bytes bytes(static_cast<std::size_t>(file.size));
  EXPECT_TRUE(file.read(0, bytes.data(), bytes.size()));
  return bytes;
}

FileSource sourceOf(const Bytes& bytes) {
  return {bytes.size(), [&bytes](std::uint64_t at, void* buffer, std::size_t size) {
            if (at > bytes.size() || size > bytes.size() - at) return false;
            std::memcpy(buffer, bytes.data() + at, size);
            return true;
          }};
}

// What tag wrote before the stamp: the tail block laid over the file, then the whole file summed
// again for its checksum.
Bytes taggedTheOldWay(const FileSource& base, const Bytes& tail) {
  FilePatch patch{base.size, {{base.size - kTailBlockSize, tail}}};
  EXPECT_TRUE(RefreshPeChecksum(base, &patch));
  return readAll(Patched(base, std::move(patch)));
}

void writeLe16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t storedChecksum(const Bytes& file) { return tzk::vocabulary::ReadLe32(file.data() + kChecksumField); }

// An image the PE reader takes, of `size` random bytes, whose certificate table would hold the
// last `table` bytes; with the report InspectCodeSignature would give it once signed with room.
struct SyntheticBase {
  Bytes bytes;
  CodeSignatureReport code;
};
SyntheticBase syntheticBase(std::size_t size, std::size_t table, unsigned seed) {
  std::mt19937 random(seed);
  SyntheticBase base;
  base.bytes.resize(size);
  for (auto& b : base.bytes) b = static_cast<std::uint8_t>(random());
  std::memcpy(base.bytes.data(), "MZ", 2);
  tzk::vocabulary::WriteLe32(base.bytes.data() + 0x3C, kPeOffset);
  std::memcpy(base.bytes.data() + kPeOffset, "PE\0\0", 4);
  writeLe16(base.bytes.data() + kPeOffset + 4, 0x14C);
  base.code.tailRoom = base.code.tableEndsFile = true;
  base.code.tableOffset = static_cast<std::uint32_t>(size - table);
  base.code.tableSize = static_cast<std::uint32_t>(table);
  return base;
}

// Random bytes behind a run of zeros, as a tail block's items lie behind the zeros in front of
// them: the run ends at an even or an odd offset, or is empty.
Bytes randomTail(unsigned seed) {
  std::mt19937 random(seed);
  Bytes tail(kTailBlockSize);
  for (auto& b : tail) b = static_cast<std::uint8_t>(random());
  std::fill(tail.begin(), tail.begin() + (seed * 4099) % kTailBlockSize, 0);
  return tail;
}

// The checksum's words at odd and even offsets, for tails that begin at either: the stamp sums
// only the tail's words, so a word split across the tail's edge must land in the right half.
TEST(TailStamperTest, EveryTailGivesTheBytesAndChecksumOfAWholeResum) {
  for (std::size_t size : {std::size_t{70000}, std::size_t{70001}, std::size_t{kTailBlockSize + 4096}}) {
    const SyntheticBase base = syntheticBase(size, size > 40000 ? 24000 : kTailBlockSize, static_cast<unsigned>(size));
    const FileSource source = sourceOf(base.bytes);
    TailStamper stamper;
    std::string error;
    ASSERT_TRUE(stamper.Prepare(source, base.code, &error)) << error;
    for (unsigned seed = 0; seed < 4; ++seed) {
      const Bytes tail = randomTail(seed);
      Stamp stamp;
      stamper.StampTail(tail.data(), &stamp);
      const Bytes stamped = readAll(Stamped(source, stamp));
      EXPECT_EQ(stamped, taggedTheOldWay(source, tail)) << "size " << size << ", tail " << seed;
      EXPECT_EQ(storedChecksum(stamped), tzk::pe::PeChecksum(stamped.data(), stamped.size(), kChecksumField));
    }
  }
}

// The checksum folds with an end-around carry: a word sum that is a multiple of 0xFFFF folds to
// 0xFFFF, never 0. The tail is made so that the whole file's words sum to one.
TEST(TailStamperTest, AWordSumOfAMultipleOf0xFFFFFoldsAsTheWholeResumFoldsIt) {
  const SyntheticBase base = syntheticBase(50000, 20000, 7);
  const FileSource source = sourceOf(base.bytes);
  Bytes tail(kTailBlockSize, 0);
  Bytes zeroTailed = taggedTheOldWay(source, tail);
  tzk::vocabulary::WriteLe32(zeroTailed.data() + kChecksumField, 0);
  std::uint64_t words = 0;
  for (std::size_t i = 0; i < zeroTailed.size(); i += 2) words += zeroTailed[i] | zeroTailed[i + 1] << 8;
  writeLe16(tail.data(), static_cast<std::uint16_t>((0xFFFF - words % 0xFFFF) % 0xFFFF));

  TailStamper stamper;
  std::string error;
  ASSERT_TRUE(stamper.Prepare(source, base.code, &error)) << error;
  Stamp stamp;
  stamper.StampTail(tail.data(), &stamp);
  const Bytes stamped = readAll(Stamped(source, stamp));
  EXPECT_EQ(storedChecksum(stamped), 0xFFFF + stamped.size());
  EXPECT_EQ(stamped, taggedTheOldWay(source, tail));
}

// Only the bytes every download keeps name the base: two bases that differ in their tail block
// give the same downloads, and any other byte makes another base.
TEST(TailStamperTest, TheBaseIsNamedByEveryKeptByteAndNotByItsTailADownloadByItsTailToo) {
  SyntheticBase base = syntheticBase(60000, 20000, 3);
  std::string error;
  TailStamper first, retailed, changed;
  ASSERT_TRUE(first.Prepare(sourceOf(base.bytes), base.code, &error));
  base.bytes[base.bytes.size() - 5] ^= 1;
  tzk::vocabulary::WriteLe32(base.bytes.data() + kChecksumField, 0x12345678);
  ASSERT_TRUE(retailed.Prepare(sourceOf(base.bytes), base.code, &error));
  EXPECT_EQ(first.keptDigest(), retailed.keptDigest());
  base.bytes[30000] ^= 1;
  ASSERT_TRUE(changed.Prepare(sourceOf(base.bytes), base.code, &error));
  EXPECT_NE(first.keptDigest(), changed.keptDigest());

  // A download's name: the same for the same tail, another for another tail of the same base.
  Stamp a, again, other;
  first.StampTail(randomTail(1).data(), &a);
  first.StampTail(randomTail(1).data(), &again);
  first.StampTail(randomTail(2).data(), &other);
  EXPECT_EQ(first.Identify(a), first.Identify(again));
  EXPECT_NE(first.Identify(a), first.Identify(other));
  EXPECT_NE(first.Identify(a), changed.Identify(a));
}

TEST(TailStamperTest, RoomThatIsNotTheFilesEndBehindTheHeadersIsRefused) {
  SyntheticBase base = syntheticBase(60000, 20000, 4);
  TailStamper stamper;
  std::string error;
  base.code.tailRoom = false;
  EXPECT_FALSE(stamper.Prepare(sourceOf(base.bytes), base.code, &error));
  base.code.tailRoom = true;
  base.code.tableOffset = static_cast<std::uint32_t>(base.bytes.size() - kTailBlockSize + 8);
  EXPECT_FALSE(stamper.Prepare(sourceOf(base.bytes), base.code, &error));
  EXPECT_NE(error.find("inside its certificate table"), std::string::npos);
}

// --- installers made as a release makes them (stamp_fixtures.sh) ------------------------------

std::string fixture(const char* name) {
  const char* folder = std::getenv("SFX_STAMP_FIXTURES");
  return std::string(folder != nullptr ? folder : "SFX_STAMP_FIXTURES is not set") + "/" + name;
}

struct Judged {
  tzk::archive::SfxArchive archive;
  StubVerdict verdict;
  CodeSignatureReport code;
  ItemsBlock block = ItemsBlock::kNone;
};
void judge(const std::string& path, Judged* out) {
  out->verdict = CheckAsStub(path, &out->archive, nullptr, "");
  ASSERT_TRUE(out->verdict.accepted()) << path << ": " << out->verdict.reason;
  out->code = InspectCodeSignatureOf(out->archive, path);
  out->block = StubItemsBlock(out->archive);
}

EmbeddedItem item(const std::string& tag, const std::string& value) {
  EmbeddedItem prepared;
  std::string error;
  EXPECT_TRUE(tzk::archive::PrepareEmbeddedItem(tag, Bytes(value.begin(), value.end()), &prepared, &error));
  return prepared;
}

TEST(TailStamperTest, ASignedInstallerStampedKeepsBothSignaturesAndCarriesTheItems) {
  Judged base;
  judge(fixture("room.exe"), &base);
  std::string reason;
  ASSERT_EQ(CheckStampable(base.verdict, base.block, base.code, &reason), kExitOk) << reason;
  tzk::signature::SignatureFile file;
  ASSERT_TRUE(file.Borrow(base.archive.archiveFile().Descriptor()));
  const FileSource source = SourceOf(file);
  TailStamper stamper;
  ASSERT_TRUE(stamper.Prepare(source, base.code, &reason)) << reason;

  const std::vector<EmbeddedItem> items = {item("ERID", "recommendation-7"), item("EAPT", "ticket-0042")};
  Stamp stamp;
  ASSERT_TRUE(stamper.StampItems(items, &stamp, &reason)) << reason;
  Bytes tail;
  ASSERT_TRUE(tzk::archive::TailBlock(items, &tail, &reason));
  const Bytes stamped = readAll(Stamped(source, stamp));
  EXPECT_EQ(stamped, taggedTheOldWay(source, tail));
  // No items: the room zero-filled, the file as it was released.
  Stamp none;
  ASSERT_TRUE(stamper.StampItems({}, &none, &reason)) << reason;
  EXPECT_EQ(readAll(Stamped(source, none)), readAll(source));

  const std::string out = fixture("stamped.exe");
  std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(stamped.data()),
                                             static_cast<std::streamsize>(stamped.size()));
  Judged result;
  judge(out, &result);
  EXPECT_TRUE(result.code.sound && result.code.digestMatches && result.code.tailRoom) << result.code.problem;
  EXPECT_EQ(result.block, ItemsBlock::kTail);
}

// The tail block's digest is taken from the kept state after the zeros in front of the items:
// whatever their length, the stub's reader (which digests all 16368 bytes) must find it right.
TEST(TailStamperTest, EveryTailAStampCarriesIsOneTheStubTakes) {
  const SyntheticBase base = syntheticBase(60000, 20000, 6);
  TailStamper stamper;
  std::string error;
  ASSERT_TRUE(stamper.Prepare(sourceOf(base.bytes), base.code, &error));
  const std::size_t most = tzk::archive::kTailDigestOffset - 16;  // one item's trailer, the block's
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{40}, std::size_t{41}, std::size_t{63},
                             std::size_t{64}, std::size_t{1000}, most - 64, most - 1, most}) {
    Stamp stamp;
    ASSERT_TRUE(stamper.StampItems({item("ERID", std::string(length, 'r'))}, &stamp, &error)) << length << error;
    EXPECT_TRUE(tzk::archive::IsTailBlock(stamp.patch.data() + 4)) << length;
  }
}

TEST(TailStamperTest, ItemsTooLargeForTheTailBlockAreRefused) {
  const SyntheticBase base = syntheticBase(60000, 20000, 5);
  TailStamper stamper;
  std::string error;
  ASSERT_TRUE(stamper.Prepare(sourceOf(base.bytes), base.code, &error));
  Stamp stamp;
  EXPECT_FALSE(stamper.StampItems({item("ERID", std::string(kTailBlockSize, 'x'))}, &stamp, &error));
  EXPECT_NE(error.find("do not fit"), std::string::npos);
}

struct Refusal {
  const char* file;
  int exit;
  const char* reason;
};

TEST(TailStamperTest, InstallersTheStampCannotServeAreRefusedWithTagsReasons) {
  const Refusal refusals[] = {
      {"embedded.exe", kExitBadInput, "never reads a tail block"},
      {"unsigned.exe", kExitBadInput, "no Authenticode certificate table"},
      {"appended.exe", kExitCheckFailed, "no room for the tail block"},
  };
  for (const Refusal& r : refusals) {
    Judged base;
    judge(fixture(r.file), &base);
    std::string reason;
    EXPECT_EQ(CheckStampable(base.verdict, base.block, base.code, &reason), r.exit) << r.file;
    EXPECT_NE(reason.find(r.reason), std::string::npos) << r.file << ": " << reason;
  }
  // The stamper itself takes no base without room, whatever its caller checked.
  Judged appended;
  judge(fixture("appended.exe"), &appended);
  tzk::signature::SignatureFile file;
  ASSERT_TRUE(file.Borrow(appended.archive.archiveFile().Descriptor()));
  TailStamper stamper;
  std::string error;
  EXPECT_FALSE(stamper.Prepare(SourceOf(file), appended.code, &error));
}

}  // namespace
}  // namespace sfxpack
