// The digests of the signed content: plain MD5, MD5 over printable ASCII only (the text
// forms survive line-ending and code-page changes), and SHA-256 with the PE checksum as zero
// (the checksum may be recomputed after signing without breaking the signature).
#pragma once

#include <array>
#include <cstdint>

#include "archive/verification_keys.h"

namespace tzk::archive {

using Md5Digest = std::array<std::uint8_t, 16>;
using Sha256Digest = std::array<std::uint8_t, 32>;

Md5Digest Md5Of(ByteView content);
Md5Digest Md5OfText(ByteView content);  // only the bytes 0x20 to 0x7F
Sha256Digest Sha256WithoutPeChecksum(ByteView content);

}  // namespace tzk::archive
