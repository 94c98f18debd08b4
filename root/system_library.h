// Loading a DLL of the system at run time. The stub runs elevated, usually from a download
// folder where anyone may have left a file named like a system DLL, so a library is never
// loaded by bare name: always from the system folder by its full path, with its own
// dependencies searched from there too.
#pragma once

#include <windows.h>

#include <cwchar>

#include "root/system_function.h"

namespace tzk::root {

// Loads `name` (a file name without a folder) from the system folder. Null, with the thread's
// last error set, when the library is missing or cannot be loaded.
inline HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const UINT folderLength = ::GetSystemDirectoryW(path, MAX_PATH);
  const std::size_t nameLength = std::wcslen(name);
  if (folderLength == 0 || folderLength + 1 + nameLength >= MAX_PATH) {
    if (folderLength != 0) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  path[folderLength] = L'\\';
  std::wmemcpy(path + folderLength + 1, name, nameLength + 1);
  // Where the system knows the search flags (a system with AddDllDirectory), the dependencies
  // come from the system folder alone. Elsewhere (XP) the altered search starts in the library's
  // own folder and, unlike the standard one, never looks in the stub's folder.
  const bool searchFlagsKnown = FindLoadedFunction(L"kernel32.dll", "AddDllDirectory") != nullptr;
  return ::LoadLibraryExW(path, nullptr, searchFlagsKnown ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace tzk::root
