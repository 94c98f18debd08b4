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

// The steps of an installer's acceptance in the order they are taken; a verdict names the one
// that refused. The stub's loader takes them up to kMap and goes from there to kLoaded: the stub
// in front is the stub itself, and its extraction refuses an entry as it meets it. The producer,
// which must write nothing the stub would refuse, takes the later ones too.
enum class LoadStep {
  kOpen,       // the file cannot be opened
  kLocate,     // no signature block
  kType,       // the keyless text MD5 form, refused before anything is digested
  kKeys,       // no keys to check with (only where a key finder says so)
  kSignature,  // no key verifies the signature
  kTrailer,    // a type the container has no trailer length for
  kContainer,  // the content length, the locator and its magic
  kMap,        // the map block and its records
  kStub,       // no stub in front of the archive (judged by the producer only)
  kEntries,    // an entry written outside the folder, or read from outside the signed content
  kInstaller,  // the installer record and its package
  kLoaded,
};

// Which rule of its step refused a file: each has its own words in the loader's log or the
// producer's output.
enum class Refusal {
  kNone,
  kCannotOpen,          // kOpen, the loader's own open (the system's error beside it)
  kCannotReopen,        // kOpen, the container read of a file the loader did not open
  kNoBlock,             // kLocate
  kPlainMd5,            // kType
  kNoKeys,              // kKeys
  kNoKeyVerifies,       // kSignature
  kUnknownType,         // kTrailer
  kContentLength,       // kContainer: the content does not fit the file (or 32-bit positions)
  kTooSmall,            // kContainer: no room for the locator
  kBadLocator,          // kContainer: the locator or its magic
  kMapUnreadable,       // kMap: the map block lies beyond the locator, or cannot be read
  kMapPackage,          // kMap: the map block's package cannot be unpacked
  kMapData,             // kMap: the unpacked map cannot be read
  kMapRecords,          // kMap: the map records (the code is ParseMap's)
  kNoStub,              // kStub
  kNameOutsideFolder,   // kEntries
  kEntryOutsideContent, // kEntries
  kNoInstaller,         // kInstaller: no CMDP record
  kInstallerOutsideContent,
  kInstallerPackage,    // kInstaller: the package does not unpack (the code is the codec's)
};

// The entry a refusal or an extraction failure concerns: a module is named by the file it
// unpacks to, every other entry by its own name.
struct EntryConcerned {
  std::wstring name;
  bool module = false;
};

// What the acceptance decides about a file: the code Load returns, the step that refused and
// its rule, the entry concerned, and what the steps found on the way. The words for it are
// rendered where they are shown: LoaderText for the stub's log, ProducerText for sfxpack.
struct LoadVerdict {
  Result code = code::kSuccess;
  LoadStep step = LoadStep::kLoaded;
  Refusal refusal = Refusal::kNone;
  Result systemError = code::kSuccess;  // the open's own error, for kCannotOpen
  EntryConcerned entry;                 // for kEntries
  std::optional<signature::SignatureType> type;    // once a block is found
  std::uint64_t signatureOffset = 0;
  int keyIndex = 0;  // the key that verified
  bool loaded() const { return step == LoadStep::kLoaded; }
};

// The verdict refused by a rule, at the rule's step.
LoadVerdict Refused(LoadVerdict verdict, Refusal refusal, Result code);
// The producer's finding that the file does not start with a stub, recorded in the verdict.
LoadVerdict RefusedForNoStub(LoadVerdict verdict);

// The line the loader logs for a refusal, naming the file by its path; empty where it logs
// nothing (a map block that cannot be read, no keys, and the producer's steps).
std::wstring LoaderText(const LoadVerdict& verdict, const wchar_t* archivePath);
// A refusal in the producer's words, which name the file once already and so never the path:
// for the container and map steps the loader's line without it, after the code; for the stub
// step only its head (the producer says what it found in front); for the entries and the
// installer the whole reason. Empty for the other steps, whose words need what only the
// producer knows (the system's error, its key table, the keys it tried).
std::wstring ProducerText(const LoadVerdict& verdict);

// Where the embedded items are read from: the block inside the signed content, else the tail
// block that per-download tagging writes.
enum class ItemsBlock { kNone, kEmbedded, kTail };

// The entry that stopped ExtractFiles and its code; code 0 while none has.
struct ExtractionFailure {
  Result code = code::kSuccess;
  EntryConcerned entry;
};
// The line ExtractFiles logs for its failure, which names the entry.
std::wstring ExtractionFailureText(const ExtractionFailure& failure);

// The keys to verify with, asked for once the signature block is found (the producer reads them
// from the stub in front of it, through the loader's own open). Null refuses the file at the
// keys step, which the finder then explains.
using KeyFinder =
    std::function<const signature::KeySet*(const signature::SignatureFile& file, std::uint64_t signatureOffset)>;

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
  LoadVerdict Judge(const wchar_t* archivePath, const KeyFinder& keys,
                    signature::SignatureFile::PieceWatch watch = nullptr);
  // Reads the container behind the signature Judge found, without its check: the producer's
  // inspection of an archive whose signature fails.
  LoadVerdict ReadContainer(const wchar_t* archivePath, signature::SignatureType type, std::uint64_t signatureOffset);
  // The producer's steps past a verdict the loader took, in the order the stub's extraction
  // would meet them: every entry's names stay inside the folder and its bytes inside the signed
  // content, then the installer record is there, inside it, and its package unpacks. The stub in
  // front, which the producer judges before these, is its own (RefusedForNoStub).
  LoadVerdict JudgeExtraction(LoadVerdict loaded);
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
  // The entry ExtractFiles failed on, as it logged it; code 0 while none has.
  const ExtractionFailure& extractionFailure() const { return extractionFailure_; }
  // The self-defense driver for this platform (the x64 one under WOW64): 1168 when the archive
  // has none.
  bool HasSelfDefenseModule() const;
  Result ExtractSelfDefenseModule(const std::wstring& folder, const std::wstring& fileName);
  Result ExtractEmbeddedItems(const std::wstring& folder, ItemSaver save = SaveItemFile);
  Result ExtractTailItems(const std::wstring& folder, ItemSaver save = SaveItemFile);
  // The items saved into folder from the block the stub reads them from: the embedded block when
  // its walk succeeds, else the tail block; says which gave them. With a saver that keeps
  // nothing it only tells which block that is.
  ItemsBlock ExtractItems(const std::wstring& folder, ItemSaver save = SaveItemFile);

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
  // Records and logs the entry ExtractFiles failed on; returns result.
  Result failedOn(const SfxFileEntry& entry, bool module, Result result);
  const SfxFileEntry* selfDefenseModule() const;
  LoadVerdict readMap(std::uint32_t mapOffset, std::uint32_t locator, LoadVerdict v);

  ArchiveMap map_;
  packers::CUFile file_;
  std::uint32_t contentLength_ = 0;
  std::uint32_t embeddedLength_ = 0;
  ExtractionFailure extractionFailure_;
};

// The verify mode that belongs to a signature type found by the archive lookup.
signature::LookupMode VerifyModeFor(signature::SignatureType type);

// Logs a verdict as Load does: its LoaderText at level error, or that the archive loaded.
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
