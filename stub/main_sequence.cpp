#include "stub/main_sequence.h"

#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <new>
#include <optional>

#include "archive/format.h"
#include "archive/sfx_archive.h"
#include "crashguard/beside_task.h"
#include "crashguard/crash_guard.h"
#include "vocabulary/path.h"
#include "log/wide_format.h"
#include "ping/analytics_ping.h"
#include "ping/analytics_request.h"
#include "progress/listeners/progress_animator.h"
#include "progress/listeners/sfx_progress.h"
#include "root/file_checks.h"
#include "root/install_folders.h"
#include "root/library.h"
#include "root/shell_api.h"
#include "selfdefense/control_device.h"
#include "selfdefense/dll_load_guard.h"
#include "selfdefense/driver_service.h"
#include "stub/child_process.h"
#include "stub/command_line.h"
#include "stub/data_root.h"
#include "stub/file_removal.h"
#include "stub/run_values.h"
#include "stub/temp_folder.h"

namespace tzk::stub {

const log::ComponentTag kTagQelvo(L"Qelvo");

namespace {

constexpr wchar_t kTitle[] = L"zanti! Antivirus";
constexpr std::size_t kMessageUnits = 264;
constexpr std::int64_t kStubLifetimeSeconds = 31536000;  // 365 days

void logAt(log::LogLevel level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(level, kTagQelvo, format, args);
  va_end(args);
}

std::wstring commonAppDataFolder() {
  std::wstring folder;
  root::GetSpecialFolder(CSIDL_COMMON_APPDATA, folder);
  return folder;
}

// Without a data root of its own the run keeps no log file: records still reach the debugger.
void openSetupLog(const DataPaths& paths, bool safe) {
  log::theLogger().configure(nullptr, safe ? paths.logFile.c_str() : nullptr);
}

// Files of type "FILE" that the stub may carry for the installer, written beside it.
struct ResourceFile {
  int id;
  const wchar_t* name;
};
constexpr ResourceFile kResourceFiles[] = {
    {2001, L"~tzkOfferTool.exe"}, {2000, L"GuiCust.dll"}, {2002, archive::item::kCustomizationFile}};

// A file that cannot be written whole is skipped, and not left half-written for the child.
void writeResourceFile(HINSTANCE instance, const ResourceFile& file, const std::wstring& folder) {
  HRSRC found = ::FindResourceW(instance, MAKEINTRESOURCEW(file.id), L"FILE");
  if (found == nullptr) return;
  const DWORD size = ::SizeofResource(instance, found);
  HGLOBAL loaded = ::LoadResource(instance, found);
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr) return;
  const std::wstring path = vocabulary::JoinPath(folder, file.name);
  vocabulary::ScopedFileHandle out(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return;
  DWORD written = 0;
  const bool whole = ::WriteFile(out.get(), bytes, size, &written, nullptr) && written == size;
  if (!out.reset() || !whole) ::DeleteFileW(path.c_str());
}

// One run of the stub: the state of the sequence and its steps, in the order they happen.
class MainSequence {
 public:
  MainSequence(HINSTANCE instance, const wchar_t* rawArguments, const SequenceSteps& steps)
      : instance_(instance), rawArguments_(rawArguments != nullptr ? rawArguments : L""), steps_(steps) {}

  Result run();

 private:
  bool prepare();
  bool checkSystem();
  bool openArchive();
  void startEarlySelfDefense();
  bool extract();
  void launch();
  void cleanUp();
  template <typename Step>
  void cleanUpStep(const wchar_t* name, Step step);

  void abortWith(Result code, const wchar_t* title, HWND owner, const wchar_t* format, ...);
  void stoppedByException(Result code, const char* what);
  void startSelfDefense();

  HINSTANCE instance_;
  std::wstring rawArguments_;
  const SequenceSteps& steps_;
  Result result_ = code::kSuccess;
  CommandLine options_;
  bool silent_ = false;
  bool debug_ = false;
  bool administrator_ = false;
  bool installed_ = false;
  std::wstring setupFolder_;
  std::uint32_t setupVersion_ = 0xFFFFFFFFu;
  std::wstring modulePath_;
  std::wstring tempFolder_;
  vocabulary::ScopedFileHandle tempFolderHeld_;  // from its creation until it is emptied
  std::wstring childPath_;
  std::wstring childEnvironment_;
  std::uint32_t childExitCode_ = 0;
  std::uint64_t visitorId_ = 0;
  archive::SfxArchive archive_;
  // The archive judged (its signature checked, its map read) from the start of the run, beside
  // the steps before it, which mostly wait on the network and the service manager. The verdict is
  // taken, and logged, at the archive's step, as if judged there, and no step uses the archive
  // before. Declared after what it writes, so that a run ending earlier waits for it first.
  archive::LoadVerdict verdict_;
  std::optional<CrashGuard::BesideTask> judging_;
  progress::SfxProgress registryProgress_;
  progress::ProgressCallback progress_;
  std::optional<progress::ProgressAnimator> animator_;  // made right after the ping
  std::wstring serviceName_;
  DataPaths paths_;
  bool dataRootSafe_ = false;  // only administrators can change it, or the run is a limited one
  bool libraryStarted_ = false;
  bool childMayRun_ = false;  // started, but not seen to end
};

// Sets the result, tells the user unless silent, and leaves the record; the caller then goes
// to the clean-up. The text is formatted once, into the message buffer's size.
void MainSequence::abortWith(Result code, const wchar_t* title, HWND owner, const wchar_t* format, ...) {
  result_ = code;
  wchar_t message[kMessageUnits];
  va_list args;
  va_start(args, format);
  log::formatInto(message, kMessageUnits, format, args);
  va_end(args);
  message[kMessageUnits - 1] = L'\0';
  if (!silent_) ::MessageBoxW(owner, message, title, MB_OK | MB_ICONERROR);
}

// Whatever the sequence had made (folder, driver service, window, library) is still cleaned up;
// the run ends with code.
void MainSequence::stoppedByException(Result code, const char* what) {
  result_ = code;
  std::wstring text;
  for (const char* c = what; *c != '\0' && text.size() < 200; ++c) text += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  logAt(log::level::kFatal, L"The installer stopped on an unexpected exception (%s); cleaning up (code 0x%x)",
        text.c_str(), code);
}

Result MainSequence::run() {
  modulePath_ = root::OwnImagePath();
  judging_.emplace([this] { verdict_ = archive_.JudgeWithCompiledKeys(modulePath_.c_str()); });
  visitorId_ = ping::sendAnalyticsPing(steps_.analyticsSettings());
  animator_.emplace(instance_);
  logAt(log::level::kInfo, L"Entering Zanti SFX stub guarded code section.");
  try {
    if (prepare() && checkSystem() && openArchive()) {
      startEarlySelfDefense();
      if (result_ == code::kSuccess && extract()) launch();
    }
  } catch (const CrashGuard::SEException&) {
    // A fault of the processor, on this thread or an extraction lane: the crash guard has its
    // dump, and it leaves the entry routine, but what the run made is still taken away.
    cleanUp();
    throw;
  } catch (const std::bad_alloc&) {
    stoppedByException(code::kNotEnoughMemory, "out of memory");
  } catch (const std::exception& e) {
    stoppedByException(code::kUnhandledException, e.what());
  } catch (...) {
    stoppedByException(code::kUnhandledException, "unknown");
  }
  cleanUp();
  logAt(log::level::kInfo, L"Leaving Zanti SFX stub guarded code section (return code 0x%x)", result_);
  return result_;
}

// What every later step relies on: the data root and the setup log, the platform library, who
// runs the stub, its command line and its own path. Nothing here ends the run.
bool MainSequence::prepare() {
  // Who runs the stub decides where it may write, so it is asked before anything is written.
  administrator_ = steps_.isUserAdmin();
  paths_ = makeDataPaths(commonAppDataFolder());
  dataRootSafe_ = prepareDataRoot(paths_, administrator_);
  openSetupLog(paths_, dataRootSafe_);
  // An elevated run's dump holds its memory: only where administrators alone can read and
  // change anything, or nowhere.
  if (administrator_ && dataRootSafe_) {
    CrashGuard::SetDumpFolder(paths_.logsFolder());
  } else if (administrator_) {
    CrashGuard::SetNoDumpPlace();
  }

  libraryStarted_ = root::StartLibrary(root::library_flag::kNoTempOrDataCreation) == code::kSuccess;
  selfdefense::InstallDllLoadGuard();

  options_.Parse(::GetCommandLineW(), true);
  silent_ = options_.Has(L"silent");
  debug_ = options_.Has(L"debug");

  if (!modulePath_.empty()) logAt(log::level::kInfo, L"Running SFX '%s'", modulePath_.c_str());
  return true;
}

bool isServiceRunning(const wchar_t* name) {
  vocabulary::ScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  vocabulary::ScopedServiceHandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status{};
  return service && ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

// Whether this machine may be installed on (its age, an earlier installation, a damaged one),
// then the progress listeners and the window.
bool MainSequence::checkSystem() {
  const root::OsVersion version = root::QueryOsVersion();
  if (!root::IsXpSp2OrLater(version)) {
    abortWith(code::kOldWinVersion, kTitle, nullptr,
              L"We are sorry but zanti! Antivirus %d requires Windows XP SP2 or higher. Please, consider update or "
              L"download zanti! Antivirus 8.",
              2015);
    logAt(log::level::kError, L"zanti! installer cannot continue because OS is too old. Version: %u.%u.%u",
          version.major, version.minor, version.servicePackMajor);
    return false;
  }

  std::wstring dataFolder, programFolder;
  installed_ = root::FindInstallationFolders(dataFolder, &setupFolder_, programFolder, &setupVersion_);
  // Still an installation (its service is no damage); the hand-over runs nothing from a folder
  // that the current directory, typically Downloads, would resolve.
  if (installed_ && !vocabulary::IsAbsolutePath(setupFolder_.c_str())) {
    logAt(log::level::kNotice, L"Installation folder '%s' is not an absolute path; nothing is run from it",
          setupFolder_.c_str());
  }
  // A marker in a data root that could not be made safe may be anyone's: the test is made then.
  if (!installed_ && !(dataRootSafe_ && rebootMarkerPresent(paths_.rebootMarker))) {
    for (const wchar_t* service : {L"tzkSP", L"tzkFsBlk", L"zanti! Antivirus"}) {
      if (!isServiceRunning(service)) continue;
      abortWith(code::kDamagedInstallation, L"Corrupted zanti! Antivirus detected.", nullptr,
                L"The installer has detected corrupted zanti! Antivirus installation on this computer (service '%s' "
                L"is running), thus this installer cannot continue. Use the 'zanticlear.exe' utility to fix the "
                L"problem or contact the zanti! support team.",
                service);
      logAt(log::level::kFatal,
            L"Zanti was not detected but service '%s' is running. There is a corrupted zanti installation, thus "
            L"this installer cannot continue.",
            service);
      return false;
    }
  }

  progress_.addListener(&registryProgress_);
  progress_.addListener(&*animator_);
  if (!silent_) animator_->startThread();
  return true;
}

// The archive, verified as it loads, the run's own temporary folder, and the archive's command
// line in place of the user's.
bool MainSequence::openArchive() {
  judging_->wait();
  archive::LogVerdict(verdict_, modulePath_.c_str());
  const Result loaded = verdict_.code;
  if (loaded != code::kSuccess) {
    abortWith(loaded, kTitle, animator_->window(), L"The installer cannot open the SFX archive '%s'. (code 0x%x)",
              modulePath_.c_str(), loaded);
    logAt(log::level::kError, L"Cannot open the SFX archive '%s' (code 0x%x)", modulePath_.c_str(), loaded);
    return false;
  }
  // Without a folder of its own the run must not extract anywhere: it ends here.
  bool protectedFolder = false;
  const Result made = makeTempFolder(&tempFolder_, &tempFolderHeld_, administrator_, &protectedFolder);
  if (made != code::kSuccess) {
    abortWith(made, kTitle, animator_->window(), L"The installer cannot create a temporary folder. (code 0x%x)", made);
    logAt(log::level::kError, L"Cannot create a temporary folder (code 0x%x)", made);
    return false;
  }
  if (!protectedFolder) {
    logAt(administrator_ ? log::level::kWarning : log::level::kInfo,
          L"The temporary folder '%s' has default security: the protected descriptor cannot be applied",
          tempFolder_.c_str());
  }
  replaceVariable(archive_.commandLine(), L"%TMPPATH%", tempFolder_);
  options_.Parse(archive_.commandLine(), false);
  return true;
}

// Early self-defense: an old stub marks its run instead; debug runs and users without administrator
// rights go without.
void MainSequence::startEarlySelfDefense() {
  const std::int64_t built = steps_.buildTimestamp();
  if (built != 0 && built + kStubLifetimeSeconds < static_cast<std::int64_t>(std::time(nullptr)) &&
      options_.Has(L"sfx") && options_.Value(L"sfx").empty()) {
    options_.Set(L"sfx", L"old");
    return;
  }
  if (debug_ || !administrator_) return;
  startSelfDefense();
}

void MainSequence::startSelfDefense() {
  const Result started = steps_.installEarlySelfDefense(tempFolder_, serviceName_, archive_);
  switch (started) {
    case code::kSuccess:
      return;
    case code::kNotFound:
      logAt(log::level::kNotice, L"Early zanti! self-defense is missing from SFX.");
      return;
    case code::kFileNotFound:
    case code::kPathNotFound:
      logAt(log::level::kError, L"Unable to initialize early zanti! self-defense with error 0x%08lx!", started);
      return;
    default:
      abortWith(started, kTitle, animator_->window(),
                L"The installer is unable to initialize early zanti! self-defense with error 0x%08lx! Aborting!",
                started);
      logAt(log::level::kFatal, L"Unable to initialize early zanti! self-defense with error 0x%08lx! Aborting!",
            started);
  }
}

// Everything the child needs, in its folder: embedded items, resource files, the definition
// files and the installer/updater itself.
bool MainSequence::extract() {
  steps_.extractItems(archive_, tempFolder_);
  for (const auto& [file, option] : {std::pair{archive::item::kBusinessConfigFile, L"bconfig"},
                                     std::pair{archive::item::kBusinessKeyFile, L"bpubkey"}}) {
    const std::wstring path = vocabulary::JoinPath(tempFolder_, file);
    if (root::PathExists(path)) options_.Set(option, path);
  }
  for (const ResourceFile& file : kResourceFiles) writeResourceFile(instance_, file, tempFolder_);

  archive::SfxArchive::InstallerTask installer{archive::kInstallerFileName};
  const Result files = steps_.extractFiles(archive_, tempFolder_, &progress_, &installer);
  if (files != code::kSuccess) {
    abortWith(files, kTitle, animator_->window(), L"The installer cannot extract VPS files to '%s' (code 0x%x)",
              tempFolder_.c_str(), files);
    logAt(log::level::kError, L"Cannot extract VPS files to '%s' (code 0x%x)", tempFolder_.c_str(), files);
    return false;
  }
  childPath_ = vocabulary::JoinPath(tempFolder_, installer.name);
  if (installer.result != code::kSuccess) {
    abortWith(installer.result, kTitle, animator_->window(),
              L"The installer cannot extract installer/updater executable to '%s'. (code 0x%x)", childPath_.c_str(),
              installer.result);
    logAt(log::level::kError, L"Cannot extract installer/updater executable to '%s' (code 0x%x)",
          childPath_.c_str(), installer.result);
    return false;
  }
  return true;
}

// The hand-over to an installed product, then the child, waited for, and its exit code as the
// run's result.
void MainSequence::launch() {
  if (installed_) {
    handOverToInstalledProduct(options_, tempFolder_, setupFolder_, setupVersion_, childPath_, childEnvironment_,
                               &selfdefense::RegisterWithSelfDefense);
  }
  logAt(log::level::kInfo, L"Starting installer/updater executable '%s'", childPath_.c_str());
  options_.Set(L"ga_code", ping::formatVisitorId(visitorId_));
  const std::wstring arguments = BuildChildArguments(options_, rawArguments_);

  // The window, while it shows, closes once the child says its own window is up.
  CloseWindow closeWindow;
  if (animator_->window() != nullptr) closeWindow = [this] { animator_->stop(); };
  const Result launched = runProcess(closeWindow, arguments.c_str(), childPath_, childExitCode_,
                                     childEnvironment_.empty() ? nullptr : childEnvironment_.c_str(), &childMayRun_,
                                     steps_.waitForChild);
  if (launched != code::kSuccess) {
    abortWith(launched, kTitle, animator_->window(), L"The stub cannot run installer/updater executable '%s' (code 0x%x)",
              childPath_.c_str(), launched);
    logAt(log::level::kError, L"The stub cannot run installer/updater executable '%s' (code 0x%x)",
          childPath_.c_str(), launched);
    return;
  }
  result_ = childExitCode_;
  if (result_ != code::kSuccess && result_ != code::kDamagedInstallation) {
    logAt(log::level::kNotice, L"Installation failed; creating a hardlink of the SFX on the users' desktop.");
    linkSfxToDesktop();
  }
  logAt(log::level::kInfo, L"Installer/updater executable '%s' finished (process return code 0x%x)",
        childPath_.c_str(), result_);
}

// Runs on every way out, in this order; its failures only leave records. A step that throws is
// logged, and the steps after it still run: the driver service, the window and the library are
// never left behind because the folder's removal, say, ran out of memory.
void MainSequence::cleanUp() {
  bool restart = false;
  cleanUpStep(L"restart request", [&] {
    restart = !tempFolder_.empty() && root::PathExists(vocabulary::JoinPath(tempFolder_, L"Reboot.txt"));
  });
  // Files under a child that may still run are removed at the next restart instead.
  cleanUpStep(L"temporary folder", [&] {
    if (!tempFolder_.empty()) removeTree(tempFolder_, L"*.*", debug_ || childMayRun_, &tempFolderHeld_);
  });
  // The self-defense is taken down only after the child: it protects what the child installs.
  cleanUpStep(L"self-defense", [&] {
    if (childMayRun_) {
      logAt(log::level::kNotice, L"The installer/updater may still run; early zanti! self-defense is left to it.");
    } else if (const Result cleaned = steps_.cleanUpEarlySelfDefense(serviceName_)) {
      logAt(log::level::kError, L"Cannot clean up zanti! self-defense platform with error 0x%08lx!", cleaned);
    }
  });
  cleanUpStep(L"progress window", [&] { animator_->stop(); });
  cleanUpStep(L"library", [&] {
    if (libraryStarted_) root::StopLibrary();
  });
  if (restart) cleanUpStep(L"restart", [] { restartWindows(); });
}

template <typename Step>
void MainSequence::cleanUpStep(const wchar_t* name, Step step) {
  try {
    step();
  } catch (...) {
    logAt(log::level::kError, L"The clean-up step '%s' stopped on an exception; the clean-up goes on", name);
  }
}

}  // namespace

SequenceSteps::SequenceSteps()
    : isUserAdmin(&root::IsUserAdmin),
      buildTimestamp(&stub::buildTimestamp),
      waitForChild(&waitForProcessEnd),
      installEarlySelfDefense(&selfdefense::InstallEarlySelfDefense),
      extractItems([](archive::SfxArchive& archive, const std::wstring& folder) { return archive.ExtractItems(folder); }),
      cleanUpEarlySelfDefense(&selfdefense::CleanUpEarlySelfDefense),
      extractFiles([](archive::SfxArchive& archive, const std::wstring& folder, progress::ProgressCallback* progress,
                      archive::SfxArchive::InstallerTask* installer) {
        return archive.ExtractFiles(folder, progress, nullptr, installer);
      }),
      analyticsSettings(&ping::compiledAnalyticsSettings) {}

Result runMainSequence(HINSTANCE instance, const wchar_t* rawArguments, const SequenceSteps& steps) {
  MainSequence sequence(instance, rawArguments, steps);
  return sequence.run();
}

}  // namespace tzk::stub
