#include "archive/sfx_archive.h"

#include <cstring>
#include <memory>

#include "archive/format.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "log/wide_format.h"
#include "packers/file_package.h"

namespace tzk::archive {

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

LoadVerdict refused(LoadVerdict verdict, LoadStep step, Result code, const wchar_t* format, const wchar_t* path,
                    Result argument = 0) {
  verdict.step = step;
  verdict.code = code;
  verdict.reason = format != nullptr ? log::formatString(format, path, argument) : std::wstring();
  return verdict;
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
  } else if (!verdict.reason.empty()) {
    log::theLogger().write(log::level::kError, kTagSfxArc, L"%s", verdict.reason.c_str());
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
    return refused(v, LoadStep::kOpen, code::kFileInvalid, L"Error opening archive '%s' (code 0x%x)", archivePath,
                   file_.LastError());
  }
  SignatureFile opened;
  SignatureType type = SignatureType::kRawMd5Dsa;
  if (!opened.Borrow(file_.Descriptor()) ||
      !LocateSignatureIn(opened, LookupMode::kArchive, &type, &v.signatureOffset)) {
    return refused(v, LoadStep::kLocate, code::kFileInvalid, L"Cannot get signature of archive '%s' (code 0x%x)",
                   archivePath);
  }
  v.type = type;
  // The text MD5 form is a checksum that anyone who changes the file can recompute.
  if (type == SignatureType::kTextMd5) {
    return refused(v, LoadStep::kType, code::kFileInvalid,
                   L"Archive '%s' is unsigned: it carries a plain MD5 checksum, no signature (code 0x%x)", archivePath,
                   code::kFileInvalid);
  }
  const KeySet* trusted = keys(opened, v.signatureOffset);
  if (trusted == nullptr) return refused(v, LoadStep::kKeys, code::kFileInvalid, nullptr, archivePath);
  opened.SetPieceWatch(std::move(watch));
  if (!VerifySignatureIn(opened, VerifyModeFor(type), *trusted, &v.keyIndex)) {
    return refused(v, LoadStep::kSignature, code::kFileInvalid, L"Error in signature of archive '%s' (code 0x%x)",
                   archivePath);
  }
  const LoadVerdict container = ReadContainer(archivePath, type, v.signatureOffset);
  v.step = container.step;
  v.code = container.code;
  v.reason = container.reason;
  return v;
}

LoadVerdict SfxArchive::ReadContainer(const wchar_t* archivePath, SignatureType type, std::uint64_t signatureOffset) {
  LoadVerdict v;
  v.type = type;
  v.signatureOffset = signatureOffset;
  constexpr LoadStep kContainer = LoadStep::kContainer;
  // The stub file is read with 32-bit positions; a larger offset cannot belong to a stub.
  if (signatureOffset > kFormatLimit) {
    return refused(v, kContainer, code::kFileInvalid, L"Incorrect content length of archive '%s'", archivePath);
  }
  const std::uint32_t trailer = TrailerLength(type);
  if (trailer == 0) {
    return refused(v, LoadStep::kTrailer, code::kFileInvalid, L"Unknown signature type of archive '%s'", archivePath);
  }
  contentLength_ = static_cast<std::uint32_t>(ContentEnd(type, signatureOffset));
  embeddedLength_ = 0;
  if (file_.Descriptor() < 0 && !file_.OpenRead(archivePath)) {
    return refused(v, LoadStep::kOpen, code::kFileNotFound, L"Error opening archive '%s'", archivePath);
  }
  if (file_.GetSize() < contentLength_) {
    return refused(v, kContainer, code::kFileInvalid, L"Incorrect content length of archive '%s'", archivePath);
  }
  if (contentLength_ + trailer < trailer + kLocatorSize) {
    return refused(v, kContainer, code::kFileInvalid, L"Archive '%s' is too small", archivePath);
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
    return refused(v, kContainer, code::kFileInvalid, L"Incorrect magic of archive '%s'", archivePath);
  }
  return readMap(archivePath, mapOffset, locator, v);
}

LoadVerdict SfxArchive::readMap(const wchar_t* archivePath, std::uint32_t mapOffset, std::uint32_t locator,
                                LoadVerdict v) {
  constexpr LoadStep kMap = LoadStep::kMap;
  if (mapOffset > locator || file_.Seek(static_cast<std::int32_t>(mapOffset), packers::kSeekBegin) < 0) {
    return refused(v, kMap, code::kFileInvalid, nullptr, archivePath);
  }
  std::uint32_t mapSize = 0;
  std::unique_ptr<std::uint8_t[]> map;
  packers::CMFile mapFile;
  {
    FileBuffer packed{file_, file_.ReadAlloc(locator - mapOffset)};
    if (packed.data == nullptr || !mapFile.Attach(packed.data, locator - mapOffset)) {
      return refused(v, kMap, code::kFileInvalid, nullptr, archivePath);
    }
    if (packers::LoadFilePackage(mapFile, &mapSize, &map) != code::kSuccess) {
      return refused(v, kMap, code::kFileInvalid, L"Cannot load map block of archive '%s'", archivePath);
    }
    mapFile.Close();
  }
  if (!mapFile.Attach(map.get(), mapSize)) {
    return refused(v, kMap, code::kFileInvalid, L"Error in unpacked map data of archive '%s'", archivePath);
  }
  const Result parsed = ParseMap(mapFile, &map_);
  if (parsed != code::kSuccess) {
    return refused(v, kMap, parsed, L"Error loading map of archive '%s' (code 0x%x)", archivePath, parsed);
  }
  return v;
}

}  // namespace tzk::archive
