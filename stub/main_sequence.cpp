#include "stub/main_sequence.h"

#include <shlobj.h>

#include "stub/temp_folder.h"

namespace tzk::stub {

const log::ComponentTag kTagQelvo(L"Qelvo");

namespace {

void logInfo(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(log::level::kInfo, kTagQelvo, format, args);
  va_end(args);
}

std::wstring commonAppDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) return {};
  return folder;
}

// Makes the data root with its protected descriptor; a failed conversion means default security.
void prepareDataRoot(const DataPaths& paths) {
  ProtectedSecurity security;
  createDirectoryLevels(paths.dataRoot, security.attributes());
}

void openSetupLog(const DataPaths& paths) {
  const std::size_t slash = paths.logFile.rfind(L'\\');
  if (slash != std::wstring::npos) {
    createDirectoryLevels(paths.logFile.substr(0, slash), nullptr);
  }
  log::theLogger().configure(nullptr, paths.logFile.c_str());
}

}  // namespace

DataPaths makeDataPaths(const std::wstring& commonAppData) {
  const std::wstring base = L"\\\\.\\" + commonAppData + L"\\";
  const std::wstring zanti = base + L"ZANTI Software\\Persistent Data\\Zanti";
  return {base + L"ZANTI Software", zanti + L"\\Reboot.txt", zanti + L"\\Logs\\Setup.log"};
}

void createDirectoryLevels(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') {
      ::CreateDirectoryW(path.substr(0, i + 1).c_str(), security);
    }
  }
  ::CreateDirectoryW(path.c_str(), security);
}

Result runMainSequence(HINSTANCE instance, const wchar_t* rawArguments) {
  Result result = code::kSuccess;
  logInfo(L"Entering Zanti SFX stub guarded code section.");

  const DataPaths paths = makeDataPaths(commonAppDataFolder());
  prepareDataRoot(paths);
  openSetupLog(paths);

  logInfo(L"Leaving Zanti SFX stub guarded code section (return code 0x%x)", result);
  return result;
}

}  // namespace tzk::stub
