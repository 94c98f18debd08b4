#include <memory>

#include "archive/embedded_items.h"
#include "archive/file_system.h"
#include "archive/sfx_archive.h"
#include "packers/file_package.h"
#include "progress/progress_callback.h"

namespace tzk::archive {
namespace {

constexpr wchar_t kModulePrefix64[] = L"selfdefense_x64_";
constexpr wchar_t kModulePrefix86[] = L"selfdefense_x86_";

// Stored bytes of an entry, handed back to the file that read them. Entries must lie inside
// the signed content: bytes outside it are not covered by the signature.
class StoredBytes {
 public:
  StoredBytes(packers::CUFile& file, std::uint32_t contentLength, std::uint32_t offset, std::uint32_t size)
      : file_(file) {
    const bool inside = offset <= contentLength && size <= contentLength - offset;
    if (inside && file_.Seek(static_cast<std::int32_t>(offset), 0) == static_cast<std::int32_t>(offset)) {
      data_ = file_.ReadAlloc(size);
    }
  }
  ~StoredBytes() { release(); }
  StoredBytes(const StoredBytes&) = delete;
  StoredBytes& operator=(const StoredBytes&) = delete;

  std::uint8_t* data() const { return data_; }
  void release() {
    if (data_ != nullptr) file_.Release(data_);
    data_ = nullptr;
  }

 private:
  packers::CUFile& file_;
  std::uint8_t* data_ = nullptr;
};

// Unpacks the file package held by stored bytes; the packed bytes are released at once.
Result unpackStored(StoredBytes& stored, std::uint32_t size, std::uint32_t* outSize,
                    std::unique_ptr<std::uint8_t[]>* out) {
  packers::CMFile package;
  if (!package.Attach(stored.data(), size)) return code::kFileInvalid;
  const Result result = packers::LoadFilePackage(package, outSize, out);
  package.Close();
  stored.release();
  return result;
}

}  // namespace

Result WriteWholeFile(const std::wstring& path, const std::uint8_t* data, std::uint32_t size, Result* lastError) {
  packers::CUFile file;
  if (!file.Create(path.c_str())) {
    if (lastError != nullptr) *lastError = file.LastError();
    return code::kCannotMake;
  }
  std::int32_t written = 0;
  if (!file.Write(data, size, &written) || static_cast<std::uint32_t>(written) != size) {
    if (lastError != nullptr) *lastError = file.LastError();
    file.Close();
    DeleteEntryFile(path);
    return code::kCannotMake;
  }
  file.Close();
  return code::kSuccess;
}

Result SfxArchive::extractRaw(const SfxFileEntry& entry, const std::wstring& folder) {
  if (!IsContainedName(entry.name)) return code::kInvalidName;
  StoredBytes stored(file_, contentLength_, entry.offset, entry.size);
  if (stored.data() == nullptr) return code::kNotEnoughMemory;
  const std::wstring target = JoinPath(folder, entry.name);
  Result lastError = code::kSuccess;
  if (WriteWholeFile(target, stored.data(), entry.size, &lastError) != code::kSuccess) return lastError;
  SetEntryFileTime(target, entry.time);
  return code::kSuccess;
}

Result SfxArchive::extractModule(const SfxFileEntry& entry, const std::wstring& folder) {
  if (!IsContainedName(entry.extractionName)) return code::kInvalidName;
  const std::wstring target = JoinPath(folder, entry.extractionName);
  StoredBytes stored(file_, contentLength_, entry.offset, entry.size);
  if (stored.data() == nullptr) return code::kFileInvalid;
  std::uint32_t size = 0;
  std::unique_ptr<std::uint8_t[]> module;
  const Result unpacked = unpackStored(stored, entry.size, &size, &module);
  if (unpacked != code::kSuccess) return unpacked;
  return WriteWholeFile(target, module.get(), size, nullptr);
}

Result SfxArchive::ExtractFiles(const std::wstring& folder, progress::ProgressCallback* progress) {
  using progress::Level;
  if (progress != nullptr) {
    progress->setTotal(Level::kOverall, map_.entries.size());
    progress->setPosition(Level::kOverall, 0);
  }
  for (const SfxFileEntry& entry : map_.entries) {
    Result result = extractRaw(entry, folder);
    if (result != code::kSuccess) {
      log::theLogger().write(log::level::kInfo, kTagSfxArc, L"Error extracting file '%s' (code 0x%x)",
                             entry.name.c_str(), result);
      return result;
    }
    if (!entry.extractionName.empty() && (result = extractModule(entry, folder)) != code::kSuccess) {
      log::theLogger().write(log::level::kInfo, kTagSfxArc, L"Error extracting module '%s' (code 0x%x)",
                             entry.extractionName.c_str(), result);
      return result;
    }
    // Extraction never stops on a cancel request: the flag the report returns is not read.
    if (progress != nullptr) progress->advance(Level::kOverall, 1);
  }
  return code::kSuccess;
}

Result SfxArchive::ExtractInstaller(const std::wstring& targetPath) {
  StoredBytes stored(file_, contentLength_, map_.installer.offset, map_.installer.size);
  if (stored.data() == nullptr) return code::kFileInvalid;
  std::uint32_t size = 0;
  std::unique_ptr<std::uint8_t[]> installer;
  if (unpackStored(stored, map_.installer.size, &size, &installer) != code::kSuccess) return code::kFileInvalid;
  return WriteWholeFile(targetPath, installer.get(), size, nullptr);
}

Result SfxArchive::ExtractSelfDefenseModule(const std::wstring& folder, const std::wstring& fileName) {
  const bool is64 = RunsUnderWow64();
  const std::wstring prefix = is64 ? kModulePrefix64 : kModulePrefix86;
  for (const SfxFileEntry& candidate : map_.entries) {
    if (candidate.name.compare(0, prefix.size(), prefix) != 0) continue;
    SfxFileEntry entry = candidate;
    entry.extractionName = fileName;
    void* redirection = nullptr;
    if (is64) DisableRedirection(&redirection);
    const Result result = extractModule(entry, folder);
    if (is64) RevertRedirection(redirection);
    return result;
  }
  return code::kNotFound;
}

Result SfxArchive::ExtractEmbeddedItems(const std::wstring& folder, ItemSaver save) {
  if (contentLength_ == 0 || embeddedLength_ == 0) return code::kInvalidData;
  if (file_.Seek(static_cast<std::int32_t>(contentLength_ - embeddedLength_), 0) < 0) return code::kInvalidData;
  std::uint8_t* block = file_.ReadAlloc(embeddedLength_);
  if (block == nullptr) return code::kCannotMake;
  Result result = code::kInvalidData;
  if (embeddedLength_ >= 8 && ReadLittleEndian32(block + embeddedLength_ - 4) == kEmbeddedDataTag) {
    result = WalkEmbeddedBlock(block, embeddedLength_ - 4, folder, save);
  }
  file_.Release(block);
  return result;
}

Result SfxArchive::ExtractTailItems(const std::wstring& folder, ItemSaver save) {
  if (file_.Seek(-static_cast<std::int32_t>(kTailBlockSize), 2) <= 0) return code::kCannotMake;
  std::uint8_t* block = file_.ReadAlloc(kTailBlockSize);
  if (block == nullptr) return code::kCannotMake;
  const Result result = WalkTailBlock(block, folder, save);
  file_.Release(block);
  return result;
}

}  // namespace tzk::archive
