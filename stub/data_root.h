// Where the stub keeps its data: the data root under the all-users application-data folder, the
// setup log and the reboot marker below it. Users may create folders in that application-data
// folder, so an elevated run takes back every level it writes through before writing there.
#pragma once

#include <windows.h>

#include <string>

#include "vocabulary/result.h"

namespace tzk::stub {

struct DataPaths {
  std::wstring dataRoot;      // \\.\<common app data>\ZANTI Software
  std::wstring rebootMarker;  // ...\ZANTI Software\Persistent Data\Zanti\Reboot.txt
  std::wstring logFile;       // ...\ZANTI Software\Persistent Data\Zanti\Logs\Setup.log

  std::wstring logsFolder() const;
};
DataPaths makeDataPaths(const std::wstring& commonAppData);

// Creates every level of path with the given security; levels that exist keep theirs.
void createDirectoryLevels(const std::wstring& path, SECURITY_ATTRIBUTES* security);

// Whether a folder with this owner and DACL is one only SYSTEM and Administrators can change:
// owned by one of them, and no allowed entry gives anyone else a right to write, delete,
// rename, or change the folder's security, inherited entries included (a folder Users may write
// below lets them plant links in what the run later creates there).
bool onlyAdministratorsChange(PSID owner, const ACL* dacl);

// Removes a link, or a file standing where a folder belongs, as itself: the handle is opened on
// the entry, never on what it points at, and only an entry the handle shows to be a link (or a
// file) is deleted. False when that cannot be made sure of; nothing is then deleted.
bool removeEntryItself(const std::wstring& path);

// Makes, or takes back, each level from the data root down to the log's folder for an elevated
// run: a link at a level is removed as itself and a real folder made there; a level that others
// could change gets Administrators as its owner and the protected descriptor; a log file that
// is a link or has a second name is removed. Each finding is logged as a warning. False when a
// level cannot be made safe: the run then writes nothing below the data root and reads no
// marker there. A limited run creates the levels as before and is not judged.
bool prepareDataRoot(const DataPaths& paths, bool elevated);

// The reboot marker left by an installed product: a plain file, never a link or a folder.
bool rebootMarkerPresent(const std::wstring& path);

}  // namespace tzk::stub
