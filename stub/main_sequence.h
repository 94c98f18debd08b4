// The spine of the stub: one straight run of steps on the main thread, each turning its
// subsystem's result into the run's result code, and the same clean-up on every way out.
#pragma once

#include <windows.h>

#include <string>

#include "log/logger.h"
#include "root/result.h"

namespace tzk::stub {

extern const log::ComponentTag kTagQelvo;

Result runMainSequence(HINSTANCE instance, const wchar_t* rawArguments);

// Where the stub keeps its data, under the all-users application-data folder.
struct DataPaths {
  std::wstring dataRoot;      // \\.\<common app data>\ZANTI Software
  std::wstring rebootMarker;  // ...\ZANTI Software\Persistent Data\Zanti\Reboot.txt
  std::wstring logFile;       // ...\ZANTI Software\Persistent Data\Zanti\Logs\Setup.log
};
DataPaths makeDataPaths(const std::wstring& commonAppData);

// Creates every level of path with the given security; levels that exist keep theirs.
void createDirectoryLevels(const std::wstring& path, SECURITY_ATTRIBUTES* security);

}  // namespace tzk::stub
