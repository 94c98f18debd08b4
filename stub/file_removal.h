// Removal of the stub's temporary folder at the end of a run: file by file with retries,
// sparing files other software registered as shared, or handed to the system for deletion at
// the next restart when the run is a debug run.
#pragma once

#include <windows.h>

#include <string>

#include "log/logger.h"
#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::stub {

extern const log::ComponentTag kTagFilehlp;

// The path opens as an existing file or directory (a link is followed to its target).
bool pathExists(const std::wstring& path);

// Clears the file's attributes and deletes it, up to ten times 200 ms apart. On failure the
// thread's last error is the one of the last delete attempt.
bool deleteFileWithRetry(const std::wstring& path);

// Clears the read-only bit of source and, when given, target (keeping hidden, system, archive,
// temporary, offline and not-indexed), then moves with MoveFileExW and the given flags.
bool moveFileClearingReadOnly(const std::wstring& source, const wchar_t* target, DWORD flags);

// Deletes the path at once, or registers it for deletion at the next restart when deferred.
// 2 when the path does not exist; otherwise 0 or the Win32 error of the failed step.
Result OpOnReboot(const std::wstring& path, bool deferred);

// OpOnReboot unless the shared-file register holds a non-zero count for exactly this path.
Result removeUnlessShared(const std::wstring& path, bool deferred);

// Removes every entry of folder matching pattern (an empty pattern touches no entry), then the
// folder itself. Links inside are removed as links and never entered. Not deferred, a file that
// cannot be deleted stays, and so does its folder; nothing is handed to the restart then. 87
// for an empty folder; otherwise the result of the last entry handled (0 when there was none).
// held, the folder's own handle if the caller holds one, is closed once the entries are gone:
// the folder cannot be removed while it is open without delete sharing.
Result removeTree(const std::wstring& folder, const std::wstring& pattern, bool deferred,
                  vocabulary::ScopedFileHandle* held = nullptr);

}  // namespace tzk::stub
