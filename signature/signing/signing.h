// The producer's side of the archive signature: DSA signing with deterministic nonces,
// loading PEM keys, and appending a signature block to a file. Never linked into the stub.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "signature/signature.h"
#include "signature/signature_digest.h"
#include "signature/verification_keys.h"
#include "vocabulary/result.h"

namespace tzk::signature {

// Big-endian unsigned values; q's byte length fixes the length of r and s.
struct DsaPrivateKey {
  std::vector<std::uint8_t> p, q, g, x;
};

enum class DigestHash { kMd5, kSha256 };

// FIPS 186 signing with the digest taken whole as e and the nonce derived per RFC 6979 from
// the key and the digest (HMAC over `hash`, the function that produced the digest): the same
// digest and key always give the same r || s, each as long as q. Empty on a malformed key.
std::vector<std::uint8_t> SignDigest(const DsaPrivateKey& key, ByteView digest, DigestHash hash);

// A PKCS#8 "PRIVATE KEY" PEM text holding a DSA key.
Result ParsePrivateKeyPem(const std::string& pem, DsaPrivateKey* key);

// Public keys read at run time (a "PUBLIC KEY" PEM per key), shaped like the compiled table.
class LoadedKeys {
 public:
  LoadedKeys() = default;
  LoadedKeys(const LoadedKeys&) = delete;  // table_ points into values_
  LoadedKeys& operator=(const LoadedKeys&) = delete;

  // Reads key1.pub.pem ... key7.pub.pem (key 4 has no use and is skipped) from folder.
  // kFileNotFound when none is there; a present key of the wrong shape is kInvalidData.
  Result LoadFolder(const std::wstring& folder);
  // Adds one key; it must have the shape of its index (1024/160 for 1 to 3, 2048/256 for 5 to 7).
  Result AddPem(int index, const std::string& pem);
  // The same from the big-endian values as a compiled table stores them, at their fixed widths.
  Result AddValues(int index, ByteView p, ByteView q, ByteView g, ByteView y);
  KeySet keys() const { return KeySet{table_.data(), table_.size()}; }

 private:
  std::vector<std::vector<std::uint8_t>> values_;  // owns what table_ points at
  std::vector<DsaPublicKey> table_;
};

// Appends a signature block of `type` (1, 2 or 5) over the whole file as it is now, read a
// piece at a time. Type 1
// needs a 1024/160 key, type 5 a 2048/256 key; type 2 takes no key (pass null).
Result SignFile(const std::wstring& path, SignatureType type, const DsaPrivateKey* key);

// The raw block of type 1 or 5, or the text block of type 2, for content as given.
Result MakeSignatureBlock(ByteView content, SignatureType type, const DsaPrivateKey* key,
                          std::vector<std::uint8_t>* block);

// The same for size bytes of content handed over piece by piece; kFileInvalid when the source
// fails.
Result MakeSignatureBlock(std::uint64_t size, const ContentSource& content, SignatureType type,
                          const DsaPrivateKey* key, std::vector<std::uint8_t>* block);

// Reads a whole file (UTF-8 text such as a PEM) with the platform's wide-path API.
Result ReadTextFile(const std::wstring& path, std::string* text);

}  // namespace tzk::signature
