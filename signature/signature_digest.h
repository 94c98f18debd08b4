// The digests of the signed content: plain MD5, MD5 over printable ASCII only (the text
// forms survive line-ending and code-page changes), and SHA-256 with the PE checksum as zero
// (the checksum may be recomputed after signing without breaking the signature).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "signature/verification_keys.h"

namespace tzk::signature {

using Md5Digest = std::array<std::uint8_t, 16>;
using Sha256Digest = std::array<std::uint8_t, 32>;

Md5Digest Md5Of(ByteView content);
Md5Digest Md5OfText(ByteView content);  // only the bytes 0x20 to 0x7F
Sha256Digest Sha256WithoutPeChecksum(ByteView content);

// Content handed over piece by piece, in order, so that a large file need not be in memory
// at once: the source calls take for every piece and returns false when a piece cannot be had.
using ContentSource = std::function<bool(const std::function<void(ByteView)>& take)>;

// The same digests of content from a source (size bytes in all, for the PE checksum's place);
// false when the source fails.
bool Md5Of(const ContentSource& content, Md5Digest* digest);
bool Md5OfText(const ContentSource& content, Md5Digest* digest);
bool Sha256WithoutPeChecksum(std::uint64_t size, const ContentSource& content, Sha256Digest* digest);

}  // namespace tzk::signature
