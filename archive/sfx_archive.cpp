#include "archive/sfx_archive.h"

#include <cstring>
#include <memory>

#include "archive/format.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "log/wide_format.h"
#include "packers/file_package.h"

namespace tzk::archive {

using signature::CompiledKeys;
using signature::KeySet;
using signature::LocateSignatureIn;
using signature::LookupMode;
using signature::SignatureFile;
using signature::SignatureType;
using signature::VerifySignatureIn;

const log::ComponentTag kTagSfxArc(L"SfxArc");

namespace {

// The map block's bytes, released through the file that handed them out.
struct FileBuffer {
  packers::CGenFile& file;
  std::uint8_t* data;
  ~FileBuffer() {
    if (data != nullptr) file.Release(data);
  }
};

// A rule's step and the loader's line for it around the path: head + " '<path>'" + tail, the
// tail taking the verdict's code (the system's error for kCannotOpen) where it says "%x". A rule
// without a head is one the loader logs nothing for.
struct RuleWords {
  Refusal refusal;
  LoadStep step;
  const wchar_t* head;
  const wchar_t* tail;
};

// The locate and signature lines have always said code 0x0, whatever the verdict's code: the
// setup logs' readers match them as they are.
const RuleWords kRules[] = {
    {Refusal::kCannotOpen, LoadStep::kOpen, L"Error opening archive", L" (code 0x%x)"},
    {Refusal::kCannotReopen, LoadStep::kOpen, L"Error opening archive", L""},
    {Refusal::kNoBlock, LoadStep::kLocate, L"Cannot get signature of archive", L" (code 0x0)"},
    {Refusal::kPlainMd5, LoadStep::kType, L"Archive",
     L" is unsigned: it carries a plain MD5 checksum, no signature (code 0x%x)"},
    {Refusal::kNoKeys, LoadStep::kKeys, nullptr, nullptr},
    {Refusal::kNoKeyVerifies, LoadStep::kSignature, L"Error in signature of archive", L" (code 0x0)"},
    {Refusal::kUnknownType, LoadStep::kTrailer, L"Unknown signature type of archive", L""},
    {Refusal::kContentLength, LoadStep::kContainer, L"Incorrect content length of archive", L""},
    {Refusal::kTooSmall, LoadStep::kContainer, L"Archive", L" is too small"},
    {Refusal::kBadLocator, LoadStep::kContainer, L"Incorrect magic of archive", L""},
    {Refusal::kMapUnreadable, LoadStep::kMap, nullptr, nullptr},
    {Refusal::kMapPackage, LoadStep::kMap, L"Cannot load map block of archive", L""},
    {Refusal::kMapData, LoadStep::kMap, L"Error in unpacked map data of archive", L""},
    {Refusal::kMapRecords, LoadStep::kMap, L"Error loading map of archive", L" (code 0x%x)"},
    {Refusal::kNoStub, LoadStep::kStub, nullptr, nullptr},
    {Refusal::kNameOutsideFolder, LoadStep::kEntries, nullptr, nullptr},
    {Refusal::kEntryOutsideContent, LoadStep::kEntries, nullptr, nullptr},
    {Refusal::kNoInstaller, LoadStep::kInstaller, nullptr, nullptr},
    {Refusal::kInstallerOutsideContent, LoadStep::kInstaller, nullptr, nullptr},
    {Refusal::kInstallerPackage, LoadStep::kInstaller, nullptr, nullptr},
};

const RuleWords* rule(Refusal refusal) {
  for (const RuleWords& r : kRules) {
    if (r.refusal == refusal) return &r;
  }
  return nullptr;
}

// The loader's line, with the quoted path where path is given.
std::wstring loaderLine(const LoadVerdict& verdict, const wchar_t* path) {
  const RuleWords* words = rule(verdict.refusal);
  if (verdict.loaded() || words == nullptr || words->head == nullptr) return std::wstring();
  const Result argument = verdict.refusal == Refusal::kCannotOpen ? verdict.systemError : verdict.code;
  const std::wstring quoted = path != nullptr ? L" '" + std::wstring(path) + L"'" : std::wstring();
  return words->head + quoted + log::formatString(words->tail, argument);
}

}  // namespace

// Types 2 and 3 are checked as text MD5, 4 and 5 as DSA over SHA-256, the rest as DSA over MD5.
LookupMode VerifyModeFor(SignatureType type) {
  if (type == SignatureType::kTextMd5) return LookupMode::kTextMd5;
  if (type == SignatureType::kTextSha256Dsa || type == SignatureType::kRawSha256Dsa) return LookupMode::kSha256Dsa;
  return LookupMode::kMd5Dsa;
}

void LogVerdict(const LoadVerdict& verdict, const wchar_t* archivePath) {
  if (verdict.loaded()) {
    log::theLogger().write(log::level::kInfo, kTagSfxArc, L"SFX archive '%s' sucessfully loaded.", archivePath);
  } else {
    const std::wstring text = LoaderText(verdict, archivePath);
    if (!text.empty()) log::theLogger().write(log::level::kError, kTagSfxArc, L"%s", text.c_str());
  }
}

LoadVerdict Refused(LoadVerdict verdict, Refusal refusal, Result code) {
  const RuleWords* words = rule(refusal);
  verdict.step = words != nullptr ? words->step : LoadStep::kLoaded;
  verdict.refusal = refusal;
  verdict.code = code;
  return verdict;
}

LoadVerdict RefusedForNoStub(LoadVerdict verdict) { return Refused(verdict, Refusal::kNoStub, code::kFileInvalid); }

std::wstring LoaderText(const LoadVerdict& verdict, const wchar_t* archivePath) {
  return loaderLine(verdict, archivePath);
}

std::wstring ProducerText(const LoadVerdict& verdict) {
  const std::wstring code = log::formatString(L"0x%x", verdict.code);
  const std::wstring entry = L"entry '" + verdict.entry.name + L"'";
  switch (verdict.refusal) {
    case Refusal::kContentLength:
    case Refusal::kTooSmall:
    case Refusal::kBadLocator:
    case Refusal::kMapUnreadable:
    case Refusal::kMapPackage:
    case Refusal::kMapData:
    case Refusal::kMapRecords: {
      const std::wstring line = loaderLine(verdict, nullptr);
      return L"the stub's loader refuses its archive with code " + code + L": " +
             (line.empty() ? L"the map block cannot be read" : line);
    }
    case Refusal::kNoStub: return L"no stub in front of the archive";
    case Refusal::kNameOutsideFolder: return entry + L" would be written outside the target folder";
    case Refusal::kEntryOutsideContent: return entry + L" points outside the signed content";
    case Refusal::kNoInstaller:
      return L"the archive has no installer record (CMDP): the stub would have nothing to run";
    case Refusal::kInstallerOutsideContent: return L"the installer record points outside the signed content";
    case Refusal::kInstallerPackage: return L"the installer's package cannot be unpacked (code " + code + L")";
    default: return std::wstring();
  }
}

Result SfxArchive::Load(const wchar_t* archivePath) {
  const LoadVerdict verdict = JudgeWithCompiledKeys(archivePath);
  LogVerdict(verdict, archivePath);
  return verdict.code;
}

LoadVerdict SfxArchive::JudgeWithCompiledKeys(const wchar_t* archivePath) {
  const KeySet compiled = CompiledKeys();
  return Judge(archivePath, [&compiled](const SignatureFile&, std::uint64_t) { return &compiled; });
}

// The file is opened once, shared for reading only: nobody can change, rename or replace it
// while it is verified and then read, and everything is read through this one open.
LoadVerdict SfxArchive::Judge(const wchar_t* archivePath, const KeyFinder& keys, SignatureFile::PieceWatch watch) {
  LoadVerdict v;
  if (!file_.OpenRead(archivePath)) {
    v.systemError = file_.LastError();
    return Refused(v, Refusal::kCannotOpen, code::kFileInvalid);
  }
  SignatureFile opened;
  SignatureType type = SignatureType::kRawMd5Dsa;
  if (!opened.Borrow(file_.Descriptor()) ||
      !LocateSignatureIn(opened, LookupMode::kArchive, &type, &v.signatureOffset)) {
    return Refused(v, Refusal::kNoBlock, code::kFileInvalid);
  }
  v.type = type;
  // The text MD5 form is a checksum that anyone who changes the file can recompute.
  if (type == SignatureType::kTextMd5) {
    return Refused(v, Refusal::kPlainMd5, code::kFileInvalid);
  }
  const KeySet* trusted = keys(opened, v.signatureOffset);
  if (trusted == nullptr) return Refused(v, Refusal::kNoKeys, code::kFileInvalid);
  opened.SetPieceWatch(std::move(watch));
  if (!VerifySignatureIn(opened, VerifyModeFor(type), *trusted, &v.keyIndex)) {
    return Refused(v, Refusal::kNoKeyVerifies, code::kFileInvalid);
  }
  const LoadVerdict container = ReadContainer(archivePath, type, v.signatureOffset);
  v.step = container.step;
  v.refusal = container.refusal;
  v.code = container.code;
  return v;
}

LoadVerdict SfxArchive::ReadContainer(const wchar_t* archivePath, SignatureType type, std::uint64_t signatureOffset) {
  LoadVerdict v;
  v.type = type;
  v.signatureOffset = signatureOffset;
  // The stub file is read with 32-bit positions; a larger offset cannot belong to a stub.
  if (signatureOffset > kFormatLimit) {
    return Refused(v, Refusal::kContentLength, code::kFileInvalid);
  }
  const std::uint32_t trailer = TrailerLength(type);
  if (trailer == 0) {
    return Refused(v, Refusal::kUnknownType, code::kFileInvalid);
  }
  contentLength_ = static_cast<std::uint32_t>(ContentEnd(type, signatureOffset));
  embeddedLength_ = 0;
  if (file_.Descriptor() < 0 && !file_.OpenRead(archivePath)) {
    return Refused(v, Refusal::kCannotReopen, code::kFileNotFound);
  }
  if (file_.GetSize() < contentLength_) {
    return Refused(v, Refusal::kContentLength, code::kFileInvalid);
  }
  if (contentLength_ + trailer < trailer + kLocatorSize) {
    return Refused(v, Refusal::kTooSmall, code::kFileInvalid);
  }

  std::uint32_t length = 0, edat = 0;
  file_.Seek(static_cast<std::int32_t>(contentLength_ - kEmbeddedTrailerSize), packers::kSeekBegin);
  if (packers::ReadUint32(file_, &length) && packers::ReadUint32(file_, &edat) && edat == kEmbeddedDataTag) {
    embeddedLength_ = length + kEmbeddedTrailerSize;
  }

  // The locator must lie inside the content: an embedded-data length that reaches past the
  // start of the file is as wrong as a bad magic.
  const std::uint32_t locator = contentLength_ - embeddedLength_ - kLocatorSize;
  std::uint32_t mapOffset = 0;
  char magic[kLocatorMagicSize + 1] = {};
  if (embeddedLength_ > contentLength_ - kLocatorSize ||
      file_.Seek(static_cast<std::int32_t>(locator), packers::kSeekBegin) < 0 ||
      !packers::ReadUint32(file_, &mapOffset) || !file_.Read(magic, kLocatorMagicSize) ||
      std::strcmp(magic, kLocatorMagic) != 0) {
    return Refused(v, Refusal::kBadLocator, code::kFileInvalid);
  }
  return readMap(mapOffset, locator, v);
}

LoadVerdict SfxArchive::readMap(std::uint32_t mapOffset, std::uint32_t locator, LoadVerdict v) {
  if (mapOffset > locator || file_.Seek(static_cast<std::int32_t>(mapOffset), packers::kSeekBegin) < 0) {
    return Refused(v, Refusal::kMapUnreadable, code::kFileInvalid);
  }
  std::uint32_t mapSize = 0;
  std::unique_ptr<std::uint8_t[]> map;
  packers::CMFile mapFile;
  {
    FileBuffer packed{file_, file_.ReadAlloc(locator - mapOffset)};
    if (packed.data == nullptr || !mapFile.Attach(packed.data, locator - mapOffset)) {
      return Refused(v, Refusal::kMapUnreadable, code::kFileInvalid);
    }
    if (packers::LoadFilePackage(mapFile, &mapSize, &map) != code::kSuccess) {
      return Refused(v, Refusal::kMapPackage, code::kFileInvalid);
    }
    mapFile.Close();
  }
  if (!mapFile.Attach(map.get(), mapSize)) {
    return Refused(v, Refusal::kMapData, code::kFileInvalid);
  }
  const Result parsed = ParseMap(mapFile, &map_);
  if (parsed != code::kSuccess) {
    return Refused(v, Refusal::kMapRecords, parsed);
  }
  return v;
}

// A module's names are checked both: its stored copy is written under its name, its unpacked
// file under the other.
LoadVerdict SfxArchive::JudgeExtraction(LoadVerdict v) {
  if (!v.loaded()) return v;
  for (const SfxFileEntry& e : map_.entries) {
    for (const std::wstring* name : {&e.name, &e.extractionName}) {
      if (name == &e.extractionName && name->empty()) continue;
      if (!IsContainedName(*name)) {
        v.entry = {*name, name == &e.extractionName};
        return Refused(v, Refusal::kNameOutsideFolder, code::kInvalidName);
      }
    }
    if (!Covers(e)) {
      v.entry = {e.name, false};
      return Refused(v, Refusal::kEntryOutsideContent, code::kFileInvalid);
    }
  }
  if (map_.installer.size == 0) return Refused(v, Refusal::kNoInstaller, code::kFileInvalid);
  if (!Covers(map_.installer)) return Refused(v, Refusal::kInstallerOutsideContent, code::kFileInvalid);
  const Result unpacked = CheckInstaller();
  return unpacked != code::kSuccess ? Refused(v, Refusal::kInstallerPackage, unpacked) : v;
}

}  // namespace tzk::archive
