#include "root/library.h"

#include <clocale>
#include <cstdlib>
#include <memory>
#include <new>

#include "log/logger.h"
#include "vocabulary/path.h"
#include "vocabulary/recursive_lock.h"
#include "vocabulary/scoped_handle.h"
#include "root/install_folders.h"
#include "root/system_function.h"

namespace tzk::root {

namespace {

const log::ComponentTag kTagSfxarc(L"sfxarc");

constexpr wchar_t kLibraryDevice[] = L"\\\\.\\tzkSP";
constexpr wchar_t kProductKey[] = L"Software\\ZANTI Software\\Zanti";
// A token's groups change only through the system; one more read covers a change between the
// size and the read.
constexpr int kTokenGroupsAttempts = 3;
constexpr DWORD kFolderAclBytes = 2048;

struct BaseLayer {
  int starts = 0;
  std::uint32_t osKind = os_kind::kUnrecognised;
  bool xpSp2OrLater = false;
};

// The security attributes point into this object, which lives as long as the process.
struct RuntimeLayer {
  int starts = 0;
  bool wow64 = false;
  vocabulary::ScopedFileHandle device;
  bool securityReady = false;
  SECURITY_DESCRIPTOR folderDescriptor{};
  alignas(DWORD) BYTE folderAcl[kFolderAclBytes]{};
  SECURITY_ATTRIBUTES folderAttributes{};
};

struct FolderLayer {
  int starts = 0;
};

struct LibraryLayer {
  int starts = 0;
  bool startedFolders = false;  // so that StopLibrary undoes only what StartLibrary began
  bool startedRuntime = false;
};

BaseLayer gBase;
RuntimeLayer gRuntime;
FolderLayer gFolders;
LibraryLayer gLibrary;

// The layer locks stay for the life of the process: a lock freed at a last stop could be
// freed under a thread that is just starting the layer again. The base lock also guards the
// runtime layer; the folder lock guards the folder and library layers and is always taken
// before the base lock.
vocabulary::RecursiveLock& baseLock() {
  static vocabulary::RecursiveLock lock;
  return lock;
}

vocabulary::RecursiveLock& folderLock() {
  static vocabulary::RecursiveLock lock;
  return lock;
}

}  // namespace

OsVersion QueryOsVersion() {
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
  }
  // GetVersionExW reports what the manifest claims to support; the native call reports the truth.
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto rtlGetVersion = AsFunction<RtlGetVersionFunction>(FindLoadedFunction(L"NTDLL.DLL", "RtlGetVersion"));
  OSVERSIONINFOEXW native = {};
  native.dwOSVersionInfoSize = sizeof(native);
  if (rtlGetVersion != nullptr && rtlGetVersion(&native) == 0) info = native;
  return OsVersion{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                   info.wServicePackMajor};
}

namespace {

void gatherBaseFacts() {
  const OsVersion version = QueryOsVersion();
  gBase.osKind = ClassifyOsKind(version);
  gBase.xpSp2OrLater = IsXpSp2OrLater(version);
}

// WOW64 counts only where redirection can be switched, or there is nothing to switch.
bool systemSaysWow64() {
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const auto isWow64Process = AsFunction<IsWow64ProcessFunction>(FindLoadedFunction(L"KERNEL32.DLL", "IsWow64Process"));
  BOOL wow64 = FALSE;
  return isWow64Process != nullptr && FindLoadedFunction(L"KERNEL32.DLL", "Wow64EnableWow64FsRedirection") != nullptr &&
         isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

Result buildSecurityAttributes() {
  RuntimeLayer& r = gRuntime;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  alignas(DWORD) BYTE sid[SECURITY_MAX_SID_SIZE];
  auto* acl = reinterpret_cast<ACL*>(r.folderAcl);
  if (!::InitializeSid(sid, &world, 1)) return ::GetLastError();
  *::GetSidSubAuthority(sid, 0) = SECURITY_WORLD_RID;
  // Files below inherit full access; the folders themselves and their subfolders get it too.
  if (!::InitializeAcl(acl, kFolderAclBytes, ACL_REVISION) ||
      !::AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, GENERIC_ALL, sid) ||
      !::AddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, sid) ||
      !::InitializeSecurityDescriptor(&r.folderDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorDacl(&r.folderDescriptor, TRUE, acl, FALSE)) {
    return ::GetLastError();
  }
  r.folderAttributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), &r.folderDescriptor, FALSE};
  r.securityReady = true;
  return code::kSuccess;
}

Result startRuntime(std::uint32_t flags) {
  gRuntime.wow64 = systemSaysWow64();
  // Without the driver the device is simply not there; the library runs on without it.
  if (!(flags & library_flag::kNoDeviceNoLocale)) {
    gRuntime.device.reset(::CreateFileW(kLibraryDevice, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  const Result result = buildSecurityAttributes();
  if (result != code::kSuccess) return result;
  if (!(flags & library_flag::kNoDeviceNoLocale)) std::setlocale(LC_ALL, "");
  return code::kSuccess;
}

// The token's groups however many there are: an account may be in more groups than any fixed
// buffer holds, and a token read in part would make an administrator's run unprotected. The
// answer is asked for its size first; a size that grew meanwhile is asked for again. Null when
// the token cannot be read.
std::unique_ptr<SID_AND_ATTRIBUTES[]> readTokenGroups(HANDLE token, TokenInformationQuery query) {
  std::unique_ptr<SID_AND_ATTRIBUTES[]> buffer;  // aligned as TOKEN_GROUPS is
  DWORD bytes = 0;
  for (int attempt = 0; attempt < kTokenGroupsAttempts; ++attempt) {
    DWORD needed = 0;
    if (query(token, TokenGroups, buffer.get(), bytes, &needed)) return buffer;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= bytes) return nullptr;
    const DWORD entries = needed / sizeof(SID_AND_ATTRIBUTES) + 1;
    buffer.reset(new (std::nothrow) SID_AND_ATTRIBUTES[entries]);
    if (!buffer) return nullptr;
    bytes = entries * sizeof(SID_AND_ATTRIBUTES);
  }
  return nullptr;
}

std::uint32_t currentOsKind() { return gBase.starts > 0 ? gBase.osKind : ClassifyOsKind(QueryOsVersion()); }

// Child processes and the system's own DLLs need SystemRoot; a stripped environment (a
// service, a CreateProcess with a bare block) may lack it.
void restoreSystemRoot() {
  const std::wstring value = EnvironmentVariable(L"SystemRoot");
  if (!value.empty() && value[0] != L'%') return;
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
  if (length != 0 && length < MAX_PATH) ::SetEnvironmentVariableW(L"SystemRoot", windows);
}

// Only the first start does the work, and a first start that fails is undone by its own stop.
template <typename Work>
Result firstStart(int& starts, Work work, Result (*stop)()) {
  if (starts++ > 0) return code::kSuccess;
  const Result result = work();
  if (result != code::kSuccess) stop();
  return result;
}

// True for the stop that matches the first start; a stop without a start changes nothing.
bool isLastStop(int& starts) { return starts > 0 && --starts == 0; }

bool given(const wchar_t* text) { return text != nullptr && *text != L'\0'; }

Result startLibraryOnce(std::uint32_t flags) {
  if (gFolders.starts == 0) {
    const Result result = StartLibraryFolders(nullptr, nullptr, nullptr);
    if (result != code::kSuccess) return result;
    gLibrary.startedFolders = true;
  }
  // Part of the contract: the driver service's random name is drawn from this sequence.
  std::srand(::GetTickCount());
  restoreSystemRoot();
  const Result result = StartLibraryRuntime(flags);
  if (result != code::kSuccess) return result;
  gLibrary.startedRuntime = true;
  return ResolveLibraryFolders(flags);
}

}  // namespace

Result StartLibraryBase() {
  const vocabulary::Locked guard(baseLock());
  if (gBase.starts++ == 0) gatherBaseFacts();
  return code::kSuccess;
}

Result StopLibraryBase() {
  const vocabulary::Locked guard(baseLock());
  if (!isLastStop(gBase.starts)) return code::kSuccess;
  while (gRuntime.starts > 0) StopLibraryRuntime();
  gBase = BaseLayer{};
  return code::kSuccess;
}

Result StartLibraryRuntime(std::uint32_t flags) {
  const vocabulary::Locked guard(baseLock());
  if (gBase.starts == 0) {
    const Result result = StartLibraryBase();
    if (result != code::kSuccess) return result;
  }
  return firstStart(gRuntime.starts, [flags] { return startRuntime(flags); }, StopLibraryRuntime);
}

Result StopLibraryRuntime() {
  const vocabulary::Locked guard(baseLock());
  if (!isLastStop(gRuntime.starts)) return code::kSuccess;
  gRuntime.device.reset();
  gRuntime.wow64 = false;
  gRuntime.securityReady = false;
  return code::kSuccess;
}

Result StartLibraryFolders(const wchar_t* programFolder, const wchar_t* dataFolder, const wchar_t* tempFolder) {
  const vocabulary::Locked guard(folderLock());
  if (gFolders.starts > 0) {
    ++gFolders.starts;
    return code::kSuccess;
  }
  const Result result = StartLibraryBase();
  if (result != code::kSuccess) return result;
  ++gFolders.starts;

  LibraryFolders& model = LibraryFolderModel();
  model = LibraryFolders{};
  model.productKey = kProductKey;
  if (given(programFolder)) model.programFolder = vocabulary::NormaliseFolderPath(programFolder);
  if (given(dataFolder)) model.dataFolder = vocabulary::NormaliseFolderPath(dataFolder);
  if (given(tempFolder)) model.tempFolder = model.tempRoot = vocabulary::NormaliseFolderPath(tempFolder);
  if (GetWellKnownFolder(model.windowsFolder, well_known_folder::kWindows) == code::kSuccess &&
      !model.windowsFolder.empty() && model.windowsFolder.back() != L'\\') {
    model.windowsFolder.push_back(L'\\');
  }
  return code::kSuccess;
}

Result StopLibraryFolders() {
  const vocabulary::Locked guard(folderLock());
  if (!isLastStop(gFolders.starts)) return code::kSuccess;
  LibraryFolderModel() = LibraryFolders{};
  return StopLibraryBase();
}

Result StartLibrary(std::uint32_t flags) {
  const vocabulary::Locked guard(folderLock());
  return firstStart(gLibrary.starts, [flags] { return startLibraryOnce(flags); }, StopLibrary);
}

Result StopLibrary() {
  const vocabulary::Locked guard(folderLock());
  if (!isLastStop(gLibrary.starts)) return code::kSuccess;
  Result result = code::kSuccess;
  if (gLibrary.startedRuntime) result = StopLibraryRuntime();
  if (gLibrary.startedFolders) {
    const Result stopped = StopLibraryFolders();
    if (result == code::kSuccess) result = stopped;
  }
  gLibrary.startedRuntime = gLibrary.startedFolders = false;
  return result;
}

bool ProcessRunsUnderWow64() { return gRuntime.starts > 0 ? gRuntime.wow64 : systemSaysWow64(); }

bool IsXpSp2OrLater() { return gBase.xpSp2OrLater; }

bool IsUserAdmin() {
  vocabulary::ScopedKernelHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, token.receive())) return false;
  return IsAdminToken(token.get(), currentOsKind() > os_kind::kWinXp);
}

bool IsAdminToken(HANDLE token, bool requireElevation, TokenInformationQuery query) {
  if (requireElevation) {
    TOKEN_ELEVATION elevation = {};
    DWORD length = 0;
    if (!query(token, TokenElevation, &elevation, sizeof(elevation), &length) || !elevation.TokenIsElevated) {
      return false;
    }
  }
  const std::unique_ptr<SID_AND_ATTRIBUTES[]> buffer = readTokenGroups(token, query);
  if (!buffer) return false;

  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  alignas(DWORD) BYTE administrators[SECURITY_MAX_SID_SIZE];
  if (!::InitializeSid(administrators, &nt, 2)) return false;
  *::GetSidSubAuthority(administrators, 0) = SECURITY_BUILTIN_DOMAIN_RID;
  *::GetSidSubAuthority(administrators, 1) = DOMAIN_ALIAS_RID_ADMINS;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.get());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if (::EqualSid(groups->Groups[i].Sid, administrators)) return true;
  }
  return false;
}

namespace {

// What one of the two WOW64 redirection switches says about itself when it cannot be called.
struct RedirectionSwitch {
  const char* function;        // kernel32's export
  log::LogLevel missingLevel;  // a system without it has no redirection to switch
  const wchar_t* noKernel;
  const wchar_t* missing;
  const wchar_t* failed;
};

constexpr RedirectionSwitch kDisableRedirection = {
    "Wow64DisableWow64FsRedirection", log::level::kNotice,
    L"Failed to get a handle to kernel32.dll with error 0x%08lx!",
    L"Failed to get an address of the Wow64DisableWow64FsRedirection function with error 0x%08lx!",
    L"The call to Wow64DisableWow64FsRedirection function failed with error 0x%08lx!"};
constexpr RedirectionSwitch kRevertRedirection = {
    "Wow64RevertWow64FsRedirection", log::level::kDebug,
    L"Failed to get a handle to kernel32.dll with error 0x%08lx",
    L"Failed to get an address of the Wow64RevertWow64FsRedirection function with error 0x%08lx",
    L"The call to Wow64RevertWow64FsRedirection function failed with error 0x%08lx"};

// Function is the switch's own type; the state it takes is the only argument either has.
template <typename Function, typename State>
Result switchFsRedirection(const RedirectionSwitch& which, State state) {
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) {
    const DWORD error = ::GetLastError();
    log::theLogger().write(log::level::kError, kTagSfxarc, which.noKernel, error);
    return error;
  }
  const auto call = AsFunction<Function>(::GetProcAddress(kernel, which.function));
  if (call == nullptr) {
    log::theLogger().write(which.missingLevel, kTagSfxarc, which.missing, ::GetLastError());
    return code::kSuccess;
  }
  if (!call(state)) {
    const DWORD error = ::GetLastError();
    log::theLogger().write(log::level::kError, kTagSfxarc, which.failed, error);
    return error;
  }
  return code::kSuccess;
}

}  // namespace

Result DisableFsRedirection(void** previousState) {
  return switchFsRedirection<BOOL(WINAPI*)(PVOID*)>(kDisableRedirection, previousState);
}

Result RevertFsRedirection(void* previousState) {
  return switchFsRedirection<BOOL(WINAPI*)(PVOID)>(kRevertRedirection, previousState);
}

SECURITY_ATTRIBUTES* FolderSecurityAttributes() {
  return gRuntime.securityReady ? &gRuntime.folderAttributes : nullptr;
}

std::wstring OwnImagePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length != 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

std::wstring EnvironmentVariable(const wchar_t* name) {
  const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(name, &value[0], size);
  value.resize(length < size ? length : 0);
  return value;
}

}  // namespace tzk::root
