#include "sfxpack/tail_stamper.h"

#include <algorithm>
#include <cstring>

#include <cryptopp/sha.h>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "vocabulary/little_endian.h"

namespace sfxpack {
namespace {

using tzk::archive::kTailBlockSize;

constexpr std::uint32_t kChecksumSize = 4;
constexpr std::uint64_t kWordModulus = 0xFFFF;
// As large as the pieces every other streamed path of sfxpack reads.
constexpr std::size_t kPiece = std::size_t{1} << 20;

// The plain sum of the 16-bit little-endian words that these bytes, lying at `at` in the file,
// contribute: a byte at an odd offset is a word's high half.
std::uint64_t wordSum(const std::uint8_t* data, std::size_t size, std::uint64_t at) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  if (size > 0 && at % 2 != 0) sum += std::uint64_t{data[i++]} << 8;
  for (; i + 1 < size; i += 2) sum += data[i] | std::uint64_t{data[i + 1]} << 8;
  if (i < size) sum += data[i];
  return sum;
}

// Where a tail block's bytes stop being zero (kTailBlockSize when they never do). A block is
// mostly the zeros in front of its items, and they add nothing to a sum.
std::size_t firstNonZero(const std::uint8_t* tail) {
  std::size_t at = 0;
  for (std::uint64_t word = 0; at + sizeof word <= kTailBlockSize; at += sizeof word) {
    std::memcpy(&word, tail + at, sizeof word);
    if (word != 0) break;
  }
  while (at < kTailBlockSize && tail[at] == 0) ++at;
  return at;
}

}  // namespace

FileSource Stamped(const FileSource& base, const Stamp& stamp) {
  return {stamp.size, [&base, &stamp](std::uint64_t at, void* buffer, std::size_t size) {
            if (at > stamp.size || size > stamp.size - at) return false;
            auto* bytes = static_cast<std::uint8_t*>(buffer);
            for (const StampRange& r : stamp.ranges) {
              const std::uint64_t from = std::max(at, r.offset), to = std::min(at + size, r.offset + r.size);
              if (from >= to) continue;
              std::uint8_t* into = bytes + (from - at);
              const std::size_t n = static_cast<std::size_t>(to - from);
              if (r.patched) std::memcpy(into, stamp.patch.data() + r.patchAt + (from - r.offset), n);
              else if (!base.read(from, into, n)) return false;
            }
            return true;
          }};
}

bool TailStamper::Prepare(const FileSource& base, const CodeSignatureReport& code, std::string* error) {
  tzk::pe::PeHeaders h;
  if (!code.tailRoom || !code.tableEndsFile || base.size < kTailBlockSize ||
      !tzk::pe::ReadPeHeaders(base.read, &h)) {
    *error = "its code signature has no room for the tail block at the file's end";
    return false;
  }
  size_ = base.size;
  tailOffset_ = base.size - kTailBlockSize;
  checksumOffset_ = h.checksumOffset;
  if (tailOffset_ < code.tableOffset || checksumOffset_ + kChecksumSize > code.tableOffset) {
    *error = "its tail room does not lie inside its certificate table, behind the PE checksum";
    return false;
  }
  // The kept bytes, read once: the checksum field counts as zero, as the checksum sums it.
  CryptoPP::SHA256 digest;
  std::uint64_t sum = 0;
  Bytes piece(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, tailOffset_)));
  for (std::uint64_t at = 0; at < tailOffset_; at += piece.size()) {
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, tailOffset_ - at)));
    if (!base.read(at, piece.data(), piece.size())) {
      *error = "it cannot be read";
      return false;
    }
    for (std::uint64_t b = std::max(at, checksumOffset_); b < std::min(at + piece.size(), checksumOffset_ + kChecksumSize); ++b) {
      piece[static_cast<std::size_t>(b - at)] = 0;
    }
    digest.Update(piece.data(), piece.size());
    sum += wordSum(piece.data(), piece.size(), at);
  }
  digest.Final(keptDigest_.data());
  keptSum_ = static_cast<std::uint32_t>(sum % kWordModulus);
  return true;
}

void TailStamper::StampTail(const std::uint8_t* tail, Stamp* out) const {
  // The PE checksum folds the words with an end-around carry: the sum modulo 0xFFFF, where a
  // multiple of 0xFFFF shows as 0xFFFF (the words of "MZ" alone are not zero), plus the size.
  const std::size_t from = firstNonZero(tail);
  const std::uint64_t words = (keptSum_ + wordSum(tail + from, kTailBlockSize - from, tailOffset_ + from)) % kWordModulus;
  const std::uint64_t folded = words == 0 ? kWordModulus : words;
  out->size = size_;
  out->patch.resize(kChecksumSize + kTailBlockSize);
  tzk::vocabulary::WriteLe32(out->patch.data(), static_cast<std::uint32_t>(folded + size_));
  std::memcpy(out->patch.data() + kChecksumSize, tail, kTailBlockSize);
  out->ranges = {{0, checksumOffset_, false, 0},
                 {checksumOffset_, kChecksumSize, true, 0},
                 {checksumOffset_ + kChecksumSize, tailOffset_ - checksumOffset_ - kChecksumSize, false, 0},
                 {tailOffset_, kTailBlockSize, true, kChecksumSize}};
  out->ranges.erase(std::remove_if(out->ranges.begin(), out->ranges.end(), [](const StampRange& r) { return r.size == 0; }),
                    out->ranges.end());
}

bool TailStamper::StampItems(const std::vector<EmbeddedItem>& items, Stamp* out, std::string* error) const {
  Bytes tail(kTailBlockSize, 0);
  if (!items.empty() && !tzk::archive::TailBlock(items, &tail, error)) return false;
  StampTail(tail.data(), out);
  return true;
}

Sha256 TailStamper::Identify(const Stamp& stamp) const {
  // The tail block is its zeros' count and the bytes behind them.
  const std::uint8_t* tail = stamp.patch.data() + kChecksumSize;
  const std::size_t from = firstNonZero(tail);
  std::uint8_t zeros[4];
  tzk::vocabulary::WriteLe32(zeros, static_cast<std::uint32_t>(from));
  CryptoPP::SHA256 digest;
  digest.Update(keptDigest_.data(), keptDigest_.size());
  digest.Update(zeros, sizeof zeros);
  digest.Update(tail + from, kTailBlockSize - from);
  Sha256 out;
  digest.Final(out.data());
  return out;
}

int CheckStampable(const StubVerdict& verdict, ItemsBlock block, const CodeSignatureReport& code,
                   std::string* reason) {
  if (block == ItemsBlock::kEmbedded) {
    *reason = "the stub reads its items from the embedded-data block inside the signed content and never reads a "
              "tail block: build it from a manifest without \"embedded\" items and tag those instead";
    return kExitBadInput;
  }
  if (verdict.tableReserved) {
    *reason = "its certificate table is only reserved: sign it and sfxpack seal it first, then tag it";
    return kExitCheckFailed;
  }
  if (!verdict.authenticodeTable) {
    *reason = "a tail block would hide the archive signature: the file has no Authenticode certificate table "
              "(build it with --cert, or --prepare, sign it and sfxpack seal it)";
    return kExitBadInput;
  }
  if (code.table && !code.available) {
    *reason = code.problem +
              ", so whether its code signature has room for the tail block is not checked: tag it with the 32-bit "
              "Windows or the Linux build";
    return kExitOutputError;
  }
  if (!code.tailRoom) {
    *reason = "its code signature has no room for the tail block" +
              (code.problem.empty() ? std::string() : " (" + code.problem + ")") +
              ": a tail block behind the certificate table would leave the file unsigned for Authenticode; rebuild "
              "it with --cert, or --prepare, sign and sfxpack seal";
    return kExitCheckFailed;
  }
  return kExitOk;
}

}  // namespace sfxpack
