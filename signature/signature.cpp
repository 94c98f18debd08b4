#include "signature/signature.h"

#include <cstring>

#include "signature/dsa_check.h"
#include "pe/pe_image.h"
#include "signature/signature_digest.h"
#include "signature/signature_file.h"

namespace tzk::signature {
namespace {

constexpr std::size_t kMagicSize = kSignatureMagicSize;
constexpr std::size_t kTextMd5Scan = 100;   // positions tried for the closing text MD5 magic
constexpr std::size_t kTextDsaSkip = 120;   // trailing blanks stepped over for a text DSA form
constexpr std::uint64_t kLargestContent = 0xFFFFFFFFull;

struct Found {
  SignatureType type = SignatureType::kRawMd5Dsa;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> signature;
};

bool SameMagic(const std::uint8_t* bytes, const char* magic) {
  return std::memcmp(bytes, magic, kMagicSize) == 0;
}

bool MagicAt(const SignatureFile& file, std::uint64_t at, const char* magic) {
  std::uint8_t bytes[kMagicSize];
  return file.ReadAt(at, bytes, sizeof(bytes)) && SameMagic(bytes, magic);
}

// Where the signed file ends when it carries an Authenticode certificate table: the table's
// offset, less the zero padding (at most 7 bytes) that aligns it to 8 bytes.
std::uint64_t PeAwareEnd(const SignatureFile& file) {
  const std::uint64_t size = file.Size();
  pe::PeHeaders headers;
  const pe::PeReadAt read = [&file](std::uint64_t at, void* buffer, std::size_t length) {
    return file.ReadAt(at, buffer, length);
  };
  if (!pe::ReadPeHeaders(read, &headers) || headers.tableOffset == 0) return size;
  const std::uint32_t table = headers.tableOffset;
  std::uint64_t end = table;
  if (end <= 7) return end;
  for (int step = 0; step < 7; ++step) {
    std::uint8_t byte = 0;
    if (!file.ReadAt(end - 1, &byte, 1) || byte != 0) break;
    --end;
  }
  return end;
}

// The magic `back` bytes before the file's end or, for a signed executable, before its
// PE-aware end. A match too close to the start to leave room for the signature is no match.
bool FindRawMagic(const SignatureFile& file, std::uint64_t end, std::uint64_t back, const char* magic,
                  std::size_t signatureSize, std::uint64_t* at) {
  const std::uint64_t size = file.Size();
  if (size >= back + signatureSize && MagicAt(file, size - back, magic)) {
    *at = size - back;
    return true;
  }
  if (end != size && end >= back + signatureSize && MagicAt(file, end - back, magic)) {
    *at = end - back;
    return true;
  }
  return false;
}

bool LookupRaw(const SignatureFile& file, Found* found) {
  const std::uint64_t size = file.Size();
  const std::uint64_t end = PeAwareEnd(file);
  std::uint64_t magic = 0;
  // A type-5 block may be followed by a type-1 block, hence the second place its magic may stand.
  constexpr std::uint32_t kBehindMd5Block = kRawMd5DsaBlock + kMagicSize;
  if ((size >= kRawSha256DsaBlock &&
       FindRawMagic(file, end, kMagicSize, kRawSha256Magic, kSha256DsaSize, &magic)) ||
      (size >= kRawSha256DsaBlock + kRawMd5DsaBlock &&
       FindRawMagic(file, end, kBehindMd5Block, kRawSha256Magic, kSha256DsaSize, &magic))) {
    found->type = SignatureType::kRawSha256Dsa;
    found->offset = magic - kSha256DsaSize;
  } else if (size >= kRawMd5DsaBlock && FindRawMagic(file, end, kMagicSize, kRawMd5Magic, kMd5DsaSize, &magic)) {
    found->type = SignatureType::kRawMd5Dsa;
    found->offset = magic - kMd5DsaSize;
  } else {
    return false;
  }
  found->signature.resize(static_cast<std::size_t>(magic - found->offset));
  return file.ReadAt(found->offset, found->signature.data(), found->signature.size());
}

int HexDigit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Two digits per byte, high digit first. Only hex digits count: no sign, blank or prefix.
bool DecodeHex(const std::uint8_t* digits, std::size_t count, std::vector<std::uint8_t>* out) {
  out->clear();
  for (std::size_t i = 0; i + 1 < count; i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return true;
}

// A text form whose closing magic stands at `magic`: the opening magic `digitCount` + 8 bytes
// before it, the hex digits in between.
bool ReadTextForm(const SignatureFile& file, std::uint64_t magic, const char* magicText,
                  std::size_t digitCount, SignatureType type, Found* found) {
  if (magic < digitCount + kMagicSize) return false;
  std::vector<std::uint8_t> block(kMagicSize + digitCount + kMagicSize);
  const std::uint64_t start = magic - digitCount - kMagicSize;
  if (!file.ReadAt(start, block.data(), block.size()) || !SameMagic(block.data(), magicText)) return false;
  if (!DecodeHex(block.data() + kMagicSize, digitCount, &found->signature)) return false;
  found->type = type;
  found->offset = start;
  return true;
}

// The last `count` bytes of the file (fewer when the file is shorter).
std::vector<std::uint8_t> ReadTail(const SignatureFile& file, std::size_t count) {
  const std::uint64_t size = file.Size();
  std::vector<std::uint8_t> tail(size < count ? static_cast<std::size_t>(size) : count);
  if (!file.ReadAt(size - tail.size(), tail.data(), tail.size())) tail.clear();
  return tail;
}

bool LookupTextMd5(const SignatureFile& file, Found* found) {
  const std::vector<std::uint8_t> tail = ReadTail(file, kTextMd5Scan - 1 + kMagicSize);
  for (std::size_t back = 0; back < kTextMd5Scan && back + kMagicSize <= tail.size(); ++back) {
    const std::size_t at = tail.size() - kMagicSize - back;
    if (!SameMagic(tail.data() + at, kTextMd5Magic)) continue;
    // The first match decides, even when it turns out malformed.
    const std::uint64_t magic = file.Size() - tail.size() + at;
    return ReadTextForm(file, magic, kTextMd5Magic, kTextMd5Digits, SignatureType::kTextMd5, found);
  }
  return false;
}

// Steps over trailing blanks and control bytes (a line break, padding) and expects the
// closing magic right in front of them.
bool LookupTextDsa(const SignatureFile& file, Found* found) {
  const std::vector<std::uint8_t> tail = ReadTail(file, kTextDsaSkip + kMagicSize);
  std::size_t skipped = 0;
  while (skipped < kTextDsaSkip && skipped < tail.size() && tail[tail.size() - 1 - skipped] <= 0x20) ++skipped;
  if (tail.size() < skipped + kMagicSize) return false;
  const std::uint8_t* closing = tail.data() + tail.size() - skipped - kMagicSize;
  const std::uint64_t magic = file.Size() - skipped - kMagicSize;
  if (SameMagic(closing, kTextMd5DsaMagic)) {
    return ReadTextForm(file, magic, kTextMd5DsaMagic, 2 * kMd5DsaSize, SignatureType::kTextMd5Dsa, found);
  }
  if (SameMagic(closing, kTextSha256DsaMagic)) {
    return ReadTextForm(file, magic, kTextSha256DsaMagic, 2 * kSha256DsaSize,
                        SignatureType::kTextSha256Dsa, found);
  }
  return false;
}

bool Locate(const SignatureFile& file, LookupMode mode, Found* found) {
  switch (mode) {
    case LookupMode::kArchive:
      return LookupRaw(file, found) || LookupTextDsa(file, found) || LookupTextMd5(file, found);
    case LookupMode::kMd5Dsa:
    case LookupMode::kSha256Dsa:
      return LookupRaw(file, found) || LookupTextDsa(file, found);
    case LookupMode::kTextMd5:
      return LookupTextMd5(file, found);
    default:
      return false;
  }
}

bool Accepts(LookupMode mode, SignatureType type) {
  switch (mode) {
    case LookupMode::kArchive:
      return true;
    case LookupMode::kMd5Dsa:
      return type == SignatureType::kTextMd5Dsa || type == SignatureType::kRawMd5Dsa;
    case LookupMode::kTextMd5:
      return type == SignatureType::kTextMd5;
    case LookupMode::kSha256Dsa:
      return type == SignatureType::kTextSha256Dsa || type == SignatureType::kRawSha256Dsa;
    default:
      return false;
  }
}

bool CheckDsa(const KeySet& keys, ByteView digest, const Found& found, int* keyIndex) {
  const ByteView signature{found.signature.data(), found.signature.size()};
  for (int index : KeyOrderFor(found.type)) {
    const DsaPublicKey* key = keys.Find(index);
    if (key != nullptr && DsaVerify(*key, digest, signature)) {
      *keyIndex = index;
      return true;
    }
  }
  return false;
}

bool Check(const Found& found, std::uint64_t size, const ContentSource& content, const KeySet& keys, int* keyIndex) {
  Md5Digest md5{};
  Sha256Digest sha{};
  switch (found.type) {
    case SignatureType::kRawMd5Dsa:
      return Md5Of(content, &md5) && CheckDsa(keys, ByteView{md5.data(), md5.size()}, found, keyIndex);
    case SignatureType::kTextMd5Dsa:
      return Md5OfText(content, &md5) && CheckDsa(keys, ByteView{md5.data(), md5.size()}, found, keyIndex);
    case SignatureType::kRawSha256Dsa:
    case SignatureType::kTextSha256Dsa:
      return Sha256WithoutPeChecksum(size, content, &sha) &&
             CheckDsa(keys, ByteView{sha.data(), sha.size()}, found, keyIndex);
    case SignatureType::kTextMd5:
      return Md5OfText(content, &md5) && found.signature.size() == md5.size() &&
             std::memcmp(found.signature.data(), md5.data(), md5.size()) == 0;
    default:
      return false;
  }
}

}  // namespace

KeyOrder KeyOrderFor(SignatureType type) {
  switch (type) {
    case SignatureType::kRawMd5Dsa: return {2, 1, 3};
    case SignatureType::kTextMd5Dsa: return {2, 3, 1};
    case SignatureType::kRawSha256Dsa:
    case SignatureType::kTextSha256Dsa: return {5, 6, 7};
    case SignatureType::kTextMd5: break;
  }
  return {};
}

bool LocateSignature(const wchar_t* path, LookupMode lookupMode, std::vector<std::uint8_t>* outSignature,
                     SignatureType* outType, std::uint64_t* outOffset) {
  SignatureFile file;
  Found found;
  if (!file.Open(path) || !Locate(file, lookupMode, &found)) return false;
  if (outSignature != nullptr) *outSignature = std::move(found.signature);
  if (outType != nullptr) *outType = found.type;
  if (outOffset != nullptr) *outOffset = found.offset;
  return true;
}

bool LocateSignatureIn(const SignatureFile& file, LookupMode lookupMode, SignatureType* outType,
                       std::uint64_t* outOffset) {
  Found found;
  if (!Locate(file, lookupMode, &found)) return false;
  *outType = found.type;
  *outOffset = found.offset;
  return true;
}

bool VerifySignatureWithKeys(const wchar_t* path, LookupMode verifyMode, const KeySet& keys,
                             int* outKeyIndex) {
  if (outKeyIndex != nullptr) *outKeyIndex = 0;
  // One handle for the lookup and the digest: the file cannot be swapped in between.
  SignatureFile file;
  return file.Open(path) && VerifySignatureIn(file, verifyMode, keys, outKeyIndex);
}

bool VerifySignatureIn(const SignatureFile& file, LookupMode verifyMode, const KeySet& keys, int* outKeyIndex) {
  int keyIndex = 0;
  if (outKeyIndex != nullptr) *outKeyIndex = 0;
  Found found;
  if (!Locate(file, verifyMode, &found)) return false;
  LookupMode mode = verifyMode;
  if (mode == LookupMode::kMd5Dsa &&
      (found.type == SignatureType::kTextSha256Dsa || found.type == SignatureType::kRawSha256Dsa)) {
    mode = LookupMode::kSha256Dsa;
  }
  if (!Accepts(mode, found.type) || found.offset > kLargestContent) return false;
  const std::uint64_t length = found.offset;
  const ContentSource content = [&file, length](const std::function<void(ByteView)>& take) {
    const auto& watch = file.pieceWatch();
    if (!watch) return file.ForEachPiece(length, take);
    std::uint64_t done = 0;
    return file.ForEachPiece(length, [&](ByteView piece) {
      take(piece);
      watch(done += piece.size, length);
    });
  };
  if (!Check(found, length, content, keys, &keyIndex)) return false;
  if (outKeyIndex != nullptr) *outKeyIndex = keyIndex;
  return true;
}

bool VerifySignature(const wchar_t* path, LookupMode verifyMode, int* outKeyIndex) {
  return VerifySignatureWithKeys(path, verifyMode, CompiledKeys(), outKeyIndex);
}

}  // namespace tzk::signature
