// sfxpack extract: the stub's own archive code, run on the host.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sys/stat.h>

#include "archive/format.h"
#include "archive/sfx_archive.h"
#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "vocabulary/path.h"
#include "vocabulary/text.h"
#include "packers/file_package.h"
#include "sfxpack/cli.h"
#include "sfxpack/progress_meter.h"
#include "sfxpack/acceptance.h"

namespace sfxpack {
namespace {

const std::string kInstallerName = tzk::vocabulary::toUtf8(tzk::archive::kInstallerFileName);

const std::string kHelp =
    "usage: sfxpack extract SETUP.exe DIR [--keys DIR] [-q]\n\n"
    "Checks the installer as `sfxpack verify` does, then writes into DIR what the stub would\n"
    "extract: every file entry (with its time), the modules of entries with an extraction name,\n"
    "the installer as " + kInstallerName + " and the embedded items (from the signed block, else the tail\n"
    "block). DIR and its missing parents are created.\n\n"
    "options:\n"
    "  --keys DIR  check with key1.pub.pem ... key7.pub.pem in DIR instead of the stub's keys\n"
    "  -q, --quiet no progress on stderr (shown only when stderr is a terminal)\n\n"
    "exit codes: 0 extracted; 1 the stub would refuse the installer (signature type, keys,\n"
    "signature); 2 usage error; 3 the installer is missing, unreadable or its content is bad\n"
    "(a name leaving DIR, a package that does not unpack); 4 DIR cannot be written\n";

bool makeOneFolder(const std::string& path) {
#ifdef _WIN32
  return ::_wmkdir(tzk::vocabulary::fromUtf8(path).c_str()) == 0 || errno == EEXIST;
#else
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
#endif
}

bool isNoFolder(const std::string& path) {
#ifdef _WIN32
  struct _stat64 info {};
  return ::_wstat64(tzk::vocabulary::fromUtf8(path).c_str(), &info) == 0 && (info.st_mode & _S_IFDIR) == 0;
#else
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
#endif
}

// The folder and every missing parent; false with errno of the level that failed.
bool makeFolder(const std::string& path) {
  for (std::size_t at = path.find_first_of("/\\", 1); at != std::string::npos; at = path.find_first_of("/\\", at + 1)) {
    const std::string parent = path.substr(0, at);
    if (!parent.empty() && parent.back() != ':' && !makeOneFolder(parent)) return false;
  }
  return makeOneFolder(path);
}

// Codes of the archive's extraction that mean its content is bad, not that DIR cannot be written.
bool isContentFault(tzk::Result code) {
  return code == tzk::code::kInvalidName || code == tzk::code::kPackageCorrupt || code == tzk::code::kFileInvalid ||
         code == tzk::code::kNotEnoughMemory || code == tzk::code::kInvalidData;
}

// What extraction writes: every entry's stored bytes, and each module's and the installer's
// unpacked size as its package announces it (a package that does not say fails anyway).
std::uint64_t bytesToWrite(tzk::archive::SfxArchive& archive) {
  const auto unpackedSize = [&archive](const tzk::archive::SfxFileEntry& package) -> std::uint64_t {
    tzk::packers::PackageHeader header;
    return tzk::packers::ReadPackageHeader(archive.archiveFile(), package.offset, package.size, &header) ==
                   tzk::code::kSuccess
               ? header.unpackedSize
               : 0;
  };
  std::uint64_t total = unpackedSize(archive.installerEntry());
  for (const tzk::archive::SfxFileEntry& entry : archive.fileEntries()) {
    total += entry.size;
    if (!entry.extractionName.empty()) total += unpackedSize(entry);
  }
  return total;
}

// The bytes written so far, from both lanes, on the meter.
class WrittenOnMeter : public tzk::archive::SfxArchive::WrittenBytes {
 public:
  WrittenOnMeter(ProgressMeter& meter, std::uint64_t total) : meter_(meter), total_(total) {}
  void add(std::uint32_t bytes) override { meter_.update(done_ += bytes, total_); }
  // Either lane's last report may have met the other drawing: the line ends on what was written.
  void finish() { meter_.update(done_, total_); }

 private:
  ProgressMeter& meter_;
  std::uint64_t total_;
  std::atomic<std::uint64_t> done_{0};
};

// The entries and the installer, unpacked beside them as the stub does; the entries' failure
// comes first, as it would have stopped the stub before its installer.
tzk::Result extractAll(tzk::archive::SfxArchive& archive, const std::wstring& folder, const std::string& file,
                       bool quiet) {
  ProgressMeter meter("extracting " + file, quiet);
  // The total costs a read of every package's header: only a meter that is shown needs it.
  WrittenOnMeter written(meter, meter.shown() ? bytesToWrite(archive) : 0);
  tzk::archive::SfxArchive::InstallerTask installer{tzk::archive::kInstallerFileName};
  const tzk::Result result = archive.ExtractFiles(folder, nullptr, &written, &installer);
  if (result != tzk::code::kSuccess) return result;
  if (installer.result == tzk::code::kSuccess) written.finish();
  return installer.result;
}

int run(const Args& args) {
  const ParsedArgs a = ParseArgs(args, {"-q", "--quiet"}, {"--keys"});
  if (!a.error.empty()) return UsageError("extract", a.error);
  if (a.positional.size() != 2) return UsageError("extract", "needs SETUP.exe and DIR");
  const std::string& file = a.positional[0];
  const std::string& dir = a.positional[1];
  // Extraction would fail on the first entry with the archive's code and the entry's name: the
  // destination is the fault, and is named before the installer is checked.
  if (isNoFolder(dir)) return FileError("extract", dir, "it exists and is not a folder", kExitOutputError);
  KeysOption keys;
  if (std::string error; !ReadKeysOption(a, &keys, &error)) {
    return FileError("extract", keys.folder, error, kExitBadInput);
  }
  StubVerdict v;
  // Checked and then extracted through one open of the file.
  tzk::archive::SfxArchive archive;
  {
    ProgressMeter meter("checking " + file, WantsQuiet(a));
    v = CheckAsStub(file, &archive, keys.keys(), keys.folder,
                    [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); });
  }
  if (!v.accepted()) return FileError("extract", file, v.message(), v.exit);
  if (!makeFolder(dir)) {
    return FileError("extract", dir, std::string("cannot create the folder: ") + std::strerror(errno), kExitOutputError);
  }

  const std::wstring folder = tzk::vocabulary::fromUtf8(dir);
  const tzk::Result extracted = extractAll(archive, folder, file, WantsQuiet(a));
  if (extracted != tzk::code::kSuccess) {
    const tzk::archive::ExtractionFailure& failure = archive.extractionFailure();
    const std::string detail = failure.code == tzk::code::kSuccess
                                   ? "the installer (code " + CodeText(extracted) + ")"
                                   : tzk::vocabulary::toUtf8(tzk::archive::ExtractionFailureText(failure));
    if (isContentFault(extracted)) return FileError("extract", file, "bad archive content: " + detail, kExitBadInput);
    return FileError("extract", dir, "cannot extract into it: " + detail, kExitOutputError);
  }
  archive.ExtractItems(folder);
  std::printf("%s: extracted %zu file(s) and %s into %s\n", file.c_str(), archive.fileEntries().size(),
              kInstallerName.c_str(), dir.c_str());
  return kExitOk;
}

const CommandRegistration kExtract({"extract", "verify an installer and extract what the stub would", kHelp.c_str(),
                                    run});

}  // namespace
}  // namespace sfxpack
