// Whether something is at a path, in the senses the stub and its guards ask it: these differ
// on links, folders and entries that cannot be opened, so each caller picks the one it means.
#pragma once

#include <windows.h>

#include <string>

#include "vocabulary/result.h"

namespace tzk::root {

// Something, file or folder, has this name: the entry itself, links not followed.
bool PathExists(const std::wstring& path);

// The path opens, as a file or a folder, with links followed to their target: a dangling link
// or an entry the caller may not reach does not count.
bool PathOpens(const std::wstring& path);

// The name is a file, not a folder.
bool IsFile(const std::wstring& path);
// The name is a folder.
bool IsFolder(const std::wstring& path);

// Whether the entry the handle was opened on (it needs DELETE access) goes when its last handle
// closes: that entry, whatever its name meanwhile points at. Through ntdll, as XP has no
// SetFileInformationByHandle. 0 or the Win32 error.
Result SetDeletePending(HANDLE entry, bool pending);

}  // namespace tzk::root
