#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include "signature/signing/signing.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/gfpcrypt.h>
#include <cryptopp/hmac.h>
#include <cryptopp/integer.h>
#include <cryptopp/md5.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/sha.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "signature/signature.h"
#include "signature/signature_digest.h"
#include "signature/signature_file.h"
#include "vocabulary/text.h"

namespace tzk::signature {
namespace {

using CryptoPP::Integer;

Integer FromBytes(const std::uint8_t* data, std::size_t size) {
  return Integer(data, size, Integer::UNSIGNED, CryptoPP::BIG_ENDIAN_ORDER);
}

Integer FromBytes(const std::vector<std::uint8_t>& bytes) { return FromBytes(bytes.data(), bytes.size()); }

std::vector<std::uint8_t> ToBytes(const Integer& value, std::size_t size) {
  std::vector<std::uint8_t> out(size);
  value.Encode(out.data(), size, Integer::UNSIGNED);
  return out;
}

void Append(std::vector<std::uint8_t>* to, const std::vector<std::uint8_t>& bytes) {
  to->insert(to->end(), bytes.begin(), bytes.end());
}

// The leftmost qbits bits of a bit string as an integer (RFC 6979, 2.3.2).
Integer BitsToInt(const std::uint8_t* data, std::size_t size, unsigned qbits) {
  Integer value = FromBytes(data, size);
  if (size * 8 > qbits) value >>= static_cast<unsigned>(size * 8 - qbits);
  return value;
}

// The HMAC_DRBG of RFC 6979, 3.2: every candidate nonce follows from the private key and the
// digest alone, so signing needs no random source and repeats byte for byte.
template <typename Hash>
class NonceSequence {
 public:
  NonceSequence(const Integer& x, const Integer& q, ByteView digest) : q_(q), qbits_(q.BitCount()) {
    const std::size_t rlen = q.ByteCount();
    Integer h = BitsToInt(digest.data, digest.size, qbits_);
    if (h >= q) h -= q;
    const std::vector<std::uint8_t> xo = ToBytes(x, rlen);
    const std::vector<std::uint8_t> ho = ToBytes(h, rlen);
    v_.assign(Hash::DIGESTSIZE, 0x01);
    k_.assign(Hash::DIGESTSIZE, 0x00);
    for (std::uint8_t round : {0x00, 0x01}) {
      std::vector<std::uint8_t> input = v_;
      input.push_back(round);
      Append(&input, xo);
      Append(&input, ho);
      k_ = Mac(input);
      v_ = Mac(v_);
    }
  }

  Integer Next() {
    for (;;) {
      std::vector<std::uint8_t> t;
      while (t.size() * 8 < qbits_) {
        v_ = Mac(v_);
        Append(&t, v_);
      }
      const Integer k = BitsToInt(t.data(), t.size(), qbits_);
      std::vector<std::uint8_t> input = v_;
      input.push_back(0x00);
      k_ = Mac(input);
      v_ = Mac(v_);
      if (k.IsPositive() && k < q_) return k;
    }
  }

 private:
  std::vector<std::uint8_t> Mac(const std::vector<std::uint8_t>& data) const {
    CryptoPP::HMAC<Hash> mac(k_.data(), k_.size());
    std::vector<std::uint8_t> out(Hash::DIGESTSIZE);
    mac.CalculateDigest(out.data(), data.data(), data.size());
    return out;
  }

  Integer q_;
  unsigned qbits_;
  std::vector<std::uint8_t> k_, v_;
};

template <typename Hash>
std::vector<std::uint8_t> Sign(const Integer& p, const Integer& q, const Integer& g, const Integer& x,
                               ByteView digest) {
  const Integer e = FromBytes(digest.data, digest.size);
  NonceSequence<Hash> nonces(x, q, digest);
  for (;;) {
    const Integer k = nonces.Next();
    const Integer r = a_exp_b_mod_c(g, k, p) % q;
    if (r.IsZero()) continue;
    const Integer s = a_times_b_mod_c(k.InverseMod(q), e + x * r, q);
    if (s.IsZero()) continue;
    std::vector<std::uint8_t> signature = ToBytes(r, q.ByteCount());
    Append(&signature, ToBytes(s, q.ByteCount()));
    return signature;
  }
}

// The base64 body of the first PEM block with `label`, decoded; empty when there is none.
std::string PemBody(const std::string& pem, const std::string& label) {
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  const std::size_t start = pem.find(begin);
  if (start == std::string::npos) return std::string();
  const std::size_t stop = pem.find(end, start + begin.size());
  if (stop == std::string::npos) return std::string();
  std::string der;
  CryptoPP::StringSource decode(pem.substr(start + begin.size(), stop - start - begin.size()), true,
                                new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  return der;
}

// The DSA key (a CryptoPP::DSA::PrivateKey or PublicKey) in the first PEM block with `label`;
// false when there is none or it holds no DSA key.
template <typename Key>
bool DecodeDsaPem(const std::string& pem, const std::string& label, Key* key) {
  try {
    const std::string der = PemBody(pem, label);
    if (der.empty()) return false;
    CryptoPP::StringSource source(der, true);
    key->Load(source);
    return true;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

// Bits of p and q that key `index` (or a signature type's key) must have.
struct KeyShape {
  unsigned pBits, qBits;
};

bool ShapeOfIndex(int index, KeyShape* shape) {
  if (index >= 1 && index <= 3) *shape = KeyShape{1024, 160};
  else if (index >= 5 && index <= 7) *shape = KeyShape{2048, 256};
  else return false;
  return true;
}

bool HasShape(const Integer& p, const Integer& q, KeyShape shape) {
  return p.BitCount() == shape.pBits && q.BitCount() == shape.qBits && p.IsOdd();
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using ScopedFile = std::unique_ptr<std::FILE, FileCloser>;

ScopedFile OpenFile(const std::wstring& path, const wchar_t* mode) {
#ifdef _WIN32
  return ScopedFile(::_wfopen(path.c_str(), mode));
#else
  return ScopedFile(std::fopen(vocabulary::toHostPath(path).c_str(), vocabulary::toUtf8(mode).c_str()));
#endif
}

Result AppendToFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* raw = OpenFile(path, L"ab").release();
  if (raw == nullptr) return code::kOpenFailed;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), raw) == bytes.size();
  // fclose flushes: its failure means the block may not be on disk.
  const bool closed = std::fclose(raw) == 0;
  return written && closed ? code::kSuccess : code::kCannotMake;
}

std::vector<std::uint8_t> Magic(const char* magic) {
  return std::vector<std::uint8_t>(magic, magic + 8);
}

Result MakeDsaBlock(ByteView digest, DigestHash hash, const char* magic, KeyShape shape,
                    const DsaPrivateKey* key, std::vector<std::uint8_t>* block) {
  if (key == nullptr) return code::kInvalidParameter;
  if (!HasShape(FromBytes(key->p), FromBytes(key->q), shape)) return code::kInvalidData;
  *block = SignDigest(*key, digest, hash);
  if (block->empty()) return code::kInvalidData;
  Append(block, Magic(magic));
  return code::kSuccess;
}

}  // namespace

std::vector<std::uint8_t> SignDigest(const DsaPrivateKey& key, ByteView digest, DigestHash hash) {
  const Integer p = FromBytes(key.p), q = FromBytes(key.q), g = FromBytes(key.g), x = FromBytes(key.x);
  if (p.IsEven() || q <= Integer::One() || !x.IsPositive() || x >= q || g <= Integer::One() || g >= p) {
    return {};
  }
  if (hash == DigestHash::kMd5) return Sign<CryptoPP::Weak::MD5>(p, q, g, x, digest);
  return Sign<CryptoPP::SHA256>(p, q, g, x, digest);
}

Result ParsePrivateKeyPem(const std::string& pem, DsaPrivateKey* key) {
  CryptoPP::DSA::PrivateKey decoded;
  if (!DecodeDsaPem(pem, "PRIVATE KEY", &decoded)) return code::kInvalidData;
  const CryptoPP::DL_GroupParameters_DSA& group = decoded.GetGroupParameters();
  const Integer& q = group.GetSubgroupOrder();
  key->p = ToBytes(group.GetModulus(), group.GetModulus().ByteCount());
  key->q = ToBytes(q, q.ByteCount());
  key->g = ToBytes(group.GetSubgroupGenerator(), group.GetSubgroupGenerator().ByteCount());
  key->x = ToBytes(decoded.GetPrivateExponent(), q.ByteCount());
  return code::kSuccess;
}

Result LoadedKeys::AddPem(int index, const std::string& pem) {
  KeyShape shape{};
  if (!ShapeOfIndex(index, &shape)) return code::kInvalidParameter;
  CryptoPP::DSA::PublicKey decoded;
  if (!DecodeDsaPem(pem, "PUBLIC KEY", &decoded)) return code::kInvalidData;
  const CryptoPP::DL_GroupParameters_DSA& group = decoded.GetGroupParameters();
  const Integer& p = group.GetModulus();
  const Integer& q = group.GetSubgroupOrder();
  if (!HasShape(p, q, shape)) return code::kInvalidData;
  const std::size_t wide = shape.pBits / 8, narrow = shape.qBits / 8;
  DsaPublicKey key{index, {}, {}, {}, {}};
  ByteView* fields[] = {&key.p, &key.q, &key.g, &key.y};
  const Integer values[] = {p, q, group.GetSubgroupGenerator(), decoded.GetPublicElement()};
  for (int i = 0; i < 4; ++i) {
    values_.push_back(ToBytes(values[i], i == 1 ? narrow : wide));
    *fields[i] = ByteView{values_.back().data(), values_.back().size()};
  }
  table_.push_back(key);
  return code::kSuccess;
}

Result LoadedKeys::AddValues(int index, ByteView p, ByteView q, ByteView g, ByteView y) {
  KeyShape shape{};
  if (!ShapeOfIndex(index, &shape)) return code::kInvalidParameter;
  const std::size_t wide = shape.pBits / 8, narrow = shape.qBits / 8;
  if (p.size != wide || q.size != narrow || g.size != wide || y.size != wide ||
      !HasShape(FromBytes(p.data, p.size), FromBytes(q.data, q.size), shape)) {
    return code::kInvalidData;
  }
  DsaPublicKey key{index, {}, {}, {}, {}};
  ByteView* fields[] = {&key.p, &key.q, &key.g, &key.y};
  const ByteView values[] = {p, q, g, y};
  for (int i = 0; i < 4; ++i) {
    values_.emplace_back(values[i].data, values[i].data + values[i].size);
    *fields[i] = ByteView{values_.back().data(), values_.back().size()};
  }
  table_.push_back(key);
  return code::kSuccess;
}

Result LoadedKeys::LoadFolder(const std::wstring& folder) {
  bool any = false;
  for (int index : {1, 2, 3, 5, 6, 7}) {
    std::string pem;
    const std::wstring path = folder + L"\\key" + std::to_wstring(index) + L".pub.pem";
    if (ReadTextFile(path, &pem) != code::kSuccess) continue;
    const Result added = AddPem(index, pem);
    if (added != code::kSuccess) return added;
    any = true;
  }
  return any ? code::kSuccess : code::kFileNotFound;
}

namespace {

Result TextBlock(const Md5Digest& digest, std::vector<std::uint8_t>* block) {
  static const char kDigits[] = "0123456789abcdef";
  *block = Magic(kTextMd5Magic);
  for (std::uint8_t b : digest) {
    block->push_back(static_cast<std::uint8_t>(kDigits[b >> 4]));
    block->push_back(static_cast<std::uint8_t>(kDigits[b & 15]));
  }
  Append(block, Magic(kTextMd5Magic));
  return code::kSuccess;
}

}  // namespace

Result MakeSignatureBlock(ByteView content, SignatureType type, const DsaPrivateKey* key,
                          std::vector<std::uint8_t>* block) {
  switch (type) {
    case SignatureType::kRawMd5Dsa: {
      const Md5Digest digest = Md5Of(content);
      return MakeDsaBlock(ByteView{digest.data(), digest.size()}, DigestHash::kMd5, kRawMd5Magic,
                          KeyShape{1024, 160}, key, block);
    }
    case SignatureType::kRawSha256Dsa: {
      const Sha256Digest digest = Sha256WithoutPeChecksum(content);
      return MakeDsaBlock(ByteView{digest.data(), digest.size()}, DigestHash::kSha256, kRawSha256Magic,
                          KeyShape{2048, 256}, key, block);
    }
    case SignatureType::kTextMd5:
      return TextBlock(Md5OfText(content), block);
    default:
      return code::kInvalidParameter;
  }
}

Result MakeSignatureBlock(std::uint64_t size, const ContentSource& content, SignatureType type,
                          const DsaPrivateKey* key, std::vector<std::uint8_t>* block) {
  switch (type) {
    case SignatureType::kRawMd5Dsa: {
      Md5Digest digest;
      if (!Md5Of(content, &digest)) return code::kFileInvalid;
      return MakeDsaBlock(ByteView{digest.data(), digest.size()}, DigestHash::kMd5, kRawMd5Magic,
                          KeyShape{1024, 160}, key, block);
    }
    case SignatureType::kRawSha256Dsa: {
      Sha256Digest digest;
      if (!Sha256WithoutPeChecksum(size, content, &digest)) return code::kFileInvalid;
      return MakeDsaBlock(ByteView{digest.data(), digest.size()}, DigestHash::kSha256, kRawSha256Magic,
                          KeyShape{2048, 256}, key, block);
    }
    case SignatureType::kTextMd5: {
      Md5Digest digest;
      if (!Md5OfText(content, &digest)) return code::kFileInvalid;
      return TextBlock(digest, block);
    }
    default:
      return code::kInvalidParameter;
  }
}

Result SignFile(const std::wstring& path, SignatureType type, const DsaPrivateKey* key) {
  std::vector<std::uint8_t> block;
  {
    // Closed again before the append: the reader shares the file for reading only.
    SignatureFile file;
    if (!file.Open(path.c_str())) return code::kFileNotFound;
    if (file.Size() > 0xFFFFFFFFull) return code::kFileInvalid;
    const ContentSource content = [&file](const std::function<void(ByteView)>& take) {
      return file.ForEachPiece(file.Size(), take);
    };
    const Result made = MakeSignatureBlock(file.Size(), content, type, key, &block);
    if (made != code::kSuccess) return made;
  }
  return AppendToFile(path, block);
}

Result ReadTextFile(const std::wstring& path, std::string* text) {
  ScopedFile file = OpenFile(path, L"rb");
  if (!file) return errno == ENOENT ? code::kFileNotFound : code::kOpenFailed;
  text->clear();
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0) text->append(chunk, got);
  return std::ferror(file.get()) ? code::kOpenFailed : code::kSuccess;
}

}  // namespace tzk::signature
