#include "sfxpack/stub_check.h"

#include <cryptopp/filters.h>
#include <cryptopp/gfpcrypt.h>
#include <cryptopp/hex.h>
#include <cryptopp/integer.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include <sys/stat.h>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "archive/sfx_archive.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "log/logger.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "packers/file_package.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "sfxpack/code_signature.h"
#include "sfxpack/manifest.h"

namespace sfxpack {
namespace {

using tzk::archive::Number;
using tzk::archive::SignatureType;
using tzk::archive::ByteView;

constexpr char kTableMagic[] = "TZKsetupKeyTable";
constexpr std::size_t kMagicSize = 16;
constexpr std::size_t kTableHeader = 28;  // magic, format version, key count, block length
constexpr std::size_t kTableDigest = 32;
constexpr std::uint32_t kTableVersion = 1;

using tzk::vocabulary::ReadLe16;
using tzk::vocabulary::ReadLe32;

CryptoPP::Integer integer(ByteView v) {
  return CryptoPP::Integer(v.data, v.size, CryptoPP::Integer::UNSIGNED, CryptoPP::BIG_ENDIAN_ORDER);
}

CryptoPP::Integer integer(const std::vector<std::uint8_t>& v) { return integer(ByteView{v.data(), v.size()}); }

std::string fingerprintOf(const CryptoPP::Integer& p, const CryptoPP::Integer& q, const CryptoPP::Integer& g,
                          const CryptoPP::Integer& y) {
  try {
    CryptoPP::DSA::PublicKey key;
    key.Initialize(p, q, g, y);
    std::string der;
    CryptoPP::StringSink sink(der);
    key.DEREncode(sink);
    std::string hex;
    CryptoPP::SHA256 sha;
    CryptoPP::StringSource(der, true,
                           new CryptoPP::HashFilter(sha, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
    return hex.substr(0, 16);
  } catch (const CryptoPP::Exception&) {
    return "(malformed key)";
  }
}

// The end of a PE image's section data, or 0 when the bytes are no PE image.
// Reads bytes held in memory, or a file, for the PE reader.
tzk::archive::PeReadAt readerOf(ByteView bytes) {
  return [bytes](std::uint64_t at, void* buffer, std::size_t size) {
    if (at > bytes.size || size > bytes.size - at) return false;
    std::memcpy(buffer, bytes.data + at, size);
    return true;
  };
}

tzk::archive::PeReadAt readerOf(const tzk::archive::SignatureFile& file) {
  return [&file](std::uint64_t at, void* buffer, std::size_t size) { return file.ReadAt(at, buffer, size); };
}

std::uint64_t imageEnd(const tzk::archive::SignatureFile& file) {
  const tzk::archive::PeReadAt read = readerOf(file);
  tzk::archive::PeHeaders headers;
  return tzk::archive::ReadPeHeaders(read, &headers) ? tzk::archive::PeSectionsEnd(read, headers) : 0;
}

// The file header's Characteristics, which the PE reader has no use for: CreateProcess starts
// only images marked executable, and no DLL.
constexpr std::uint64_t kCharacteristicsField = 22;  // from "PE\0\0"
constexpr std::uint16_t kExecutableImage = 0x0002, kDll = 0x2000;
constexpr std::uint16_t kMachineX86 = 0x014C;

// The headers and the end of the sections of a program Windows can start, read from an image
// of `size` bytes.
bool programHeaders(const tzk::archive::PeReadAt& read, std::uint64_t size, tzk::archive::PeHeaders* headers,
                    std::uint64_t* end, std::string* why) {
  std::uint8_t field[2];
  if (!tzk::archive::ReadPeHeaders(read, headers) ||
      !read(headers->peOffset + kCharacteristicsField, field, sizeof field)) {
    *why = size == 0 ? "it is empty" : "it is no PE image (no MZ and PE headers)";
    return false;
  }
  const std::uint16_t characteristics = ReadLe16(field);
  if ((characteristics & kDll) != 0 || (characteristics & kExecutableImage) == 0) {
    *why = (characteristics & kDll) != 0 ? "it is a DLL, not a program" : "it is a PE image not marked executable";
    return false;
  }
  *end = tzk::archive::PeSectionsEnd(read, *headers);
  if (*end == 0 || *end > size) {
    *why = "it is a PE image cut short: its sections run past its " + std::to_string(size) + " bytes";
    return false;
  }
  return true;
}

bool contains(ByteView bytes, const char* text, std::size_t size) {
  const char* begin = reinterpret_cast<const char*>(bytes.data);
  const char* end = begin + bytes.size;
  return std::search(begin, end, std::boyer_moore_horspool_searcher<const char*>(text, text + size)) != end;
}

// A table at `at` in [0, size): its digest, its shape and every key's shape must hold.
bool parseTable(const std::uint8_t* data, std::size_t size, std::size_t at, tzk::archive::LoadedKeys* keys) {
  if (size - at < kTableHeader + kTableDigest) return false;
  const std::uint8_t* table = data + at;
  const std::uint32_t version = ReadLe32(table + 16), count = ReadLe32(table + 20), length = ReadLe32(table + 24);
  if (version != kTableVersion || count == 0 || count > 6 || length < kTableHeader + kTableDigest ||
      length > size - at) {
    return false;
  }
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, table, length - kTableDigest);
  if (std::memcmp(digest, table + length - kTableDigest, sizeof digest) != 0) return false;
  tzk::archive::LoadedKeys found;
  std::size_t pos = kTableHeader;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (length - kTableDigest - pos < 4) return false;
    const int index = static_cast<int>(ReadLe32(table + pos));
    const std::size_t wide = index <= 3 ? 128 : 256, narrow = index <= 3 ? 20 : 32;
    pos += 4;
    if (length - kTableDigest - pos < 3 * wide + narrow || found.keys().Find(index) != nullptr) return false;
    const ByteView p{table + pos, wide}, q{table + pos + wide, narrow}, g{table + pos + wide + narrow, wide},
        y{table + pos + 2 * wide + narrow, wide};
    if (found.AddValues(index, p, q, g, y) != tzk::code::kSuccess) return false;
    pos += 3 * wide + narrow;
  }
  if (pos != length - kTableDigest) return false;
  const tzk::archive::KeySet set = found.keys();
  for (std::size_t i = 0; i < set.count; ++i) {
    const auto& k = set.keys[i];
    keys->AddValues(k.index, k.p, k.q, k.g, k.y);
  }
  return true;
}

std::string hexCode(tzk::Result code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(code));
  return text;
}

// The file system's reason a path is no file to check, asked without opening it, so that a
// pipe or device is never opened (and waited on).
bool isFile(const std::string& path, std::uint64_t* size, std::string* why) {
#ifdef _WIN32
  struct _stat64 info {};
  const bool found = ::_wstat64(tzk::vocabulary::fromUtf8(path).c_str(), &info) == 0;
  const bool folder = found && (info.st_mode & _S_IFDIR) != 0;
  const bool regular = found && (info.st_mode & _S_IFREG) != 0;
#else
  struct stat info {};
  const bool found = ::stat(path.c_str(), &info) == 0;
  const bool folder = found && S_ISDIR(info.st_mode);
  const bool regular = found && S_ISREG(info.st_mode);
#endif
  if (!found) {
    *why = std::string("cannot open for reading: ") + std::strerror(errno);
    return false;
  }
  if (!regular) {
    *why = folder ? "cannot read: it is a folder" : "cannot read: not a regular file";
    return false;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

// Keys given on the command line replace the stub's table, not the stub: the file must still
// start with one, or nothing would load the archive that the signature covers.
bool startsWithStub(const tzk::archive::SignatureFile& file, std::uint64_t contentLength, bool keysGiven,
                    std::string* why) {
  tzk::archive::ContentView view;
  const std::uint64_t image = imageEnd(file);
  if (!file.ViewContent(image != 0 ? std::min(image, contentLength) : contentLength, &view)) {
    *why = "it cannot be read";
    return false;
  }
  return IsStub(view.bytes(), keysGiven, why);
}

// The certificate table, present or only reserved, as the PE header names it.
void certificateTable(const tzk::archive::SignatureFile& file, std::uint64_t signatureOffset, StubVerdict* v) {
  tzk::archive::PeHeaders headers;
  if (!tzk::archive::ReadPeHeaders(readerOf(file), &headers) || headers.tableOffset == 0) return;
  const std::uint32_t at = headers.tableOffset, size = headers.tableSize;
  // A table whose content is still zero is the placeholder build --prepare leaves.
  std::uint8_t content[64] = {};
  const std::uint8_t zero[64] = {};
  const bool present = at >= signatureOffset && size > 8 && std::uint64_t{at} + size <= file.Size();
  const bool placeholder =
      present && file.ReadAt(std::uint64_t{at} + 8, content, std::min<std::size_t>(sizeof content, size - 8)) &&
      std::memcmp(content, zero, std::min<std::size_t>(sizeof content, size - 8)) == 0;
  v->authenticodeTable = present && !placeholder;
  v->tableReserved = placeholder || at >= file.Size();
}

// The installer record: inside the signed content, a package that unpacks.
bool checkInstaller(tzk::archive::SfxArchive& archive, std::string* why) {
  if (archive.installerEntry().size == 0) {
    *why = "the archive has no installer record (CMDP): the stub would have nothing to run";
    return false;
  }
  if (!archive.Covers(archive.installerEntry())) {
    *why = "the installer record points outside the signed content";
    return false;
  }
  const tzk::Result result = archive.CheckInstaller();
  if (result != tzk::code::kSuccess) {
    *why = "the installer's package cannot be unpacked (code " + hexCode(result) + ")";
    return false;
  }
  return true;
}

// Entries the stub's extraction would refuse: names leaving the folder, bytes outside the content.
bool checkEntries(const tzk::archive::SfxArchive& archive, std::string* why) {
  for (const auto& e : archive.fileEntries()) {
    for (const std::wstring* name : {&e.name, &e.extractionName}) {
      if (name == &e.extractionName && name->empty()) continue;
      if (!tzk::archive::IsContainedName(*name)) {
        *why = "entry '" + tzk::vocabulary::toUtf8(*name) + "' would be written outside the target folder";
        return false;
      }
    }
    if (!archive.Covers(e)) {
      *why = "entry '" + tzk::vocabulary::toUtf8(e.name) + "' points outside the signed content";
      return false;
    }
  }
  return true;
}

// With a certificate table, the code signature tells which part changed: the image both
// signatures cover, or only the table's size in the header the archive signature covers.
std::string codeSignatureHint(const tzk::archive::SignatureFile& file, const StubVerdict& v) {
  if (!v.authenticodeTable) return std::string();
  const CodeSignatureReport code = InspectCodeSignatureIn(file);
  return code.parses && !code.digestMatches
             ? "; its Authenticode image digest does not match either: the image changed after both were made"
             : "; a certificate table added or resized after the archive was signed changes the PE header it "
               "covers (build with --cert, or --prepare, sign and sfxpack seal)";
}

}  // namespace

std::string Fingerprint(const tzk::archive::DsaPublicKey& key) {
  return fingerprintOf(integer(key.p), integer(key.q), integer(key.g), integer(key.y));
}

std::string Fingerprint(const tzk::archive::DsaPrivateKey& key) {
  const CryptoPP::Integer p = integer(key.p), g = integer(key.g);
  if (p.IsEven()) return "(malformed key)";
  return fingerprintOf(p, integer(key.q), g, a_exp_b_mod_c(g, integer(key.x), p));
}

TableSearch ReadStubKeys(const tzk::archive::SignatureFile& file, std::uint64_t length,
                         tzk::archive::LoadedKeys* keys) {
  const std::uint64_t image = imageEnd(file);
  if (image != 0) length = std::min(length, image);
  tzk::archive::ContentView view;
  if (length == 0 || !file.ViewContent(length, &view)) return TableSearch::kNone;
  const ByteView bytes = view.bytes();
  const std::boyer_moore_horspool_searcher<const char*> search(kTableMagic, kTableMagic + kMagicSize);
  const char* begin = reinterpret_cast<const char*>(bytes.data);
  const char* end = begin + bytes.size;
  bool seen = false;
  for (const char* at = std::search(begin, end, search); at != end; at = std::search(at + 1, end, search)) {
    seen = true;
    if (parseTable(bytes.data, bytes.size, static_cast<std::size_t>(at - begin), keys)) return TableSearch::kFound;
  }
  return seen ? TableSearch::kDamaged : TableSearch::kNone;
}

bool IsProgramFile(const std::string& path, std::string* why) {
  tzk::archive::SignatureFile file;
  if (!file.Open(tzk::vocabulary::fromUtf8(path).c_str())) {
    *why = "it cannot be opened";
    return false;
  }
  tzk::archive::PeHeaders headers;
  std::uint64_t end = 0;
  return programHeaders(readerOf(file), file.Size(), &headers, &end, why);
}

bool IsStub(ByteView image, bool keysGiven, std::string* why) {
  tzk::archive::PeHeaders headers;
  std::uint64_t end = 0;
  if (!programHeaders(readerOf(image), image.size, &headers, &end, why)) return false;
  if (headers.machine != kMachineX86) {
    *why = "it is a program for machine " + hexCode(headers.machine) + ", not for 32-bit x86 as the stub is";
    return false;
  }
  const ByteView sections{image.data, static_cast<std::size_t>(end)};
  if (keysGiven && !contains(sections, kTableMagic, kMagicSize) &&
      !contains(sections, tzk::archive::kLocatorMagic, tzk::archive::kLocatorMagicSize)) {
    *why = "it is a 32-bit program without the stub's key table or the archive locator's magic (\"" +
           std::string(tzk::archive::kLocatorMagic) + "\") that the stub's loader looks for";
    return false;
  }
  return true;
}

std::string KeyMismatch(const tzk::archive::DsaPrivateKey& key, tzk::archive::SignatureType type,
                        const std::string& typeSource) {
  const std::string shape = "DSA " + std::to_string(integer(key.p).BitCount()) + "/" +
                            std::to_string(integer(key.q).BitCount());
  const std::string needed = type == SignatureType::kRawMd5Dsa ? "DSA 1024/160" : "DSA 2048/256";
  const std::string what = "a " + shape + (shape == needed ? " key whose values cannot sign (malformed)" : " key");
  return what + "; signature type " + std::to_string(Number(type)) + " (" + typeSource + ") needs a " + needed + " key";
}

StubVerdict CheckWritten(const std::string& staged, const tzk::archive::KeySet* given, const std::string& givenSource,
                         const tzk::archive::DsaPrivateKey* signingKey, const std::string& keyPath,
                         std::string* message, const CheckProgress& checked) {
  tzk::archive::SfxArchive archive;
  const StubVerdict v = CheckAsStub(staged, &archive, given, givenSource, checked);
  if (v.accepted()) return v;
  std::string reason = v.reason;
  if (v.untrustedKey && signingKey != nullptr) {
    const std::string mine = Fingerprint(*signingKey);
    std::string list;
    bool trusted = false;
    for (const std::string& k : v.trusted) {
      list += (list.empty() ? "" : ", ") + k;
      trusted = trusted || k.substr(k.find(' ') + 1) == mine;
    }
    *message = "not written, the stub would refuse it: the signature does not verify although key " + mine +
               " is trusted: the file changed after it was signed";
    if (trusted) return v;
    reason = "signed with a key " + (given != nullptr ? "not in " + givenSource : std::string("the stub does not trust")) +
             ": key fingerprint " + Fingerprint(*signingKey) + (keyPath.empty() ? "" : " (" + keyPath + ")") + ", " +
             (given != nullptr ? "it holds " : "the stub trusts ") + (list.empty() ? "no key of its kind" : list);
  }
  *message = "not written, the stub would refuse it: " + reason;
  return v;
}

nlohmann::json VerdictJson(const StubVerdict& v) {
  nlohmann::json d = {{"accepted", v.accepted()}};
  if (v.type) {
    d["signatureType"] = Number(*v.type);
    d["signatureOffset"] = v.signatureOffset;
    d["contentLength"] = v.contentLength;
    d["certificateTable"] = v.authenticodeTable ? "present" : v.tableReserved ? "reserved" : "none";
  }
  if (v.loaderCode != 0) d["loaderCode"] = v.loaderCode;
  if (!v.keySource.empty()) d["keySource"] = v.keySource;
  if (!v.trusted.empty()) d["trustedKeys"] = v.trusted;
  if (v.accepted()) {
    d["keyIndex"] = v.keyIndex;
    d["keyFingerprint"] = v.keyFingerprint;
  }
  return d;
}

bool LoadKeyFolder(const std::string& folder, tzk::archive::LoadedKeys* keys, std::string* error) {
  const tzk::Result result = keys->LoadFolder(tzk::vocabulary::fromUtf8(folder));
  if (result == tzk::code::kFileNotFound) *error = "no key1.pub.pem ... key7.pub.pem there";
  else if (result != tzk::code::kSuccess) *error = "a key there is malformed or not of its index's size";
  return result == tzk::code::kSuccess;
}

bool LoadPrivateKey(const std::string& path, tzk::archive::DsaPrivateKey* key, std::string* error) {
  Bytes pem;
  if (!ReadWholeFile(path, &pem, error)) return false;
  if (tzk::archive::ParsePrivateKeyPem(std::string(pem.begin(), pem.end()), key) == tzk::code::kSuccess) return true;
  *error = "not a PKCS#8 DSA private key";
  return false;
}

namespace {

// The loader's refusals in the producer's words, with the exit code each gets.
void explainRefusal(const tzk::archive::LoadVerdict& loaded, const std::wstring& wide,
                    const tzk::archive::KeySet* given, const std::string& givenSource, TableSearch search,
                    StubVerdict* v, const std::function<void(int, std::string)>& refuse) {
  using tzk::archive::LoadStep;
  switch (loaded.step) {
    case LoadStep::kOpen:
      v->readable = false;
      return refuse(kExitBadInput,
                    std::string("cannot open for reading: ") + (errno != 0 ? std::strerror(errno) : "access denied"));
    case LoadStep::kLocate:
      v->loaderCode = loaded.code;
      return refuse(kExitBadInput,
                    "no archive signature block: not an installer the stub can load (loader code 0x3ee)");
    case LoadStep::kType:
      return refuse(kExitCheckFailed,
                    "signature type 2 is a plain MD5 that anyone can recompute; the stub refuses archives without a "
                    "key signature (sign with type 1 or 5)");
    case LoadStep::kKeys:
      return refuse(kExitCheckFailed,
                    search == TableSearch::kDamaged
                        ? "the stub's key table is damaged (its digest does not match)"
                        : "the stub in this file carries no key table sfxpack can find; give the keys it trusts with "
                          "--keys DIR");
    case LoadStep::kSignature: {
      v->untrustedKey = true;
      std::string list;
      for (const std::string& k : v->trusted) list += (list.empty() ? "" : ", ") + k;
      return refuse(kExitCheckFailed, "the type-" + std::to_string(Number(*loaded.type)) +
                                          " signature does not verify with any key " +
                                          (given != nullptr ? "in " + givenSource : std::string("the stub trusts")) +
                                          " (" + (list.empty() ? std::string("none of its kind") : "keys " + list) +
                                          "): signed with another key, or changed after signing");
    }
    case LoadStep::kTrailer:
      return refuse(kExitCheckFailed, "signature type " + std::to_string(Number(*loaded.type)) +
                                          " is refused by the stub's loader (it accepts types 1 and 5)");
    case LoadStep::kContainer:
    case LoadStep::kMap: {
      v->loaderCode = loaded.code;
      return refuse(kExitBadInput, tzk::vocabulary::toUtf8(tzk::archive::ProducerText(loaded)));
    }
    case LoadStep::kStub:
    case LoadStep::kEntries:
    case LoadStep::kInstaller:
    case LoadStep::kLoaded: return;
  }
}

}  // namespace

StubVerdict CheckAsStub(const std::string& path, tzk::archive::SfxArchive* archive, const tzk::archive::KeySet* given,
                        const std::string& givenSource, const CheckProgress& checked) {
  StubVerdict v;
  const std::wstring wide = tzk::vocabulary::fromUtf8(path);
  auto refuse = [&v](int exit, std::string reason) {
    v.exit = exit;
    v.reason = std::move(reason);
  };
  std::string why;
  std::uint64_t size = 0;
  if (!isFile(path, &size, &why)) {
    refuse(kExitBadInput, why);
    return v;
  }
  v.readable = true;
  // The stub reads its file with 32-bit positions and opens none larger, whatever lies within:
  // a signature block or a tag appended past the limit makes the whole installer unreadable.
  if (size > tzk::archive::kFormatLimit) {
    refuse(kExitBadInput, "it is " + std::to_string(size) + " bytes, over the format's limit of " +
                              std::to_string(tzk::archive::kFormatLimit) + " bytes, and the stub opens no larger file");
    return v;
  }

  tzk::archive::LoadedKeys stubKeys;
  tzk::archive::KeySet keys{};
  TableSearch search = TableSearch::kNone;
  const tzk::archive::KeyFinder finder = [&](const tzk::archive::SignatureFile& file,
                                             std::uint64_t offset) -> const tzk::archive::KeySet* {
    search = given != nullptr ? TableSearch::kFound : ReadStubKeys(file, offset, &stubKeys);
    keys = given != nullptr ? *given : stubKeys.keys();
    return search == TableSearch::kFound ? &keys : nullptr;
  };
  errno = 0;
  const tzk::archive::LoadVerdict loaded = archive->Judge(wide.c_str(), finder, checked);
  v.loaderStep = loaded.step;
  if (loaded.step > tzk::archive::LoadStep::kType)
    v.keySource = given != nullptr ? givenSource : "the stub's key table";
  tzk::archive::SignatureFile file;
  file.Borrow(archive->archiveFile().Descriptor());
  if (loaded.type) {
    v.type = loaded.type;
    v.signatureOffset = loaded.signatureOffset;
    v.contentLength = tzk::archive::ContentEnd(*loaded.type, loaded.signatureOffset);
    certificateTable(file, loaded.signatureOffset, &v);
    if (search == TableSearch::kFound) {
      for (int index : tzk::archive::KeyOrderFor(*loaded.type)) {
        if (const auto* key = keys.Find(index)) v.trusted.push_back(std::to_string(index) + " " + Fingerprint(*key));
      }
    }
  }
  if (!loaded.loaded()) {
    explainRefusal(loaded, wide, given, givenSource, search, &v, refuse);
    if (loaded.step == tzk::archive::LoadStep::kSignature) v.reason += codeSignatureHint(file, v);
    return v;
  }
  v.keyIndex = loaded.keyIndex;
  if (const auto* key = keys.Find(v.keyIndex)) v.keyFingerprint = Fingerprint(*key);
  v.contentLength = archive->contentLength();
  v.embeddedLength = archive->embeddedDataLength();
  if (!startsWithStub(file, v.signatureOffset, given != nullptr, &why)) {
    refuse(kExitBadInput, "no stub in front of the archive: " + why);
  } else if (!checkEntries(*archive, &why) || !checkInstaller(*archive, &why)) {
    refuse(kExitBadInput, why);
  } else {
    v.exit = kExitOk;
  }
  return v;
}

CodeSignatureReport InspectCodeSignatureOf(tzk::archive::SfxArchive& archive, const std::string& path) {
  tzk::archive::SignatureFile file;
  const bool open = archive.archiveFile().Descriptor() >= 0 ? file.Borrow(archive.archiveFile().Descriptor())
                                                              : file.Open(tzk::vocabulary::fromUtf8(path).c_str());
  return open ? InspectCodeSignatureIn(file) : CodeSignatureReport{};
}

}  // namespace sfxpack
