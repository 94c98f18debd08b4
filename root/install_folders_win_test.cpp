#include "root/install_folders.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "root/library.h"
#include "root/win_test_support.h"

namespace tzk::root {
namespace {

using testing::ExecutableFolder;
using testing::KeyExists;
using testing::RemoveKey;
using testing::ScratchFolder;
using testing::SystemIsWow64;
using testing::WriteDword;
using testing::WriteRaw;
using testing::WriteString;

const wchar_t kRow1[] = L"Software\\ZANTI Software\\Zanti";
const wchar_t kRow2[] = L"Software\\PELMO Software\\Zanti";
const wchar_t kRow4[] = L"Software\\PELMO Software\\Zanti\\4.0";

// The product's registry entries are fixed names: the tests own them in both views while
// they run and leave none behind.
class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override { removeProduct(); }
  void TearDown() override { removeProduct(); }
  static void removeProduct() {
    for (const REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_64KEY)}) {
      RemoveKey(HKEY_LOCAL_MACHINE, L"Software\\ZANTI Software", view);
      RemoveKey(HKEY_LOCAL_MACHINE, L"Software\\PELMO Software", view);
    }
  }

  bool find() { return FindInstallationFolders(data_, &setup_, program_, &version_); }

  std::wstring data_ = L"unset", setup_ = L"unset", program_ = L"unset";
  std::uint32_t version_ = 1234;
};

TEST_F(InstallationTest, NothingRegisteredFindsNothing) {
  EXPECT_FALSE(find());
  std::wstring data, program;
  EXPECT_FALSE(FindInstallationFolders(data, nullptr, program, nullptr));
}

TEST_F(InstallationTest, FirstRowGivesEveryFolderAndTheVersion) {
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ProgramFolder", L"C:\\Prog");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"DataFolder", L"C:\\Data");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"SetupFolder", L"C:\\Setup");
  WriteDword(HKEY_LOCAL_MACHINE, kRow1, L"SetupVersion", 2001);
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, L"C:\\Prog");
  EXPECT_EQ(data_, L"C:\\Data");
  EXPECT_EQ(setup_, L"C:\\Setup");
  EXPECT_EQ(version_, 2001u);
}

TEST_F(InstallationTest, OnlyThe64BitViewHoldsTheProduct) {
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ProgramFolder", L"C:\\Prog64", REG_SZ, KEY_WOW64_64KEY);
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"DataFolder", L"C:\\Data64", REG_SZ, KEY_WOW64_64KEY);
  // Under WOW64 the first pass reads the 32-bit view, which has nothing.
  EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, kRow1), !SystemIsWow64());
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, L"C:\\Prog64");
  EXPECT_EQ(data_, L"C:\\Data64");
}

TEST_F(InstallationTest, ExpandableDataFolderSkipsTheRow) {
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ProgramFolder", L"C:\\Prog1");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"DataFolder", L"%ProgramData%\\Zanti", REG_EXPAND_SZ);
  WriteString(HKEY_LOCAL_MACHINE, kRow2, L"ProgramFolder", L"C:\\Prog2");
  WriteString(HKEY_LOCAL_MACHINE, kRow2, L"DataFolder", L"C:\\Data2");
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, L"C:\\Prog2");
  EXPECT_EQ(data_, L"C:\\Data2");
}

TEST_F(InstallationTest, OldestRowHasNoDataFolderAndSetupDefaultsBelowTheProgram) {
  WriteString(HKEY_LOCAL_MACHINE, kRow4, L"Zanti4ProgramFolder", L"C:\\Old\\");
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, L"C:\\Old\\");
  EXPECT_EQ(data_, L"");
  EXPECT_EQ(setup_, L"C:\\Old\\setup");
  EXPECT_EQ(version_, 1234u);  // no "SetupVersion": the caller's value stays
}

TEST_F(InstallationTest, SetupVersionThatIsNoNumberReadsAsNewest) {
  WriteString(HKEY_LOCAL_MACHINE, kRow4, L"Zanti4ProgramFolder", L"C:\\Old");
  WriteString(HKEY_LOCAL_MACHINE, kRow4, L"SetupVersion", L"5");  // four bytes, like a number
  ASSERT_TRUE(find());
  EXPECT_EQ(version_, 0xFFFFFFFFu);
  EXPECT_EQ(setup_, L"C:\\Old\\setup");

  version_ = 1234;
  WriteString(HKEY_LOCAL_MACHINE, kRow4, L"SetupVersion", L"5.0.1995");
  ASSERT_TRUE(find());
  EXPECT_EQ(version_, 0xFFFFFFFFu);
}

TEST_F(InstallationTest, ValuesLongerThan260CharactersCountAsMissing) {
  const std::wstring tooLong = L"C:\\" + std::wstring(258, L'x');  // 261 characters
  const std::wstring longest = L"C:\\" + std::wstring(257, L'y');  // 260 characters
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ProgramFolder", tooLong);
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"DataFolder", L"C:\\Data1");
  WriteString(HKEY_LOCAL_MACHINE, kRow2, L"ProgramFolder", longest);
  WriteString(HKEY_LOCAL_MACHINE, kRow2, L"DataFolder", L"C:\\Data2");
  WriteString(HKEY_LOCAL_MACHINE, kRow2, L"SetupFolder", tooLong);
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, longest);
  EXPECT_EQ(data_, L"C:\\Data2");
  EXPECT_EQ(setup_, longest + L"\\setup");
}

TEST_F(InstallationTest, ValueWithoutTerminatorKeepsItsLastCharacter) {
  WriteRaw(HKEY_LOCAL_MACHINE, kRow4, L"Zanti4ProgramFolder", REG_SZ, L"C:\\Prog", 14);
  ASSERT_TRUE(find());
  EXPECT_EQ(program_, L"C:\\Prog");
}

TEST_F(InstallationTest, WithoutAProductTheLibraryUsesItsOwnFolder) {
  ASSERT_EQ(StartLibrary(library_flag::kNoTempOrDataCreation), 0u);
  const LibraryFolders& model = LibraryFolderModel();
  const std::wstring own = ExecutableFolder();
  EXPECT_EQ(model.programFolder, own);
  EXPECT_EQ(model.dataFolder, own + L"\\DATA");
  EXPECT_EQ(model.journalFolder, own + L"\\DATA\\journal");
  EXPECT_EQ(model.journalFolderNarrow.size(), model.journalFolder.size());
  EXPECT_EQ(model.certificateFile, L"");
  wchar_t temp[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
  EXPECT_EQ(model.tempFolder, std::wstring(temp, length) + L"\\_zanti_");
  wchar_t windows[MAX_PATH];
  ::GetWindowsDirectoryW(windows, MAX_PATH);
  EXPECT_EQ(model.windowsFolder, std::wstring(windows) + L"\\");
  EXPECT_EQ(StopLibrary(), 0u);
  EXPECT_EQ(LibraryFolderModel().programFolder, L"");
}

TEST_F(InstallationTest, TheProductKeyPointsTheLibraryToCheckedFolders) {
  ScratchFolder scratch(L"tzk_folders_");
  const std::wstring program = scratch.file(L"program"), data = scratch.file(L"data");
  ::CreateDirectoryW(program.c_str(), nullptr);
  ::CreateDirectoryW(data.c_str(), nullptr);
  ::CreateDirectoryW((data + L"\\log").c_str(), nullptr);
  scratch.touch(program + L"\\tzkCmnOS.dll");
  scratch.touch(data + L"\\zanti5.ini");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ProgramFolder", program + L"\\");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"DataFolder", data);
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"TempFolder", L"Q:\\NoCheck\\\\");
  WriteString(HKEY_LOCAL_MACHINE, kRow1, L"ReportFolder", L"Q:\\Missing");

  ASSERT_EQ(StartLibrary(library_flag::kNoTempOrDataCreation), 0u);
  const LibraryFolders& model = LibraryFolderModel();
  EXPECT_EQ(model.programFolder, program);
  EXPECT_EQ(model.dataFolder, data);
  EXPECT_EQ(model.tempFolder, L"Q:\\NoCheck");  // taken as stored, only normalised
  EXPECT_EQ(model.logFolder, data + L"\\log");  // exists
  EXPECT_EQ(model.reportFolder, data);  // stored folder and "report" missing: the data folder
  EXPECT_EQ(model.certificateFile, data);
  EXPECT_EQ(StopLibrary(), 0u);
}

TEST_F(InstallationTest, ResolveFolderChecksCreatesOrFails) {
  ScratchFolder scratch(L"tzk_resolve_");
  const std::wstring key = kRow1;
  std::wstring folder = L"stale";
  EXPECT_EQ(ResolveFolder(L"sub", L"", folder, L"None", key, nullptr, 0), 3u);
  EXPECT_EQ(folder, L"");
  EXPECT_EQ(ResolveFolder(L"sub", scratch.path() + L"\\", folder, L"None", key, nullptr, 0), 0u);
  EXPECT_EQ(folder, scratch.path());  // "sub" does not exist: the base itself
  EXPECT_EQ(ResolveFolder(L"sub", scratch.path(), folder, L"None", key, nullptr, -1), 0u);
  EXPECT_EQ(folder, scratch.file(L"sub"));
  EXPECT_NE(::GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

  const wchar_t* const files[] = {L"a.dll", L"b.ini"};
  scratch.touch(scratch.file(L"a.dll"));
  EXPECT_EQ(ResolveFolder(L"", scratch.path(), folder, L"None", key, files, 2), 3u);
  scratch.touch(scratch.file(L"b.ini"));
  EXPECT_EQ(ResolveFolder(L"", scratch.path(), folder, L"None", key, files, 2), 0u);
  EXPECT_EQ(folder, scratch.path());
}

TEST(WellKnownFolder, SystemCallsAndRegistryValuesInThe64BitView) {
  std::wstring folder;
  EXPECT_EQ(GetWellKnownFolder(folder, 10), 87u);
  wchar_t expected[MAX_PATH];
  ASSERT_EQ(GetWellKnownFolder(folder, well_known_folder::kWindows), 0u);
  ::GetWindowsDirectoryW(expected, MAX_PATH);
  EXPECT_EQ(folder, expected);
  ASSERT_EQ(GetWellKnownFolder(folder, well_known_folder::kSystem), 0u);
  ::GetSystemDirectoryW(expected, MAX_PATH);
  EXPECT_EQ(folder, expected);

  // The 64-bit programs' folder, even for this 32-bit process.
  ASSERT_EQ(GetWellKnownFolder(folder, well_known_folder::kProgramFiles), 0u);
  EXPECT_EQ(folder, L"C:\\Program Files");
  if (SystemIsWow64()) {
    ASSERT_EQ(GetWellKnownFolder(folder, well_known_folder::kProgramFilesX86), 0u);
    EXPECT_EQ(folder, L"C:\\Program Files (x86)");
  } else {
    EXPECT_EQ(GetWellKnownFolder(folder, well_known_folder::kProgramFilesX86), 2u);
  }

  // Stored as "%SystemRoot%\TEMP" and expanded.
  ASSERT_EQ(GetWellKnownFolder(folder, well_known_folder::kSystemTemp), 0u);
  ::GetWindowsDirectoryW(expected, MAX_PATH);
  EXPECT_EQ(folder.find(L'%'), std::wstring::npos);
  EXPECT_EQ(folder.rfind(expected, 0), 0u) << folder;
}

}  // namespace
}  // namespace tzk::root
