#include "root/install_folders.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"
#include "root/file_checks.h"
#include "root/library.h"
#include "root/registry.h"
#include "root/shell_api.h"

namespace tzk::root {

namespace {

// Folder values are read into 261 characters, the terminator included: anything longer is
// no folder this product wrote.
constexpr DWORD kFolderValueBytes = 522;
constexpr DWORD kWellKnownValueBytes = 520;
constexpr std::size_t kWellKnownMaxCharacters = 259;
constexpr DWORD kExpandedCharacters = 32768;
constexpr std::uint32_t kVersionNotANumber = 0xFFFFFFFF;

const struct InstallRow {
  const wchar_t* key;
  const wchar_t* programValue;
  const wchar_t* dataValue;  // null: this generation kept no data folder
} kInstallRows[] = {
    {L"Software\\ZANTI Software\\Zanti", L"ProgramFolder", L"DataFolder"},
    {L"Software\\PELMO Software\\Zanti", L"ProgramFolder", L"DataFolder"},
    {L"Software\\PELMO Software\\Zanti\\5.0", L"ProgramFolder", L"DataFolder"},
    {L"Software\\PELMO Software\\Zanti\\4.0", L"Zanti4ProgramFolder", nullptr},
};

const struct WellKnownValue {
  const wchar_t* key;
  const wchar_t* value;
} kWellKnownValues[] = {
    {nullptr, nullptr},
    {L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir"},
    {L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir (x86)"},
    {nullptr, nullptr},
    {L"Software\\Microsoft\\Windows\\CurrentVersion", L"CommonFilesDir"},
    {L"Software\\Microsoft\\Windows\\CurrentVersion", L"CommonFilesDir (x86)"},
    {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProfilesDirectory"},
    {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", L"ProgramData"},
    {L"System\\CurrentControlSet\\Control\\Session Manager\\Environment", L"TEMP"},
    {L"System\\CurrentControlSet\\Control\\Session Manager\\Environment", L"TMP"},
};

const struct DataSubfolder {
  const wchar_t* value;
  const wchar_t* subfolder;  // null: the data folder itself
  std::wstring LibraryFolders::*member;
} kDataSubfolders[] = {
    {L"JournalFolder", L"journal", &LibraryFolders::journalFolder},
    {L"KeyFolder", L"backup", &LibraryFolders::keyFolder},
    {L"LogFolder", L"log", &LibraryFolders::logFolder},
    {L"ReportFolder", L"report", &LibraryFolders::reportFolder},
    {L"IntegrityFolder", L"integ", &LibraryFolders::integrityFolder},
    {L"CertificateFile", nullptr, &LibraryFolders::certificateFile},
    {L"ChestFolder", L"chest", &LibraryFolders::chestFolder},
    {L"MovedFolder", L"moved", &LibraryFolders::movedFolder},
    {L"FwDataFolder", L"fw", &LibraryFolders::fwDataFolder},
};

LibraryFolders gFolders;

// The characters of a value read as bytes, up to the first NUL.
std::wstring textOf(const wchar_t* data, DWORD bytes) {
  std::size_t length = 0;
  while (length < bytes / sizeof(wchar_t) && data[length] != L'\0') ++length;
  return std::wstring(data, length);
}

// A REG_SZ folder value of at most 260 characters; the terminator may be missing.
bool readFolderValue(HKEY key, const wchar_t* name, std::wstring& folder) {
  wchar_t buffer[kFolderValueBytes / sizeof(wchar_t)];
  DWORD bytes = kFolderValueBytes;
  DWORD type = REG_NONE;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  folder = textOf(buffer, bytes);
  return true;
}

// A setup version stored as anything but a four-byte number reads as "newer than any".
void readSetupVersion(HKEY key, std::uint32_t& version) {
  DWORD value = 0;
  DWORD bytes = sizeof(value);
  DWORD type = REG_NONE;
  const LONG result = ::RegQueryValueExW(key, L"SetupVersion", nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
  if (result == ERROR_SUCCESS) version = type == REG_DWORD && bytes == sizeof(value) ? value : kVersionNotANumber;
  if (result == ERROR_MORE_DATA) version = kVersionNotANumber;
}

bool readInstallRow(const InstallRow& row, REGSAM view, std::wstring& dataFolder, std::wstring* setupFolder,
                    std::wstring& programFolder, std::uint32_t* setupVersion) {
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, row.key, 0, view, key.receive()) != ERROR_SUCCESS) return false;
  std::wstring program, data;
  if (!readFolderValue(key.get(), row.programValue, program)) return false;
  if (row.dataValue != nullptr && !readFolderValue(key.get(), row.dataValue, data)) return false;
  if (setupFolder != nullptr) {
    std::wstring setup;
    *setupFolder =
        readFolderValue(key.get(), L"SetupFolder", setup) ? setup : vocabulary::JoinSubfolder(program, L"setup");
  }
  if (setupVersion != nullptr) readSetupVersion(key.get(), *setupVersion);
  programFolder = program;
  dataFolder = data;
  return true;
}

bool createFolder(const std::wstring& folder) {
  CreateDirectoryTree(folder, FolderSecurityAttributes());
  return IsFolder(folder);
}

bool passesCheck(const std::wstring& folder, const wchar_t* const* files, int count) {
  if (count == 0) return IsFolder(folder);
  if (count < 0) return IsFolder(folder) || createFolder(folder);
  for (int i = 0; i < count; ++i) {
    if (!IsFile(vocabulary::JoinSubfolder(folder, files[i]))) return false;
  }
  return true;
}

bool readStoredFolder(const std::wstring& keyPath, const wchar_t* valueName, std::wstring& folder) {
  vocabulary::ScopedRegKey key;
  if (OpenRegistryKeyByRootName(nullptr, L"HKEY_LOCAL_MACHINE", keyPath.c_str(), KEY_READ, key) != code::kSuccess) {
    return false;
  }
  std::wstring text;
  // An empty value names no folder; normalised it would become the root of the current drive.
  if (ReadRegistryString(key.get(), valueName, text) != code::kSuccess || text.empty()) return false;
  folder = vocabulary::NormaliseFolderPath(text);
  return true;
}

std::wstring currentDirectory() {
  const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = ::GetCurrentDirectoryW(size, &value[0]);
  value.resize(length < size ? length : 0);
  return value;
}

std::wstring shortPathOf(const std::wstring& path) {
  wchar_t shortPath[MAX_PATH];
  const DWORD length = ::GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
  return length != 0 && length < MAX_PATH ? std::wstring(shortPath, length) : path;
}

std::wstring folderOf(const std::wstring& path) {
  const std::wstring folder = vocabulary::FolderOf(path);
  return folder.empty() ? folder : vocabulary::NormaliseFolderPath(folder);
}

void resolveTemporaryFolder(LibraryFolders& m, std::uint32_t flags) {
  if (!m.tempFolder.empty()) return;
  ResolveFolder(nullptr, std::wstring(), m.tempFolder, L"TempFolder", m.productKey, nullptr, 0);
  if (m.tempFolder.empty()) {
    if (m.tempRoot.empty()) m.tempRoot = EnvironmentVariable(L"TEMP");
    if (m.tempRoot.empty()) m.tempRoot = EnvironmentVariable(L"TMP");
    if (m.tempRoot.empty()) m.tempRoot = currentDirectory();
    m.tempFolder = vocabulary::JoinSubfolder(m.tempRoot, L"_zanti_");
  }
  if (!(flags & library_flag::kNoTempOrDataCreation) && !IsFolder(m.tempFolder)) createFolder(m.tempFolder);
}

void resolveProgramAndDataFolders(LibraryFolders& m) {
  if (!m.dataFolder.empty()) return;
  static const wchar_t* const kProgramFiles[] = {L"tzkCmnOS.dll"};
  static const wchar_t* const kDataFiles[] = {L"zanti5.ini"};
  const std::wstring exe = OwnImagePath();
  const std::wstring base = folderOf(shortPathOf(exe));
  Result result = code::kSuccess;
  if (m.programFolder.empty()) {
    result = ResolveFolder(L"", base, m.programFolder, L"ProgramFolder", m.productKey, kProgramFiles, 1);
  }
  if (result == code::kSuccess) {
    result = ResolveFolder(L"data", base, m.dataFolder, L"DataFolder", m.productKey, kDataFiles, 1);
  }
  if (result == code::kSuccess) return;
  const std::wstring exeFolder = folderOf(exe);
  if (m.programFolder.empty()) m.programFolder = exeFolder;
  if (m.dataFolder.empty()) m.dataFolder = vocabulary::JoinSubfolder(exeFolder, L"DATA");
}

void resolveDataSubfolders(LibraryFolders& m, std::uint32_t flags) {
  const bool mayCreate = !(flags & (library_flag::kNoFolderCreation | library_flag::kNoTempOrDataCreation));
  for (const DataSubfolder& row : kDataSubfolders) {
    std::wstring& folder = m.*row.member;
    ResolveFolder(row.subfolder, m.dataFolder, folder, row.value, m.productKey, nullptr, mayCreate ? -1 : 0);
    if (folder.empty() && row.subfolder != nullptr) folder = vocabulary::JoinSubfolder(m.dataFolder, row.subfolder);
  }
}

std::string narrowCopy(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(size) - 1);
  return narrow;
}

}  // namespace

bool FindInstallationFolders(std::wstring& dataFolder, std::wstring* setupFolder, std::wstring& programFolder,
                             std::uint32_t* setupVersion) {
  // Under WOW64 the default view is the 32-bit one; a 64-bit product writes the other.
  for (const REGSAM view : {REGSAM(KEY_READ), REGSAM(KEY_READ | KEY_WOW64_64KEY)}) {
    for (const InstallRow& row : kInstallRows) {
      if (readInstallRow(row, view, dataFolder, setupFolder, programFolder, setupVersion)) return true;
    }
  }
  return false;
}

Result GetWellKnownFolder(std::wstring& folder, std::uint32_t kind) {
  if (kind > well_known_folder::kSystemTmp) return code::kInvalidParameter;
  if (kind == well_known_folder::kWindows || kind == well_known_folder::kSystem) {
    wchar_t buffer[MAX_PATH];
    const UINT length = kind == well_known_folder::kWindows ? ::GetWindowsDirectoryW(buffer, MAX_PATH)
                                                          : ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0) return ::GetLastError();
    if (length >= MAX_PATH) return code::kFilenameTooLong;
    folder.assign(buffer, length);
    return code::kSuccess;
  }

  const WellKnownValue& source = kWellKnownValues[kind];
  vocabulary::ScopedRegKey key;
  const REGSAM access = KEY_QUERY_VALUE | (ProcessRunsUnderWow64() ? KEY_WOW64_64KEY : 0);
  LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, source.key, 0, access, key.receive());
  if (result != ERROR_SUCCESS) return result;
  wchar_t buffer[kWellKnownValueBytes / sizeof(wchar_t)];
  DWORD bytes = kWellKnownValueBytes;
  DWORD type = REG_NONE;
  result = ::RegQueryValueExW(key.get(), source.value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (result != ERROR_SUCCESS) return result;
  std::wstring text = textOf(buffer, bytes);
  if (type == REG_EXPAND_SZ && text.find(L'%') != std::wstring::npos) {
    std::vector<wchar_t> expanded(kExpandedCharacters);
    const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), kExpandedCharacters);
    if (length != 0 && length <= kExpandedCharacters) text = expanded.data();
  }
  // A folder cut short would name another folder: too long is a failure, never a cut.
  if (text.size() > kWellKnownMaxCharacters) return code::kFilenameTooLong;
  folder = text;
  return code::kSuccess;
}

LibraryFolders& LibraryFolderModel() { return gFolders; }

Result ResolveFolder(const wchar_t* subfolder, const std::wstring& base, std::wstring& folder,
                     const wchar_t* valueName, const std::wstring& keyPath, const wchar_t* const* files, int count) {
  std::wstring stored;
  if (readStoredFolder(keyPath, valueName, stored) && (subfolder == nullptr || passesCheck(stored, files, count))) {
    folder = stored;
    return code::kSuccess;
  }
  folder.clear();
  if (base.empty()) return code::kPathNotFound;
  const bool hasSubfolder = subfolder != nullptr && *subfolder != L'\0';
  const std::wstring candidates[] = {
      vocabulary::NormaliseFolderPath(hasSubfolder ? vocabulary::JoinSubfolder(base, subfolder) : base),
      vocabulary::NormaliseFolderPath(base)};
  for (const std::wstring& candidate : candidates) {
    if (passesCheck(candidate, files, count)) {
      folder = candidate;
      return code::kSuccess;
    }
  }
  return code::kPathNotFound;
}

Result ResolveLibraryFolders(std::uint32_t flags) {
  LibraryFolders& m = gFolders;
  resolveTemporaryFolder(m, flags);
  resolveProgramAndDataFolders(m);
  resolveDataSubfolders(m, flags);
  m.journalFolderNarrow = narrowCopy(m.journalFolder);
  return code::kSuccess;
}

}  // namespace tzk::root
