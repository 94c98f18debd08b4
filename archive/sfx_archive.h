// The SFX archive appended to the stub: loaded from the stub's own file, verified, its map
// read; every extraction works on the file that Load leaves open.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/embedded_items.h"
#include "signature/signature.h"
#include "signature/signature_file.h"
#include "signature/verification_keys.h"
#include "log/logger.h"
#include "vocabulary/result.h"
#include "packers/file.h"

namespace tzk::progress {
class ProgressCallback;
}

namespace tzk::archive {

extern const log::ComponentTag kTagSfxArc;

struct SfxFileEntry {
  std::wstring name;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::int64_t time = 0;  // seconds since 1970-01-01 UTC
  std::wstring extractionName;
};

// What the map block holds, filled by ParseMap.
struct ArchiveMap {
  std::wstring commandLine;
  std::wstring sfxName;
  SfxFileEntry installer;  // only offset and size are used
  std::vector<SfxFileEntry> entries;
};

// The loader's steps in the order it takes them; a verdict names the one that refused.
enum class LoadStep {
  kOpen,       // the file cannot be opened
  kLocate,     // no signature block
  kType,       // the keyless text MD5 form, refused before anything is digested
  kKeys,       // no keys to check with (only where a key finder says so)
  kSignature,  // no key verifies the signature
  kTrailer,    // a type the container has no trailer length for
  kContainer,  // the content length, the locator and its magic
  kMap,        // the map block and its records
  kLoaded,
};

// What the loader decides about a file: the code Load returns, the step that refused, and the
// text Load logs for it with the path in it (empty where Load logs nothing: a map block that
// cannot be read, and no keys, which only a key finder decides). What the steps found stays
// beside it.
struct LoadVerdict {
  Result code = code::kSuccess;
  LoadStep step = LoadStep::kLoaded;
  std::wstring reason;
  std::optional<SignatureType> type;  // once a block is found
  std::uint64_t signatureOffset = 0;
  int keyIndex = 0;  // the key that verified
  bool loaded() const { return step == LoadStep::kLoaded; }
};

// The keys to verify with, asked for once the signature block is found (the producer reads them
// from the stub in front of it, through the loader's own open). Null refuses the file at the
// keys step, which the finder then explains.
using KeyFinder = std::function<const KeySet*(const SignatureFile& file, std::uint64_t signatureOffset)>;

class SfxArchive {
 public:
  SfxArchive() = default;
  SfxArchive(const SfxArchive&) = delete;
  SfxArchive& operator=(const SfxArchive&) = delete;

  // Judges the file with the compiled-in keys and logs the verdict.
  Result Load(const wchar_t* archivePath);
  // Load's judging alone, for a caller that judges on one thread and logs the verdict on another.
  LoadVerdict JudgeWithCompiledKeys(const wchar_t* archivePath);
  // Applies the loader's rules to the file in their order, through one open that stays with
  // this object for everything read afterwards, and says what they decided; logs nothing.
  // watch is told the progress of the signature's digest.
  LoadVerdict Judge(const wchar_t* archivePath, const KeyFinder& keys, SignatureFile::PieceWatch watch = nullptr);
  // Reads the container behind the signature Judge found, without its check: the producer's
  // inspection of an archive whose signature fails.
  LoadVerdict ReadContainer(const wchar_t* archivePath, SignatureType type, std::uint64_t signatureOffset);
  // Whether an entry's bytes lie inside the signed content: the signature covers nothing else.
  bool Covers(const SfxFileEntry& entry) const;
  // The installer's package unpacked and let go: what its extraction would meet, with no file
  // made.
  Result CheckInstaller();

  // Told the bytes extraction writes into the folder (stored entries and unpacked modules) as
  // they go, for a caller that shows how far a large entry is: a piece at a time as the copy or
  // the codec writes it (up to a megabyte, never byte by byte), from both lanes at once, so it
  // must add them up safely. progress still hears of whole entries only.
  class WrittenBytes {
   public:
    virtual void add(std::uint32_t bytes) = 0;

   protected:
    ~WrittenBytes() = default;
  };
  // The installer/updater unpacked by ExtractFiles beside the entries, as `name` in the folder.
  // Its result is its own, to be read only once the entries succeeded: 1006 for a package that
  // cannot be unpacked, 82 for a good one whose file cannot be made.
  struct InstallerTask {
    std::wstring name;
    Result result = code::kSuccess;
  };
  Result ExtractFiles(const std::wstring& folder, progress::ProgressCallback* progress,
                      WrittenBytes* written = nullptr, InstallerTask* installer = nullptr);
  // The record ExtractFiles logged for the entry that failed; empty while none has.
  const std::wstring& extractionFailure() const { return extractionFailure_; }
  // The self-defense driver for this platform (the x64 one under WOW64): 1168 when the archive
  // has none.
  bool HasSelfDefenseModule() const;
  Result ExtractSelfDefenseModule(const std::wstring& folder, const std::wstring& fileName);
  Result ExtractEmbeddedItems(const std::wstring& folder, ItemSaver save = SaveItemFile);
  Result ExtractTailItems(const std::wstring& folder, ItemSaver save = SaveItemFile);

  // The caller substitutes "%TMPPATH%" in place.
  std::wstring& commandLine() { return map_.commandLine; }
  const std::wstring& sfxName() const { return map_.sfxName; }
  const SfxFileEntry& installerEntry() const { return map_.installer; }
  const std::vector<SfxFileEntry>& fileEntries() const { return map_.entries; }
  packers::CUFile& archiveFile() { return file_; }
  std::uint32_t contentLength() const { return contentLength_; }
  std::uint32_t embeddedDataLength() const { return embeddedLength_; }

 private:
  // Each takes the open archive file to read through, so that two entries can be extracted
  // at once.
  // written (null for none) hears of the bytes each writes.
  Result extractRaw(packers::CUFile& source, const SfxFileEntry& entry, const std::wstring& folder,
                    WrittenBytes* written);
  Result extractModule(packers::CUFile& source, const SfxFileEntry& entry, const std::wstring& folder,
                       WrittenBytes* written);
  Result extractInstaller(packers::CUFile& source, const std::wstring& targetPath, WrittenBytes* written);
  Result unpackToFile(packers::CUFile& source, std::uint32_t offset, std::uint32_t size, const std::wstring& target,
                      WrittenBytes* written = nullptr);
  const SfxFileEntry* selfDefenseModule() const;
  LoadVerdict readMap(const wchar_t* archivePath, std::uint32_t mapOffset, std::uint32_t locator, LoadVerdict v);

  ArchiveMap map_;
  packers::CUFile file_;
  std::uint32_t contentLength_ = 0;
  std::uint32_t embeddedLength_ = 0;
  std::wstring extractionFailure_;
};

// The verify mode that belongs to a signature type found by the archive lookup.
LookupMode VerifyModeFor(SignatureType type);

// Logs a verdict as Load does: its reason at level error, or that the archive loaded.
void LogVerdict(const LoadVerdict& verdict, const wchar_t* archivePath);

// Reads the map records from the unpacked map block. Returns 0, 87 (no MODE "extract"),
// 0xFFFFFFFF (a CMDP body that is not 8 bytes) or the last LIST's code (1006 when its last FILE
// record had a bad PTRL).
Result ParseMap(packers::CGenFile& map, ArchiveMap* out);

// False for names that would land outside the target folder: absolute (drive, UNC, leading
// separator) or with a ".." component.
bool IsContainedName(const std::wstring& name);

// How many names a package may try for its partial file before it gives up with 82.
constexpr unsigned kPartialNames = 8;

// The names a package is unpacked under before its file takes the target's place: the target
// followed by "…", then by "…" and a digit. An entry's name may be any of them (names are
// widened in the ANSI code page, where a byte may become "…"), so each is created only
// where nothing has that name, and the extraction's alias check counts every one.
std::wstring PartialName(const std::wstring& target, unsigned index);

// Whether the entries can be extracted side by side: true only when no two files they write
// (entries, modules and the modules' partial names) could be one file, or a file and a folder
// on the other's path. Names are compared as Windows resolves them below the folder ("."
// components, trailing dots and blanks, letter case); a name that leaves any doubt (a "~"
// short name, a ":" stream, a device, a letter beyond ASCII beside one like it) keeps the
// map's order, in which the later entry wins. installerName (empty for none) counts as one
// more unpacked file, the installer/updater's.
bool WritesAreDistinct(const std::vector<SfxFileEntry>& entries, const std::wstring& installerName = {});

}  // namespace tzk::archive
