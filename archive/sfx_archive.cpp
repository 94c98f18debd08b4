#include "archive/sfx_archive.h"

#include <cstring>
#include <memory>

#include "archive/format.h"
#include "archive/signature/signature.h"
#include "archive/signature/signature_file.h"
#include "packers/file_package.h"

namespace tzk::archive {

const log::ComponentTag kTagSfxArc(L"SfxArc");

namespace {

void logError(const wchar_t* format, const wchar_t* path, Result code = 0) {
  log::theLogger().write(log::level::kError, kTagSfxArc, format, path, code);
}

// The map block's bytes, released through the file that handed them out.
struct FileBuffer {
  packers::CGenFile& file;
  std::uint8_t* data;
  ~FileBuffer() {
    if (data != nullptr) file.Release(data);
  }
};

}  // namespace

// Types 2 and 3 are checked as text MD5, 4 and 5 as DSA over SHA-256, the rest as DSA over MD5.
int VerifyModeForType(int type) {
  if (type == 2 || type == 3) return signature_mode::kTextMd5;
  if (type == 4 || type == 5) return signature_mode::kSha256Dsa;
  return signature_mode::kMd5Dsa;
}

Result SfxArchive::Load(const wchar_t* archivePath) { return Load(archivePath, nullptr); }

// The file is opened once, shared for reading only: nobody can change, rename or replace it
// while it is verified and then read, and everything is read through this one open.
Result SfxArchive::Load(const wchar_t* archivePath, const KeySet* keys) {
  if (!file_.OpenRead(archivePath)) {
    logError(L"Error opening archive '%s' (code 0x%x)", archivePath, file_.LastError());
    return code::kFileInvalid;
  }
  SignatureFile opened;
  int type = 0;
  std::uint64_t offset = 0;
  if (!opened.Borrow(file_.Descriptor()) || !LocateSignatureIn(opened, signature_mode::kArchive, &type, &offset)) {
    logError(L"Cannot get signature of archive '%s' (code 0x%x)", archivePath);
    return code::kFileInvalid;
  }
  // The text MD5 form is a checksum that anyone who changes the file can recompute.
  if (type == signature_type::kTextMd5) {
    logError(L"Archive '%s' is unsigned: it carries a plain MD5 checksum, no signature (code 0x%x)", archivePath,
             code::kFileInvalid);
    return code::kFileInvalid;
  }
  int keyIndex = 0;
  if (!VerifySignatureIn(opened, VerifyModeForType(type), keys != nullptr ? *keys : CompiledKeys(), &keyIndex)) {
    logError(L"Error in signature of archive '%s' (code 0x%x)", archivePath);
    return code::kFileInvalid;
  }
  return ReadContainer(archivePath, type, offset);
}

Result SfxArchive::ReadContainer(const wchar_t* archivePath, int type, std::uint64_t offset) {
  // The stub file is read with 32-bit positions; a larger offset cannot belong to a stub.
  if (offset > kFormatLimit) {
    logError(L"Incorrect content length of archive '%s'", archivePath);
    return code::kFileInvalid;
  }
  contentLength_ = static_cast<std::uint32_t>(offset);
  embeddedLength_ = 0;
  std::uint32_t trailer = 0;
  switch (type) {
    case 5: trailer = kRawSha256DsaBlock; break;
    case 1: trailer = kRawMd5DsaBlock; break;
    case 2: trailer = 42; contentLength_ -= 2; break;
    default:
      logError(L"Unknown signature type of archive '%s'", archivePath);
      return code::kFileInvalid;
  }

  if (file_.Descriptor() < 0 && !file_.OpenRead(archivePath)) {
    logError(L"Error opening archive '%s'", archivePath);
    return code::kFileNotFound;
  }
  if (file_.GetSize() < contentLength_) {
    logError(L"Incorrect content length of archive '%s'", archivePath);
    return code::kFileInvalid;
  }
  if (contentLength_ + trailer < trailer + kLocatorSize) {
    logError(L"Archive '%s' is too small", archivePath);
    return code::kFileInvalid;
  }

  std::uint32_t length = 0, edat = 0;
  file_.Seek(static_cast<std::int32_t>(contentLength_ - 8), 0);
  if (packers::ReadUint32(file_, &length) && packers::ReadUint32(file_, &edat) && edat == kEmbeddedDataTag) {
    embeddedLength_ = length + 8;
  }

  // The locator must lie inside the content: an embedded-data length that reaches past the
  // start of the file is as wrong as a bad magic.
  const std::uint32_t locator = contentLength_ - embeddedLength_ - kLocatorSize;
  std::uint32_t mapOffset = 0;
  char magic[kLocatorMagicSize + 1] = {};
  if (embeddedLength_ > contentLength_ - kLocatorSize || file_.Seek(static_cast<std::int32_t>(locator), 0) < 0 ||
      !packers::ReadUint32(file_, &mapOffset) || !file_.Read(magic, kLocatorMagicSize) || std::strcmp(magic, kLocatorMagic) != 0) {
    logError(L"Incorrect magic of archive '%s'", archivePath);
    return code::kFileInvalid;
  }

  if (mapOffset > locator || file_.Seek(static_cast<std::int32_t>(mapOffset), 0) < 0) return code::kFileInvalid;
  std::uint32_t mapSize = 0;
  std::unique_ptr<std::uint8_t[]> map;
  packers::CMFile mapFile;
  {
    FileBuffer packed{file_, file_.ReadAlloc(locator - mapOffset)};
    if (packed.data == nullptr || !mapFile.Attach(packed.data, locator - mapOffset)) return code::kFileInvalid;
    if (packers::LoadFilePackage(mapFile, &mapSize, &map) != code::kSuccess) {
      logError(L"Cannot load map block of archive '%s'", archivePath);
      return code::kFileInvalid;
    }
    mapFile.Close();
  }
  if (!mapFile.Attach(map.get(), mapSize)) {
    logError(L"Error in unpacked map data of archive '%s'", archivePath);
    return code::kFileInvalid;
  }
  const Result parsed = ParseMap(mapFile, &map_);
  if (parsed != code::kSuccess) {
    log::theLogger().write(log::level::kError, kTagSfxArc, L"Error loading map of archive '%s' (code 0x%x)",
                           archivePath, parsed);
    return parsed;
  }
  log::theLogger().write(log::level::kInfo, kTagSfxArc, L"SFX archive '%s' sucessfully loaded.", archivePath);
  return code::kSuccess;
}

}  // namespace tzk::archive
