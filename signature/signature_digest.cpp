#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>

#include "signature/signature_digest.h"

#include "pe/pe_image.h"

namespace tzk::signature {
namespace {

// Crypto++ takes size_t lengths; feeding in slices keeps 32-bit builds and huge views safe.
template <typename Hash>
void Feed(Hash& hash, const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSlice = std::size_t{1} << 24;
  while (size > 0) {
    const std::size_t n = size < kSlice ? size : kSlice;
    hash.Update(data, n);
    data += n;
    size -= n;
  }
}

ContentSource WholeView(ByteView content) {
  return [content](const std::function<void(ByteView)>& take) {
    take(content);
    return true;
  };
}

}  // namespace

bool Md5Of(const ContentSource& content, Md5Digest* digest) {
  CryptoPP::Weak::MD5 md5;
  if (!content([&md5](ByteView piece) { Feed(md5, piece.data, piece.size); })) return false;
  md5.Final(digest->data());
  return true;
}

bool Md5OfText(const ContentSource& content, Md5Digest* digest) {
  CryptoPP::Weak::MD5 md5;
  std::uint8_t kept[4096];
  std::size_t count = 0;
  const auto take = [&](ByteView piece) {
    // A local count: the byte stores below could alias a captured one, which would then be
    // reloaded for every byte.
    std::size_t n = count;
    std::size_t i = 0;
    while (i < piece.size) {
      // Branch-free filtering: every byte is stored, only the kept ones advance the count.
      const std::size_t room = sizeof(kept) - n;
      const std::size_t end = i + (piece.size - i < room ? piece.size - i : room);
      for (; i < end; ++i) {
        const std::uint8_t b = piece.data[i];
        kept[n] = b;
        n += static_cast<std::size_t>(static_cast<std::uint8_t>(b - 0x20) < 0x60);
      }
      if (n == sizeof(kept)) {
        md5.Update(kept, n);
        n = 0;
      }
    }
    count = n;
  };
  if (!content(take)) return false;
  md5.Update(kept, count);
  md5.Final(digest->data());
  return true;
}

bool Sha256WithoutPeChecksum(std::uint64_t size, const ContentSource& content, Sha256Digest* digest) {
  CryptoPP::SHA256 sha;
  std::uint64_t at = 0;
  std::uint64_t checksum = ~std::uint64_t{0};
  const auto take = [&](ByteView piece) {
    // Only the DOS header is asked, and its PE offset need only leave room for the headers: a
    // file the loader would not take still has its checksum field skipped where it would be.
    std::uint32_t peOffset = 0;
    if (at == 0 && size > 247 && pe::PeOffsetFromDosHeader(piece.data, piece.size, &peOffset) &&
        peOffset <= size - 248) {
      checksum = peOffset + pe::kPeChecksumField;
    }
    // Its four bytes count as zero, wherever the pieces cut them.
    std::size_t i = 0;
    while (i < piece.size) {
      const std::uint64_t position = at + i;
      if (position >= checksum && position < checksum + 4) {
        const std::uint8_t zero = 0;
        sha.Update(&zero, 1);
        ++i;
        continue;
      }
      std::size_t n = piece.size - i;
      if (position < checksum && checksum - position < n) n = static_cast<std::size_t>(checksum - position);
      Feed(sha, piece.data + i, n);
      i += n;
    }
    at += piece.size;
  };
  if (!content(take)) return false;
  sha.Final(digest->data());
  return true;
}

Md5Digest Md5Of(ByteView content) {
  Md5Digest digest{};
  Md5Of(WholeView(content), &digest);
  return digest;
}

Md5Digest Md5OfText(ByteView content) {
  Md5Digest digest{};
  Md5OfText(WholeView(content), &digest);
  return digest;
}

Sha256Digest Sha256WithoutPeChecksum(ByteView content) {
  Sha256Digest digest{};
  Sha256WithoutPeChecksum(content.size, WholeView(content), &digest);
  return digest;
}

}  // namespace tzk::signature
