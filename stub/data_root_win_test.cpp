#include "stub/data_root.h"

#include <sddl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "vocabulary/scoped_handle.h"

namespace tzk::stub {
namespace {

// The owner and DACL of a descriptor written in SDDL, judged as a folder's would be.
bool judged(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << sddl;
  const vocabulary::ScopedLocalMemory owned(descriptor);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  return onlyAdministratorsChange(owner, present ? dacl : nullptr);
}

// What a user can do before the first installation: make the folder (and own it), or leave one
// whose DACL lets Users write, inherit or not, or grant Everyone through a right that lets it
// grant itself the rest.
TEST(DataRootTest, OnlyAFolderNoOneButAdministratorsCanChangeIsKept) {
  EXPECT_TRUE(judged(L"O:BAD:P(A;CIOI;FA;;;SY)(A;CIOI;FA;;;BA)(A;CIOI;FRFX;;;BU)"));
  EXPECT_TRUE(judged(L"O:SYD:(A;;FA;;;SY)(D;;FA;;;WD)")) << "a denial takes nothing away";

  EXPECT_FALSE(judged(L"O:S-1-5-21-1-2-3-1000D:P(A;CIOI;FA;;;SY)(A;CIOI;FA;;;BA)")) << "owned by a user";
  EXPECT_FALSE(judged(L"O:BAD:(A;CIOI;FA;;;BA)(A;CIOI;0x100116;;;BU)")) << "Users may create and delete";
  EXPECT_FALSE(judged(L"O:BAD:(A;OICIIO;GA;;;CO)(A;;FA;;;BA)")) << "creators own what they make below";
  EXPECT_FALSE(judged(L"O:BAD:(A;;WD;;;WD)")) << "Everyone may change the DACL";
  EXPECT_FALSE(judged(L"O:BAD:(A;;0x10000;;;AU)")) << "Authenticated Users may delete it";
  EXPECT_FALSE(judged(L"O:BA")) << "no DACL lets everyone do everything";
}

class DataRootFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    root_ = std::wstring(base) + L"dataroot_test_" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root_.c_str(), nullptr);
    paths_ = makeDataPaths(root_);
  }
  void TearDown() override {
    const std::wstring zanti = paths_.dataRoot + L"\\Persistent Data\\Zanti";
    for (const std::wstring& file : {paths_.logFile, paths_.rebootMarker, root_ + L"\\elsewhere.log"}) {
      ::DeleteFileW(file.c_str());
    }
    for (const std::wstring& folder :
         {paths_.logsFolder(), zanti, paths_.dataRoot + L"\\Persistent Data", paths_.dataRoot, root_}) {
      ::RemoveDirectoryW(folder.c_str());
    }
  }
  static bool isFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  static void write(const std::wstring& path, const char* text) {
    vocabulary::ScopedFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr));
  }

  std::wstring root_;
  DataPaths paths_;
};

// A file put where a level belongs would leave the run without its folder; one put at the log's
// name as a second name of another file would have every run append there.
TEST_F(DataRootFolderTest, AFileInPlaceOfALevelAndALogWithASecondNameAreRemoved) {
  write(paths_.dataRoot, "squat");
  ASSERT_FALSE(isFolder(paths_.dataRoot));
  ASSERT_TRUE(prepareDataRoot(paths_, true));
  EXPECT_TRUE(isFolder(paths_.logsFolder()));

  const std::wstring elsewhere = root_ + L"\\elsewhere.log";
  write(elsewhere, "the user's");
  ASSERT_TRUE(::CreateHardLinkW(paths_.logFile.c_str(), elsewhere.c_str(), nullptr));
  ASSERT_TRUE(prepareDataRoot(paths_, true));
  EXPECT_EQ(::GetFileAttributesW(paths_.logFile.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(::GetFileAttributesW(elsewhere.c_str()), INVALID_FILE_ATTRIBUTES) << "the other name stays as it was";
}

TEST_F(DataRootFolderTest, OnlyAPlainFileIsARebootMarker) {
  ASSERT_TRUE(prepareDataRoot(paths_, true));
  EXPECT_FALSE(rebootMarkerPresent(paths_.rebootMarker));
  ASSERT_TRUE(::CreateDirectoryW(paths_.rebootMarker.c_str(), nullptr));
  EXPECT_FALSE(rebootMarkerPresent(paths_.rebootMarker));
  ::RemoveDirectoryW(paths_.rebootMarker.c_str());
  write(paths_.rebootMarker, "");
  EXPECT_TRUE(rebootMarkerPresent(paths_.rebootMarker));
}

}  // namespace
}  // namespace tzk::stub
