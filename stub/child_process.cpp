#include "stub/child_process.h"

#include <shlobj.h>

#include <cstdarg>
#include <cwctype>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "archive/format.h"
#include "log/logger.h"
#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"
#include "root/file_checks.h"
#include "root/last_failure.h"
#include "root/library.h"
#include "root/shell_api.h"
#include "stub/temp_folder.h"

namespace tzk::stub {

namespace {

const log::ComponentTag kTagSfxShared(L"sfxshared");

// Short enough that the window goes soon after the child's own is up, long enough not to spin.
constexpr DWORD kGuiShownPollMs = 333;

// Answers of an old installed setup program to "/copysfx".
constexpr std::uint32_t kOldSetupAgain = 0x2000000A;
constexpr std::uint32_t kOldSetupDone = 0x20000000;
constexpr std::uint32_t kOldSetupDoneToo = 0x20000001;

// Setups before this version do not understand "copy_sfx".
constexpr std::uint32_t kLastSetupWithoutCopy = 1995;

// A corrupt or hostile environment must not make us build an unbounded copy of it.
constexpr std::size_t kMaxEnvironmentEntries = 100000;

constexpr DWORD kRestartReason =
    SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION;
static_assert(kRestartReason == 0x80040002);

struct EnvironmentBlockTraits {
  using Handle = wchar_t*;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::FreeEnvironmentStringsW(h) != FALSE; }
};

void logRecord(log::LogLevel level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(level, kTagSfxShared, format, args);
  va_end(args);
}

// Backup semantics so that a folder counts too, all sharing so that a running setup does.
// Keeps the progress window up until the child's own window replaces it, or the child is gone.
void waitForChildGui(HANDLE process) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, TRUE};
  const vocabulary::ScopedKernelHandle event(::CreateEventW(&attributes, FALSE, FALSE, kSetupGuiShownEvent));
  if (!event) return;
  while (::WaitForSingleObject(event.get(), kGuiShownPollMs) == WAIT_TIMEOUT &&
         ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
  }
}

// The installed setup copies each new file into its own "Sfx" folder; true when both copies
// were made.
bool askSetupToCopy(const std::wstring& setup, const std::wstring& tempFolder) {
  for (const wchar_t* name : {archive::kInstallerFileName, L"Instup.dll"}) {
    const std::wstring source = vocabulary::JoinPath(tempFolder, name);
    CommandLine copy(L"");
    copy.Set(L"copy_sfx", source);
    copy.Set(L"wait", L"");
    const std::wstring arguments = copy.Format();
    std::uint32_t exitCode = 0;
    const Result result = runProcess({}, arguments.c_str(), setup, exitCode, nullptr);
    if (result != code::kSuccess || exitCode != 0) {
      logRecord(log::level::kNotice, L"Installed setup '%s' did not copy '%s' (code 0x%x, exit code 0x%x)",
                setup.c_str(), source.c_str(), result, exitCode);
      return false;
    }
  }
  return true;
}

// An old setup may answer "again" any number of times: it is waiting for its own work to end.
bool askOldSetupToCopy(const std::wstring& setup, const std::wstring& source, const SleepMilliseconds& sleep) {
  const std::wstring arguments = L"/copysfx \"" + source + L"\"";
  for (;;) {
    std::uint32_t exitCode = 0;
    const Result result = runProcess({}, arguments.c_str(), setup, exitCode, nullptr);
    if (result == code::kSuccess && exitCode == kOldSetupAgain) {
      sleep(kOldSetupRetryDelayMs);
      continue;
    }
    if (result == code::kSuccess && (exitCode == kOldSetupDone || exitCode == kOldSetupDoneToo)) return true;
    logRecord(log::level::kNotice, L"Old setup '%s' did not copy '%s' (code 0x%x, exit code 0x%x)", setup.c_str(),
              source.c_str(), result, exitCode);
    return false;
  }
}

std::wstring ownEnvironmentWithPathTo(const std::wstring& folder) {
  const vocabulary::ScopedHandle<EnvironmentBlockTraits> block(::GetEnvironmentStringsW());
  return block ? buildChildEnvironment(block.get(), folder) : std::wstring();
}

bool isPathEntry(std::wstring_view entry) {
  constexpr std::wstring_view kName = L"path=";
  if (entry.size() < kName.size()) return false;
  for (std::size_t i = 0; i < kName.size(); ++i) {
    if (static_cast<wchar_t>(::towlower(entry[i])) != kName[i]) return false;
  }
  return true;
}

// The privilege is enabled in the thread's own token when it impersonates, else the process's.
bool enableShutdownPrivilege() {
  constexpr DWORD kRights = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
  vocabulary::ScopedKernelHandle token;
  if (!::OpenThreadToken(::GetCurrentThread(), kRights, FALSE, token.receive()) &&
      !::OpenProcessToken(::GetCurrentProcess(), kRights, token.receive())) {
    return false;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) return false;
  // Success of the call alone says nothing: a token without the privilege reports it only here.
  return ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
         ::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

// However long the system takes to end a child it was told to end: its files stay in use until
// then.
constexpr DWORD kTerminationWaitMs = 5000;

// The installer is copied a piece at a time: it may be large, and is never held whole.
constexpr DWORD kCopyPiece = 1u << 16;

// Only administrators may change the copy, as the working folder.
HANDLE createProtectedFile(const std::wstring& path, CreateNewFile create) {
  bool isProtected = false;
  const HANDLE file = createProtected(create, path.c_str(), &isProtected);
  if (file != INVALID_HANDLE_VALUE && !isProtected) {
    logRecord(log::level::kNotice, L"'%s' is made with default security", path.c_str());
  }
  return file;
}

Result copyAll(HANDLE from, HANDLE to) {
  const std::unique_ptr<std::uint8_t[]> piece(new (std::nothrow) std::uint8_t[kCopyPiece]);
  if (!piece) return code::kNotEnoughMemory;
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(from, piece.get(), kCopyPiece, &read, nullptr)) return root::LastFailure();
    if (read == 0) return code::kSuccess;
    DWORD written = 0;
    if (!::WriteFile(to, piece.get(), read, &written, nullptr)) return root::LastFailure();
    if (written != read) return ERROR_WRITE_FAULT;
  }
}

// A copy of source at target, a new file, there only once it is complete: it is marked for
// deletion from its creation on until the last byte is written, so no way out (a failed read or
// write, a fault, the process ended) leaves part of it.
Result copyToNewFile(HANDLE source, const std::wstring& target, CreateNewFile create) {
  vocabulary::ScopedFileHandle copy(createProtectedFile(target, create));
  if (!copy) return root::LastFailure();
  if (const Result marked = root::SetDeletePending(copy.get(), true)) {
    // Still empty, and in a folder only administrators may change: it goes by its name.
    copy.reset();
    ::DeleteFileW(target.c_str());
    return marked;
  }
  if (const Result copied = copyAll(source, copy.get())) return copied;
  return root::SetDeletePending(copy.get(), false);
}

}  // namespace

DWORD waitForProcessEnd(HANDLE process) { return ::WaitForSingleObject(process, INFINITE); }

Result runProcess(const CloseWindow& closeWindow, const wchar_t* arguments, const std::wstring& application,
                  std::uint32_t& exitCode, const wchar_t* environment, bool* childMayRun, WaitForProcess wait) {
  exitCode = 0;
  if (childMayRun != nullptr) *childMayRun = false;
  if (!vocabulary::IsAbsolutePath(application.c_str())) {
    logRecord(log::level::kError, L"Refusing to start '%s': not an absolute path (code 0x%x)", application.c_str(),
              code::kBadPathname);
    return code::kBadPathname;
  }
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::wstring commandLine = L"\"" + application + L"\"";
  if (arguments != nullptr) commandLine.append(L" ").append(arguments);
  if (commandLine.size() >= kCommandLineUnits) {
    logRecord(log::level::kError, L"Command line of process '%s' is too long (%lu units, at most %lu)",
              application.c_str(), static_cast<unsigned long>(commandLine.size()),
              static_cast<unsigned long>(kCommandLineUnits - 1));
    return code::kFilenameTooLong;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, const_cast<wchar_t*>(environment), nullptr,
                        &startup, &info)) {
    const Result error = root::LastFailure();
    logRecord(log::level::kError, L"Error creating process '%s' (code 0x%x)", application.c_str(), error);
    return error;
  }
  const vocabulary::ScopedKernelHandle process(info.hProcess);
  const vocabulary::ScopedKernelHandle thread(info.hThread);
  // From here until it is seen to end, whatever way out this takes (a failed wait, a fault or
  // an exception in the waits below), its files are in use.
  if (childMayRun != nullptr) *childMayRun = true;

  // The child's window must come to the front although the stub's process owns the foreground.
  ::AllowSetForegroundWindow(info.dwProcessId);
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    // A child that never runs would keep us waiting for ever.
    const Result error = root::LastFailure();
    if (::TerminateProcess(process.get(), error) &&
        ::WaitForSingleObject(process.get(), kTerminationWaitMs) == WAIT_OBJECT_0 && childMayRun != nullptr) {
      *childMayRun = false;
    }
    logRecord(log::level::kError, L"Error resuming process '%s' (code 0x%x)", application.c_str(), error);
    return error;
  }
  if (closeWindow) {
    waitForChildGui(process.get());
    closeWindow();
  }

  if (wait(process.get()) != WAIT_OBJECT_0) {
    // Its exit code would read STILL_ACTIVE, and its files are still in use.
    const Result error = root::LastFailure();
    logRecord(log::level::kError, L"Cannot wait for process '%s' to end (code 0x%x); it may still run",
              application.c_str(), error);
    return error;
  }
  if (childMayRun != nullptr) *childMayRun = false;
  DWORD childExitCode = 0;
  if (!::GetExitCodeProcess(process.get(), &childExitCode)) {
    const Result error = root::LastFailure();
    logRecord(log::level::kError, L"Cannot get exit code of process '%s' (code 0x%x)", application.c_str(), error);
    return error;
  }
  exitCode = childExitCode;
  return code::kSuccess;
}

void handOverToInstalledProduct(CommandLine& options, const std::wstring& tempFolder, const std::wstring& setupFolder,
                                std::uint32_t setupVersion, std::wstring& childPath, std::wstring& childEnvironment,
                                const RegisterWithSelfDefense& registerWithSelfDefense,
                                const SleepMilliseconds& sleep) {
  for (const wchar_t* key : {L"cookie", L"build_id"}) {
    if (!options.Has(key)) options.Set(key, L"");
  }
  // The installed product's driver must let the new installer through; without it the copy
  // simply fails later, so the result does not matter here.
  if (registerWithSelfDefense) registerWithSelfDefense(::GetCurrentProcessId(), true);
  // A relative or empty folder would be looked up from the current directory, typically the
  // download folder: nothing is run from it.
  if (!vocabulary::IsAbsolutePath(setupFolder.c_str())) return;

  const std::wstring sfxFolder = vocabulary::JoinPath(setupFolder, L"Sfx");
  const std::wstring setup = vocabulary::JoinPath(setupFolder, archive::kInstallerFileName);
  // A version that was never read is all bits set and counts as new.
  if (root::PathOpens(setup) && setupVersion > kLastSetupWithoutCopy) {
    if (askSetupToCopy(setup, tempFolder)) childPath = vocabulary::JoinPath(sfxFolder, archive::kInstallerFileName);
    return;
  }
  const std::wstring oldSetup = vocabulary::JoinPath(setupFolder, L"setup.ovr");
  const std::wstring tempSetup = vocabulary::JoinPath(tempFolder, archive::kInstallerFileName);
  if (root::PathOpens(oldSetup) && askOldSetupToCopy(oldSetup, tempSetup, sleep)) {
    childPath = vocabulary::JoinPath(sfxFolder, L"zanti.setup");
    // The copied installer still loads its companions from the temporary folder.
    childEnvironment = ownEnvironmentWithPathTo(tempFolder);
  }
}

std::wstring buildChildEnvironment(const wchar_t* block, const std::wstring& folder) {
  std::vector<std::wstring_view> entries;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += entries.back().size() + 1) {
    if (entries.size() + 1 >= kMaxEnvironmentEntries) return {};
    entries.emplace_back(entry);
  }
  std::wstring result;
  bool extended = false;
  for (const std::wstring_view entry : entries) {
    result.append(entry);
    if (!extended && isPathEntry(entry)) {
      if (entry.back() != L';') result += L';';
      result.append(folder).append(L";");
      extended = true;
    }
    result += L'\0';
  }
  if (!extended) return {};
  result += L'\0';
  return result;
}

HANDLE createNewFile(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  return ::CreateFileW(path, GENERIC_WRITE | DELETE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void linkSfxToDesktop(CreateNewFile create) {
  const std::wstring path = root::OwnImagePath();
  if (path.empty()) return;
  const std::wstring fileName = vocabulary::FileNameOf(path);

  std::wstring target;
  if (!root::GetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, target)) return;
  target.append(L"\\").append(fileName);
  if (target.size() >= MAX_PATH) return;
  // Shared for reading only, as the archive holds it open: nobody can write it while it is copied.
  const vocabulary::ScopedFileHandle source(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  const Result copied = source ? copyToNewFile(source.get(), target, create) : root::LastFailure();
  // A file of that name already there (the user's own, or a link) is left as it is.
  if (copied != code::kSuccess) {
    logRecord(log::level::kNotice, L"No copy of the SFX on the users' desktop as '%s' (code 0x%x)", target.c_str(),
              copied);
  }
}

void restartWindows(InitiateShutdown initiateShutdown) {
  logRecord(log::level::kInfo, L"Reboot: Restarting windows...");
  if (!enableShutdownPrivilege()) {
    logRecord(log::level::kError, L"Reboot: AdjustPrivilege for SE_SHUTDOWN_NAME has failed.");
    return;
  }
  // No message, no delay, and applications may still ask the user to save their work.
  if (!initiateShutdown(nullptr, nullptr, 0, FALSE, TRUE, kRestartReason)) {
    logRecord(log::level::kError, L"Reboot: InitiateSystemShutdownEx returned 0x%08X", ::GetLastError());
  }
}

}  // namespace tzk::stub
