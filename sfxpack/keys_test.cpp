#include "sfxpack/keys.h"
#include "archive/installer_writer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"

namespace sfxpack {
namespace {

namespace fs = std::filesystem;
using tzk::archive::Bytes;
using tzk::signature::LoadedKeys;

std::string fromEnv(const char* variable, const std::string& name) {
  const char* folder = std::getenv(variable);
  return std::string(folder != nullptr ? folder : std::string(variable) + " is not set") + "/" + name;
}
std::string fixture(const std::string& name) { return fromEnv("SFX_STAMP_FIXTURES", name); }
std::string testKey(const std::string& name) { return fromEnv("SFX_TEST_KEYS", name); }

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

constexpr char kMagic[] = "TZKsetupKeyTable";

std::size_t find(const Bytes& bytes, const char* text) {
  const auto at = std::search(bytes.begin(), bytes.end(), text, text + std::strlen(text));
  return static_cast<std::size_t>(at - bytes.begin());
}

// The stand-in stub's key table, as keys/gen_key_table.py compiled it from the test keys.
struct Table {
  Bytes stub;
  std::size_t at = 0;
  Bytes bytes;
};
Table stubTable() {
  Table t;
  t.stub = readBytes(fixture("stub.exe"));
  t.at = find(t.stub, kMagic);
  EXPECT_LT(t.at, t.stub.size()) << "the stand-in stub carries no key table";
  if (t.at >= t.stub.size()) return t;
  const std::uint32_t length = tzk::vocabulary::ReadLe32(t.stub.data() + t.at + 24);
  t.bytes.assign(t.stub.begin() + static_cast<std::ptrdiff_t>(t.at),
                 t.stub.begin() + static_cast<std::ptrdiff_t>(t.at + length));
  return t;
}

class KeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("keys_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // ReadStubKeys over `bytes` written to a file, searching its first `length` bytes (all when 0).
  TableSearch search(const Bytes& bytes, std::uint64_t length = 0) {
    const fs::path path = dir_ / "image.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    tzk::signature::SignatureFile file;
    EXPECT_TRUE(file.Open(tzk::vocabulary::fromUtf8(path.string()).c_str()));
    keys_ = std::make_unique<LoadedKeys>();
    return ReadStubKeys(file, length != 0 ? length : bytes.size(), keys_.get());
  }

  std::vector<int> indexes() const {
    std::vector<int> found;
    const tzk::signature::KeySet set = keys_->keys();
    for (std::size_t i = 0; i < set.count; ++i) found.push_back(set.keys[i].index);
    return found;
  }

  fs::path dir_;
  std::unique_ptr<LoadedKeys> keys_;
};

// The table in the stub's section gives every key of the folder it was compiled from, as the
// folder's own PEM files give them.
TEST_F(KeysTest, TableInTheStubsSectionsGivesTheFoldersKeys) {
  const Table t = stubTable();
  ASSERT_EQ(search(t.stub), TableSearch::kFound);
  EXPECT_EQ(indexes(), (std::vector<int>{1, 2, 3, 5, 6, 7}));
  LoadedKeys folder;
  std::string error;
  ASSERT_TRUE(LoadKeyFolder(fromEnv("SFX_TEST_KEYS", ""), &folder, &error)) << error;
  for (int index : {1, 2, 3, 5, 6, 7}) {
    ASSERT_NE(keys_->keys().Find(index), nullptr);
    EXPECT_EQ(Fingerprint(*keys_->keys().Find(index)), Fingerprint(*folder.keys().Find(index))) << index;
  }
}

// Only a table that is whole and whose digest holds is taken; a damaged one is told apart from
// none, and a damaged copy in front of a sound table does not hide it.
TEST_F(KeysTest, DamagedTablesAreToldApartFromMissingOnes) {
  const Table t = stubTable();
  ASSERT_FALSE(t.bytes.empty());
  const std::size_t digestAt = t.at + t.bytes.size() - 1, keyAt = t.at + 28 + 4 + 60;
  for (const std::size_t flip : {digestAt, keyAt, t.at + 20 /* key count */}) {
    Bytes damaged = t.stub;
    damaged[flip] ^= 0x01;
    EXPECT_EQ(search(damaged), TableSearch::kDamaged) << "byte " << flip - t.at << " of the table";
    EXPECT_EQ(keys_->keys().count, 0u) << "nothing of a damaged table is taken";
  }
  EXPECT_EQ(search(readBytes(fixture("installer.exe"))), TableSearch::kNone);

  // In the filler in front of the table: a lone magic, then one whose length runs far past the
  // image.
  Bytes twice = t.stub;
  std::memcpy(twice.data() + 0x200 + 16, kMagic, 16);
  std::memcpy(twice.data() + 0x200 + 100, t.bytes.data(), 28);
  tzk::vocabulary::WriteLe32(twice.data() + 0x200 + 100 + 24, 0xFFFFFFF0u);
  ASSERT_LT(0x200u + 200, t.at);
  EXPECT_EQ(search(twice), TableSearch::kFound);
  EXPECT_EQ(indexes().size(), 6u);
}

// The archive data behind the stub's image is the producer's, not the stub's: a table there
// (an entry that happens to hold one) must never be taken for the keys the stub trusts.
TEST_F(KeysTest, ATableBehindTheImageIsNotTheStubs) {
  const Table t = stubTable();
  Bytes installer = readBytes(fixture("installer.exe"));
  installer.insert(installer.end(), t.bytes.begin(), t.bytes.end());
  EXPECT_EQ(search(installer), TableSearch::kNone);
  // Bytes that are no PE image are searched up to the length given, and not beyond.
  Bytes plain(5000, 0x5A);
  plain.insert(plain.end(), t.bytes.begin(), t.bytes.end());
  EXPECT_EQ(search(plain), TableSearch::kFound);
  EXPECT_EQ(search(plain, 4000), TableSearch::kNone);
  EXPECT_EQ(search(plain, plain.size() - 1), TableSearch::kDamaged);
}

// The fingerprint is that of the SubjectPublicKeyInfo as OpenSSL writes it, for a private key of
// its public half, so messages name a signing key as the key tables name it.
TEST(Fingerprint, IsThePublicKeysDigestForBothHalves) {
  const struct {
    int index;
    const char* fingerprint;  // openssl pkey -pubin -outform DER | sha256sum
  } cases[] = {{1, "c12b5e15bc24c91c"}, {5, "92a099c39d8b4ba8"}, {6, "c08dd37b216e6567"}};
  LoadedKeys folder;
  std::string error;
  ASSERT_TRUE(LoadKeyFolder(fromEnv("SFX_TEST_KEYS", ""), &folder, &error)) << error;
  for (const auto& c : cases) {
    tzk::signature::DsaPrivateKey key;
    ASSERT_TRUE(LoadPrivateKey(testKey("key" + std::to_string(c.index) + ".pem"), &key, &error)) << error;
    EXPECT_EQ(Fingerprint(key), c.fingerprint);
    EXPECT_EQ(Fingerprint(*folder.keys().Find(c.index)), c.fingerprint);
  }
}

// What is wrong with a key that cannot sign is said in terms of the type it was chosen for.
TEST(KeyMismatch, SaysWhatTheKeyIsAndWhatTheTypeNeeds) {
  tzk::signature::DsaPrivateKey key1, key5;
  std::string error;
  ASSERT_TRUE(LoadPrivateKey(testKey("key1.pem"), &key1, &error)) << error;
  ASSERT_TRUE(LoadPrivateKey(testKey("key5.pem"), &key5, &error)) << error;
  using tzk::signature::SignatureType;
  EXPECT_EQ(KeyMismatch(key5, SignatureType::kRawMd5Dsa, "--type"),
            "a DSA 2048/256 key; signature type 1 (--type) needs a DSA 1024/160 key");
  EXPECT_EQ(KeyMismatch(key1, SignatureType::kRawSha256Dsa, "the default"),
            "a DSA 1024/160 key; signature type 5 (the default) needs a DSA 2048/256 key");
  EXPECT_EQ(KeyMismatch(key5, SignatureType::kRawSha256Dsa, "M"),
            "a DSA 2048/256 key whose values cannot sign (malformed); signature type 5 (M) needs a DSA 2048/256 key");
}

// --keys folders and private keys: each refusal with the reason a user can act on.
TEST_F(KeysTest, KeyFoldersAndPrivateKeysAreRefusedWithTheirReason) {
  LoadedKeys keys;
  std::string error;
  EXPECT_FALSE(LoadKeyFolder(dir_.string(), &keys, &error));
  EXPECT_EQ(error, "no key1.pub.pem ... key7.pub.pem there");
  error.clear();
  EXPECT_FALSE(LoadKeyFolder((dir_ / "nosuch").string(), &keys, &error));
  EXPECT_EQ(error, "no key1.pub.pem ... key7.pub.pem there");

  // One key alone is a key set; a key of the other size under an index is refused.
  fs::copy_file(testKey("key5.pub.pem"), dir_ / "key5.pub.pem");
  LoadedKeys one;
  ASSERT_TRUE(LoadKeyFolder(dir_.string(), &one, &error)) << error;
  ASSERT_EQ(one.keys().count, 1u);
  EXPECT_EQ(one.keys().keys[0].index, 5);
  fs::copy_file(testKey("key5.pub.pem"), dir_ / "key1.pub.pem");
  LoadedKeys wrong;
  EXPECT_FALSE(LoadKeyFolder(dir_.string(), &wrong, &error));
  EXPECT_EQ(error, "a key there is malformed or not of its index's size");

  tzk::signature::DsaPrivateKey key;
  EXPECT_FALSE(LoadPrivateKey(testKey("key5.pub.pem"), &key, &error));
  EXPECT_EQ(error, "not a PKCS#8 DSA private key");
  EXPECT_FALSE(LoadPrivateKey((dir_ / "nosuch.pem").string(), &key, &error));
  EXPECT_EQ(error, "cannot open for reading: No such file or directory");
}

}  // namespace
}  // namespace sfxpack
