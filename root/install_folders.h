// Where an earlier installation lives, the library's own folder model and the system's
// well-known folders.
#pragma once

#include <cstdint>
#include <string>

#include "vocabulary/result.h"

namespace tzk::root {

// Looks through the product's registry entries, in the default view and then in the 64-bit
// view. The outputs mean something only when the result is true; the setup folder and setup
// version are optional. A setup version that is present but no REG_DWORD becomes 0xFFFFFFFF;
// a missing one leaves the caller's value.
bool FindInstallationFolders(std::wstring& dataFolder, std::wstring* setupFolder, std::wstring& programFolder,
                             std::uint32_t* setupVersion);

namespace well_known_folder {
constexpr std::uint32_t kWindows = 0, kProgramFiles = 1, kProgramFilesX86 = 2, kSystem = 3, kCommonFiles = 4,
                        kCommonFilesX86 = 5, kProfiles = 6, kProgramData = 7, kSystemTemp = 8, kSystemTmp = 9;
}

// 87 for an unknown kind, otherwise 0 or the error of the system call or registry read.
Result GetWellKnownFolder(std::wstring& folder, std::uint32_t kind);

// The process-wide folder model, filled by StartLibraryFolders and StartLibrary.
struct LibraryFolders {
  std::wstring productKey;
  std::wstring windowsFolder;  // with a trailing backslash
  std::wstring tempRoot;       // an explicit temporary root; filled when the default is chosen
  std::wstring tempFolder;
  std::wstring programFolder;
  std::wstring dataFolder;
  std::wstring journalFolder;
  std::wstring keyFolder;
  std::wstring logFolder;
  std::wstring reportFolder;
  std::wstring integrityFolder;
  std::wstring certificateFile;
  std::wstring chestFolder;
  std::wstring movedFolder;
  std::wstring fwDataFolder;
  std::string journalFolderNarrow;  // the journal folder in the ANSI code page
};

// Read only between the starts and stops of the folder layer.
LibraryFolders& LibraryFolderModel();

// The resolution rule of the model. The stored value of valueName under keyPath
// (HKEY_LOCAL_MACHINE) wins when no subfolder is given or it passes the check; otherwise base
// joined with the subfolder, then base alone. The check, by count: above 0, every one of the
// count files exists in the folder; 0, the folder exists; below 0, the folder exists or is
// created. Returns 0, or 3 with folder cleared.
Result ResolveFolder(const wchar_t* subfolder, const std::wstring& base, std::wstring& folder,
                     const wchar_t* valueName, const std::wstring& keyPath, const wchar_t* const* files, int count);

// Fills the model's temporary, program, data and data subfolders (library start-up flags).
Result ResolveLibraryFolders(std::uint32_t flags);

}  // namespace tzk::root
