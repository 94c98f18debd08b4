#include "sfxpack/acceptance.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/stat.h>

#include "archive/format.h"
#include "pe/pe_image.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "sfxpack/cli.h"
#include "sfxpack/keys.h"

namespace sfxpack {
namespace {

using tzk::signature::ByteView;
using tzk::signature::Number;
using tzk::vocabulary::ReadLe16;

// Reads bytes held in memory for the PE reader.
tzk::pe::PeReadAt readerOf(ByteView bytes) {
  return [bytes](std::uint64_t at, void* buffer, std::size_t size) {
    if (at > bytes.size || size > bytes.size - at) return false;
    std::memcpy(buffer, bytes.data + at, size);
    return true;
  };
}

using tzk::pe::kCharacteristicsField;
using tzk::pe::kDllFlag;
using tzk::pe::kExecutableImageFlag;
using tzk::pe::kMachineX86;

// The headers and the end of the sections of a program Windows can start, read from an image
// of `size` bytes.
bool programHeaders(const tzk::pe::PeReadAt& read, std::uint64_t size, tzk::pe::PeHeaders* headers,
                    std::uint64_t* end, std::string* why) {
  std::uint8_t field[2];
  if (!tzk::pe::ReadPeHeaders(read, headers) ||
      !read(headers->peOffset + kCharacteristicsField, field, sizeof field)) {
    *why = size == 0 ? "it is empty" : "it is no PE image (no MZ and PE headers)";
    return false;
  }
  const std::uint16_t characteristics = ReadLe16(field);
  if ((characteristics & kDllFlag) != 0 || (characteristics & kExecutableImageFlag) == 0) {
    *why = (characteristics & kDllFlag) != 0 ? "it is a DLL, not a program" : "it is a PE image not marked executable";
    return false;
  }
  *end = tzk::pe::PeSectionsEnd(read, *headers);
  if (*end == 0 || *end > size) {
    *why = "it is a PE image cut short: its sections run past its " + std::to_string(size) + " bytes";
    return false;
  }
  return true;
}

bool carriesLocatorMagic(ByteView bytes) {
  const char* begin = reinterpret_cast<const char*>(bytes.data);
  const char* end = begin + bytes.size;
  const char* magic = tzk::archive::kLocatorMagic;
  return std::search(begin, end, std::boyer_moore_horspool_searcher<const char*>(
                                     magic, magic + tzk::archive::kLocatorMagicSize)) != end;
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
bool startsWithStub(const tzk::signature::SignatureFile& file, std::uint64_t contentLength, bool keysGiven,
                    std::string* why) {
  tzk::signature::ContentView view;
  if (!file.ViewContent(StubImageLength(file, contentLength), &view)) {
    *why = "it cannot be read";
    return false;
  }
  return IsStub(view.bytes(), keysGiven, why);
}

// The certificate table, present or only reserved, as the PE header names it.
void certificateTable(const tzk::signature::SignatureFile& file, std::uint64_t signatureOffset, StubVerdict* v) {
  tzk::pe::PeHeaders headers;
  if (!tzk::pe::ReadPeHeaders(SourceOf(file).read, &headers) || headers.tableOffset == 0) return;
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

// With a certificate table, the code signature tells which part changed: the image both
// signatures cover, or only the table's size in the header the archive signature covers.
std::string codeSignatureHint(const tzk::signature::SignatureFile& file, const StubVerdict& v) {
  if (!v.authenticodeTable) return std::string();
  const CodeSignatureReport code = InspectCodeSignatureIn(file);
  return code.parses && !code.digestMatches
             ? "; its Authenticode image digest does not match either: the image changed after both were made"
             : "; a certificate table added or resized after the archive was signed changes the PE header it "
               "covers (build with --cert, or --prepare, sign and sfxpack seal)";
}

void refuse(StubVerdict* v, int exit, std::string reason) {
  v->exit = exit;
  v->reason = std::move(reason);
}

// The loader's refusals in the producer's words, with the exit code each gets.
void explainRefusal(const tzk::archive::LoadVerdict& loaded, const tzk::signature::KeySet* given,
                    const std::string& givenSource, TableSearch search, StubVerdict* v) {
  using tzk::archive::LoadStep;
  switch (loaded.step) {
    case LoadStep::kOpen:
      v->readable = false;
      return refuse(v, kExitBadInput,
                    std::string("cannot open for reading: ") + (errno != 0 ? std::strerror(errno) : "access denied"));
    case LoadStep::kLocate:
      v->loaderCode = loaded.code;
      return refuse(v, kExitBadInput,
                    "no archive signature block: not an installer the stub can load (loader code 0x3ee)");
    case LoadStep::kType:
      return refuse(v, kExitCheckFailed,
                    "signature type 2 is a plain MD5 that anyone can recompute; the stub refuses archives without a "
                    "key signature (sign with type 1 or 5)");
    case LoadStep::kKeys:
      return refuse(v, kExitCheckFailed,
                    search == TableSearch::kDamaged
                        ? "the stub's key table is damaged (its digest does not match)"
                        : "the stub in this file carries no key table sfxpack can find; give the keys it trusts with "
                          "--keys DIR");
    case LoadStep::kSignature: {
      v->untrustedKey = true;
      std::string list;
      for (const std::string& k : v->trusted) list += (list.empty() ? "" : ", ") + k;
      return refuse(v, kExitCheckFailed, "the type-" + std::to_string(Number(*loaded.type)) +
                                             " signature does not verify with any key " +
                                             (given != nullptr ? "in " + givenSource : std::string("the stub trusts")) +
                                             " (" + (list.empty() ? std::string("none of its kind") : "keys " + list) +
                                             "): signed with another key, or changed after signing");
    }
    case LoadStep::kTrailer:
      return refuse(v, kExitCheckFailed, "signature type " + std::to_string(Number(*loaded.type)) +
                                             " is refused by the stub's loader (it accepts types 1 and 5)");
    case LoadStep::kContainer:
    case LoadStep::kMap: {
      v->loaderCode = loaded.code;
      return refuse(v, kExitBadInput, tzk::vocabulary::toUtf8(tzk::archive::ProducerText(loaded)));
    }
    case LoadStep::kStub:
    case LoadStep::kEntries:
    case LoadStep::kInstaller:
    case LoadStep::kLoaded: return;
  }
}

// The file as the file system sees it, before the loader opens it: false with the refusal.
bool withinLimit(const std::string& path, StubVerdict* v) {
  std::string why;
  std::uint64_t size = 0;
  if (!isFile(path, &size, &why)) {
    refuse(v, kExitBadInput, why);
    return false;
  }
  v->readable = true;
  // The stub reads its file with 32-bit positions and opens none larger, whatever lies within:
  // a signature block or a tag appended past the limit makes the whole installer unreadable.
  if (size > tzk::archive::kFormatLimit) {
    refuse(v, kExitBadInput, "it is " + OverLimit(size) + ", and the stub opens no larger file");
    return false;
  }
  return true;
}

// The keys the loader checks with: the given ones, or those of the stub's table as it was found.
struct ChosenKeys {
  tzk::signature::LoadedKeys stubKeys;
  tzk::signature::KeySet keys{};
  TableSearch search = TableSearch::kNone;
};

tzk::archive::LoadVerdict judge(const std::wstring& path, tzk::archive::SfxArchive* archive,
                                const tzk::signature::KeySet* given, ChosenKeys* chosen, const CheckProgress& checked) {
  const tzk::archive::KeyFinder finder = [given, chosen](const tzk::signature::SignatureFile& file,
                                                         std::uint64_t offset) -> const tzk::signature::KeySet* {
    chosen->search = given != nullptr ? TableSearch::kFound : ReadStubKeys(file, offset, &chosen->stubKeys);
    chosen->keys = given != nullptr ? *given : chosen->stubKeys.keys();
    return chosen->search == TableSearch::kFound ? &chosen->keys : nullptr;
  };
  errno = 0;
  return archive->Judge(path.c_str(), finder, checked);
}

// What the loader found of the signature: its type and place, the certificate table beside it
// and the keys of its kind that were tried.
void noteSignature(const tzk::archive::LoadVerdict& loaded, const tzk::signature::SignatureFile& file,
                   const ChosenKeys& chosen, StubVerdict* v) {
  if (!loaded.type) return;
  v->type = loaded.type;
  v->signatureOffset = loaded.signatureOffset;
  v->contentLength = tzk::archive::ContentEnd(*loaded.type, loaded.signatureOffset);
  certificateTable(file, loaded.signatureOffset, v);
  if (chosen.search != TableSearch::kFound) return;
  for (int index : tzk::signature::KeyOrderFor(*loaded.type)) {
    if (const auto* key = chosen.keys.Find(index)) {
      v->trusted.push_back(std::to_string(index) + " " + Fingerprint(*key));
    }
  }
}

// The rules the stub's extraction applies to an archive its loader took.
void checkLoaded(tzk::archive::SfxArchive& archive, const tzk::signature::SignatureFile& file, bool keysGiven,
                 tzk::archive::LoadVerdict loaded, StubVerdict* v) {
  std::string why;
  if (!startsWithStub(file, v->signatureOffset, keysGiven, &why)) {
    loaded = tzk::archive::RefusedForNoStub(loaded);
    return refuse(v, kExitBadInput, tzk::vocabulary::toUtf8(tzk::archive::ProducerText(loaded)) + ": " + why);
  }
  loaded = archive.JudgeExtraction(loaded);
  if (!loaded.loaded()) return refuse(v, kExitBadInput, tzk::vocabulary::toUtf8(tzk::archive::ProducerText(loaded)));
  v->exit = kExitOk;
}

tzk::Result ignoreItem(const std::wstring&, const std::uint8_t*, std::uint32_t) { return tzk::code::kSuccess; }

}  // namespace

StubVerdict CheckAsStub(const std::string& path, tzk::archive::SfxArchive* archive, const tzk::signature::KeySet* given,
                        const std::string& givenSource, const CheckProgress& checked) {
  StubVerdict v;
  if (!withinLimit(path, &v)) return v;
  const std::wstring wide = tzk::vocabulary::fromUtf8(path);
  ChosenKeys chosen;
  const tzk::archive::LoadVerdict loaded = judge(wide, archive, given, &chosen, checked);
  v.loaderStep = loaded.step;
  if (loaded.step > tzk::archive::LoadStep::kType)
    v.keySource = given != nullptr ? givenSource : "the stub's key table";
  tzk::signature::SignatureFile file;
  file.Borrow(archive->archiveFile().Descriptor());
  noteSignature(loaded, file, chosen, &v);
  if (!loaded.loaded()) {
    explainRefusal(loaded, given, givenSource, chosen.search, &v);
    if (loaded.step == tzk::archive::LoadStep::kSignature) v.reason += codeSignatureHint(file, v);
    return v;
  }
  v.keyIndex = loaded.keyIndex;
  if (const auto* key = chosen.keys.Find(v.keyIndex)) v.keyFingerprint = Fingerprint(*key);
  v.contentLength = archive->contentLength();
  v.embeddedLength = archive->embeddedDataLength();
  checkLoaded(*archive, file, given != nullptr, loaded, &v);
  return v;
}

bool IsProgramFile(const std::string& path, std::string* why) {
  tzk::signature::SignatureFile file;
  if (!file.Open(tzk::vocabulary::fromUtf8(path).c_str())) {
    *why = "it cannot be opened";
    return false;
  }
  tzk::pe::PeHeaders headers;
  std::uint64_t end = 0;
  return programHeaders(SourceOf(file).read, file.Size(), &headers, &end, why);
}

bool IsStub(ByteView image, bool keysGiven, std::string* why) {
  tzk::pe::PeHeaders headers;
  std::uint64_t end = 0;
  if (!programHeaders(readerOf(image), image.size, &headers, &end, why)) return false;
  if (headers.machine != kMachineX86) {
    *why = "it is a program for machine " + hexCode(headers.machine) + ", not for 32-bit x86 as the stub is";
    return false;
  }
  const ByteView sections{image.data, static_cast<std::size_t>(end)};
  if (keysGiven && !CarriesKeyTableMagic(sections) && !carriesLocatorMagic(sections)) {
    *why = "it is a 32-bit program without the stub's key table or the archive locator's magic (\"" +
           std::string(tzk::archive::kLocatorMagic) + "\") that the stub's loader looks for";
    return false;
  }
  return true;
}

StubVerdict CheckWritten(const std::string& staged, const tzk::signature::KeySet* given, const std::string& givenSource,
                         const tzk::signature::DsaPrivateKey* signingKey, const std::string& keyPath,
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

CodeSignatureReport InspectCodeSignatureOf(tzk::archive::SfxArchive& archive, const std::string& path) {
  tzk::signature::SignatureFile file;
  const bool open = archive.archiveFile().Descriptor() >= 0 ? file.Borrow(archive.archiveFile().Descriptor())
                                                              : file.Open(tzk::vocabulary::fromUtf8(path).c_str());
  return open ? InspectCodeSignatureIn(file) : CodeSignatureReport{};
}

ItemsBlock StubItemsBlock(tzk::archive::SfxArchive& archive) { return archive.ExtractItems(L"", ignoreItem); }

const char* ItemsBlockName(ItemsBlock block) {
  switch (block) {
    case ItemsBlock::kEmbedded: return "embedded";
    case ItemsBlock::kTail: return "tail";
    case ItemsBlock::kNone: break;
  }
  return "none";
}

}  // namespace sfxpack
