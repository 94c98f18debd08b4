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

// Creates "<TEMP>\_av_iup.tm~" + a letter + five digits of the thread id, never reusing a
// folder that exists: a name taken meanwhile moves on to the next letter. Returns the path
// without a trailing backslash, or an error when no name is left or the folder cannot be
// made; the run must then not extract anywhere. The folder is protected (ProtectedSecurity)
// only for an administrator: a limited user cannot make Administrators its owner (1307), and
// the folder lies in that user's own temporary folder anyway.
using CreateFolder = BOOL(WINAPI*)(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
Result makeTempFolder(std::wstring* folder, bool administrator, CreateFolder create = &::CreateDirectoryW);

}  // namespace tzk::stub
