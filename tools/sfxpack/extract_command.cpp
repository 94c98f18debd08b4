// sfxpack extract: the stub's own archive code, run on the host.
#include <cstdio>
#include <cwchar>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "archive/sfx_archive.h"
#include "archive/signature.h"
#include "archive/signing.h"
#include "progress/progress_callback.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"

namespace sfxpack {
namespace {

constexpr char kHelp[] =
    "usage: sfxpack extract SETUP.exe DIR [--keys DIR]\n\n"
    "Verifies the installer's signature, then writes into DIR what the stub would extract:\n"
    "every file entry (with its time), the modules of entries with an extraction name, the\n"
    "installer as instup.exe and the embedded items (from the signed block, else the tail\n"
    "block). DIR is created when missing. Exit code 1 when the signature does not verify,\n"
    "3 when the installer cannot be read, 4 when DIR cannot be written.\n\n"
    "options:\n"
    "  --keys DIR  verify with key1.pub.pem ... key7.pub.pem in DIR instead of the built-in keys\n";

// A one-line bar on stderr, redrawn on each change, for terminals only.
class TerminalBar : public tzk::progress::ProgressInterface {
 public:
  void onProgress(tzk::progress::ProgressCallback&, std::uint32_t, std::uint32_t shown) override {
    const int width = 40;
    const int filled = static_cast<int>(shown) * width / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3u%%", filled, "########################################", width - filled, "",
                 shown);
    if (shown == 100) std::fprintf(stderr, "\n");
    std::fflush(stderr);
  }
};

bool makeFolder(const std::string& path) {
#ifdef _WIN32
  return ::_wmkdir(tzk::root::fromUtf8(path).c_str()) == 0 || errno == EEXIST;
#else
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
#endif
}

// The archive code explains its refusals in log records; show them to the user.
void printRecordsSince(std::size_t first) {
  const auto history = tzk::log::theLogger().history();
  for (std::size_t i = first; i < history.size(); ++i) {
    std::fprintf(stderr, "  %s\n", tzk::root::toUtf8(history[i].message).c_str());
  }
}

int run(const Args& args) {
  const ParsedArgs a = parseArgs(args, {}, {"--keys"});
  if (!a.error.empty()) return usageError("extract", a.error);
  if (a.positional.size() != 2) return usageError("extract", "needs SETUP.exe and DIR");
  const std::string& file = a.positional[0];
  const std::string& dir = a.positional[1];
  tzk::archive::LoadedKeys loaded;
  if (a.has("--keys") && loaded.LoadFolder(tzk::root::fromUtf8(a.value("--keys"))) != tzk::code::kSuccess) {
    return fileError("extract", a.value("--keys"), "no usable key1.pub.pem ... key7.pub.pem there", kExitBadInput);
  }
  const tzk::archive::KeySet keys = loaded.keys();

  const std::wstring path = tzk::root::fromUtf8(file);
  int type = 0, key = 0;
  std::uint64_t offset = 0;
  if (!tzk::archive::LocateSignature(path.c_str(), tzk::archive::signature_mode::kArchive, nullptr, &type, &offset)) {
    return fileError("extract", file, "unreadable, or no archive signature found", kExitBadInput);
  }
  const int mode = tzk::archive::VerifyModeForType(type);
  if (!(a.has("--keys") ? tzk::archive::VerifySignatureWithKeys(path.c_str(), mode, keys, &key)
                        : tzk::archive::VerifySignature(path.c_str(), mode, &key))) {
    return fileError("extract", file, "the archive signature (type " + std::to_string(type) + ") does not verify",
                     kExitCheckFailed);
  }
  tzk::archive::SfxArchive archive;
  const std::size_t first = tzk::log::theLogger().history().size();
  const tzk::Result load = archive.Load(path.c_str(), a.has("--keys") ? &keys : nullptr);
  if (load != tzk::code::kSuccess) {
    std::fprintf(stderr, "sfxpack extract: %s: not a valid installer (code 0x%x):\n", file.c_str(), load);
    printRecordsSince(first);
    return kExitBadInput;
  }
  if (!makeFolder(dir)) return fileError("extract", dir, "cannot create the folder", kExitOutputError);

  const std::wstring folder = tzk::root::fromUtf8(dir);
  tzk::progress::ProgressCallback progress;
  TerminalBar bar;
  if (isatty(fileno(stderr))) progress.addListener(&bar);
  const tzk::Result extracted = archive.ExtractFiles(folder, &progress);
  const tzk::Result installer = extracted == tzk::code::kSuccess
                                    ? archive.ExtractInstaller(tzk::archive::JoinPath(folder, L"instup.exe"))
                                    : extracted;
  if (installer != tzk::code::kSuccess) {
    std::fprintf(stderr, "sfxpack extract: %s: cannot extract into %s (code 0x%x):\n", file.c_str(), dir.c_str(),
                 installer);
    printRecordsSince(first);
    return kExitOutputError;
  }
  if (archive.ExtractEmbeddedItems(folder) != tzk::code::kSuccess) archive.ExtractTailItems(folder);
  std::printf("%s: extracted %zu file(s) and instup.exe into %s\n", file.c_str(), archive.fileEntries().size(),
              dir.c_str());
  return kExitOk;
}

const CommandRegistration kExtract({"extract", "verify an installer and extract what the stub would", kHelp, run});

}  // namespace
}  // namespace sfxpack
