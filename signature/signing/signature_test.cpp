#include "signature/signature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "signature/dsa_check.h"
#include "signature/signature_digest.h"
#include "signature/signing/signing.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"

namespace tzk::signature {
namespace {

using Bytes = std::vector<std::uint8_t>;
using type = SignatureType;
using mode = LookupMode;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

void Put(Bytes* to, const Bytes& bytes) { to->insert(to->end(), bytes.begin(), bytes.end()); }

ByteView View(const Bytes& bytes) { return ByteView{bytes.data(), bytes.size()}; }

std::string Hex(const Bytes& bytes, bool upper) {
  std::string out;
  for (std::uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), upper ? "%02X" : "%02x", b);
    out += pair;
  }
  return out;
}

Bytes Pseudorandom(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  for (std::uint8_t& b : out) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  return out;
}

// A minimal executable image: "MZ", the PE header at 0x80, the machine type and the offset of
// the certificate table in the security directory entry that goes with it.
constexpr std::uint32_t kPeHeader = 0x80;
Bytes MinimalPe(std::size_t size, std::uint16_t machine, std::uint32_t certificateTable) {
  Bytes pe = Pseudorandom(size, 7);
  pe[0] = 'M';
  pe[1] = 'Z';
  vocabulary::WriteLe32(pe.data() + 0x3C, kPeHeader);
  vocabulary::WriteLe32(pe.data() + kPeHeader, 0x00004550);  // "PE\0\0"
  pe[kPeHeader + 4] = static_cast<std::uint8_t>(machine);
  pe[kPeHeader + 5] = static_cast<std::uint8_t>(machine >> 8);
  const bool wide = machine == 0x8664 || machine == 0x0200 || machine == 0x0284;
  vocabulary::WriteLe32(pe.data() + kPeHeader + (wide ? 168 : 152), certificateTable);
  return pe;
}

// A folder of scratch files on whichever system runs the test.
class ScratchDir {
 public:
  ScratchDir() {
#ifdef _WIN32
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"signature_test_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path_.c_str(), nullptr);
#else
    char pattern[] = "/tmp/signature_test_XXXXXX";
    path_ = vocabulary::fromUtf8(::mkdtemp(pattern));
#endif
  }
  ~ScratchDir() {
    for (const std::wstring& file : files_) std::remove(vocabulary::toHostPath(file).c_str());
#ifdef _WIN32
    ::RemoveDirectoryW(path_.c_str());
#else
    ::rmdir(vocabulary::toHostPath(path_).c_str());
#endif
  }

  std::wstring Write(const std::wstring& name, const Bytes& bytes) {
    const std::wstring file = path_ + L"\\" + name;
    std::ofstream out(vocabulary::toHostPath(file), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    files_.push_back(file);
    return file;
  }

  static Bytes Read(const std::wstring& file) {
    std::ifstream in(vocabulary::toHostPath(file), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_;
};

std::wstring KeyPath(const char* folder, const std::string& name) {
  return vocabulary::fromUtf8(std::string(folder) + "/" + name);
}

class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(code::kSuccess, publicKeys_.LoadFolder(vocabulary::fromUtf8(TZK_TEST_KEY_DIR)));
    // TEST-ONLY private keys of keys/test, committed so that tests can sign.
    for (int index : {1, 2, 3, 5, 6, 7}) {
      std::string pem;
      ASSERT_EQ(code::kSuccess, ReadTextFile(KeyPath(TZK_TEST_KEY_DIR, "key" + std::to_string(index) + ".pem"), &pem));
      ASSERT_EQ(code::kSuccess, ParsePrivateKeyPem(pem, &privateKeys_[index]));
    }
  }

  static const DsaPrivateKey& Key(int index) { return privateKeys_[index]; }

  // Content followed by the block SignFile appends for `type`.
  std::wstring Signed(const std::wstring& name, const Bytes& content, SignatureType type, int keyIndex) {
    const std::wstring file = scratch_.Write(name, content);
    EXPECT_EQ(code::kSuccess, SignFile(file, type, keyIndex == 0 ? nullptr : &Key(keyIndex)));
    return file;
  }

  bool Verify(const std::wstring& file, LookupMode verifyMode, int* keyIndex = nullptr) {
    int ignored = -1;
    return VerifySignatureWithKeys(file.c_str(), verifyMode, publicKeys_.keys(), keyIndex ? keyIndex : &ignored);
  }

  // Whether the file still verifies with byte `at` flipped.
  bool VerifiesWithFlip(const std::wstring& name, const Bytes& bytes, std::size_t at, LookupMode verifyMode) {
    Bytes changed = bytes;
    changed[at] ^= 0x01;
    return Verify(scratch_.Write(name, changed), verifyMode);
  }

  ScratchDir scratch_;
  static LoadedKeys publicKeys_;
  static DsaPrivateKey privateKeys_[8];
};

LoadedKeys SignatureTest::publicKeys_;
DsaPrivateKey SignatureTest::privateKeys_[8];

TEST_F(SignatureTest, SignedFilesVerifyAndAnyFlippedByteBreaksThem) {
  // Printable content, so that a flipped bit keeps every byte inside the text digest's range.
  Bytes content = Pseudorandom(96, 3);
  for (std::uint8_t& b : content) b = static_cast<std::uint8_t>(0x21 + b % 0x5E);
  struct Case {
    SignatureType type;
    int signer;
    LookupMode verifyMode;
    int reported;
    std::size_t blockSize;
  } const cases[] = {
      {type::kRawMd5Dsa, 1, mode::kMd5Dsa, 1, 48},
      {type::kRawSha256Dsa, 7, mode::kSha256Dsa, 7, 72},
      {type::kTextMd5, 0, mode::kTextMd5, 0, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Number(c.type));
    const std::wstring file = Signed(L"signed.bin", content, c.type, c.signer);
    const Bytes bytes = ScratchDir::Read(file);
    ASSERT_EQ(content.size() + c.blockSize, bytes.size());
    int keyIndex = -1;
    EXPECT_TRUE(Verify(file, c.verifyMode, &keyIndex));
    EXPECT_EQ(c.reported, keyIndex);
    EXPECT_TRUE(Verify(file, mode::kArchive));
    SignatureType foundType = SignatureType::kTextMd5Dsa;
    std::uint64_t offset = 0;
    ASSERT_TRUE(LocateSignature(file.c_str(), mode::kArchive, nullptr, &foundType, &offset));
    EXPECT_EQ(c.type, foundType);
    EXPECT_EQ(content.size(), offset);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
      ASSERT_FALSE(VerifiesWithFlip(L"flipped.bin", bytes, at, c.verifyMode)) << "byte " << at;
    }
  }
}

TEST_F(SignatureTest, Sha256FormIgnoresOnlyThePeChecksum) {
  for (std::uint16_t machine : {std::uint16_t{0x014C}, std::uint16_t{0x8664}}) {
    const std::wstring file = Signed(L"pe.exe", MinimalPe(600, machine, 0), type::kRawSha256Dsa, 5);
    const Bytes bytes = ScratchDir::Read(file);
    for (std::size_t at = kPeHeader + 88; at < kPeHeader + 92; ++at) {
      EXPECT_TRUE(VerifiesWithFlip(L"flipped.exe", bytes, at, mode::kSha256Dsa)) << "checksum byte " << at;
    }
    for (std::size_t at : {std::size_t{0}, std::size_t{0x3C}, std::size_t{kPeHeader + 87},
                           std::size_t{kPeHeader + 92}, std::size_t{599}}) {
      EXPECT_FALSE(VerifiesWithFlip(L"flipped.exe", bytes, at, mode::kSha256Dsa)) << "byte " << at;
    }
  }
}

TEST_F(SignatureTest, Md5KeysAreTriedInTheirOrderAndTheOneThatVerifiesIsReported) {
  const Bytes content = Pseudorandom(300, 11);
  struct Case {
    int signer, expectedTries;
  } const cases[] = {{2, 1}, {1, 2}, {3, 3}};  // the order is 2, 1, 3
  for (const Case& c : cases) {
    const std::wstring file = Signed(L"order.bin", content, type::kRawMd5Dsa, c.signer);
    const std::uint32_t before = DsaExponentiations();
    int keyIndex = -1;
    EXPECT_TRUE(Verify(file, mode::kMd5Dsa, &keyIndex));
    EXPECT_EQ(c.signer, keyIndex);
    EXPECT_EQ(before + c.expectedTries, DsaExponentiations());
  }
}

TEST_F(SignatureTest, OutOfRangeRAndSFailBeforeAnyExponentiation) {
  const Md5Digest digest = Md5Of(View(Text("content")));
  const Bytes good = SignDigest(Key(2), ByteView{digest.data(), digest.size()}, DigestHash::kMd5);
  ASSERT_EQ(40u, good.size());
  const DsaPublicKey& key = *publicKeys_.keys().Find(2);
  const Bytes q(key.q.data, key.q.data + key.q.size);
  auto withHalf = [&](std::size_t half, const Bytes& value) {
    Bytes signature = good;
    std::copy(value.begin(), value.end(), signature.begin() + static_cast<long>(half * 20));
    return signature;
  };
  const Bytes zero(20, 0);
  const Bytes broken[] = {withHalf(0, zero), withHalf(1, zero), withHalf(0, q), withHalf(1, q), Bytes(good.begin(), good.end() - 1)};
  const std::uint32_t before = DsaExponentiations();
  for (const Bytes& signature : broken) {
    EXPECT_FALSE(DsaVerify(key, ByteView{digest.data(), digest.size()}, View(signature)));
  }
  // Through a file, where all three keys would be tried.
  Bytes file = Text("content");
  Put(&file, broken[0]);
  Put(&file, Text(kRawMd5Magic));
  EXPECT_FALSE(Verify(scratch_.Write(L"zero_r.bin", file), mode::kMd5Dsa));
  EXPECT_EQ(before, DsaExponentiations());
  EXPECT_TRUE(DsaVerify(key, ByteView{digest.data(), digest.size()}, View(good)));
  EXPECT_EQ(before + 1, DsaExponentiations());
}

// The check reads r, s and the digest as fixed-length big-endian numbers; leading zero bytes are
// part of the number, not padding to skip or a length to trust.
TEST_F(SignatureTest, LeadingZeroBytesInRAndTheDigestAreKept) {
  const DsaPublicKey& key = *publicKeys_.keys().Find(2);
  Md5Digest digest{};
  digest[15] = 1;
  const Bytes small = SignDigest(Key(2), ByteView{digest.data(), digest.size()}, DigestHash::kMd5);
  EXPECT_TRUE(DsaVerify(key, ByteView{digest.data(), digest.size()}, View(small)));
  // A digest with r below 2^152: one in 256 on average, found within a few thousand.
  Bytes signature;
  for (std::uint32_t seed = 0; seed < 4096 && (signature.empty() || signature[0] != 0); ++seed) {
    digest = Md5Of(View(Pseudorandom(16, seed)));
    signature = SignDigest(Key(2), ByteView{digest.data(), digest.size()}, DigestHash::kMd5);
  }
  ASSERT_EQ(0, signature[0]);
  EXPECT_TRUE(DsaVerify(key, ByteView{digest.data(), digest.size()}, View(signature)));
  signature[0] = 1;
  EXPECT_FALSE(DsaVerify(key, ByteView{digest.data(), digest.size()}, View(signature)));
}

TEST(Signing, FollowsTheDeterministicNonceVectorOf2048BitDsa) {
  // The DSA 2048/256 key and the signature of "sample" with SHA-256 from RFC 6979, A.2.2.
  auto hex = [](const char* digits) {
    Bytes out;
    for (std::size_t i = 0; digits[i] != 0; i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(digits + i, 2), nullptr, 16)));
    return out;
  };
  DsaPrivateKey key;
  key.p = hex("9DB6FB5951B66BB6FE1E140F1D2CE5502374161FD6538DF1648218642F0B5C48C8F7A41AADFA187324B87674FA1822B0"
              "0F1ECF8136943D7C55757264E5A1A44FFE012E9936E00C1D3E9310B01C7D179805D3058B2A9F4BB6F9716BFE6117C6B5"
              "B3CC4D9BE341104AD4A80AD6C94E005F4B993E14F091EB51743BF33050C38DE235567E1B34C3D6A5C0CEAA1A0F368213"
              "C3D19843D0B4B09DCB9FC72D39C8DE41F1BF14D4BB4563CA28371621CAD3324B6A2D392145BEBFAC748805236F5CA2FE"
              "92B871CD8F9C36D3292B5509CA8CAA77A2ADFC7BFD77DDA6F71125A7456FEA153E433256A2261C6A06ED3693797E7995"
              "FAD5AABBCFBE3EDA2741E375404AE25B");
  key.q = hex("F2C3119374CE76C9356990B465374A17F23F9ED35089BD969F61C6DDE9998C1F");
  key.g = hex("5C7FF6B06F8F143FE8288433493E4769C4D988ACE5BE25A0E24809670716C613D7B0CEE6932F8FAA7C44D2CB24523DA5"
              "3FBE4F6EC3595892D1AA58C4328A06C46A15662E7EAA703A1DECF8BBB2D05DBE2EB956C142A338661D10461C0D135472"
              "085057F3494309FFA73C611F78B32ADBB5740C361C9F35BE90997DB2014E2EF5AA61782F52ABEB8BD6432C4DD097BC54"
              "23B285DAFB60DC364E8161F4A2A35ACA3A10B1C4D203CC76A470A33AFDCBDD92959859ABD8B56E1725252D78EAC66E71"
              "BA9AE3F1DD2487199874393CD4D832186800654760E1E34C09E4D155179F9EC0DC4473F996BDCE6EED1CABED8B6F116F"
              "7AD9CF505DF0F998E34AB27514B0FFE7");
  key.x = hex("69C7548C21D0DFEA6B9A51C9EAD4E27C33D3B3F180316E5BCAB92C933F0E4DBC");
  const Bytes sample = Text("sample");
  const Sha256Digest digest = Sha256WithoutPeChecksum(View(sample));  // not "MZ": plain SHA-256
  const Bytes expected = hex("EACE8BDBBE353C432A795D9EC556C6D021F7A03F42C36E9BC87E4AC7932CC809"
                             "7081E175455F9247B812B74583E9E94F9EA79BD640DC962533B0680793A38D53");
  EXPECT_EQ(expected, SignDigest(key, ByteView{digest.data(), digest.size()}, DigestHash::kSha256));
}

TEST_F(SignatureTest, RawFormNeedsRoomForItsSignature) {
  Bytes bytes = Pseudorandom(40, 5);
  Put(&bytes, Text(kRawMd5Magic));
  SignatureType foundType = SignatureType::kTextMd5Dsa;
  std::uint64_t offset = 99;
  Bytes signature;
  ASSERT_TRUE(LocateSignature(scratch_.Write(L"48.bin", bytes).c_str(), mode::kArchive, &signature, &foundType, &offset));
  EXPECT_EQ(type::kRawMd5Dsa, foundType);
  EXPECT_EQ(0u, offset);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 40), signature);
  bytes.erase(bytes.begin());
  EXPECT_FALSE(LocateSignature(scratch_.Write(L"47.bin", bytes).c_str(), mode::kArchive, nullptr, &foundType, &offset));
}

TEST_F(SignatureTest, BlockBeforeACertificateTableIsFoundThroughThePeAwareEnd) {
  const Bytes table = Pseudorandom(64, 9);  // stands for the Authenticode certificate table
  for (std::uint16_t machine : {std::uint16_t{0x014C}, std::uint16_t{0x8664}}) {
    for (std::size_t padding : {0, 3, 7, 8}) {
      SCOPED_TRACE(std::to_string(machine) + " padding " + std::to_string(padding));
      const std::size_t contentSize = 515;
      const auto tableAt = static_cast<std::uint32_t>(contentSize + 48 + padding);
      const std::wstring file = Signed(L"authenticode.exe", MinimalPe(contentSize, machine, tableAt), type::kRawMd5Dsa, 2);
      Bytes bytes = ScratchDir::Read(file);
      bytes.resize(bytes.size() + padding, 0);
      Put(&bytes, table);
      const std::wstring withTable = scratch_.Write(L"authenticode.exe", bytes);
      SignatureType foundType = SignatureType::kTextMd5Dsa;
      std::uint64_t offset = 0;
      const bool found = LocateSignature(withTable.c_str(), mode::kArchive, nullptr, &foundType, &offset);
      if (padding > 7) {
        EXPECT_FALSE(found);  // no more than 7 zero bytes are stepped over
        continue;
      }
      ASSERT_TRUE(found);
      EXPECT_EQ(type::kRawMd5Dsa, foundType);
      EXPECT_EQ(contentSize, offset);
      int keyIndex = 0;
      EXPECT_TRUE(Verify(withTable, mode::kMd5Dsa, &keyIndex));
      EXPECT_EQ(2, keyIndex);
    }
  }
}

TEST_F(SignatureTest, Sha256BlockFollowedByAnMd5BlockIsFoundAtSizeMinus56) {
  const Bytes content = Pseudorandom(333, 13);
  Bytes bytes = content;
  Bytes block;
  ASSERT_EQ(code::kSuccess, MakeSignatureBlock(View(content), type::kRawSha256Dsa, &Key(6), &block));
  Put(&bytes, block);
  Put(&bytes, Pseudorandom(40, 1));
  Put(&bytes, Text(kRawMd5Magic));
  const std::wstring file = scratch_.Write(L"both.bin", bytes);
  SignatureType foundType = SignatureType::kTextMd5Dsa;
  std::uint64_t offset = 0;
  Bytes signature;
  ASSERT_TRUE(LocateSignature(file.c_str(), mode::kMd5Dsa, &signature, &foundType, &offset));
  EXPECT_EQ(type::kRawSha256Dsa, foundType);
  EXPECT_EQ(content.size(), offset);
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 64), signature);
  int keyIndex = 0;
  EXPECT_TRUE(Verify(file, mode::kMd5Dsa, &keyIndex));  // switches to the SHA-256 mode
  EXPECT_EQ(6, keyIndex);
}

TEST_F(SignatureTest, TextDsaFormsAreLocatedAndVerifiedButOnlyInTheirModes) {
  const Bytes content = Text("line one\r\nline two \xE9\r\n");
  const Md5Digest md5 = Md5OfText(View(content));
  const Sha256Digest sha = Sha256WithoutPeChecksum(View(content));
  const Bytes md5Signature = SignDigest(Key(3), ByteView{md5.data(), md5.size()}, DigestHash::kMd5);
  const Bytes shaSignature = SignDigest(Key(6), ByteView{sha.data(), sha.size()}, DigestHash::kSha256);
  struct Case {
    SignatureType type;
    const char* magic;
    Bytes signature;
    int key;
    LookupMode ownMode, otherMode;
    bool upper;
  } const cases[] = {
      {type::kTextMd5Dsa, kTextMd5DsaMagic, md5Signature, 3, mode::kMd5Dsa, mode::kSha256Dsa, false},
      {type::kTextSha256Dsa, kTextSha256DsaMagic, shaSignature, 6, mode::kSha256Dsa, mode::kTextMd5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Number(c.type));
    Bytes bytes = content;
    Put(&bytes, Text(c.magic + Hex(c.signature, c.upper) + c.magic + "\r\n"));
    const std::wstring file = scratch_.Write(L"text_dsa.txt", bytes);
    SignatureType foundType = SignatureType::kTextMd5Dsa;
    std::uint64_t offset = 0;
    Bytes signature;
    ASSERT_TRUE(LocateSignature(file.c_str(), mode::kArchive, &signature, &foundType, &offset));
    EXPECT_EQ(c.type, foundType);
    EXPECT_EQ(content.size(), offset);
    EXPECT_EQ(c.signature, signature);
    int keyIndex = 0;
    EXPECT_TRUE(Verify(file, c.ownMode, &keyIndex));
    EXPECT_EQ(c.key, keyIndex);
    EXPECT_TRUE(Verify(file, mode::kMd5Dsa));  // types 4 and 5 switch to their own mode
    EXPECT_FALSE(Verify(file, c.otherMode));
  }
}

TEST(Digests, TextMd5KeepsExactlyTheBytes0x20To0x7F) {
  Bytes every;
  for (int round = 0; round < 40; ++round) {  // longer than the filter's buffer
    for (int b = 0; b < 256; ++b) every.push_back(static_cast<std::uint8_t>(b));
  }
  Bytes printable;
  for (std::uint8_t b : every) {
    if (b >= 0x20 && b <= 0x7F) printable.push_back(b);
  }
  EXPECT_EQ(Md5Of(View(printable)), Md5OfText(View(every)));
}

// The stub digests its file a piece at a time: wherever the pieces cut the content (through the
// PE checksum, through the text filter's buffer), the digests are those of the whole.
TEST(Digests, PiecesGiveTheDigestsOfTheWhole) {
  Bytes content = MinimalPe(9000, 0x014C, 0);
  content[kPeHeader + 88] = 0x5A;  // a checksum that must count as zero
  for (int b = 0; b < 9000; ++b) content.push_back(static_cast<std::uint8_t>(b * 7));
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{kPeHeader + 90}, std::size_t{4096},
                            std::size_t{5000}}) {
    SCOPED_TRACE(piece);
    const ContentSource pieces = [&content, piece](const std::function<void(ByteView)>& take) {
      for (std::size_t at = 0; at < content.size(); at += piece) {
        take(ByteView{content.data() + at, std::min(piece, content.size() - at)});
      }
      return true;
    };
    Md5Digest md5{}, text{};
    Sha256Digest sha{};
    // A piece shorter than the DOS header leaves the checksum in place: the stub's pieces never are.
    if (piece >= 0x40) {
      ASSERT_TRUE(Sha256WithoutPeChecksum(content.size(), pieces, &sha));
      EXPECT_EQ(sha, Sha256WithoutPeChecksum(View(content)));
    }
    ASSERT_TRUE(Md5Of(pieces, &md5));
    ASSERT_TRUE(Md5OfText(pieces, &text));
    EXPECT_EQ(md5, Md5Of(View(content)));
    EXPECT_EQ(text, Md5OfText(View(content)));
  }
  const ContentSource failing = [](const std::function<void(ByteView)>&) { return false; };
  Md5Digest md5{};
  EXPECT_FALSE(Md5Of(failing, &md5));
}

TEST_F(SignatureTest, TextMd5FormSkipsLineBreaksAndHighBytesAndTrailingText) {
  const Bytes plain = Text("setup text");
  Bytes block;
  ASSERT_EQ(code::kSuccess, MakeSignatureBlock(View(plain), type::kTextMd5, nullptr, &block));
  Bytes bytes = Text("setup\r\n\xC3\xA9 text\n");  // the same bytes 0x20..0x7F as `plain`
  const std::size_t contentSize = bytes.size();
  Put(&bytes, block);
  Put(&bytes, Text("\r\n"));
  const std::wstring file = scratch_.Write(L"md5.txt", bytes);
  int keyIndex = -1;
  EXPECT_TRUE(Verify(file, mode::kTextMd5, &keyIndex));
  EXPECT_EQ(0, keyIndex);
  std::uint64_t offset = 0;
  EXPECT_TRUE(LocateSignature(file.c_str(), mode::kTextMd5, nullptr, nullptr, &offset));
  EXPECT_EQ(contentSize, offset);
  EXPECT_FALSE(Verify(file, mode::kMd5Dsa));  // the DSA modes do not look for it

  // The closing magic may be followed by 99 bytes, not 100.
  Bytes trailing = bytes;
  Put(&trailing, Bytes(97, 'x'));
  EXPECT_TRUE(Verify(scratch_.Write(L"md5_99.txt", trailing), mode::kTextMd5));
  trailing.push_back('x');
  EXPECT_FALSE(Verify(scratch_.Write(L"md5_100.txt", trailing), mode::kTextMd5));

  // Digits are hex digits only: no sign or blank that a lenient number parser would take.
  Bytes signed_ = bytes;
  signed_[contentSize + 8] = '+';
  EXPECT_FALSE(LocateSignature(scratch_.Write(L"md5_sign.txt", signed_).c_str(), mode::kTextMd5, nullptr, nullptr, nullptr));
}

TEST_F(SignatureTest, UnknownModesMissingFilesAndForeignTypesFail) {
  const std::wstring file = Signed(L"modes.bin", Pseudorandom(100, 17), type::kRawMd5Dsa, 2);
  for (LookupMode badMode : {static_cast<LookupMode>(0), static_cast<LookupMode>(5), static_cast<LookupMode>(-1)}) {
    EXPECT_FALSE(LocateSignature(file.c_str(), badMode, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Verify(file, badMode));
  }
  EXPECT_FALSE(Verify(file, mode::kSha256Dsa));
  EXPECT_FALSE(Verify(file, mode::kTextMd5));
  int keyIndex = -1;
  EXPECT_FALSE(VerifySignature(L"no-such-file.bin", mode::kArchive, &keyIndex));
  EXPECT_EQ(0, keyIndex);
  EXPECT_FALSE(LocateSignature(nullptr, mode::kArchive, nullptr, nullptr, nullptr));
}

TEST_F(SignatureTest, CompiledTableHoldsTheKeysOfTheBuildsKeyFolder) {
  LoadedKeys build;
  ASSERT_EQ(code::kSuccess, build.LoadFolder(vocabulary::fromUtf8(TZK_BUILD_KEY_DIR)));
  const KeySet compiled = CompiledKeys();
  ASSERT_EQ(6u, compiled.count);
  for (int index : {1, 2, 3, 5, 6, 7}) {
    const DsaPublicKey* a = compiled.Find(index);
    const DsaPublicKey* b = build.keys().Find(index);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    for (auto field : {&DsaPublicKey::p, &DsaPublicKey::q, &DsaPublicKey::g, &DsaPublicKey::y}) {
      ASSERT_EQ(Bytes((b->*field).data, (b->*field).data + (b->*field).size),
                Bytes((a->*field).data, (a->*field).data + (a->*field).size));
    }
  }
  if (std::string(TZK_BUILD_KEY_DIR) != TZK_TEST_KEY_DIR) GTEST_SKIP() << "release keys compiled in";
  int keyIndex = 0;
  EXPECT_TRUE(VerifySignature(Signed(L"compiled.bin", Pseudorandom(64, 19), type::kRawSha256Dsa, 5).c_str(),
                              mode::kSha256Dsa, &keyIndex));
  EXPECT_EQ(5, keyIndex);
}

}  // namespace
}  // namespace tzk::signature
