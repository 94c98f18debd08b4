#include "stub/temp_folder.h"

#include <sddl.h>
#include <gtest/gtest.h>

#include <vector>

#include "stub/run_values.h"

namespace tzk::stub {
namespace {

// A base folder of the test's own, and a TEMP pointing at it, restored afterwards.
class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    root_ = std::wstring(base) + L"tempfolder_test_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root_.c_str(), nullptr);
    wchar_t old[1024];
    const DWORD n = ::GetEnvironmentVariableW(L"TEMP", old, 1024);
    oldTemp_.assign(old, n < 1024 ? n : 0);
    ::SetEnvironmentVariableW(L"TEMP", root_.c_str());
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"TEMP", oldTemp_.c_str());
    for (wchar_t c = L'a'; c <= L'z'; ++c) ::RemoveDirectoryW(candidate(c).c_str());
    ::RemoveDirectoryW(root_.c_str());
  }
  std::wstring candidate(wchar_t letter) const { return tempFolderCandidate(root_, letter, ::GetCurrentThreadId()); }
  Result make(std::wstring* folder, vocabulary::ScopedFileHandle* held, CreateFolder create = &createHeldFolder) {
    bool protectedFolder = false;
    return makeTempFolderIn(root_, folder, held, &protectedFolder, create);
  }

  std::wstring root_;
  std::wstring oldTemp_;
};

TEST_F(TempFolderTest, TakesTheFirstFreeLetterAndNeverAnExistingFolder) {
  ::CreateDirectoryW(candidate(L'a').c_str(), nullptr);
  ::CreateDirectoryW(candidate(L'b').c_str(), nullptr);
  std::wstring folder;
  vocabulary::ScopedFileHandle held;
  ASSERT_EQ(make(&folder, &held), 0u);
  EXPECT_EQ(folder, candidate(L'c'));
  EXPECT_NE(::GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Any program of the user may rename what lies in its own temporary folder and put a link at
// the old name: the elevated run would then write, start and delete wherever the link points.
// Held, the folder stays where it was made, and files in it still come and go.
TEST_F(TempFolderTest, TheHeldFolderCannotBeMovedAwayButItsFilesCanBeDeleted) {
  std::wstring folder;
  vocabulary::ScopedFileHandle held;
  ASSERT_EQ(make(&folder, &held), 0u);
  ASSERT_TRUE(held.valid());
  const std::wstring moved = folder + L".moved";
  EXPECT_FALSE(::MoveFileW(folder.c_str(), moved.c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(::RemoveDirectoryW(folder.c_str()));

  const std::wstring file = folder + L"\\instup.exe";
  vocabulary::ScopedFileHandle written(
      ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(written.valid());
  written.reset();
  EXPECT_TRUE(::DeleteFileW(file.c_str()));

  held.reset();
  ASSERT_TRUE(::MoveFileW(folder.c_str(), moved.c_str())) << "the folder is free once released";
  ::RemoveDirectoryW(moved.c_str());
}

TEST_F(TempFolderTest, NoNameLeftMeansNoFolder) {
  for (wchar_t c = L'a'; c <= L'z'; ++c) ::CreateDirectoryW(candidate(c).c_str(), nullptr);
  std::wstring folder = L"untouched";
  vocabulary::ScopedFileHandle held;
  EXPECT_NE(make(&folder, &held), 0u);
  EXPECT_EQ(folder, L"untouched");
  EXPECT_FALSE(held.valid());
}

// The elevated run's folder lies where only administrators can rename or link anything,
// whatever TEMP says: a TEMP below a folder the user made, or a C:\TEMP the user made first,
// would let that user move the folder's parent away and link its name elsewhere.
TEST_F(TempFolderTest, AnElevatedRunUsesTheSystemsTemporaryFolderNeverTemp) {
  wchar_t windows[MAX_PATH];
  const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::wstring systemTemp = std::wstring(windows, length) + L"\\Temp";
  EXPECT_EQ(tempFolderBase(true), systemTemp);
  ::SetEnvironmentVariableW(L"TEMP", (root_ + L"\\missing").c_str());
  EXPECT_EQ(tempFolderBase(true), systemTemp) << "not C:\\TEMP either";

  std::wstring folder;
  vocabulary::ScopedFileHandle held;
  bool protectedFolder = false;
  ASSERT_EQ(makeTempFolder(&folder, &held, true, &protectedFolder), 0u);
  EXPECT_EQ(_wcsnicmp(folder.c_str(), (systemTemp + L"\\_av_iup.tm~").c_str(), systemTemp.size() + 12), 0) << folder;
  held.reset();
  ::RemoveDirectoryW(folder.c_str());
}

TEST_F(TempFolderTest, ALimitedRunFallsBackFromTempToTmpThenCTemp) {
  EXPECT_EQ(tempFolderBase(false), root_);
  ::SetEnvironmentVariableW(L"TEMP", std::wstring(600, L'x').c_str());  // longer than the buffer
  wchar_t oldTmp[1024];
  const DWORD n = ::GetEnvironmentVariableW(L"TMP", oldTmp, 1024);
  ::SetEnvironmentVariableW(L"TMP", root_.c_str());
  EXPECT_EQ(tempFolderBase(false), root_);
  ::SetEnvironmentVariableW(L"TEMP", (root_ + L"\\missing").c_str());
  EXPECT_EQ(tempFolderBase(false), L"C:\\TEMP");
  ::SetEnvironmentVariableW(L"TMP", n < 1024 ? std::wstring(oldTmp, n).c_str() : nullptr);
}

// Every later step goes by the folder's path, so it is the path the system resolves for the
// folder made, not the way it was named (here through "sub\.."; a link above it resolves the
// same way), and XP's route gives the same path as the newer call.
TEST_F(TempFolderTest, TheFolderIsNamedByThePathItsHandleResolvesTo) {
  ASSERT_TRUE(::CreateDirectoryW((root_ + L"\\sub").c_str(), nullptr));
  std::wstring folder;
  vocabulary::ScopedFileHandle held;
  bool protectedFolder = false;
  ASSERT_EQ(makeTempFolderIn(root_ + L"\\sub\\..", &folder, &held, &protectedFolder), 0u);
  EXPECT_EQ(_wcsicmp(folder.c_str(), candidate(L'a').c_str()), 0) << folder;
  EXPECT_EQ(_wcsicmp(objectNamePath(held.get()).c_str(), folder.c_str()), 0) << objectNamePath(held.get());
  held.reset();
  ::RemoveDirectoryW(folder.c_str());
  ::RemoveDirectoryW((root_ + L"\\sub").c_str());
}

// Another program takes the name between the look and the creation: the run moves on to the
// next letter and never takes the other program's folder for its own.
HANDLE racingCreate(const wchar_t* path, SECURITY_ATTRIBUTES*) {
  static bool raced = false;
  if (!raced) {
    raced = true;
    ::CreateDirectoryW(path, nullptr);
  }
  return createHeldFolder(path, nullptr);
}

TEST_F(TempFolderTest, ANameTakenMeanwhileMovesOnToTheNextLetter) {
  std::wstring folder;
  vocabulary::ScopedFileHandle held;
  ASSERT_EQ(make(&folder, &held, &racingCreate), 0u);
  EXPECT_EQ(folder, candidate(L'b'));
}

// The descriptor each creation was given, as text ("" for default security).
std::vector<std::wstring> g_descriptors;
void recordDescriptor(SECURITY_ATTRIBUTES* security) {
  LPWSTR text = nullptr;
  if (security != nullptr && ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                 security->lpSecurityDescriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION, &text,
                                 nullptr)) {
    vocabulary::ScopedLocalMemory owned(text);
    g_descriptors.emplace_back(text);
  } else {
    g_descriptors.emplace_back();
  }
}
HANDLE recordingCreate(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  recordDescriptor(security);
  return createHeldFolder(path, nullptr);
}

// Whoever runs the stub, the folder is first asked for with the protected descriptor: a
// failed administrator test must not leave an elevated run's folder writable by the user. Only
// where the owner cannot be set (1307, a limited user) is it made with default security.
HANDLE limitedCreate(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  recordDescriptor(security);
  if (security != nullptr) {
    ::SetLastError(ERROR_INVALID_OWNER);
    return INVALID_HANDLE_VALUE;
  }
  return createHeldFolder(path, nullptr);
}

TEST_F(TempFolderTest, TheFolderIsProtectedWheneverTheDescriptorCanBeApplied) {
  g_descriptors.clear();
  std::wstring folder;
  vocabulary::ScopedFileHandle first;
  bool protectedFolder = false;
  ASSERT_EQ(makeTempFolderIn(root_, &folder, &first, &protectedFolder, &recordingCreate), 0u);
  EXPECT_TRUE(protectedFolder);
  EXPECT_EQ(g_descriptors, (std::vector<std::wstring>{L"O:BA"}));

  g_descriptors.clear();
  vocabulary::ScopedFileHandle second;
  ASSERT_EQ(makeTempFolderIn(root_, &folder, &second, &protectedFolder, &limitedCreate), 0u);
  EXPECT_FALSE(protectedFolder);
  EXPECT_EQ(g_descriptors, (std::vector<std::wstring>{L"O:BA", L""}));
  EXPECT_EQ(folder, candidate(L'b'));
}

// Wine keeps no DACL of its own on files (it maps them onto Unix modes), so what is checked
// here is the descriptor the folder is created with.
TEST(ProtectedSecurityTest, AdministratorsOwnAndUsersOnlyReadAndExecute) {
  ProtectedSecurity security;
  ASSERT_NE(security.attributes(), nullptr);
  EXPECT_FALSE(security.attributes()->bInheritHandle);
  LPWSTR text = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      security.attributes()->lpSecurityDescriptor, SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr));
  vocabulary::ScopedLocalMemory owned(text);
  EXPECT_EQ(std::wstring(text), L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
}

}  // namespace
}  // namespace tzk::stub
