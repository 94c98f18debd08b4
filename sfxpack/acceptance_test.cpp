#include "sfxpack/acceptance.h"
#include "sfxpack/keys.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/format.h"
#include "archive/installer_writer.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "sfxpack/cli.h"
#include "vocabulary/little_endian.h"

namespace sfxpack {
namespace {

namespace fs = std::filesystem;
using tzk::archive::Bytes;
using tzk::signature::SignatureType;
namespace record = tzk::archive::record;

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

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

tzk::signature::DsaPrivateKey privateKey(int index) {
  tzk::signature::DsaPrivateKey key;
  std::string error;
  EXPECT_TRUE(LoadPrivateKey(testKey("key" + std::to_string(index) + ".pem"), &key, &error)) << error;
  return key;
}

std::string fingerprintOf(int index) { return Fingerprint(privateKey(index)); }

// Appends the signature block of `type` to the content, with the test key of `keyIndex`.
void sign(Bytes* content, SignatureType type, int keyIndex) {
  const tzk::signature::DsaPrivateKey key =
      type == SignatureType::kTextMd5 ? tzk::signature::DsaPrivateKey{} : privateKey(keyIndex);
  Bytes block;
  ASSERT_EQ(tzk::signature::MakeSignatureBlock({content->data(), content->size()}, type,
                                             type == SignatureType::kTextMd5 ? nullptr : &key, &block),
            tzk::code::kSuccess);
  content->insert(content->end(), block.begin(), block.end());
}

Bytes package(std::uint32_t kind, const Bytes& data) {
  Bytes out;
  EXPECT_EQ(tzk::packers::BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), &out),
            tzk::code::kSuccess);
  return out;
}

// An archive the writer itself would refuse, laid out as it lays one out: the stub, one stored
// entry, the installer's package, the map and the locator, signed with key 5.
struct Crafted {
  std::string name = "engine.pkg";
  std::string extractionName;
  std::int64_t entryShift = 0;  // moves the entry's bytes from where they are
  bool installerRecord = true;
  std::int64_t installerShift = 0;
};
Bytes craft(const Bytes& stub, const Crafted& c) {
  Bytes content = stub;
  const Bytes stored(32, 0x42);
  const std::uint32_t entryAt = static_cast<std::uint32_t>(content.size() + c.entryShift);
  content.insert(content.end(), stored.begin(), stored.end());
  const Bytes installer = package(tzk::packers::kPackerLzma, readBytes(fixture("installer.exe")));
  const std::uint32_t installerAt = static_cast<std::uint32_t>(content.size() + c.installerShift);
  content.insert(content.end(), installer.begin(), installer.end());
  Bytes entry, list, map;
  tzk::archive::AppendRecord(&entry, record::kName, tzk::archive::TextBody(c.name));
  tzk::archive::AppendRecord(&entry, record::kPointer, tzk::archive::Uint32Body({entryAt, 32, 0}));
  if (!c.extractionName.empty()) {
    tzk::archive::AppendRecord(&entry, record::kExtractionName, tzk::archive::TextBody(c.extractionName));
  }
  tzk::archive::AppendRecord(&list, record::kFile, entry);
  tzk::archive::AppendRecord(&map, record::kMode, tzk::archive::TextBody("extract"));
  if (c.installerRecord) {
    tzk::archive::AppendRecord(&map, record::kInstaller,
                               tzk::archive::Uint32Body({installerAt, static_cast<std::uint32_t>(installer.size())}));
  }
  tzk::archive::AppendRecord(&map, record::kList, list);
  const Bytes mapPackage = package(tzk::packers::kPackerZlib, map);
  const std::uint32_t mapAt = static_cast<std::uint32_t>(content.size());
  content.insert(content.end(), mapPackage.begin(), mapPackage.end());
  std::uint8_t field[4];
  tzk::vocabulary::WriteLe32(field, mapAt);
  content.insert(content.end(), field, field + 4);
  content.insert(content.end(), tzk::archive::kLocatorMagic,
                 tzk::archive::kLocatorMagic + tzk::archive::kLocatorMagicSize);
  sign(&content, SignatureType::kRawSha256Dsa, 5);
  return content;
}

class AcceptanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("acceptance_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // An installer as build writes it, around `stub`, signed with `type` and the key of `keyIndex`.
  std::string build(const std::string& name, SignatureType type, int keyIndex, const Bytes& stub) {
    tzk::archive::InstallerPlan plan;
    plan.stub = stub;
    plan.installerPath = fixture("installer.exe");
    plan.installerSize = fs::file_size(plan.installerPath);
    plan.files.push_back({"data.bin", Bytes(100, 0x17), 1429621132, "", 1, "", 0});
    plan.signatureType = type;
    Bytes out;
    std::string error;
    const tzk::archive::Signer signer = [&](Bytes* content, std::string*) {
      sign(content, type, keyIndex);
      return true;
    };
    EXPECT_TRUE(tzk::archive::BuildInstaller(plan, signer, &out, &layout_, &error)) << error;
    return put(name, out);
  }
  std::string build(const std::string& name, SignatureType type, int keyIndex) {
    return build(name, type, keyIndex, readBytes(fixture("stub.exe")));
  }

  std::string put(const std::string& name, const Bytes& bytes) {
    writeBytes(dir_ / name, bytes);
    return (dir_ / name).string();
  }

  StubVerdict check(const std::string& path, const tzk::signature::KeySet* given = nullptr,
                    const std::string& source = "") {
    tzk::archive::SfxArchive archive;
    return CheckAsStub(path, &archive, given, source);
  }

  fs::path dir_;
  tzk::archive::Layout layout_;
};

// An accepted file reports the key that verified, where the keys came from and the offsets the
// loader took, and the digest's progress ends at the content's length.
TEST_F(AcceptanceTest, AcceptedWithTheStubsKeys) {
  const std::string path = build("setup.exe", SignatureType::kRawSha256Dsa, 6);
  tzk::archive::SfxArchive archive;
  std::uint64_t done = 0, total = 0;
  const StubVerdict v = CheckAsStub(path, &archive, nullptr, "", [&](std::uint64_t d, std::uint64_t t) {
    EXPECT_GE(d, done);
    done = d;
    total = t;
  });
  ASSERT_TRUE(v.accepted()) << v.message();
  EXPECT_EQ(v.exit, kExitOk);
  EXPECT_EQ(v.type, SignatureType::kRawSha256Dsa);
  EXPECT_EQ(v.signatureOffset, layout_.contentLength);
  EXPECT_EQ(v.contentLength, layout_.contentLength);
  EXPECT_EQ(v.signatureOffset + tzk::signature::kRawSha256DsaBlock, fs::file_size(path));
  EXPECT_EQ(v.keyIndex, 6);
  EXPECT_EQ(v.keyFingerprint, fingerprintOf(6));
  EXPECT_EQ(v.keySource, "the stub's key table");
  EXPECT_EQ(v.trusted, (std::vector<std::string>{"5 " + fingerprintOf(5), "6 " + fingerprintOf(6),
                                                 "7 " + fingerprintOf(7)}));
  EXPECT_EQ(done, v.contentLength);
  EXPECT_EQ(total, v.contentLength);
  const nlohmann::json j = VerdictJson(v);
  EXPECT_EQ(j["accepted"], true);
  EXPECT_EQ(j["keyIndex"], 6);
  EXPECT_EQ(j["certificateTable"], "none");
  EXPECT_FALSE(j.contains("loaderCode"));

  // A type-1 signature is tried with the keys of its own kind only.
  const StubVerdict one = check(build("one.exe", SignatureType::kRawMd5Dsa, 2));
  ASSERT_TRUE(one.accepted()) << one.message();
  EXPECT_EQ(one.keyIndex, 2);
  EXPECT_EQ(one.trusted.size(), 3u);
  for (const std::string& k : one.trusted) EXPECT_TRUE(k[0] >= '1' && k[0] <= '3') << k;
}

// Paths that are no installer file at all: refused before anything is opened, as unreadable
// (the reason alone, not "not accepted"), and a pipe is never waited on.
TEST_F(AcceptanceTest, WhatIsNoFileIsRefusedUnopened) {
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {{(dir_ / "nosuch.exe").string(), "cannot open for reading: No such file or directory"},
               {dir_.string(), "cannot read: it is a folder"},
               {(dir_ / "pipe").string(), "cannot read: not a regular file"}};
  for (const auto& c : cases) {
    const StubVerdict v = check(c.path);
    EXPECT_EQ(v.exit, kExitBadInput) << c.path;
    EXPECT_FALSE(v.readable) << c.path;
    EXPECT_EQ(v.message(), c.reason);
  }
}

// The stub opens no file over the format's limit, whatever lies inside: refused on its size.
TEST_F(AcceptanceTest, AFileOverTheLimitIsRefusedOnItsSize) {
  const fs::path big = dir_ / "big.exe";
  writeBytes(big, readBytes(build("setup.exe", SignatureType::kRawSha256Dsa, 5)));
  fs::resize_file(big, tzk::archive::kFormatLimit + 1);
  const StubVerdict v = check(big.string());
  EXPECT_EQ(v.exit, kExitBadInput);
  EXPECT_TRUE(v.readable);
  EXPECT_EQ(v.reason, "it is 2147483648 bytes, over the format's limit of 2147483647 bytes, and the stub opens no "
                      "larger file");
  EXPECT_FALSE(v.type.has_value());
}

// The refusals the stub's loader makes before any key verifies, each with its exit code: a
// malformed input (3) or a check that fails (1).
TEST_F(AcceptanceTest, RefusalsBeforeAKeyVerifies) {
  Bytes noise(3000);
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const StubVerdict none = check(put("noise.bin", noise));
  EXPECT_EQ(none.exit, kExitBadInput);
  EXPECT_EQ(none.message(), "not accepted: no archive signature block: not an installer the stub can load "
                            "(loader code 0x3ee)");
  EXPECT_EQ(none.loaderCode, 0x3eeu);
  EXPECT_FALSE(none.type.has_value());
  EXPECT_EQ(VerdictJson(none)["loaderCode"], 0x3ee);

  const StubVerdict text = check(build("text.exe", SignatureType::kTextMd5, 0));
  EXPECT_EQ(text.exit, kExitCheckFailed);
  EXPECT_EQ(text.reason, "signature type 2 is a plain MD5 that anyone can recompute; the stub refuses archives "
                         "without a key signature (sign with type 1 or 5)");
  EXPECT_EQ(text.type, SignatureType::kTextMd5);
  EXPECT_EQ(text.contentLength + 2, text.signatureOffset) << "the line break in front of the block is not content";
  EXPECT_EQ(text.contentLength, layout_.contentLength);
  EXPECT_FALSE(text.untrustedKey);

  const Bytes tableless = readBytes(fixture("installer.exe"));
  const StubVerdict bare = check(build("bare.exe", SignatureType::kRawSha256Dsa, 5, tableless));
  EXPECT_EQ(bare.exit, kExitCheckFailed);
  EXPECT_EQ(bare.reason, "the stub in this file carries no key table sfxpack can find; give the keys it trusts "
                         "with --keys DIR");
  EXPECT_TRUE(bare.trusted.empty());

  Bytes damaged = readBytes(fixture("stub.exe"));
  const char magic[] = "TZKsetupKeyTable";
  const auto at = std::search(damaged.begin(), damaged.end(), magic, magic + 16) - damaged.begin();
  damaged[static_cast<std::size_t>(at) + 200] ^= 0x80;
  const StubVerdict broken = check(build("damaged.exe", SignatureType::kRawSha256Dsa, 5, damaged));
  EXPECT_EQ(broken.exit, kExitCheckFailed);
  EXPECT_EQ(broken.reason, "the stub's key table is damaged (its digest does not match)");
}

// A signature no trusted key verifies lists the keys tried; the producer's message for a file it
// wrote names the key it signed with, or says the file changed when that key is trusted.
TEST_F(AcceptanceTest, AnUntrustedKeyIsNamedWithTheKeysTried) {
  const std::string path = build("setup.exe", SignatureType::kRawSha256Dsa, 5);
  tzk::signature::LoadedKeys six, one;
  const Bytes pem6 = readBytes(testKey("key6.pub.pem")), pem1 = readBytes(testKey("key1.pub.pem"));
  ASSERT_EQ(six.AddPem(6, std::string(pem6.begin(), pem6.end())), tzk::code::kSuccess);
  ASSERT_EQ(one.AddPem(1, std::string(pem1.begin(), pem1.end())), tzk::code::kSuccess);
  const tzk::signature::KeySet sixKeys = six.keys(), oneKeys = one.keys();
  const StubVerdict v = check(path, &sixKeys, "KEYS");
  EXPECT_EQ(v.exit, kExitCheckFailed);
  EXPECT_TRUE(v.untrustedKey);
  EXPECT_EQ(v.keySource, "KEYS");
  EXPECT_EQ(v.trusted, std::vector<std::string>{"6 " + fingerprintOf(6)});
  EXPECT_EQ(v.reason, "the type-5 signature does not verify with any key in KEYS (keys 6 " + fingerprintOf(6) +
                          "): signed with another key, or changed after signing");

  const tzk::signature::DsaPrivateKey key5 = privateKey(5);
  std::string message;
  CheckWritten(path, &sixKeys, "KEYS", &key5, "key5.pem", &message);
  EXPECT_EQ(message, "not written, the stub would refuse it: signed with a key not in KEYS: key fingerprint " +
                         fingerprintOf(5) + " (key5.pem), it holds 6 " + fingerprintOf(6));
  const StubVerdict ofNoKind = CheckWritten(path, &oneKeys, "KEYS", &key5, "", &message);
  EXPECT_TRUE(ofNoKind.trusted.empty());
  EXPECT_EQ(message, "not written, the stub would refuse it: signed with a key not in KEYS: key fingerprint " +
                         fingerprintOf(5) + ", it holds no key of its kind");

  // Signed with a key the stub trusts, then changed: the key is not blamed.
  Bytes changed = readBytes(path);
  changed[0x300] ^= 1;  // in the stub's section
  const StubVerdict after = CheckWritten(put("changed.exe", changed), nullptr, "", &key5, "key5.pem", &message);
  EXPECT_TRUE(after.untrustedKey);
  EXPECT_EQ(message, "not written, the stub would refuse it: the signature does not verify although key " +
                         fingerprintOf(5) + " is trusted: the file changed after it was signed");
}

// A signed archive whose content the stub's extraction would refuse: each is malformed input
// (exit 3) with the entry or record named.
TEST_F(AcceptanceTest, ContentTheExtractionWouldRefuse) {
  const Bytes stub = readBytes(fixture("stub.exe"));
  const struct {
    const char* label;
    Crafted c;
    std::string reason;
  } cases[] = {
      {"name", {"..\\evil.txt", "", 0, true, 0}, "entry '..\\evil.txt' would be written outside the target folder"},
      {"extraction name", {"engine.pkg", "..\\..\\evil.ini", 0, true, 0},
       "entry '..\\..\\evil.ini' would be written outside the target folder"},
      {"absolute name", {"C:\\evil.txt", "", 0, true, 0},
       "entry 'C:\\evil.txt' would be written outside the target folder"},
      {"entry outside", {"engine.pkg", "", 1 << 20, true, 0}, "entry 'engine.pkg' points outside the signed content"},
      {"no installer", {"engine.pkg", "", 0, false, 0},
       "the archive has no installer record (CMDP): the stub would have nothing to run"},
      {"installer outside", {"engine.pkg", "", 0, true, 1 << 20},
       "the installer record points outside the signed content"},
  };
  for (const auto& c : cases) {
    const StubVerdict v = check(put("crafted.exe", craft(stub, c.c)));
    EXPECT_EQ(v.exit, kExitBadInput) << c.label;
    EXPECT_EQ(v.reason, c.reason) << c.label;
    EXPECT_EQ(v.keyIndex, 5) << c.label << ": the signature itself verified";
  }
  const StubVerdict sound = check(put("crafted.exe", craft(stub, {})));
  EXPECT_TRUE(sound.accepted()) << sound.message();
}

// Keys given with --keys stand in for the stub's table, not for the stub: the archive must
// still sit behind a program that would load it.
TEST_F(AcceptanceTest, NoStubInFront) {
  tzk::signature::LoadedKeys keys;
  std::string error;
  ASSERT_TRUE(LoadKeyFolder(fromEnv("SFX_TEST_KEYS", ""), &keys, &error)) << error;
  const tzk::signature::KeySet given = keys.keys();
  Bytes dll = readBytes(fixture("stub.exe"));
  dll[0x40 + 23] |= 0x20;  // marked a DLL
  const struct {
    const char* label;
    Bytes stub;
    std::string reason;
  } cases[] = {
      {"text", Bytes(600, 'x'), "no stub in front of the archive: it is no PE image (no MZ and PE headers)"},
      {"dll", dll, "no stub in front of the archive: it is a DLL, not a program"},
      {"program", readBytes(fixture("installer.exe")),
       "no stub in front of the archive: it is a 32-bit program without the stub's key table or the archive "
       "locator's magic (\"TZKsetupSelfExt2\") that the stub's loader looks for"},
  };
  for (const auto& c : cases) {
    const StubVerdict v = check(put("nostub.exe", craft(c.stub, {})), &given, "KEYS");
    EXPECT_EQ(v.exit, kExitBadInput) << c.label;
    EXPECT_EQ(v.reason, c.reason) << c.label;
    EXPECT_EQ(v.keySource, "KEYS") << c.label;
  }
}

// The certificate table as the verdict reports it: signed, only reserved, or none, and a
// signature added after the archive was signed is explained as such.
TEST_F(AcceptanceTest, CertificateTableStates) {
  const StubVerdict room = check(fixture("room.exe"));
  ASSERT_TRUE(room.accepted()) << room.message();
  EXPECT_TRUE(room.authenticodeTable);
  EXPECT_EQ(VerdictJson(room)["certificateTable"], "present");
  const StubVerdict prepared = check(fromEnv("SFX_SEAL_FIXTURES", "prepared.exe"));
  ASSERT_TRUE(prepared.accepted()) << prepared.message();
  EXPECT_TRUE(prepared.tableReserved);
  EXPECT_FALSE(prepared.authenticodeTable);
  EXPECT_EQ(VerdictJson(prepared)["certificateTable"], "reserved");
  const StubVerdict unsealed = check(fromEnv("SFX_SEAL_FIXTURES", "signed.exe"));
  EXPECT_EQ(unsealed.exit, kExitCheckFailed);
  EXPECT_TRUE(unsealed.authenticodeTable);
  const std::string hint = "; a certificate table added or resized after the archive was signed changes the PE "
                           "header it covers (build with --cert, or --prepare, sign and sfxpack seal)";
  ASSERT_GE(unsealed.reason.size(), hint.size());
  EXPECT_EQ(unsealed.reason.substr(unsealed.reason.size() - hint.size()), hint);
}

}  // namespace
}  // namespace sfxpack
