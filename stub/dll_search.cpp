#include "stub/dll_search.h"

#include <windows.h>

#include "root/system_function.h"

namespace tzk::stub {

DllSearch restrictDllSearch() {
  // Both are looked up: Windows XP before SP1 has neither, and the stub must still start there
  // to tell the user that the system is too old.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFunction = BOOL(WINAPI*)(const wchar_t*);
  const auto setDefault = root::AsFunction<SetDefaultDllDirectoriesFunction>(
      root::FindLoadedFunction(L"kernel32.dll", "SetDefaultDllDirectories"));
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return DllSearch::kSystemFolderOnly;
  const auto setDirectory =
      root::AsFunction<SetDllDirectoryFunction>(root::FindLoadedFunction(L"kernel32.dll", "SetDllDirectoryW"));
  if (setDirectory != nullptr && setDirectory(L"")) return DllSearch::kNoCurrentDirectory;
  return DllSearch::kUnchanged;
}

}  // namespace tzk::stub
