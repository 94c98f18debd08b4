#include "sfxpack/code_signature.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "archive/embedded_items.h"
#include "pe/pe_image.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "sfxpack/manifest.h"

#ifdef SFX_HAVE_OPENSSL
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#endif

namespace sfxpack {

const char kTailRoomOid[] = "2.25.241770217270015801884865746267780174684";

namespace {

using tzk::archive::kTailBlockSize;
using tzk::archive::PeHeaders;

constexpr std::uint32_t kWinCertificateHeader = 8;  // dwLength, wRevision, wCertificateType
constexpr std::uint16_t kRevision2 = 0x0200;
constexpr std::uint16_t kPkcsSignedData = 0x0002;

using tzk::vocabulary::ReadLe16;
using tzk::vocabulary::ReadLe32;
using tzk::vocabulary::WriteLe32;

bool allZero(const std::uint8_t* data, std::size_t size) {
  return std::all_of(data, data + size, [](std::uint8_t b) { return b == 0; });
}

// As large as the pieces every other streamed path of sfxpack reads.
constexpr std::size_t kPiece = std::size_t{1} << 20;

// Hands [from, to) of the file to take in pieces of kPiece bytes (the last may be shorter);
// false when a piece cannot be read.
bool forEachPiece(const FileSource& file, std::uint64_t from, std::uint64_t to,
                  const std::function<bool(const std::uint8_t*, std::size_t)>& take) {
  Bytes piece(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, to > from ? to - from : 0)));
  for (std::uint64_t at = from; at < to;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), to - at));
    if (!file.read(at, piece.data(), n) || !take(piece.data(), n)) return false;
    at += n;
  }
  return true;
}

Bytes le32(std::uint32_t value) {
  Bytes bytes(4);
  WriteLe32(bytes.data(), value);
  return bytes;
}

// False would say that a fact was checked and fails: one that was not checked is null.
nlohmann::json ifChecked(bool checked, nlohmann::json value) { return checked ? value : nlohmann::json(); }

#ifdef SFX_HAVE_OPENSSL

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;

// The PKCS#7 at the start of the table's content; its DER length in *used.
Pkcs7Ptr parsePkcs7(const std::uint8_t* der, std::size_t size, std::size_t* used) {
  const unsigned char* p = der;
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(std::min<std::size_t>(size, 0x7FFFFFFF))));
  *used = p7 ? static_cast<std::size_t>(p - der) : 0;
  ERR_clear_error();  // a refusal is reported in our words; nothing is left for the next caller
  return p7;
}

std::string nameText(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return std::string();
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  char* text = nullptr;
  const long length = BIO_get_mem_data(bio, &text);
  std::string out(text, static_cast<std::size_t>(length > 0 ? length : 0));
  BIO_free(bio);
  return out;
}

bool isObject(const ASN1_OBJECT* object, const char* dotted) {
  char text[128];
  return OBJ_obj2txt(text, sizeof text, object, 1) > 0 && std::strcmp(text, dotted) == 0;
}

// The digest algorithm and value that the SpcIndirectDataContent carries; false when the
// content is not Authenticode's.
bool signedDigest(PKCS7* p7, const EVP_MD** md, std::string* value) {
  PKCS7* content = p7->d.sign->contents;
  if (content == nullptr || content->type == nullptr || !isObject(content->type, "1.3.6.1.4.1.311.2.1.4") ||
      content->d.other == nullptr || content->d.other->type != V_ASN1_SEQUENCE) {
    return false;
  }
  const ASN1_STRING* sequence = content->d.other->value.sequence;
  const unsigned char* p = sequence->data;
  STACK_OF(ASN1_TYPE)* items = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, sequence->length);
  bool found = false;
  if (items != nullptr && sk_ASN1_TYPE_num(items) == 2 && sk_ASN1_TYPE_value(items, 1)->type == V_ASN1_SEQUENCE) {
    const ASN1_STRING* digestInfo = sk_ASN1_TYPE_value(items, 1)->value.sequence;
    const unsigned char* q = digestInfo->data;
    X509_SIG* sig = d2i_X509_SIG(nullptr, &q, digestInfo->length);
    if (sig != nullptr) {
      const X509_ALGOR* algorithm = nullptr;
      const ASN1_OCTET_STRING* digest = nullptr;
      X509_SIG_get0(sig, &algorithm, &digest);
      *md = EVP_get_digestbyobj(algorithm->algorithm);
      value->assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(digest)),
                    static_cast<std::size_t>(ASN1_STRING_length(digest)));
      found = *md != nullptr;
      X509_SIG_free(sig);
    }
  }
  sk_ASN1_TYPE_pop_free(items, ASN1_TYPE_free);
  return found;
}

// The image digest as Authenticode defines it: every byte but the checksum, the security
// directory entry and the table. Bytes behind the table count, as they do for Windows, so a
// tail block appended behind a signed table shows as a mismatch.
std::string imageDigest(const FileSource& file, const PeHeaders& h, const EVP_MD* md) {
  const std::uint64_t tableEnd = std::uint64_t{h.tableOffset} + h.tableSize;
  const std::pair<std::uint64_t, std::uint64_t> ranges[] = {{0, h.checksumOffset},
                                                            {h.checksumOffset + 4, h.securityEntry},
                                                            {h.securityEntry + 8, h.tableOffset},
                                                            {tableEnd, file.size}};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
  for (const auto& r : ranges) {
    if (ok && r.second > r.first) {
      ok = forEachPiece(file, r.first, r.second, [ctx](const std::uint8_t* data, std::size_t size) {
        return EVP_DigestUpdate(ctx, data, size) == 1;
      });
    }
  }
  ok = ok && EVP_DigestFinal_ex(ctx, out, &length) == 1;
  EVP_MD_CTX_free(ctx);
  return ok ? std::string(reinterpret_cast<const char*>(out), length) : std::string();
}

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

#endif  // SFX_HAVE_OPENSSL

}  // namespace

FileSource SourceOf(const tzk::archive::SignatureFile& file) {
  return {file.Size(), [&file](std::uint64_t at, void* buffer, std::size_t size) { return file.ReadAt(at, buffer, size); }};
}

bool OpenMeasured(const std::string& path, tzk::archive::SignatureFile* file, std::string* error) {
  std::uint64_t size = 0;
  if (!MeasureFile(path, &size, error)) return false;
  if (file->Open(tzk::vocabulary::fromUtf8(path).c_str())) return true;
  *error = std::string("cannot open for reading: ") + std::strerror(errno);
  return false;
}

FileSource Patched(const FileSource& base, FilePatch patch) {
  const auto change = std::make_shared<const FilePatch>(std::move(patch));
  return {change->size, [base, change](std::uint64_t at, void* buffer, std::size_t size) {
            if (at > change->size || size > change->size - at) return false;
            auto* bytes = static_cast<std::uint8_t*>(buffer);
            const std::size_t fromBase =
                at < base.size ? static_cast<std::size_t>(std::min<std::uint64_t>(size, base.size - at)) : 0;
            if (fromBase > 0 && !base.read(at, bytes, fromBase)) return false;
            std::memset(bytes + fromBase, 0, size - fromBase);
            for (const auto& [offset, data] : change->writes) {
              const std::uint64_t from = std::max(at, offset), to = std::min(at + size, offset + data.size());
              if (from < to) std::memcpy(bytes + (from - at), data.data() + (from - offset), to - from);
            }
            return true;
          }};
}

bool CopyOut(const FileSource& file, const tzk::archive::Sink& sink, std::string* error) {
  bool sinkFailed = false;
  const bool copied = forEachPiece(file, 0, file.size, [&](const std::uint8_t* data, std::size_t size) {
    sinkFailed = !sink(data, size, error);
    return !sinkFailed;
  });
  if (!copied && !sinkFailed) *error = "cannot read it";
  return copied;
}

bool RefreshPeChecksum(const FileSource& file, FilePatch* patch) {
  const FileSource result = Patched(file, *patch);
  PeHeaders h;
  if (!tzk::archive::ReadPeHeaders(result.read, &h) || h.checksumOffset + 4 > result.size) return true;
  tzk::archive::PeChecksumSum sum(h.checksumOffset);
  const bool read = forEachPiece(result, 0, result.size, [&sum](const std::uint8_t* data, std::size_t size) {
    sum.Add(data, size);
    return true;
  });
  if (read) patch->writes.emplace_back(h.checksumOffset, le32(sum.Result()));
  return read;
}

CodeSignatureReport InspectCodeSignature(const FileSource& file) {
  CodeSignatureReport r;
  PeHeaders h;
  if (!tzk::archive::ReadPeHeaders(file.read, &h)) return r;
  r.readable = true;
  r.tableOffset = h.tableOffset;
  r.tableSize = h.tableSize;
  if (h.tableOffset == 0) return r;
  if (h.tableOffset >= file.size || h.tableSize < kWinCertificateHeader || h.tableSize > file.size - h.tableOffset) {
    r.reserved = h.tableOffset >= file.size;
    r.truncated = !r.reserved && h.tableSize >= kWinCertificateHeader;
    r.problem = r.truncated ? "the file ends " + std::to_string(file.size - h.tableOffset) + " bytes into its " +
                                  std::to_string(h.tableSize) + "-byte certificate table: it was cut short"
                            : "the security directory names bytes beyond the end of the file";
    return r;
  }
  // The table is read whole, so a size read from the file must not decide how much memory
  // that takes: no signing tool writes a table near the largest reservation.
  if (h.tableSize > kMaxTableReserve) {
    r.problem = "its security directory claims a " + std::to_string(h.tableSize) +
                "-byte certificate table, more than the " + std::to_string(kMaxTableReserve >> 20) +
                " MiB sfxpack reads: not read";
    return r;
  }
  Bytes tableBytes(h.tableSize);
  if (!file.read(h.tableOffset, tableBytes.data(), tableBytes.size())) {
    r.problem = "its certificate table cannot be read";
    return r;
  }
  const std::uint8_t* table = tableBytes.data();
  const std::uint8_t* content = table + kWinCertificateHeader;
  const std::size_t contentSize = h.tableSize - kWinCertificateHeader;
  r.tableEndsFile = std::uint64_t{h.tableOffset} + h.tableSize == file.size;
  if (allZero(content, contentSize)) {
    r.reserved = true;  // the placeholder that --prepare leaves for the signing tool
    return r;
  }
  r.table = true;
  // Some signing tools leave the alignment padding out of the certificate's own length; what
  // follows the PKCS#7 up to the table's end is judged by the padding check either way.
  if (ReadLe32(table) < kWinCertificateHeader || ReadLe32(table) > h.tableSize || ReadLe16(table + 4) != kRevision2 ||
      ReadLe16(table + 6) != kPkcsSignedData) {
    r.problem = "the table is not one PKCS#7 certificate inside the directory's size";
    return r;
  }
#ifndef SFX_HAVE_OPENSSL
  r.available = false;
  r.problem = "this build of sfxpack reads no PKCS#7 (it has no OpenSSL)";
  return r;
#else
  std::size_t used = 0;
  Pkcs7Ptr p7 = parsePkcs7(content, contentSize, &used);
  if (!p7 || !PKCS7_type_is_signed(p7.get())) {
    r.problem = "its PKCS#7 does not parse as SignedData";
    return r;
  }
  r.pkcs7Size = static_cast<std::uint32_t>(used);
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
    r.problem = "its PKCS#7 has not exactly one signer";
    return r;
  }
  r.parses = true;
  r.paddingOk = r.tableEndsFile && h.tableOffset % 8 == 0 && contentSize - used <= 7 &&
                allZero(content + used, contentSize - used);
  r.sound = r.parses && r.tableEndsFile && r.paddingOk;
  if (!r.tableEndsFile) r.problem = "bytes follow the certificate table, so Authenticode tools find no signature";
  else if (!r.paddingOk) r.problem = "more than 7 bytes, or bytes that are not zero, follow the PKCS#7 in the table";

  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, 0);
  if (STACK_OF(X509)* signers = PKCS7_get0_signers(p7.get(), nullptr, 0)) {
    if (sk_X509_num(signers) > 0) r.signer = nameText(X509_get_subject_name(sk_X509_value(signers, 0)));
    sk_X509_free(signers);
  }
  ERR_clear_error();
  for (int i = 0; i < X509at_get_attr_count(si->unauth_attr); ++i) {
    const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(X509at_get_attr(si->unauth_attr, i));
    r.timestamp = r.timestamp || OBJ_obj2nid(type) == NID_pkcs9_countersignature ||
                  isObject(type, "1.3.6.1.4.1.311.3.3.1");
  }
  ASN1_OBJECT* roomType = OBJ_txt2obj(kTailRoomOid, 1);
  const int at = roomType != nullptr ? X509at_get_attr_by_OBJ(si->unauth_attr, roomType, -1) : -1;
  ASN1_OBJECT_free(roomType);
  const ASN1_TYPE* room = at >= 0 ? X509_ATTRIBUTE_get0_type(X509at_get_attr(si->unauth_attr, at), 0) : nullptr;
  if (room != nullptr && room->type == V_ASN1_OCTET_STRING) {
    const int length = ASN1_STRING_length(room->value.octet_string);
    r.tailRoomSize = static_cast<std::uint32_t>(length);
    // The room is only where tag writes (the file's last kTailBlockSize bytes, the table's last
    // too) when the PKCS#7 ends the file.
    r.tailRoom = length >= static_cast<int>(kTailBlockSize) && r.tableEndsFile && used == contentSize &&
                 std::memcmp(ASN1_STRING_get0_data(room->value.octet_string) + length - kTailBlockSize,
                             table + h.tableSize - kTailBlockSize, kTailBlockSize) == 0;
  }
  const EVP_MD* md = nullptr;
  std::string expected;
  if (!signedDigest(p7.get(), &md, &expected)) {
    r.problem = "its PKCS#7 signs no Authenticode image digest";
    return r;
  }
  r.digestAlgorithm = OBJ_nid2sn(EVP_MD_get_type(md));
  r.digestMatches = imageDigest(file, h, md) == expected;
  return r;
#endif
}

CodeSignatureReport InspectCodeSignatureIn(const tzk::archive::SignatureFile& file) {
  Bytes head(static_cast<std::size_t>(std::min<std::uint64_t>(4096, file.Size())));
  PeHeaders h;
  if (file.ReadAt(0, head.data(), head.size()) && tzk::archive::ReadPeHeaders(head.data(), head.size(), &h) &&
      h.tableOffset == 0) {
    CodeSignatureReport r;
    r.readable = true;
    return r;
  }
  return InspectCodeSignature(SourceOf(file));
}

nlohmann::json CodeSignatureJson(const CodeSignatureReport& r) {
  nlohmann::json d = {{"table", r.table ? "present" : r.reserved ? "reserved" : r.truncated ? "truncated" : "none"},
                      {"sound", ifChecked(r.available, r.sound)}};
  if (!r.table) {
    if (!r.problem.empty()) d["problem"] = r.problem;
    return d;
  }
  d["tableOffset"] = r.tableOffset;
  d["tableSize"] = r.tableSize;
  d["tableEndsFile"] = r.tableEndsFile;
  d["pkcs7Parses"] = ifChecked(r.available, r.parses);
  const bool digestChecked = !r.digestAlgorithm.empty();
  d["digestMatches"] = ifChecked(digestChecked, r.digestMatches);
  d["digestAlgorithm"] = ifChecked(digestChecked, r.digestAlgorithm);
  d["signer"] = ifChecked(r.parses, r.signer);
  d["timestamp"] = ifChecked(r.parses, r.timestamp);
  d["tailRoom"] = ifChecked(r.parses, r.tailRoom);
  d["tailRoomSize"] = ifChecked(r.parses, r.tailRoomSize);
  d["paddingCheck"] = ifChecked(r.parses, r.paddingOk);
  if (!r.problem.empty()) d["problem"] = r.problem;
  return d;
}

std::string CodeSignatureText(const CodeSignatureReport& r) {
  if (!r.table) {
    return std::string("code signature: ") +
           (r.reserved ? "certificate table reserved, not signed yet"
            : r.truncated ? "certificate table NOT sound"
                          : "no certificate table") +
           (r.problem.empty() ? "" : " (" + r.problem + ")") + "\n";
  }
  std::string text = "code signature: certificate table of " + std::to_string(r.tableSize) + " bytes at " +
                     std::to_string(r.tableOffset) + (r.tableEndsFile ? ", ending the file" : ", NOT ending the file") +
                     "\n";
  if (!r.parses) {
    return text + "code signature: " + r.problem + "; signer, image digest, tail room and padding not checked" +
           (r.available ? "; the table is NOT sound" : "") + "\n";
  }
  const std::string digest = r.digestAlgorithm.empty() ? std::string("not checked")
                             : "(" + r.digestAlgorithm + ") " + (r.digestMatches ? "matches" : "DOES NOT MATCH");
  text += "code signature: signer " + (r.signer.empty() ? std::string("(not found)") : r.signer) + "; image digest " +
          digest + "; timestamp " + (r.timestamp ? "present" : "none") + "\n";
  text += "code signature: tail room " +
          (r.tailRoom ? std::to_string(r.tailRoomSize) + " bytes" : std::string("none")) + "; padding check " +
          (r.paddingOk ? "passes" : "FAILS") + "; the table is " + (r.sound ? "sound" : "NOT sound") +
          (r.problem.empty() ? "" : " (" + r.problem + ")") + "\n";
  return text;
}

namespace {

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

}  // namespace

bool TakeAppendedSignature(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error) {
  *patch = FilePatch{file.size, {}};
  PeHeaders h;
  if (!tzk::archive::ReadPeHeaders(file.read, &h)) return true;  // SealTable says what is wrong
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

bool SealTable(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error) {
  *patch = FilePatch{file.size, {}};  // a file sealed already stays as it is
#ifndef SFX_HAVE_OPENSSL
  (void)reserved;
  *error = "this build of sfxpack reads no PKCS#7 (it has no OpenSSL): seal with the Linux build";
  return false;
#else
  PeHeaders h;
  if (!tzk::archive::ReadPeHeaders(file.read, &h)) {
    *error = "not a PE image";
    return false;
  }
  if (reserved % 8 != 0 || reserved < kTailBlockSize) {
    *error = "the reservation must be a multiple of 8 and larger than the tail block, not " + std::to_string(reserved);
    return false;
  }
  const CodeSignatureReport before = InspectCodeSignature(file);
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
    if (before.tableSize == reserved) return true;
    *error = "its table already has tail room, in " + std::to_string(before.tableSize) + " bytes, not " +
             std::to_string(reserved);
    return false;
  }
  if (before.tailRoomSize != 0 || !before.paddingOk) {
    *error = before.tailRoomSize != 0 ? "its table has tail room that does not end the file" : before.problem;
    return false;
  }
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
  std::size_t length = kTailBlockSize;
  Bytes sealed = withAppended(der, chain, hasUnauthenticated, roomAttribute(oid, length));
  if (sealed.size() > target) {
    const std::size_t needed = (sealed.size() + kWinCertificateHeader + 7) / 8 * 8;
    *error = "the signature (" + std::to_string(before.pkcs7Size) + " bytes of PKCS#7) and the tail room need a table of " +
             std::to_string(needed) + " bytes, but " + std::to_string(reserved) +
             " are reserved: prepare with --reserve " + std::to_string(needed) + " or more";
    return false;
  }
  // The OCTET STRING's length is the one free variable; its headers (and those around it) may
  // grow by a byte when it grows, so a few rounds settle it, or show that no length fits.
  for (int round = 0; round < 8 && sealed.size() != target; ++round) {
    const std::ptrdiff_t missing = static_cast<std::ptrdiff_t>(target) - static_cast<std::ptrdiff_t>(sealed.size());
    if (missing < 0 && length - kTailBlockSize < static_cast<std::size_t>(-missing)) break;
    length = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(length) + missing);
    sealed = withAppended(der, chain, hasUnauthenticated, roomAttribute(oid, length));
  }
  if (sealed.size() != target) {
    *error = "no room of any length fills a table of exactly " + std::to_string(reserved) +
             " bytes (a DER length changes size there): reserve " + std::to_string(reserved + 8);
    return false;
  }
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
