// The stub runs elevated, usually from a download folder where anyone may have left a file
// named like a system DLL. Before anything else it takes its own folder and the current
// directory out of the search for DLLs, as far as the system allows.
#pragma once

namespace tzk::stub {

enum class DllSearch {
  kSystemFolderOnly,    // SetDefaultDllDirectories: only the system folder is searched
  kNoCurrentDirectory,  // SetDllDirectoryW(""): the current directory is out (XP SP1 and later)
  kUnchanged,           // neither function is available or works
};

// Restricts the process's DLL search and tells how far it got.
DllSearch restrictDllSearch();

}  // namespace tzk::stub
