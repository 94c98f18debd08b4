// The signature block at the end of an archive file: finding it and checking it against the
// signed content, the bytes [0, C) in front of it.
//
// Raw forms end the file (or stand in front of an Authenticode certificate table):
//   type 1: 40-byte DSA signature over the MD5 of the content, then "TZKSignd"
//   type 5: 64-byte DSA signature over the SHA-256 of the content with the PE checksum taken
//           as zero, then "TZKSig2B"
// Text forms are enclosed in their magic and may be followed by a few bytes such as a line
// break:
//   type 2: "TZK_MD5a", 32 hex digits of the MD5 of the content's bytes 0x20..0x7F, "TZK_MD5a"
//   type 0: "TZKSignA", 80 hex digits of a DSA signature over that same MD5, "TZKSignA"
//   type 4: "TZKSig2A", 128 hex digits of a DSA signature as for type 5, "TZKSig2A"
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "signature/verification_keys.h"

namespace tzk::signature {

class SignatureFile;

// The forms by the number each carries in the format.
enum class SignatureType : int {
  kTextMd5Dsa = 0,
  kRawMd5Dsa = 1,
  kTextMd5 = 2,
  kTextSha256Dsa = 4,
  kRawSha256Dsa = 5,
};

// The number a type is written as in manifests, messages and reports.
constexpr int Number(SignatureType type) { return static_cast<int>(type); }

// Lookup modes of LocateSignature, verify modes of VerifySignature.
enum class LookupMode : int {
  kArchive = 1,    // raw, text DSA, text MD5; every type accepted
  kMd5Dsa = 2,     // raw, text DSA; types 0 and 1 (4 and 5 switch to kSha256Dsa)
  kTextMd5 = 3,    // text MD5 only; type 2
  kSha256Dsa = 4,  // raw, text DSA; types 4 and 5
};

// The magics, kSignatureMagicSize bytes each without the terminating zero.
inline constexpr std::uint32_t kSignatureMagicSize = 8;
inline constexpr char kRawMd5Magic[] = "TZKSignd";
inline constexpr char kRawSha256Magic[] = "TZKSig2B";
inline constexpr char kTextMd5Magic[] = "TZK_MD5a";
inline constexpr char kTextMd5DsaMagic[] = "TZKSignA";
inline constexpr char kTextSha256DsaMagic[] = "TZKSig2A";

// The DSA signatures as stored, r and then s: 20 bytes each with a 1024/160 key, 32 with a
// 2048/256 key. The text forms write each byte as two hex digits; the text MD5 form its digest.
inline constexpr std::uint32_t kMd5DsaSize = 40;
inline constexpr std::uint32_t kSha256DsaSize = 64;
inline constexpr std::uint32_t kTextMd5Digits = 32;

// The raw forms' whole size: the signature, then its magic.
inline constexpr std::uint32_t kRawMd5DsaBlock = kMd5DsaSize + kSignatureMagicSize;
inline constexpr std::uint32_t kRawSha256DsaBlock = kSha256DsaSize + kSignatureMagicSize;

// The keys a signature of `type` is tried with, first to last: the first that verifies wins.
// Index 0 (no key) for the keyless text MD5 form.
using KeyOrder = std::array<int, 3>;
KeyOrder KeyOrderFor(SignatureType type);

// Finds the signature form of the file at path with the forms of lookupMode. On success
// reports the type, the offset C at which the form begins and, when outSignature is given,
// the signature bytes (raw forms as stored, text forms decoded: 40, 64 or 16 bytes).
bool LocateSignature(const wchar_t* path, LookupMode lookupMode, std::vector<std::uint8_t>* outSignature,
                     SignatureType* outType, std::uint64_t* outOffset);

// Locates the signature again with verifyMode, digests [0, C) and checks it against the
// compiled-in keys. outKeyIndex (may be null) receives the key that verified, 0 for type 2
// and on failure.
bool VerifySignature(const wchar_t* path, LookupMode verifyMode, int* outKeyIndex);

// The same check against another key set, for the producer's own checks.
bool VerifySignatureWithKeys(const wchar_t* path, LookupMode verifyMode, const KeySet& keys,
                             int* outKeyIndex);

// The lookup and the check on a file the caller has open, so that what is verified is what
// the caller reads afterwards.
bool LocateSignatureIn(const SignatureFile& file, LookupMode lookupMode, SignatureType* outType,
                       std::uint64_t* outOffset);
bool VerifySignatureIn(const SignatureFile& file, LookupMode verifyMode, const KeySet& keys, int* outKeyIndex);

}  // namespace tzk::signature
