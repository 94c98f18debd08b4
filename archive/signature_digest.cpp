#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>


#include "archive/signature_digest.h"

namespace tzk::archive {
namespace {

std::uint32_t ReadLe32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

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

}  // namespace

Md5Digest Md5Of(ByteView content) {
  CryptoPP::Weak::MD5 md5;
  Feed(md5, content.data, content.size);
  Md5Digest digest{};
  md5.Final(digest.data());
  return digest;
}

Md5Digest Md5OfText(ByteView content) {
  CryptoPP::Weak::MD5 md5;
  std::uint8_t kept[4096];
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < content.size) {
    // Branch-free filtering: every byte is stored, only the kept ones advance the count.
    const std::size_t end = i + (content.size - i < sizeof(kept) - count ? content.size - i : sizeof(kept) - count);
    for (; i < end; ++i) {
      const std::uint8_t b = content.data[i];
      kept[count] = b;
      count += static_cast<std::size_t>(static_cast<std::uint8_t>(b - 0x20) < 0x60);
    }
    if (count == sizeof(kept)) {
      md5.Update(kept, count);
      count = 0;
    }
  }
  md5.Update(kept, count);
  Md5Digest digest{};
  md5.Final(digest.data());
  return digest;
}

Sha256Digest Sha256WithoutPeChecksum(ByteView content) {
  CryptoPP::SHA256 sha;
  const std::uint8_t* data = content.data;
  const std::size_t size = content.size;
  // The checksum sits 88 bytes into the PE header (file header 24 + optional header 64).
  if (size > 247 && data[0] == 'M' && data[1] == 'Z' && ReadLe32(data + 0x3C) <= size - 248) {
    const std::size_t checksum = std::size_t{ReadLe32(data + 0x3C)} + 88;
    const std::uint8_t zero[4] = {};
    Feed(sha, data, checksum);
    sha.Update(zero, sizeof(zero));
    Feed(sha, data + checksum + 4, size - checksum - 4);
  } else {
    Feed(sha, data, size);
  }
  Sha256Digest digest{};
  sha.Final(digest.data());
  return digest;
}

}  // namespace tzk::archive
