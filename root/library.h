// Process-wide facts of the platform library and the layered, reference-counted start-up that
// gathers them. Every start may be repeated; only the first does the work and only the
// matching last stop undoes it. The facts are written during the first start and only read
// afterwards, so the accessors take no lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "root/os_version.h"
#include "vocabulary/result.h"

namespace tzk::root {

namespace library_flag {
constexpr std::uint32_t kNoDeviceNoLocale = 0x1;  // skip the device handle and setlocale
constexpr std::uint32_t kNoFolderCreation = 0x2;  // resolve folders without creating any
constexpr std::uint32_t kNoTempOrDataCreation = 0x4;  // no temporary folder, no data subfolders
}  // namespace library_flag

Result StartLibraryBase();
Result StopLibraryBase();
Result StartLibraryRuntime(std::uint32_t flags);
Result StopLibraryRuntime();
// Overrides are folders the caller already knows; null or empty for none.
Result StartLibraryFolders(const wchar_t* programFolder, const wchar_t* dataFolder, const wchar_t* tempFolder);
Result StopLibraryFolders();
Result StartLibrary(std::uint32_t flags);
Result StopLibrary();

// WOW64 with file-system redirection that can be switched: the runtime layer's flag while it
// is up, asked of the system directly otherwise.
bool ProcessRunsUnderWow64();
bool IsXpSp2OrLater();  // false before the base layer starts
// The system's own version numbers (the native call's, not what the manifest makes
// GetVersionExW claim); asked at once, whether or not the library has started.
OsVersion QueryOsVersion();
bool IsUserAdmin();

// The full path of the process's own image; empty when it does not fit MAX_PATH (XP reports a
// cut path as success, so a full buffer counts as cut).
std::wstring OwnImagePath();

// The variable's value; empty when it is not set.
std::wstring EnvironmentVariable(const wchar_t* name);
// GetTokenInformation's shape. Tests hand in tokens that no system lets them make (one in more
// groups than a fixed buffer would hold); everyone else takes the system's.
using TokenInformationQuery = BOOL(WINAPI*)(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* data, DWORD bytes,
                                            DWORD* needed);
// The test behind IsUserAdmin for any token: elevated where asked, and a member of the
// built-in Administrators group, however many groups the token holds.
bool IsAdminToken(HANDLE token, bool requireElevation, TokenInformationQuery query = &::GetTokenInformation);

Result DisableFsRedirection(void** previousState);
Result RevertFsRedirection(void* previousState);

// Security attributes of the runtime layer, null before it starts: they grant Everyone full
// access, inherited, and are used for every folder the library creates.
SECURITY_ATTRIBUTES* FolderSecurityAttributes();

}  // namespace tzk::root
