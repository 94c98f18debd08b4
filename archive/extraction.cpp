#include <atomic>
#include <memory>
#include <new>
#include <optional>

#include "archive/embedded_items.h"
#include "archive/file_system.h"
#include "crashguard/beside_task.h"
#include "archive/sfx_archive.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/path.h"
#include "log/wide_format.h"
#include "packers/file_package.h"
#include "progress/progress_callback.h"

namespace tzk::archive {
namespace {

constexpr std::uint32_t kCopyPiece = 1u << 20;

// A file being written, deleted again unless kept: no failure leaves part of a file behind.
class NewFile {
 public:
  // kReplace truncates a file already there; kExclusive leaves whatever has the name alone and
  // fails with 183.
  enum Mode { kReplace, kExclusive };
  explicit NewFile(const std::wstring& path, Mode mode = kReplace)
      : path_(path), created_(mode == kReplace ? file_.Create(path.c_str()) : file_.CreateNew(path.c_str())) {}
  ~NewFile() {
    if (created_ && !kept_) {
      file_.Close();
      DeleteEntryFile(path_);
    }
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  bool created() const { return created_; }
  Result lastError() const { return file_.LastError(); }
  bool write(const std::uint8_t* data, std::uint32_t size) {
    std::int32_t written = 0;
    return file_.Write(data, size, &written) && static_cast<std::uint32_t>(written) == size;
  }
  void keep() {
    file_.Close();
    kept_ = true;
  }
  const std::wstring& path() const { return path_; }

 private:
  packers::CUFile file_;
  std::wstring path_;
  bool created_;
  bool kept_ = false;
};

// A package unpacked and let go: what unpacking it would meet, with no file made.
Result unpackNowhere(packers::CUFile& source, std::uint32_t offset, std::uint32_t size) {
  const auto discard = [](const std::uint8_t*, std::uint32_t) { return true; };
  std::uint32_t unpacked = 0;
  return packers::StreamFilePackage(source, offset, size, discard, &unpacked);
}

}  // namespace

bool SfxArchive::Covers(const SfxFileEntry& entry) const {
  return entry.offset <= contentLength_ && entry.size <= contentLength_ - entry.offset;
}

Result WriteWholeFile(const std::wstring& path, const std::uint8_t* data, std::uint32_t size, Result* lastError) {
  NewFile file(path);
  if (!file.created() || !file.write(data, size)) {
    if (lastError != nullptr) *lastError = file.lastError();
    return code::kCannotMake;
  }
  file.keep();
  return code::kSuccess;
}

// Stored bytes are copied a piece at a time, never held whole: the largest entry would
// otherwise sit in memory next to what the next step unpacks from it.
Result SfxArchive::extractRaw(packers::CUFile& source, const SfxFileEntry& entry, const std::wstring& folder,
                              WrittenBytes* written) {
  if (!IsContainedName(entry.name)) return code::kInvalidName;
  const std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kCopyPiece]);
  const auto offset = static_cast<std::int32_t>(entry.offset);
  if (piece == nullptr || !Covers(entry) ||
      source.Seek(offset, packers::kSeekBegin) != offset) {
    return code::kNotEnoughMemory;
  }
  const std::wstring target = vocabulary::JoinPath(folder, entry.name);
  NewFile out(target);
  if (!out.created()) return out.lastError();
  for (std::uint32_t left = entry.size; left > 0;) {
    const std::uint32_t size = left < kCopyPiece ? left : kCopyPiece;
    if (!source.Read(piece.get(), size)) return code::kNotEnoughMemory;
    if (!out.write(piece.get(), size)) return out.lastError();
    if (written != nullptr) written->add(size);
    left -= size;
  }
  out.keep();
  SetEntryFileTime(target, entry.time);
  return code::kSuccess;
}

// The package is unpacked straight into a file beside the target, so memory stays at the
// codec's window whatever the entry's size, and only a complete file takes the target's place: a
// bad package leaves a file already there (a driver in the system's folder, say) as it was. The
// partial file takes the first of its names that nothing has yet, so no entry's file is
// written over; it is named in the long form, as a target that just fits the path limit still
// has room for it. A bad package is reported as such even where no file can be made; only a
// good one gives 82.
Result SfxArchive::unpackToFile(packers::CUFile& source, std::uint32_t offset, std::uint32_t size,
                                const std::wstring& target, WrittenBytes* written) {
  std::optional<NewFile> out;
  for (unsigned i = 0; i < kPartialNames; ++i) {
    out.emplace(ExtendedLengthPath(PartialName(target, i)), NewFile::kExclusive);
    if (out->created() || out->lastError() != code::kAlreadyExists) break;
  }
  if (!out->created()) {
    const Result verdict = unpackNowhere(source, offset, size);
    return verdict != code::kSuccess ? verdict : code::kCannotMake;
  }
  std::uint32_t unpacked = 0;
  // The codecs hand on up to a megabyte at a time, a step of theirs at once: reported as they come.
  const auto write = [&out, written](const std::uint8_t* data, std::uint32_t count) {
    if (!out->write(data, count)) return false;
    if (written != nullptr) written->add(count);
    return true;
  };
  const Result result = packers::StreamFilePackage(source, offset, size, write, &unpacked);
  if (result != code::kSuccess) return result;
  out->keep();
  if (ReplaceEntryFile(out->path(), target)) return code::kSuccess;
  DeleteEntryFile(out->path());
  return code::kCannotMake;
}

Result SfxArchive::extractModule(packers::CUFile& source, const SfxFileEntry& entry, const std::wstring& folder,
                                 WrittenBytes* written) {
  if (!IsContainedName(entry.extractionName)) return code::kInvalidName;
  if (!Covers(entry)) return code::kFileInvalid;
  return unpackToFile(source, entry.offset, entry.size, vocabulary::JoinPath(folder, entry.extractionName), written);
}

std::wstring ExtractionFailureText(const ExtractionFailure& failure) {
  return log::formatString(
      failure.entry.module ? L"Error extracting module '%s' (code 0x%x)" : L"Error extracting file '%s' (code 0x%x)",
      failure.entry.name.c_str(), failure.code);
}

// Entries that write files of their own are extracted two at once, each lane reading through
// its own open of the archive. An entry's stored copy and its unpacking are separate tasks, so
// unpacking the largest entry (most of a run) starts at once while the other lane does the
// rest; the installer/updater's package, often the longest of all, is the first task. The
// outcome is that of the entries' tasks in map order: the first that fails gives the result,
// and no task behind it is started once that is known. One lane takes the tasks in that order,
// the installer/updater last, where two could write one file.
Result SfxArchive::ExtractFiles(const std::wstring& folder, progress::ProgressCallback* progress,
                                WrittenBytes* written, InstallerTask* installer) {
  using progress::Level;
  extractionFailure_ = {};
  const std::vector<SfxFileEntry>& entries = map_.entries;
  if (progress != nullptr) {
    progress->setTotal(Level::kOverall, entries.size());
    progress->setPosition(Level::kOverall, 0);
  }
  enum class Work { kCopy, kUnpack, kInstaller };
  struct Task {
    std::size_t entry;
    Work work;
    Result result;
  };
  std::vector<Task> tasks;
  const std::unique_ptr<std::atomic<int>[]> unfinished(new std::atomic<int>[entries.size()]);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    tasks.push_back({i, Work::kCopy, code::kSuccess});
    if (!entries[i].extractionName.empty()) tasks.push_back({i, Work::kUnpack, code::kSuccess});
    unfinished[i] = entries[i].extractionName.empty() ? 1 : 2;
  }
  packers::CUFile second;
  const bool twoLanes = tasks.size() + (installer != nullptr ? 1 : 0) > 1 &&
                        WritesAreDistinct(entries, installer != nullptr ? installer->name : std::wstring()) &&
                        second.OpenSame(file_);
  if (installer != nullptr) tasks.insert(twoLanes ? tasks.begin() : tasks.end(), {0, Work::kInstaller, code::kSuccess});
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> firstFailure{tasks.size()};
  // An exception (a fault, memory) in one lane ends the run: the other takes no further task.
  std::atomic<bool> thrown{false};
  // The installer/updater's failure is its own: it neither fails nor stops the entries.
  const auto runTask = [&](packers::CUFile& source, const Task& task) {
    if (task.work == Work::kInstaller) {
      installer->result = extractInstaller(source, vocabulary::JoinPath(folder, installer->name), written);
      return code::kSuccess;
    }
    const SfxFileEntry& entry = entries[task.entry];
    return task.work == Work::kUnpack ? extractModule(source, entry, folder, written)
                                      : extractRaw(source, entry, folder, written);
  };
  const auto runLane = [&](packers::CUFile& source) {
    for (std::size_t t = next++; t < tasks.size() && t < firstFailure && !thrown; t = next++) {
      Task& task = tasks[t];
      task.result = runTask(source, task);
      if (task.result != code::kSuccess) {
        std::size_t first = firstFailure;
        while (t < first && !firstFailure.compare_exchange_weak(first, t)) {
        }
      } else if (task.work != Work::kInstaller && --unfinished[task.entry] == 0 && progress != nullptr) {
        // Extraction never stops on a cancel request: the flag the report returns is not read.
        progress->advance(Level::kOverall, 1);
      }
    }
  };
  const auto lane = [&](packers::CUFile& source) {
    try {
      runLane(source);
    } catch (...) {
      thrown = true;
      throw;
    }
  };
  if (twoLanes) {
    CrashGuard::RunBeside([&] { lane(second); }, [&] { lane(file_); });
  } else {
    lane(file_);
  }

  if (firstFailure == tasks.size()) return code::kSuccess;
  const Task& failed = tasks[firstFailure];
  return failedOn(entries[failed.entry], failed.work == Work::kUnpack, failed.result);
}

Result SfxArchive::failedOn(const SfxFileEntry& entry, bool module, Result result) {
  extractionFailure_ = {result, {module ? entry.extractionName : entry.name, module}};
  log::theLogger().write(log::level::kInfo, kTagSfxArc, L"%s", ExtractionFailureText(extractionFailure_).c_str());
  return result;
}

Result SfxArchive::extractInstaller(packers::CUFile& source, const std::wstring& targetPath, WrittenBytes* written) {
  if (!Covers(map_.installer)) return code::kFileInvalid;
  const Result result = unpackToFile(source, map_.installer.offset, map_.installer.size, targetPath, written);
  return result == code::kSuccess || result == code::kCannotMake ? result : code::kFileInvalid;
}

Result SfxArchive::CheckInstaller() {
  if (!Covers(map_.installer)) return code::kFileInvalid;
  return unpackNowhere(file_, map_.installer.offset, map_.installer.size);
}

const SfxFileEntry* SfxArchive::selfDefenseModule() const {
  const std::wstring prefix = RunsUnderWow64() ? kModulePrefix64 : kModulePrefix86;
  for (const SfxFileEntry& candidate : map_.entries) {
    if (candidate.name.compare(0, prefix.size(), prefix) == 0) return &candidate;
  }
  return nullptr;
}

bool SfxArchive::HasSelfDefenseModule() const { return selfDefenseModule() != nullptr; }

Result SfxArchive::ExtractSelfDefenseModule(const std::wstring& folder, const std::wstring& fileName) {
  const SfxFileEntry* module = selfDefenseModule();
  if (module == nullptr) return code::kNotFound;
  SfxFileEntry entry = *module;
  entry.extractionName = fileName;
  const bool is64 = RunsUnderWow64();
  void* redirection = nullptr;
  if (is64) DisableRedirection(&redirection);
  const Result result = extractModule(file_, entry, folder, nullptr);
  if (is64) RevertRedirection(redirection);
  return result;
}

Result SfxArchive::ExtractEmbeddedItems(const std::wstring& folder, ItemSaver save) {
  if (contentLength_ == 0 || embeddedLength_ == 0) return code::kInvalidData;
  if (file_.Seek(static_cast<std::int32_t>(contentLength_ - embeddedLength_), packers::kSeekBegin) < 0) {
    return code::kInvalidData;
  }
  std::uint8_t* block = file_.ReadAlloc(embeddedLength_);
  if (block == nullptr) return code::kCannotMake;
  Result result = code::kInvalidData;
  const std::uint32_t tagOffset = embeddedLength_ - kTagSize;
  if (embeddedLength_ >= kEmbeddedTrailerSize && vocabulary::ReadLe32(block + tagOffset) == kEmbeddedDataTag) {
    result = WalkEmbeddedBlock(block, tagOffset, folder, save);
  }
  file_.Release(block);
  return result;
}

Result SfxArchive::ExtractTailItems(const std::wstring& folder, ItemSaver save) {
  if (file_.Seek(-static_cast<std::int32_t>(kTailBlockSize), packers::kSeekEnd) <= 0) return code::kCannotMake;
  std::uint8_t* block = file_.ReadAlloc(kTailBlockSize);
  if (block == nullptr) return code::kCannotMake;
  const Result result = WalkTailBlock(block, folder, save);
  file_.Release(block);
  return result;
}

ItemsBlock SfxArchive::ExtractItems(const std::wstring& folder, ItemSaver save) {
  if (ExtractEmbeddedItems(folder, save) == code::kSuccess) return ItemsBlock::kEmbedded;
  return ExtractTailItems(folder, save) == code::kSuccess ? ItemsBlock::kTail : ItemsBlock::kNone;
}

}  // namespace tzk::archive
