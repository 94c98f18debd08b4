// The block keys/gen_key_table.py writes for the build's key folder, read back by the layout
// archive/format.h names, and its keys compared with the table compiled into this build.
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "archive/format.h"
#include "signature/verification_keys.h"
#include "vocabulary/little_endian.h"

namespace tzk::archive {

using signature::ByteView;
using signature::CompiledKeys;
using signature::DsaPublicKey;
using signature::KeySet;
namespace {

using vocabulary::ReadLe32;

std::vector<std::uint8_t> generatedBlock() {
  std::ifstream in(SFX_KEY_BLOCK, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool sameBytes(const std::uint8_t* at, ByteView compiled, std::uint32_t size) {
  return compiled.size == size && std::memcmp(at, compiled.data, size) == 0;
}

TEST(KeyTable, TheGeneratorsHeaderAndDigestAreTheFormats) {
  const std::vector<std::uint8_t> block = generatedBlock();
  ASSERT_GE(block.size(), kKeyTableHeaderSize + kKeyTableDigestSize);
  EXPECT_EQ(std::memcmp(block.data(), kKeyTableMagic, kKeyTableMagicSize), 0);
  EXPECT_EQ(ReadLe32(&block[kKeyTableMagicSize]), kKeyTableVersion);
  EXPECT_EQ(ReadLe32(&block[kKeyTableMagicSize + kFieldSize]), kKeyTableMaxKeys);
  EXPECT_EQ(ReadLe32(&block[kKeyTableMagicSize + 2 * kFieldSize]), block.size());

  const std::size_t covered = block.size() - kKeyTableDigestSize;
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  static_assert(sizeof digest == kKeyTableDigestSize);
  CryptoPP::SHA256().CalculateDigest(digest, block.data(), covered);
  EXPECT_EQ(std::memcmp(digest, &block[covered], sizeof digest), 0);
}

// Each key at the widths of its index, in index order, ending where the digest begins, and
// holding the values the stub of this build checks with.
TEST(KeyTable, EachKeyStandsAtTheWidthsOfItsIndexAndIsTheCompiledOne) {
  const std::vector<std::uint8_t> block = generatedBlock();
  ASSERT_GE(block.size(), kKeyTableHeaderSize + kKeyTableDigestSize);
  const std::size_t end = block.size() - kKeyTableDigestSize;
  const KeySet compiled = CompiledKeys();
  std::size_t at = kKeyTableHeaderSize;
  for (const std::uint32_t expected : {1u, 2u, 3u, 5u, 6u, 7u}) {
    SCOPED_TRACE(expected);
    ASSERT_LE(at + kFieldSize, end);
    ASSERT_EQ(ReadLe32(&block[at]), expected);
    at += kFieldSize;
    const std::uint32_t wide = KeyWideSize(expected), narrow = KeyNarrowSize(expected);
    ASSERT_LE(at + 3 * wide + narrow, end);
    const DsaPublicKey* key = compiled.Find(static_cast<int>(expected));
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(sameBytes(&block[at], key->p, wide));
    EXPECT_TRUE(sameBytes(&block[at + wide], key->q, narrow));
    EXPECT_TRUE(sameBytes(&block[at + wide + narrow], key->g, wide));
    EXPECT_TRUE(sameBytes(&block[at + 2 * wide + narrow], key->y, wide));
    at += 3 * wide + narrow;
  }
  EXPECT_EQ(at, end);
}

}  // namespace
}  // namespace tzk::archive
