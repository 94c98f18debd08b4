// The guard against modules that the windowing library loads into the stub on its own
// initiative (system-wide hook and accessibility modules): while the self-defense driver says
// it is active, such loads are refused unless the module is known to be harmless.
#pragma once

#include <windows.h>

#include <string>

#include "vocabulary/result.h"

namespace tzk::selfdefense {

// Points user32's import of kernel32!LoadLibraryExW at GuardedLoadLibraryExW, after filling
// the known-good list. Calls the stub makes itself are not affected. Installed once, on the
// main thread, and never removed. 0, or 998 when the import entry cannot be written.
Result InstallDllLoadGuard();

// LoadLibraryExW with the guard's verdict in front: full paths loaded with exactly
// LOAD_WITH_ALTERED_SEARCH_PATH are refused (null, last error 5) when they are not known-good
// and the driver reports itself active. Every other call goes straight through.
HMODULE WINAPI GuardedLoadLibraryExW(const wchar_t* name, HANDLE file, DWORD flags);

// The pieces the guard is made of, open to its tests.

// Writes replacement over the first import address entry of module that was bound to
// function from importedModule (compared without regard to case). 0 when there is no such
// descriptor or entry; 998 when the entry cannot be written.
Result ReplaceImportEntry(HMODULE module, const char* importedModule, FARPROC function, FARPROC replacement);

// Both texts upper-case. "?" is one character, "*" any run (a run of "*" and "?" after a "*"
// counts as one "*"); the whole text must be consumed.
bool MatchesWildcard(const wchar_t* pattern, const wchar_t* text);

// The verdict cached for an upper-case path: 1 allowed, 0 refused, -1 not decided yet.
int CachedDllVerdict(const std::wstring& upperPath);

}  // namespace tzk::selfdefense
