#include "sfxpack/keys.h"

#include <cryptopp/filters.h>
#include <cryptopp/gfpcrypt.h>
#include <cryptopp/hex.h>
#include <cryptopp/integer.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "signature/signature.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "sfxpack/file_io.h"

namespace sfxpack {
namespace {

using tzk::signature::ByteView;
using tzk::signature::Number;
using tzk::signature::SignatureType;
using tzk::vocabulary::ReadLe32;

using tzk::archive::kKeyTableMagic;
using tzk::archive::kKeyTableMagicSize;
constexpr std::size_t kTableHeader = tzk::archive::kKeyTableHeaderSize;
constexpr std::size_t kTableDigest = tzk::archive::kKeyTableDigestSize;
// The header's fields behind the magic: format version, key count, block length.
constexpr std::size_t kVersionAt = kKeyTableMagicSize, kCountAt = kVersionAt + 4, kLengthAt = kCountAt + 4;

CryptoPP::Integer integer(ByteView v) {
  return CryptoPP::Integer(v.data, v.size, CryptoPP::Integer::UNSIGNED, CryptoPP::BIG_ENDIAN_ORDER);
}

CryptoPP::Integer integer(const std::vector<std::uint8_t>& v) { return integer(ByteView{v.data(), v.size()}); }

std::string fingerprintOf(const CryptoPP::Integer& p, const CryptoPP::Integer& q, const CryptoPP::Integer& g,
                          const CryptoPP::Integer& y) {
  try {
    CryptoPP::DSA::PublicKey key;
    key.Initialize(p, q, g, y);
    std::string der;
    CryptoPP::StringSink sink(der);
    key.DEREncode(sink);
    std::string hex;
    CryptoPP::SHA256 sha;
    CryptoPP::StringSource(der, true,
                           new CryptoPP::HashFilter(sha, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
    return hex.substr(0, 16);
  } catch (const CryptoPP::Exception&) {
    return "(malformed key)";
  }
}

// A table at `at` in [0, size): its digest, its shape and every key's shape must hold.
bool parseTable(const std::uint8_t* data, std::size_t size, std::size_t at, tzk::signature::LoadedKeys* keys) {
  if (size - at < kTableHeader + kTableDigest) return false;
  const std::uint8_t* table = data + at;
  const std::uint32_t version = ReadLe32(table + kVersionAt), count = ReadLe32(table + kCountAt),
                      length = ReadLe32(table + kLengthAt);
  if (version != tzk::archive::kKeyTableVersion || count == 0 || count > tzk::archive::kKeyTableMaxKeys || length < kTableHeader + kTableDigest ||
      length > size - at) {
    return false;
  }
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, table, length - kTableDigest);
  if (std::memcmp(digest, table + length - kTableDigest, sizeof digest) != 0) return false;
  tzk::signature::LoadedKeys found;
  std::size_t pos = kTableHeader;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (length - kTableDigest - pos < 4) return false;
    const int index = static_cast<int>(ReadLe32(table + pos));
    const std::size_t wide = tzk::archive::KeyWideSize(static_cast<std::uint32_t>(index)),
                      narrow = tzk::archive::KeyNarrowSize(static_cast<std::uint32_t>(index));
    pos += 4;
    if (length - kTableDigest - pos < 3 * wide + narrow || found.keys().Find(index) != nullptr) return false;
    const ByteView p{table + pos, wide}, q{table + pos + wide, narrow}, g{table + pos + wide + narrow, wide},
        y{table + pos + 2 * wide + narrow, wide};
    if (found.AddValues(index, p, q, g, y) != tzk::code::kSuccess) return false;
    pos += 3 * wide + narrow;
  }
  if (pos != length - kTableDigest) return false;
  const tzk::signature::KeySet set = found.keys();
  for (std::size_t i = 0; i < set.count; ++i) {
    const auto& k = set.keys[i];
    keys->AddValues(k.index, k.p, k.q, k.g, k.y);
  }
  return true;
}

}  // namespace

std::string Fingerprint(const tzk::signature::DsaPublicKey& key) {
  return fingerprintOf(integer(key.p), integer(key.q), integer(key.g), integer(key.y));
}

std::string Fingerprint(const tzk::signature::DsaPrivateKey& key) {
  const CryptoPP::Integer p = integer(key.p), g = integer(key.g);
  if (p.IsEven()) return "(malformed key)";
  return fingerprintOf(p, integer(key.q), g, a_exp_b_mod_c(g, integer(key.x), p));
}

std::uint64_t StubImageLength(const tzk::signature::SignatureFile& file, std::uint64_t length) {
  const tzk::pe::PeReadAt read = [&file](std::uint64_t at, void* buffer, std::size_t size) {
    return file.ReadAt(at, buffer, size);
  };
  tzk::pe::PeHeaders headers;
  const std::uint64_t image =
      tzk::pe::ReadPeHeaders(read, &headers) ? tzk::pe::PeSectionsEnd(read, headers) : 0;
  return image != 0 ? std::min(length, image) : length;
}

TableSearch ReadStubKeys(const tzk::signature::SignatureFile& file, std::uint64_t length,
                         tzk::signature::LoadedKeys* keys) {
  length = StubImageLength(file, length);
  tzk::signature::ContentView view;
  if (length == 0 || !file.ViewContent(length, &view)) return TableSearch::kNone;
  const ByteView bytes = view.bytes();
  const std::boyer_moore_horspool_searcher<const char*> search(kKeyTableMagic, kKeyTableMagic + kKeyTableMagicSize);
  const char* begin = reinterpret_cast<const char*>(bytes.data);
  const char* end = begin + bytes.size;
  bool seen = false;
  for (const char* at = std::search(begin, end, search); at != end; at = std::search(at + 1, end, search)) {
    seen = true;
    if (parseTable(bytes.data, bytes.size, static_cast<std::size_t>(at - begin), keys)) return TableSearch::kFound;
  }
  return seen ? TableSearch::kDamaged : TableSearch::kNone;
}

bool CarriesKeyTableMagic(ByteView bytes) {
  const char* begin = reinterpret_cast<const char*>(bytes.data);
  const char* end = begin + bytes.size;
  const std::boyer_moore_horspool_searcher<const char*> search(kKeyTableMagic, kKeyTableMagic + kKeyTableMagicSize);
  return std::search(begin, end, search) != end;
}

std::string KeyMismatch(const tzk::signature::DsaPrivateKey& key, tzk::signature::SignatureType type,
                        const std::string& typeSource) {
  const std::string shape = "DSA " + std::to_string(integer(key.p).BitCount()) + "/" +
                            std::to_string(integer(key.q).BitCount());
  const std::string needed = type == SignatureType::kRawMd5Dsa ? "DSA 1024/160" : "DSA 2048/256";
  const std::string what = "a " + shape + (shape == needed ? " key whose values cannot sign (malformed)" : " key");
  return what + "; signature type " + std::to_string(Number(type)) + " (" + typeSource + ") needs a " + needed + " key";
}

bool LoadKeyFolder(const std::string& folder, tzk::signature::LoadedKeys* keys, std::string* error) {
  const tzk::Result result = keys->LoadFolder(tzk::vocabulary::fromUtf8(folder));
  if (result == tzk::code::kFileNotFound) *error = "no key1.pub.pem ... key7.pub.pem there";
  else if (result != tzk::code::kSuccess) *error = "a key there is malformed or not of its index's size";
  return result == tzk::code::kSuccess;
}

bool LoadPrivateKey(const std::string& path, tzk::signature::DsaPrivateKey* key, std::string* error) {
  Bytes pem;
  if (!ReadWholeFile(path, &pem, error)) return false;
  if (tzk::signature::ParsePrivateKeyPem(std::string(pem.begin(), pem.end()), key) == tzk::code::kSuccess) return true;
  *error = "not a PKCS#8 DSA private key";
  return false;
}

}  // namespace sfxpack
