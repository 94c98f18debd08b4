// The two shell functions the stub needs, reached at run time. shell32 is not a static import:
// the loader would resolve it, and whatever it pulls in, before the entry routine can take the
// stub's own folder out of the DLL search.
#pragma once

#include <windows.h>

#include <string>

namespace tzk::root {

// SHGetSpecialFolderPathW without creating the folder; false when shell32 or the folder is missing.
bool GetSpecialFolder(int csidl, std::wstring& folder);

// SHCreateDirectoryExW: every missing level, the last with the given security.
void CreateDirectoryTree(const std::wstring& folder, SECURITY_ATTRIBUTES* security);

}  // namespace tzk::root
