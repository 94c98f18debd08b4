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

// Creates path with create and the protected descriptor whoever runs the stub, so that a wrong
// answer about who that is never leaves an elevated run's entry writable by the user; where the
// token cannot make Administrators the owner (1307, a limited user), or the descriptor cannot be
// built, with default security. isProtected says which.
HANDLE createProtected(CreateFolder create, const wchar_t* path, bool* isProtected);

// The folder the run's own folder is made in. Elevated: the system's temporary folder
// ("%SystemRoot%\Temp"), where users may create entries but not rename, delete or link anyone
// else's; TEMP, and C:\TEMP where TEMP is missing, may lie below a folder or link of the user's.
// A limited run keeps its TEMP, then TMP, then C:\TEMP. Empty when none can be had.
std::wstring tempFolderBase(bool elevated);

// The folder's own path as the system resolves its handle, never a path through a link:
// GetFinalPathNameByHandleW where there is one, the object's name mapped to its drive on XP.
// Empty when neither answers.
std::wstring resolvedFolderPath(HANDLE folder);
// XP's route: the object's name is the device's path ("\Device\HarddiskVolume1\..."), and the
// drive whose device that is gives the plain form.
std::wstring objectNamePath(HANDLE folder);

// Creates base + "\_av_iup.tm~" + a letter + five digits of the thread id, never reusing a
// name that is taken (a folder, a file, a link): a name taken meanwhile moves on to the next
// letter. Returns the folder's resolved path, without a trailing backslash, and its handle in
// held, which the run keeps until removeTree has emptied the folder; or an error when no name
// is left or the folder cannot be made, and the run must then not extract anywhere. The folder
// is made with the protected descriptor (ProtectedSecurity) whenever it can be applied: where
// the token cannot make Administrators the owner (1307, a limited user), or the descriptor
// cannot be built, it gets default security, and protected says so.
Result makeTempFolderIn(const std::wstring& base, std::wstring* folder, vocabulary::ScopedFileHandle* held,
                        bool* protectedFolder, CreateFolder create = &createHeldFolder);

// makeTempFolderIn(tempFolderBase(elevated), ...).
Result makeTempFolder(std::wstring* folder, vocabulary::ScopedFileHandle* held, bool elevated,
                      bool* protectedFolder);

}  // namespace tzk::stub
