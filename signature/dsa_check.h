// DSA verification with the digest taken whole as the integer e (no truncation to q).
#pragma once

#include <cstdint>

#include "signature/verification_keys.h"

namespace tzk::signature {

// True when signature (r || s, each as long as the key's q) is a valid signature of digest.
// Out-of-range r or s are refused before any exponentiation.
bool DsaVerify(const DsaPublicKey& key, ByteView digest, ByteView signature);

// How many modular exponentiations DsaVerify has run in this process; lets tests see that
// malformed signatures never reach the expensive step.
std::uint32_t DsaExponentiations();

}  // namespace tzk::signature
