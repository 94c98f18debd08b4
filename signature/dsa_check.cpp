#include <cryptopp/integer.h>
#include <cryptopp/modarith.h>
#include <cryptopp/nbtheory.h>

#include <atomic>

#include "signature/dsa_check.h"

namespace tzk::signature {
namespace {

std::atomic<std::uint32_t> exponentiations{0};

// Byte by byte, highest first (one allocation): Integer's byte-array constructor reads through
// the library's stream classes, which the stub's build of the library leaves out.
CryptoPP::Integer FromBigEndian(const std::uint8_t* data, std::size_t size) {
  CryptoPP::Integer value;
  for (std::size_t i = 0; i < size; ++i) value.SetByte(size - 1 - i, data[i]);
  return value;
}

bool InOpenRange(const CryptoPP::Integer& value, const CryptoPP::Integer& q) {
  return value.IsPositive() && value < q;
}

}  // namespace

bool DsaVerify(const DsaPublicKey& key, ByteView digest, ByteView signature) {
  const std::size_t n = key.q.size;
  if (n == 0 || signature.size != 2 * n) return false;
  const CryptoPP::Integer q = FromBigEndian(key.q.data, n);
  const CryptoPP::Integer r = FromBigEndian(signature.data, n);
  const CryptoPP::Integer s = FromBigEndian(signature.data + n, n);
  if (!InOpenRange(r, q) || !InOpenRange(s, q)) return false;

  const CryptoPP::Integer p = FromBigEndian(key.p.data, key.p.size);
  // Montgomery arithmetic needs an odd modulus; a key that breaks this verifies nothing.
  if (p.IsEven() || p <= CryptoPP::Integer::One()) return false;
  const CryptoPP::Integer w = s.InverseMod(q);
  const CryptoPP::Integer e = FromBigEndian(digest.data, digest.size);
  const CryptoPP::Integer u1 = a_times_b_mod_c(e, w, q);
  const CryptoPP::Integer u2 = a_times_b_mod_c(r, w, q);

  exponentiations.fetch_add(1, std::memory_order_relaxed);
  const CryptoPP::MontgomeryRepresentation field(p);
  const CryptoPP::Integer gm = field.ConvertIn(FromBigEndian(key.g.data, key.g.size));
  const CryptoPP::Integer ym = field.ConvertIn(FromBigEndian(key.y.data, key.y.size));
  const CryptoPP::Integer v = field.ConvertOut(field.CascadeExponentiate(gm, u1, ym, u2)) % q;
  return v == r;
}

std::uint32_t DsaExponentiations() { return exponentiations.load(std::memory_order_relaxed); }

}  // namespace tzk::signature
