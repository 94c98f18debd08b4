// Sealing a certificate table that a signing tool has written: the room for the tail block is
// added inside the PKCS#7 as an unauthenticated attribute, sized so that the table keeps the
// size the archive signature covers and the PKCS#7 ends the file.
#include "sfxpack/authenticode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "pe/pe_image.h"
#include "vocabulary/little_endian.h"

#ifdef SFX_HAVE_OPENSSL
#include <openssl/asn1.h>
#include <openssl/objects.h>
#endif

namespace sfxpack {
namespace {

using tzk::archive::kTailBlockSize;
using tzk::pe::PeHeaders;
using tzk::vocabulary::ReadLe32;
using tzk::vocabulary::WriteLe32;

bool allZero(const std::uint8_t* data, std::size_t size) {
  return std::all_of(data, data + size, [](std::uint8_t b) { return b == 0; });
}

Bytes le32(std::uint32_t value) {
  Bytes bytes(4);
  WriteLe32(bytes.data(), value);
  return bytes;
}

// The offsets of the WIN_CERTIFICATE entries in the table, each 8-aligned behind the one before;
// zero bytes after the last are its padding. False when an entry does not fit.
bool certificateEntries(const Bytes& table, std::vector<std::size_t>* entries) {
  const std::size_t end = table.size();
  for (std::size_t at = 0; !allZero(table.data() + at, end - at);) {
    const std::uint32_t length = end - at < kWinCertificateHeader ? 0 : ReadLe32(table.data() + at);
    if (length < kWinCertificateHeader || length > end - at) return false;
    entries->push_back(at);
    at += std::min<std::size_t>((std::size_t{length} + 7) / 8 * 8, end - at);
  }
  return true;
}

#ifdef SFX_HAVE_OPENSSL
// --- appending the room attribute: the only DER written here --------------------------------
// One element: tag, header length, content length. Single-byte tags and definite lengths of at
// most four bytes: all that a DER PKCS#7 uses.
struct Tlv {
  std::size_t at = 0, header = 0, length = 0;
  std::uint8_t tag = 0;
  std::size_t end() const { return at + header + length; }
};

bool readTlv(const std::uint8_t* der, std::size_t at, std::size_t limit, Tlv* out) {
  if (at >= limit || limit - at < 2 || (der[at] & 0x1F) == 0x1F) return false;
  Tlv t;
  t.at = at;
  t.tag = der[at];
  std::size_t pos = at + 1;
  const std::uint8_t first = der[pos++];
  std::size_t length = first;
  if (first & 0x80) {
    const unsigned bytes = first & 0x7F;
    if (bytes == 0 || bytes > 4 || limit - pos < bytes) return false;  // 0: BER's indefinite form
    length = 0;
    for (unsigned i = 0; i < bytes; ++i) length = length << 8 | der[pos++];
  }
  if (length > limit - pos) return false;
  t.header = pos - at;
  t.length = length;
  *out = t;
  return true;
}

// The last of an element's children and how many there are.
bool lastChild(const std::uint8_t* der, const Tlv parent, Tlv* last, std::size_t* count) {
  *count = 0;
  for (std::size_t at = parent.at + parent.header; at < parent.end(); ++*count) {
    if (!readTlv(der, at, parent.end(), last)) return false;
    at = last->end();
  }
  return *count > 0;
}

Bytes header(std::uint8_t tag, std::size_t length) {
  Bytes h{tag};
  if (length < 0x80) {
    h.push_back(static_cast<std::uint8_t>(length));
    return h;
  }
  std::uint8_t digits[sizeof(std::size_t)];
  std::size_t n = 0;
  for (std::size_t v = length; v != 0; v >>= 8) digits[n++] = static_cast<std::uint8_t>(v);
  h.push_back(static_cast<std::uint8_t>(0x80 | n));
  while (n > 0) h.push_back(digits[--n]);
  return h;
}

// ContentInfo, its [0], SignedData, signerInfos, the one SignerInfo and, when there are any, its
// unauthenticated attributes [1]: each the last element of the one before, so bytes appended
// inside the innermost one are appended to the whole PKCS#7, and only these headers change.
bool signerChain(const std::uint8_t* der, std::size_t size, std::vector<Tlv>* chain, bool* hasUnauthenticated) {
  Tlv t;
  std::size_t count = 0;
  if (!readTlv(der, 0, size, &t) || t.tag != 0x30 || t.end() != size) return false;
  chain->push_back(t);
  const std::uint8_t expected[] = {0xA0, 0x30, 0x31, 0x30};
  for (std::uint8_t tag : expected) {
    if (!lastChild(der, t, &t, &count) || t.tag != tag) return false;
    // ContentInfo holds its type and content; [0] holds only SignedData; signerInfos one signer.
    if ((tag == 0xA0 && count != 2) || (tag != 0xA0 && tag != 0x31 && count != 1)) return false;
    chain->push_back(t);
  }
  if (!lastChild(der, t, &t, &count)) return false;
  *hasUnauthenticated = t.tag == 0xA1;
  if (*hasUnauthenticated) chain->push_back(t);
  return true;
}

Bytes withAppended(const std::uint8_t* der, const std::vector<Tlv>& chain, bool hasUnauthenticated, Bytes built) {
  if (!hasUnauthenticated) {
    Bytes wrapped = header(0xA1, built.size());
    wrapped.insert(wrapped.end(), built.begin(), built.end());
    built.swap(wrapped);
  }
  for (std::size_t i = chain.size(); i-- > 0;) {
    const Tlv& level = chain[i];
    const std::size_t start = level.at + level.header;
    const std::size_t keep = i + 1 < chain.size() ? chain[i + 1].at : level.end();
    Bytes next = header(level.tag, keep - start + built.size());
    next.insert(next.end(), der + start, der + keep);
    next.insert(next.end(), built.begin(), built.end());
    built.swap(next);
  }
  return built;
}

Bytes roomAttribute(const Bytes& oid, std::size_t length) {
  Bytes octets = header(0x04, length);
  octets.resize(octets.size() + length, 0);
  Bytes set = header(0x31, octets.size());
  set.insert(set.end(), octets.begin(), octets.end());
  Bytes attribute = header(0x30, oid.size() + set.size());
  attribute.insert(attribute.end(), oid.begin(), oid.end());
  attribute.insert(attribute.end(), set.begin(), set.end());
  return attribute;
}

Bytes roomOidDer() {
  ASN1_OBJECT* object = OBJ_txt2obj(kTailRoomOid, 1);
  Bytes der;
  const int length = object != nullptr ? i2d_ASN1_OBJECT(object, nullptr) : 0;
  if (length > 0) {
    der.resize(static_cast<std::size_t>(length));
    unsigned char* p = der.data();
    i2d_ASN1_OBJECT(object, &p);
  }
  ASN1_OBJECT_free(object);
  return der;
}

// Whether the table is one seal can work on: signed, ending the file, parsing, with no room yet.
// *sealedAlready tells a table sealed at this size before, which stays as it is.
bool sealable(const CodeSignatureReport& before, std::uint32_t reserved, bool* sealedAlready, std::string* error) {
  *sealedAlready = false;
  if (!before.table) {
    if (before.reserved) {
      *error = "its certificate table is only reserved: sign it with your Authenticode tool first";
    } else if (before.tableSize > kMaxTableReserve) {
      *error = before.problem;
    } else {
      *error = "it has no certificate table: sign it with your Authenticode tool first";
    }
    return false;
  }
  if (!before.tableEndsFile) {
    *error = "its certificate table does not end the file";
    return false;
  }
  if (!before.parses) {
    *error = before.problem;
    return false;
  }
  if (before.tailRoom) {
    *sealedAlready = before.tableSize == reserved;
    if (*sealedAlready) return true;
    *error = "its table already has tail room, in " + std::to_string(before.tableSize) + " bytes, not " +
             std::to_string(reserved);
    return false;
  }
  if (before.tailRoomSize != 0 || !before.paddingOk) {
    *error = before.tailRoomSize != 0 ? "its table has tail room that does not end the file" : before.problem;
    return false;
  }
  return true;
}

// The OCTET STRING's length is the one free variable; its headers (and those around it) may
// grow by a byte when it grows, so a few rounds settle it, or show that no length fits.
Bytes settled(const std::uint8_t* der, const std::vector<Tlv>& chain, bool hasUnauthenticated, const Bytes& oid,
              std::size_t target, Bytes sealed) {
  std::size_t length = kTailBlockSize;
  for (int round = 0; round < 8 && sealed.size() != target; ++round) {
    const std::ptrdiff_t missing = static_cast<std::ptrdiff_t>(target) - static_cast<std::ptrdiff_t>(sealed.size());
    if (missing < 0 && length - kTailBlockSize < static_cast<std::size_t>(-missing)) break;
    length = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(length) + missing);
    sealed = withAppended(der, chain, hasUnauthenticated, roomAttribute(oid, length));
  }
  return sealed;
}

// The PKCS#7 with the room attribute that makes its table exactly `reserved` bytes; false with
// the reason when it cannot be read or no room fits.
bool withRoom(const FileSource& file, const PeHeaders& h, const CodeSignatureReport& before, std::uint32_t reserved,
              Bytes* sealed, std::string* error) {
  Bytes pkcs7(before.pkcs7Size);
  if (!file.read(h.tableOffset + kWinCertificateHeader, pkcs7.data(), pkcs7.size())) {
    *error = "its certificate table cannot be read";
    return false;
  }
  const std::uint8_t* der = pkcs7.data();
  std::vector<Tlv> chain;
  bool hasUnauthenticated = false;
  if (!signerChain(der, before.pkcs7Size, &chain, &hasUnauthenticated)) {
    *error = "its PKCS#7 is not DER of the shape Authenticode uses (one signer, definite lengths)";
    return false;
  }
  const Bytes oid = roomOidDer();
  const std::size_t target = reserved - kWinCertificateHeader;
  *sealed = withAppended(der, chain, hasUnauthenticated, roomAttribute(oid, kTailBlockSize));
  if (sealed->size() > target) {
    const std::size_t needed = (sealed->size() + kWinCertificateHeader + 7) / 8 * 8;
    *error = "the signature (" + std::to_string(before.pkcs7Size) + " bytes of PKCS#7) and the tail room need a table of " +
             std::to_string(needed) + " bytes, but " + std::to_string(reserved) +
             " are reserved: prepare with --reserve " + std::to_string(needed) + " or more";
    return false;
  }
  *sealed = settled(der, chain, hasUnauthenticated, oid, target, std::move(*sealed));
  if (sealed->size() != target) {
    *error = "no room of any length fills a table of exactly " + std::to_string(reserved) +
             " bytes (a DER length changes size there): reserve " + std::to_string(reserved + 8);
    return false;
  }
  return true;
}

#endif  // SFX_HAVE_OPENSSL

}  // namespace

bool TakeAppendedSignature(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error) {
  *patch = FilePatch{file.size, {}};
  PeHeaders h;
  if (!tzk::pe::ReadPeHeaders(file.read, &h)) return true;  // SealTable says what is wrong
  const std::uint64_t begin = h.tableOffset, end = begin + h.tableSize;
  if (begin == 0 || end != file.size || h.tableSize > kMaxTableReserve) return true;
  Bytes table(h.tableSize);
  if (!file.read(begin, table.data(), table.size())) return true;
  std::vector<std::size_t> entries;
  if (!certificateEntries(table, &entries)) {
    *error = "its certificate table is not a run of WIN_CERTIFICATE entries: one runs past the table's end";
    return false;
  }
  if (entries.size() < 2) return true;
  const std::uint32_t first = ReadLe32(table.data());
  if (entries.size() > 2 || !allZero(table.data() + kWinCertificateHeader, first - kWinCertificateHeader)) {
    *error = "its certificate table holds " + std::to_string(entries.size()) + " entries" +
             (entries.size() > 2 ? std::string() : ", the first of them a signature, not the zero-filled reservation") +
             ": seal takes one signature, written over the reservation of a prepared file or appended behind it";
    return false;
  }
  if (first != reserved) {
    *error = "its reservation is " + std::to_string(first) + " bytes, not " + std::to_string(reserved) +
             ": give seal the --reserve it was prepared with";
    return false;
  }
  // The archive signature covers the table's place and size, not its bytes: the entry takes the
  // reservation's place, and the table ends behind it as a signer that writes over it leaves it.
  const std::uint32_t kept = static_cast<std::uint32_t>(table.size() - entries[1]);
  patch->size = begin + kept;
  patch->writes.emplace_back(begin, Bytes(table.begin() + static_cast<std::ptrdiff_t>(entries[1]), table.end()));
  patch->writes.emplace_back(h.securityEntry + 4, le32(kept));
  return true;
}

bool RefreshPeChecksum(const FileSource& file, FilePatch* patch) {
  const FileSource result = Patched(file, *patch);
  PeHeaders h;
  if (!tzk::pe::ReadPeHeaders(result.read, &h) || h.checksumOffset + 4 > result.size) return true;
  tzk::pe::PeChecksumSum sum(h.checksumOffset);
  std::string unread;
  const bool read = CopyOut(result, [&sum](const std::uint8_t* data, std::size_t size, std::string*) {
    sum.Add(data, size);
    return true;
  }, &unread);
  if (read) patch->writes.emplace_back(h.checksumOffset, le32(sum.Result()));
  return read;
}

bool SealTable(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error) {
  *patch = FilePatch{file.size, {}};  // a file sealed already stays as it is
#ifndef SFX_HAVE_OPENSSL
  (void)reserved;
  *error = "this build of sfxpack reads no PKCS#7 (it has no OpenSSL): seal with the Linux build";
  return false;
#else
  PeHeaders h;
  if (!tzk::pe::ReadPeHeaders(file.read, &h)) {
    *error = "not a PE image";
    return false;
  }
  if (reserved % 8 != 0 || reserved < kTailBlockSize) {
    *error = "the reservation must be a multiple of 8 and larger than the tail block, not " + std::to_string(reserved);
    return false;
  }
  const CodeSignatureReport before = InspectCodeSignature(file);
  bool sealedAlready = false;
  Bytes sealed;
  if (!sealable(before, reserved, &sealedAlready, error)) return false;
  if (sealedAlready) return true;
  if (!withRoom(file, h, before, reserved, &sealed, error)) return false;
  // The table's header keeps its revision and type; only lengths change in front of it.
  FilePatch sealing{std::uint64_t{h.tableOffset} + kWinCertificateHeader + sealed.size(), {}};
  sealing.writes.emplace_back(h.tableOffset, le32(reserved));
  sealing.writes.emplace_back(h.tableOffset + kWinCertificateHeader, std::move(sealed));
  sealing.writes.emplace_back(h.securityEntry + 4, le32(reserved));
  // Judged by the same reader that verify uses: the seal must give what it reports.
  const CodeSignatureReport after = InspectCodeSignature(Patched(file, sealing));
  if (!after.tailRoom || !after.paddingOk || after.digestMatches != before.digestMatches) {
    *error = "the sealed table does not read back as it was written (" +
             (after.problem.empty() ? std::string("no tail room where it was written") : after.problem) + ")";
    return false;
  }
  if (!RefreshPeChecksum(file, &sealing)) {
    *error = "it cannot be read again to bring its PE checksum up to date";
    return false;
  }
  *patch = std::move(sealing);
  return true;
#endif
}

}  // namespace sfxpack
