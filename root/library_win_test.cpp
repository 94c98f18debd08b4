#include "root/library.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>

#include "root/install_folders.h"
#include "vocabulary/scoped_handle.h"
#include "root/win_test_support.h"

namespace tzk::root {
namespace {

using testing::SystemIsWow64;

constexpr std::uint32_t kStubFlags = library_flag::kNoTempOrDataCreation;

std::wstring environmentValue(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
  return length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::wstring windowsFolder() {
  wchar_t folder[MAX_PATH];
  return std::wstring(folder, ::GetWindowsDirectoryW(folder, MAX_PATH));
}

// Puts the process environment back however a test left it.
class SystemRootGuard {
 public:
  SystemRootGuard() : saved_(environmentValue(L"SystemRoot")) {}
  ~SystemRootGuard() { ::SetEnvironmentVariableW(L"SystemRoot", saved_.c_str()); }

 private:
  std::wstring saved_;
};

TEST(LibraryStartUp, RepeatedStartsWorkOnceAndTheLastStopUndoes) {
  SystemRootGuard guard;
  // Stops of layers that never started do no harm.
  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_EQ(StopLibraryRuntime(), 0u);
  EXPECT_EQ(StopLibraryFolders(), 0u);
  EXPECT_EQ(StopLibraryBase(), 0u);

  ASSERT_EQ(StartLibrary(kStubFlags), 0u);

  // Were the second start to redo the work, it would put SystemRoot back.
  ::SetEnvironmentVariableW(L"SystemRoot", nullptr);
  ASSERT_EQ(StartLibrary(kStubFlags), 0u);
  EXPECT_EQ(environmentValue(L"SystemRoot"), L"");

  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_NE(FolderSecurityAttributes(), nullptr);
  EXPECT_NE(LibraryFolderModel().programFolder, L"");

  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_EQ(FolderSecurityAttributes(), nullptr);
  EXPECT_EQ(LibraryFolderModel().programFolder, L"");
  EXPECT_FALSE(IsXpSp2OrLater());  // the layers StartLibrary began are all down again
}

TEST(LibraryStartUp, TheMainSequenceOrderLeavesNothingStarted) {
  ASSERT_EQ(StartLibraryBase(), 0u);
  ASSERT_EQ(StartLibraryFolders(nullptr, L"", nullptr), 0u);
  ASSERT_EQ(StartLibrary(kStubFlags), 0u);
  ASSERT_EQ(StartLibraryRuntime(0), 0u);
  EXPECT_TRUE(IsXpSp2OrLater());

  EXPECT_EQ(StopLibraryRuntime(), 0u);
  EXPECT_NE(FolderSecurityAttributes(), nullptr);  // StartLibrary's runtime start still holds
  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_EQ(FolderSecurityAttributes(), nullptr);
  EXPECT_NE(LibraryFolderModel().windowsFolder, L"");
  EXPECT_EQ(StopLibraryFolders(), 0u);
  EXPECT_EQ(LibraryFolderModel().windowsFolder, L"");
  EXPECT_TRUE(IsXpSp2OrLater());
  EXPECT_EQ(StopLibraryBase(), 0u);
  EXPECT_FALSE(IsXpSp2OrLater());
}

TEST(LibraryStartUp, FolderOverridesAreNormalised) {
  ASSERT_EQ(StartLibraryFolders(L"C:\\Prog\\", L"D:", L"E:\\Temp//"), 0u);
  ASSERT_EQ(StartLibrary(kStubFlags), 0u);
  const LibraryFolders& model = LibraryFolderModel();
  EXPECT_EQ(model.programFolder, L"C:\\Prog");
  EXPECT_EQ(model.dataFolder, L"D:\\");
  EXPECT_EQ(model.tempFolder, L"E:\\Temp");
  EXPECT_EQ(model.tempRoot, L"E:\\Temp");
  EXPECT_EQ(model.journalFolder, L"D:\\journal");
  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_EQ(StopLibraryFolders(), 0u);
}

TEST(LibraryStartUp, MissingOrEmptySystemRootIsRestoredFromTheWindowsFolder) {
  SystemRootGuard guard;
  for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
    ::SetEnvironmentVariableW(L"SystemRoot", value);
    ASSERT_EQ(StartLibrary(kStubFlags), 0u);
    EXPECT_EQ(environmentValue(L"SystemRoot"), windowsFolder());
    EXPECT_EQ(StopLibrary(), 0u);
  }
}

TEST(ProcessFacts, OsKindAndWow64MatchTheSystem) {
  EXPECT_EQ(ProcessRunsUnderWow64(), SystemIsWow64());  // asked of the system
  ASSERT_EQ(StartLibraryRuntime(library_flag::kNoDeviceNoLocale), 0u);
  EXPECT_EQ(ProcessRunsUnderWow64(), SystemIsWow64());  // the runtime layer's flag

  // What the system says of itself, without the compatibility answers of GetVersionExW.
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  ASSERT_EQ(rtlGetVersion(&version), 0);
  const std::uint32_t kind = ClassifyOsKind(QueryOsVersion());
  EXPECT_EQ(kind, ClassifyOsKind(OsVersion{version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion,
                                           version.dwBuildNumber, 0}));
  EXPECT_GE(kind, os_kind::kWinXp);
  EXPECT_TRUE(IsXpSp2OrLater());

  EXPECT_EQ(StopLibraryRuntime(), 0u);
  EXPECT_EQ(StopLibraryBase(), 0u);  // the runtime layer started the base layer for itself
}

// The machine field of a PE image.
WORD imageMachine(const std::wstring& path) {
  vocabulary::ScopedFileHandle file(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  IMAGE_DOS_HEADER dos = {};
  DWORD read = 0;
  if (!file || !::ReadFile(file.get(), &dos, sizeof(dos), &read, nullptr)) return 0;
  struct {
    DWORD signature;
    WORD machine;
  } nt = {};
  ::SetFilePointer(file.get(), dos.e_lfanew, nullptr, FILE_BEGIN);
  if (!::ReadFile(file.get(), &nt, 6, &read, nullptr) || nt.signature != IMAGE_NT_SIGNATURE) return 0;
  return nt.machine;
}

TEST(FsRedirection, SwitchedOffAndBackForTheThread) {
  if (!SystemIsWow64()) GTEST_SKIP() << "no redirection on a 32-bit system";
  wchar_t system[MAX_PATH];
  ::GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring kernel = std::wstring(system) + L"\\kernel32.dll";
  EXPECT_EQ(imageMachine(kernel), IMAGE_FILE_MACHINE_I386);
  void* state = nullptr;
  ASSERT_EQ(DisableFsRedirection(&state), 0u);
  EXPECT_EQ(imageMachine(kernel), IMAGE_FILE_MACHINE_AMD64);
  ASSERT_EQ(RevertFsRedirection(state), 0u);
  EXPECT_EQ(imageMachine(kernel), IMAGE_FILE_MACHINE_I386);
}

bool tokenIsElevated(HANDLE token) {
  TOKEN_ELEVATION elevation = {};
  DWORD length = 0;
  return ::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length) &&
         elevation.TokenIsElevated;
}

TEST(UserAdmin, MatchesTheProcessToken) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidBytes = sizeof(sid);
  ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidBytes));
  BOOL member = FALSE;
  ASSERT_TRUE(::CheckTokenMembership(nullptr, sid, &member));
  vocabulary::ScopedKernelHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.receive()));
  EXPECT_EQ(IsUserAdmin(), member && tokenIsElevated(token.get()));

  // The other half of a split administrator token holds the group but is not elevated.
  TOKEN_LINKED_TOKEN linked = {};
  DWORD length = 0;
  if (!::GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof(linked), &length)) {
    GTEST_SKIP() << "no linked token";
  }
  vocabulary::ScopedKernelHandle other(linked.LinkedToken);
  if (tokenIsElevated(other.get())) GTEST_SKIP() << "the linked token is the elevated one";
  EXPECT_FALSE(IsAdminToken(other.get(), true));
  EXPECT_EQ(IsAdminToken(other.get(), false), IsAdminToken(token.get(), false));
}

// A token in more groups than 16 KiB hold, as a domain account may be: many domain groups, and
// Administrators, where the token has it, last. It answers as GetTokenInformation does: a
// buffer too small fails with 122 and says how many bytes the answer needs.
struct LargeToken {
  DWORD domainGroups = 1200;
  bool administrator = true;
  bool elevated = true;
};
LargeToken largeToken;

BOOL tooSmall(DWORD bytes, DWORD needed, DWORD* returned) {
  *returned = needed;
  if (bytes >= needed) return TRUE;
  ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return FALSE;
}

void initialiseSid(BYTE* sid, std::initializer_list<DWORD> subAuthorities) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  ::InitializeSid(sid, &nt, static_cast<BYTE>(subAuthorities.size()));
  DWORD i = 0;
  for (const DWORD subAuthority : subAuthorities) *::GetSidSubAuthority(sid, i++) = subAuthority;
}

BOOL WINAPI largeTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS kind, void* data, DWORD bytes, DWORD* needed) {
  if (kind == TokenElevation) {
    if (!tooSmall(bytes, sizeof(TOKEN_ELEVATION), needed)) return FALSE;
    static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = largeToken.elevated;
    return TRUE;
  }
  if (kind != TokenGroups) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD count = largeToken.domainGroups + (largeToken.administrator ? 1 : 0);
  const DWORD entriesBytes = offsetof(TOKEN_GROUPS, Groups) + count * sizeof(SID_AND_ATTRIBUTES);
  const DWORD sidBytes = ::GetSidLengthRequired(5);  // the longest here, S-1-5-21-a-b-c-rid
  if (!tooSmall(bytes, entriesBytes + count * sidBytes, needed)) return FALSE;
  auto* const start = static_cast<BYTE*>(data);
  reinterpret_cast<TOKEN_GROUPS*>(start)->GroupCount = count;
  auto* const entries = reinterpret_cast<SID_AND_ATTRIBUTES*>(start + offsetof(TOKEN_GROUPS, Groups));
  BYTE* sid = start + entriesBytes;
  for (DWORD i = 0; i < count; ++i, sid += sidBytes) {
    if (i < largeToken.domainGroups) {
      initialiseSid(sid, {SECURITY_NT_NON_UNIQUE, 1111, 2222, 3333, 1000 + i});
    } else {
      initialiseSid(sid, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    }
    entries[i] = {sid, SE_GROUP_ENABLED | SE_GROUP_MANDATORY};
  }
  return TRUE;
}

TEST(UserAdmin, ATokenInMoreGroupsThanAFixedBufferHoldsIsJudgedWhole) {
  DWORD needed = 0;
  ASSERT_FALSE(largeTokenInformation(nullptr, TokenGroups, nullptr, 0, &needed));
  ASSERT_GT(needed, 16384u);

  largeToken = {};
  EXPECT_TRUE(IsAdminToken(nullptr, true, &largeTokenInformation));
  largeToken.administrator = false;
  EXPECT_FALSE(IsAdminToken(nullptr, true, &largeTokenInformation));
  // Elevation still counts where it is asked for.
  largeToken = {};
  largeToken.elevated = false;
  EXPECT_FALSE(IsAdminToken(nullptr, true, &largeTokenInformation));
  EXPECT_TRUE(IsAdminToken(nullptr, false, &largeTokenInformation));
}

}  // namespace
}  // namespace tzk::root
