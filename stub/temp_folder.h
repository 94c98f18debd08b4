// The run's unique working folder, and the protected descriptor it shares with the data root.
#pragma once

#include <windows.h>

#include <string>

#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::stub {

// Full access for SYSTEM and Administrators, read and execute for Users, inherited by
// everything below: an unprivileged process cannot plant files where the elevated child runs.
class ProtectedSecurity {
 public:
  ProtectedSecurity();
  // Null when the descriptor could not be built; callers then use default security.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  vocabulary::ScopedLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

// Creates a folder and opens it in the same step (no moment where another folder or a link can
// take its name), without delete sharing. While the handle is open nobody can rename the folder
// away, nor, on NTFS, any folder above it (a folder with anything open below it is not renamed),
// so every path the run writes, starts and deletes through stays inside the folder it made.
// INVALID_HANDLE_VALUE with the Win32 error as last error when it fails (183 for a taken name).
using CreateFolder = HANDLE (*)(const wchar_t* path, SECURITY_ATTRIBUTES* security);
HANDLE createHeldFolder(const wchar_t* path, SECURITY_ATTRIBUTES* security);

// Creates "<TEMP>\_av_iup.tm~" + a letter + five digits of the thread id, never reusing a
// folder that exists: a name taken meanwhile moves on to the next letter. Returns the path
// without a trailing backslash and the folder's handle in held, which the run keeps until
// removeTree has emptied the folder; or an error when no name is left or the folder cannot be
// made, and the run must then not extract anywhere. The folder is protected (ProtectedSecurity)
// only for an administrator: a limited user cannot make Administrators its owner (1307), and
// the folder lies in that user's own temporary folder anyway.
Result makeTempFolder(std::wstring* folder, vocabulary::ScopedFileHandle* held, bool administrator,
                      CreateFolder create = &createHeldFolder);

}  // namespace tzk::stub
