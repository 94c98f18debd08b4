// The keys sfxpack checks and signs with: the table a stub carries, a --keys folder, a private
// key to sign with, and how messages name each of them.
#pragma once

#include <cstdint>
#include <string>

#include "signature/signature_file.h"
#include "signature/signing/signing.h"

namespace sfxpack {

// A key as messages name it: its index and the first 16 hex digits of the SHA-256 of its
// SubjectPublicKeyInfo (what `openssl pkey -pubin -outform DER | sha256sum` prints).
std::string Fingerprint(const tzk::signature::DsaPublicKey& key);
std::string Fingerprint(const tzk::signature::DsaPrivateKey& key);  // of its public half

// How much of the file's first `length` bytes is the stub's image: up to the end of its sections
// when it is a PE file, else all of them.
std::uint64_t StubImageLength(const tzk::signature::SignatureFile& file, std::uint64_t length);

enum class TableSearch { kFound, kNone, kDamaged };

// The keys a stub trusts, from the marked table keys/gen_key_table.py compiles into it. Only the
// stub's image is searched (its sections when it is a PE file, else the first `length` bytes),
// so the archive's own data is never taken for the stub's table.
TableSearch ReadStubKeys(const tzk::signature::SignatureFile& file, std::uint64_t length,
                         tzk::signature::LoadedKeys* keys);
// Whether the bytes carry the key table's magic, whether or not a table that holds follows it.
bool CarriesKeyTableMagic(tzk::signature::ByteView bytes);

// The key folder of a --keys option, or a reason (exit code 3).
bool LoadKeyFolder(const std::string& folder, tzk::signature::LoadedKeys* keys, std::string* error);
// A PKCS#8 DSA private key to sign with, read as every input is (measured first), or a reason
// (exit code 3).
bool LoadPrivateKey(const std::string& path, tzk::signature::DsaPrivateKey* key, std::string* error);

// What a private key is and what the signature type needs, for a key that cannot sign it:
// "a DSA 2048/256 key; signature type 1 (typeSource) needs a DSA 1024/160 key".
std::string KeyMismatch(const tzk::signature::DsaPrivateKey& key, tzk::signature::SignatureType type,
                        const std::string& typeSource);

}  // namespace sfxpack
