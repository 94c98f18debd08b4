// What an installer's certificate table holds, read where the file lies: whether it is sound,
// whom it names, whether its image digest matches and whether it has room for the tail block.
#include "sfxpack/authenticode.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"

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
using tzk::pe::PeHeaders;

constexpr std::uint16_t kRevision2 = 0x0200;
constexpr std::uint16_t kPkcsSignedData = 0x0002;

using tzk::vocabulary::ReadLe16;
using tzk::vocabulary::ReadLe32;

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

// False would say that a fact was checked and fails: one that was not checked is null.
nlohmann::json ifChecked(bool checked, nlohmann::json value) { return checked ? value : nlohmann::json(); }

// The certificate table the headers name, read whole into *table when it lies inside the file
// and is not a placeholder: false when the report is complete without a PKCS#7 to read.
bool readTable(const FileSource& file, const PeHeaders& h, Bytes* table, CodeSignatureReport* r) {
  if (h.tableOffset >= file.size || h.tableSize < kWinCertificateHeader || h.tableSize > file.size - h.tableOffset) {
    r->reserved = h.tableOffset >= file.size;
    r->truncated = !r->reserved && h.tableSize >= kWinCertificateHeader;
    r->problem = r->truncated ? "the file ends " + std::to_string(file.size - h.tableOffset) + " bytes into its " +
                                    std::to_string(h.tableSize) + "-byte certificate table: it was cut short"
                              : "the security directory names bytes beyond the end of the file";
    return false;
  }
  // The table is read whole, so a size read from the file must not decide how much memory
  // that takes: no signing tool writes a table near the largest reservation.
  if (h.tableSize > kMaxTableReserve) {
    r->problem = "its security directory claims a " + std::to_string(h.tableSize) +
                 "-byte certificate table, more than the " + std::to_string(kMaxTableReserve >> 20) +
                 " MiB sfxpack reads: not read";
    return false;
  }
  table->resize(h.tableSize);
  if (!file.read(h.tableOffset, table->data(), table->size())) {
    r->problem = "its certificate table cannot be read";
    return false;
  }
  r->tableEndsFile = std::uint64_t{h.tableOffset} + h.tableSize == file.size;
  if (allZero(table->data() + kWinCertificateHeader, h.tableSize - kWinCertificateHeader)) {
    r->reserved = true;  // the placeholder that --prepare leaves for the signing tool
    return false;
  }
  r->table = true;
  // Some signing tools leave the alignment padding out of the certificate's own length; what
  // follows the PKCS#7 up to the table's end is judged by the padding check either way.
  const std::uint8_t* header = table->data();
  if (ReadLe32(header) < kWinCertificateHeader || ReadLe32(header) > h.tableSize ||
      ReadLe16(header + 4) != kRevision2 || ReadLe16(header + 6) != kPkcsSignedData) {
    r->problem = "the table is not one PKCS#7 certificate inside the directory's size";
    return false;
  }
  return true;
}

#ifdef SFX_HAVE_OPENSSL

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;

// The PKCS#7 at the start of the table's content; its DER length in *used.
Pkcs7Ptr parsePkcs7(const std::uint8_t* der, std::size_t size, std::size_t* used) {
  const unsigned char* p = der;
  const std::size_t length = std::min<std::size_t>(size, tzk::archive::kFormatLimit);  // a long on every build
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(length)));
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

// The one signer's name and what its unauthenticated attributes hold: a timestamp, and the room
// for the tail block, which counts only where tag writes (the file's last kTailBlockSize bytes,
// the table's last too): when the PKCS#7 ends the file.
void readSigner(PKCS7* p7, const Bytes& table, std::size_t used, CodeSignatureReport* r) {
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
  if (STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0)) {
    if (sk_X509_num(signers) > 0) r->signer = nameText(X509_get_subject_name(sk_X509_value(signers, 0)));
    sk_X509_free(signers);
  }
  ERR_clear_error();
  for (int i = 0; i < X509at_get_attr_count(si->unauth_attr); ++i) {
    const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(X509at_get_attr(si->unauth_attr, i));
    r->timestamp = r->timestamp || OBJ_obj2nid(type) == NID_pkcs9_countersignature ||
                   isObject(type, "1.3.6.1.4.1.311.3.3.1");
  }
  ASN1_OBJECT* roomType = OBJ_txt2obj(kTailRoomOid, 1);
  const int at = roomType != nullptr ? X509at_get_attr_by_OBJ(si->unauth_attr, roomType, -1) : -1;
  ASN1_OBJECT_free(roomType);
  const ASN1_TYPE* room = at >= 0 ? X509_ATTRIBUTE_get0_type(X509at_get_attr(si->unauth_attr, at), 0) : nullptr;
  if (room == nullptr || room->type != V_ASN1_OCTET_STRING) return;
  const int length = ASN1_STRING_length(room->value.octet_string);
  r->tailRoomSize = static_cast<std::uint32_t>(length);
  r->tailRoom = length >= static_cast<int>(kTailBlockSize) && r->tableEndsFile &&
                used == table.size() - kWinCertificateHeader &&
                std::memcmp(ASN1_STRING_get0_data(room->value.octet_string) + length - kTailBlockSize,
                            table.data() + table.size() - kTailBlockSize, kTailBlockSize) == 0;
}

// The PKCS#7 of a table read whole: its shape, the padding behind it, its signer and whether
// the image digest it signs is the file's.
void readSignature(const FileSource& file, const PeHeaders& h, const Bytes& table, CodeSignatureReport* r) {
  const std::uint8_t* content = table.data() + kWinCertificateHeader;
  const std::size_t contentSize = table.size() - kWinCertificateHeader;
  std::size_t used = 0;
  Pkcs7Ptr p7 = parsePkcs7(content, contentSize, &used);
  if (!p7 || !PKCS7_type_is_signed(p7.get())) {
    r->problem = "its PKCS#7 does not parse as SignedData";
    return;
  }
  r->pkcs7Size = static_cast<std::uint32_t>(used);
  STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
  if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
    r->problem = "its PKCS#7 has not exactly one signer";
    return;
  }
  r->parses = true;
  r->paddingOk = r->tableEndsFile && h.tableOffset % 8 == 0 && contentSize - used <= 7 &&
                 allZero(content + used, contentSize - used);
  r->sound = r->parses && r->tableEndsFile && r->paddingOk;
  if (!r->tableEndsFile) r->problem = "bytes follow the certificate table, so Authenticode tools find no signature";
  else if (!r->paddingOk) r->problem = "more than 7 bytes, or bytes that are not zero, follow the PKCS#7 in the table";
  readSigner(p7.get(), table, used, r);
  const EVP_MD* md = nullptr;
  std::string expected;
  if (!signedDigest(p7.get(), &md, &expected)) {
    r->problem = "its PKCS#7 signs no Authenticode image digest";
    return;
  }
  r->digestAlgorithm = OBJ_nid2sn(EVP_MD_get_type(md));
  r->digestMatches = imageDigest(file, h, md) == expected;
}

#endif  // SFX_HAVE_OPENSSL

}  // namespace

FileSource SourceOf(const tzk::signature::SignatureFile& file) {
  return {file.Size(), [&file](std::uint64_t at, void* buffer, std::size_t size) { return file.ReadAt(at, buffer, size); }};
}

bool OpenMeasured(const std::string& path, tzk::signature::SignatureFile* file, std::string* error) {
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

CodeSignatureReport InspectCodeSignature(const FileSource& file) {
  CodeSignatureReport r;
  PeHeaders h;
  if (!tzk::pe::ReadPeHeaders(file.read, &h)) return r;
  r.readable = true;
  r.tableOffset = h.tableOffset;
  r.tableSize = h.tableSize;
  Bytes table;
  if (h.tableOffset == 0 || !readTable(file, h, &table, &r)) return r;
#ifndef SFX_HAVE_OPENSSL
  r.available = false;
  r.problem = "this build of sfxpack reads no PKCS#7 (it has no OpenSSL)";
#else
  readSignature(file, h, table, &r);
#endif  // SFX_HAVE_OPENSSL
  return r;
}

CodeSignatureReport InspectCodeSignatureIn(const tzk::signature::SignatureFile& file) {
  Bytes head(static_cast<std::size_t>(std::min<std::uint64_t>(4096, file.Size())));
  PeHeaders h;
  if (file.ReadAt(0, head.data(), head.size()) && tzk::pe::ReadPeHeaders(head.data(), head.size(), &h) &&
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

}  // namespace sfxpack
