#include "vocabulary/path.h"

#include <gtest/gtest.h>

#include <string>

namespace tzk::vocabulary {
namespace {

std::wstring tail(std::wstring text, bool* result = nullptr) {
  const bool ok = NormalisePathTail(text);
  if (result != nullptr) *result = ok;
  return text;
}

std::wstring longPath(const std::wstring& text) {
  std::wstring out;
  EXPECT_TRUE(ToLongPath(text, out));
  return out;
}

struct Analysed {
  Result result;
  std::wstring root;
  PathAnalysis a;
};

Analysed analyse(const wchar_t* path, std::uint32_t options = 0) {
  Analysed r;
  r.result = AnalysePath(path, &r.root, &r.a, options);
  return r;
}

// Absolute: names one place whatever the current folder and drive. Rooted: names no place
// below the current folder. A drive-relative "C:x" is the one that is rooted but not absolute,
// which is why a containment check must not take "not absolute" for "inside".
TEST(PathAbsolute, AbsoluteAndRootedDifferOnlyWhereTheCurrentDriveMatters) {
  struct Case {
    const wchar_t* path;
    bool absolute;
    bool rooted;
  };
  const Case cases[] = {
      {L"C:\\x", true, true},          {L"z:/x", true, true},           {L"\\\\server\\share", true, true},
      {L"//server/share", true, true}, {L"\\\\?\\C:\\x", true, true},   {L"\\\\.\\pipe\\x", true, true},
      {L"C:x", false, true},           {L"C:", false, true},            {L"\\x", false, true},
      {L"/x", false, true},            {L"1:\\x", false, true},         {L"x", false, false},
      {L"x\\C:", false, false},        {L"..\\x", false, false},        {L"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
    EXPECT_EQ(IsAbsolutePath(c.path), c.absolute);
    EXPECT_EQ(HasRoot(c.path), c.rooted);
  }
  EXPECT_FALSE(IsAbsolutePath(nullptr));
}

TEST(PathSplit, FolderAndNameAtTheLastSeparator) {
  EXPECT_EQ(FolderOf(L"C:\\a\\b.exe"), L"C:\\a");
  EXPECT_EQ(FileNameOf(L"C:\\a\\b.exe"), L"b.exe");
  EXPECT_EQ(FolderOf(L"C:/a/b\\c"), L"C:/a/b");
  EXPECT_EQ(FileNameOf(L"C:/a/b\\c"), L"c");
  // A drive colon ends the folder part for the name, never for the folder.
  EXPECT_EQ(FileNameOf(L"C:b.exe"), L"b.exe");
  EXPECT_EQ(FolderOf(L"C:b.exe"), L"");
  EXPECT_EQ(FolderOf(L"b.exe"), L"");
  EXPECT_EQ(FileNameOf(L"b.exe"), L"b.exe");
  EXPECT_EQ(FileNameOf(L"C:\\a\\"), L"");
}

TEST(PathTail, SeparatorsAndDots) {
  EXPECT_EQ(tail(L"C:/a//b\\\\\\c/"), L"C:\\a\\b\\c\\");
  EXPECT_EQ(tail(L"a\\.\\.\\b\\."), L"a\\b");
  EXPECT_EQ(tail(L"C:\\."), L"C:\\");
  EXPECT_EQ(tail(L"\\."), L"\\");
  // Names that merely begin with a dot are names.
  EXPECT_EQ(tail(L"C:\\.git\\..x\\...\\.y"), L"C:\\.git\\..x\\...\\.y");
}

TEST(PathTail, ParentComponents) {
  EXPECT_EQ(tail(L"C:\\a\\b\\..\\c"), L"C:\\a\\c");
  EXPECT_EQ(tail(L"C:\\a\\b\\..\\..\\c"), L"C:\\c");
  EXPECT_EQ(tail(L"x\\a\\..\\.\\b"), L"x\\b");
  EXPECT_EQ(tail(L"x\\a\\.."), L"x");
  EXPECT_EQ(tail(L"C:\\a\\.."), L"C:\\");
  EXPECT_EQ(tail(L"\\a\\.."), L"\\");
  // The first component after a drive root cannot be climbed over: the root stays.
  EXPECT_EQ(tail(L"C:\\..\\a"), L"C:\\a");
  EXPECT_EQ(tail(L"C:\\a\\..\\..\\..\\b"), L"C:\\b");
  EXPECT_EQ(tail(L"C:\\.."), L"C:\\");
  EXPECT_EQ(tail(L"\\..\\a"), L"\\a");
}

TEST(PathTail, ClimbAboveFirstComponent) {
  bool ok = true;
  EXPECT_EQ(tail(L"a\\b\\..\\..\\c", &ok), L"c");
  EXPECT_TRUE(ok);
  EXPECT_EQ(tail(L"a\\..", &ok), L"a");
  EXPECT_FALSE(ok);
}

TEST(PathLong, PrefixesAndCleanUp) {
  EXPECT_EQ(longPath(L"C:\\a\\..\\b//c"), L"\\\\?\\C:\\b\\c");
  EXPECT_EQ(longPath(L"C:\\..\\a"), L"\\\\?\\C:\\a");
  EXPECT_EQ(longPath(L"//server/share/dir/../f"), L"\\\\?\\UNC\\server\\share\\f");
  EXPECT_EQ(longPath(L"\\\\server\\share\\.cfg"), L"\\\\?\\UNC\\server\\share\\.cfg");
  // Already prefixed texts are the caller's exact wish: no clean-up at all.
  EXPECT_EQ(longPath(L"\\\\?\\C:\\a\\..\\b//c"), L"\\\\?\\C:\\a\\..\\b//c");
  EXPECT_EQ(longPath(L"\\\\.\\tzkSP"), L"\\\\.\\tzkSP");
  EXPECT_EQ(longPath(L""), L"\\\\?\\");
}

TEST(PathAnalyse, NullAndEmpty) {
  EXPECT_EQ(AnalysePath(nullptr, nullptr, nullptr, 0), code::kBadArguments);
  EXPECT_EQ(AnalysePath(L"", nullptr, nullptr, 0), code::kInvalidName);
}

TEST(PathAnalyse, DriveRoots) {
  auto r = analyse(L"C:\\dir\\f");
  EXPECT_EQ(r.result, code::kSuccess);
  EXPECT_EQ(r.root, L"C:");
  EXPECT_EQ(r.a.kind, 0x100u | 0x2 | 0x10 | 0x4);
  EXPECT_EQ(r.a.rootEnd, 2u);
  EXPECT_EQ(r.a.rootLength, 2u);

  EXPECT_EQ(analyse(L"C:").a.kind, 0x100u | 0x2);
  EXPECT_EQ(analyse(L"C:rel").a.kind, 0x100u | 0x4);

  r = analyse(L"\\\\?\\D:\\x");
  EXPECT_EQ(r.root, L"D:");
  EXPECT_EQ(r.a.kind, 0x200u | 0x2 | 0x100 | 0x10 | 0x4);
  EXPECT_EQ(r.a.rootStart, 4u);
  EXPECT_EQ(r.a.prefixLength, 4u);
  EXPECT_EQ(r.a.rootEnd, 6u);
}

TEST(PathAnalyse, UncRoots) {
  auto r = analyse(L"\\\\server\\share\\more");
  EXPECT_EQ(r.root, L"\\\\server\\share");
  EXPECT_EQ(r.a.kind, 0x1u | 0x2 | 0x8 | 0x10 | 0x4);
  EXPECT_EQ(r.a.prefixLength, 2u);

  // A plain UNC server counts a share as soon as a separator follows it.
  EXPECT_EQ(analyse(L"\\\\server\\").a.kind, 0x1u | 0x2 | 0x8);
  EXPECT_EQ(analyse(L"\\\\server").a.kind, 0x1u | 0x2);

  r = analyse(L"\\\\?\\UNC\\server\\share\\more");
  EXPECT_EQ(r.result, code::kSuccess);
  EXPECT_EQ(r.root, L"\\\\server\\share");
  EXPECT_EQ(r.a.kind, 0x800u | 0x1 | 0x8 | 0x200 | 0x2 | 0x10 | 0x4);
  EXPECT_EQ(r.a.prefixLength, 8u);
  EXPECT_EQ(r.a.rootStart, 0u);
  EXPECT_EQ(r.a.rootEnd, 20u);
  EXPECT_EQ(r.a.rootLength, 14u);

  // Below a prefix only a real share name sets 0x8.
  EXPECT_EQ(analyse(L"\\\\.\\unc\\server\\").a.kind, 0x400u | 0x800 | 0x1 | 0x2);

  r = analyse(L"//server//share/x", analyse_option::kCleanSeparators | analyse_option::kDriveType);
  EXPECT_EQ(r.root, L"\\\\server\\share");
  EXPECT_EQ(r.a.rootLength, 14u);
  EXPECT_EQ(r.a.driveType, 4u);
}

TEST(PathAnalyse, VolumeAndDeviceRoots) {
  const std::wstring volume = L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}";
  auto r = analyse((volume + L"\\dir").c_str());
  EXPECT_EQ(r.root, volume);
  EXPECT_EQ(r.a.kind, 0x200u | 0x2 | 0x1000 | 0x10 | 0x4);
  // One character short of a GUID is no volume root.
  EXPECT_EQ(analyse(L"\\\\?\\Volume{12345678-1234-1234-1234-123456789ab}").a.kind & 0x1000, 0u);

  r = analyse(L"\\\\?\\GlobalRoot\\Device\\HarddiskVolume2\\x");
  EXPECT_EQ(r.root, L"\\\\?\\GlobalRoot\\Device\\HarddiskVolume2");
  EXPECT_EQ(r.a.kind, 0x200u | 0x2 | 0x4000 | 0x10 | 0x4);

  r = analyse(L"\\\\.\\Device\\FileDisk\\Disk3\\x");
  EXPECT_EQ(r.root, L"\\\\.\\Device\\FileDisk\\Disk3");
  EXPECT_EQ(r.a.kind, 0x400u | 0x2 | 0x4000 | 0x10 | 0x4);
}

TEST(PathAnalyse, RelativeRoots) {
  auto r = analyse(L"dir\\f");
  EXPECT_EQ(r.root, L"dir");
  EXPECT_EQ(r.a.kind, 0x10u | 0x4);
  r = analyse(L"\\dir");
  EXPECT_EQ(r.root, L"");
  EXPECT_EQ(r.a.kind, 0x10u | 0x4);
}

TEST(PathAnalyse, ReturnedText) {
  using namespace analyse_option;
  EXPECT_EQ(analyse(L"C:\\dir", kEndWithSeparator).root, L"C:\\");
  EXPECT_EQ(analyse(L"C:/a//..\\b/", kWholePath | kCleanSeparators).root, L"C:\\b");
  EXPECT_EQ(analyse(L"C:/a//b", kWholePath | kCleanSeparators | kEndWithSeparator).root, L"C:\\a\\b\\");
  EXPECT_EQ(analyse(L"\\\\?\\UNC\\srv\\sh\\x\\", kWholePath).root, L"\\\\srv\\sh\\x");
  // The separator of a drive root is part of the root and survives.
  EXPECT_EQ(analyse(L"C:\\", kWholePath).root, L"C:\\");
  // Root and analysis are both optional.
  PathAnalysis a;
  EXPECT_EQ(AnalysePath(L"C:\\x", nullptr, &a, kWholePath), code::kSuccess);
  EXPECT_EQ(a.rootEnd, 2u);
}

#ifdef _WIN32
TEST(PathAnalyse, DriveTypeOfTheSystemDrive) {
  EXPECT_EQ(analyse(L"C:\\windows", analyse_option::kDriveType).a.driveType, 3u);  // DRIVE_FIXED
}
#endif

TEST(PathFolder, NormalisedFolders) {
  EXPECT_EQ(NormaliseFolderPath(L"C:\\dir\\/"), L"C:\\dir");
  EXPECT_EQ(NormaliseFolderPath(L"C:"), L"C:\\");
  EXPECT_EQ(NormaliseFolderPath(L"C:\\\\"), L"C:\\");
  EXPECT_EQ(NormaliseFolderPath(L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\"),
            L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\");
  EXPECT_EQ(NormaliseFolderPath(L"//"), L"\\");
  EXPECT_EQ(NormaliseFolderPath(L""), L"\\");
  EXPECT_EQ(JoinSubfolder(L"C:\\p", L"setup"), L"C:\\p\\setup");
  EXPECT_EQ(JoinSubfolder(L"C:\\p\\", L"setup"), L"C:\\p\\setup");
  EXPECT_EQ(JoinSubfolder(L"C:\\p", L"\\DATA"), L"C:\\p\\DATA");
}

TEST(JoinPath, EmptySidesGiveTheOtherSideUnchanged) {
  EXPECT_EQ(JoinPath(L"", L"name.txt"), L"name.txt");
  EXPECT_EQ(JoinPath(L"", L"\\name.txt"), L"\\name.txt");
  EXPECT_EQ(JoinPath(L"C:\\tmp\\", L""), L"C:\\tmp\\");
  EXPECT_EQ(JoinPath(L"\"C:\\tmp\"", L""), L"\"C:\\tmp\"");
  EXPECT_EQ(JoinPath(L"", L""), L"");
}

TEST(JoinPath, ExactlyOneBackslashBetween) {
  EXPECT_EQ(JoinPath(L"C:\\tmp", L"a.txt"), L"C:\\tmp\\a.txt");
  EXPECT_EQ(JoinPath(L"C:\\tmp\\", L"a.txt"), L"C:\\tmp\\a.txt");
  EXPECT_EQ(JoinPath(L"C:\\tmp", L"\\a.txt"), L"C:\\tmp\\a.txt");
  // Only one separator is ever added; doubled ones already present are left to the caller.
  EXPECT_EQ(JoinPath(L"C:\\tmp\\", L"\\a.txt"), L"C:\\tmp\\\\a.txt");
  EXPECT_EQ(JoinPath(L"C:", L"a.txt"), L"C:\\a.txt");
}

TEST(JoinPath, QuotedFolderStaysOneQuotedPath) {
  EXPECT_EQ(JoinPath(L"\"C:\\Program Files\"", L"a.exe"), L"\"C:\\Program Files\\a.exe\"");
  EXPECT_EQ(JoinPath(L"\"C:\\Program Files\\\"", L"a.exe"), L"\"C:\\Program Files\\a.exe\"");
  // A folder that only opens a quote is closed after the name.
  EXPECT_EQ(JoinPath(L"\"C:\\tmp", L"a.exe"), L"\"C:\\tmp\\a.exe\"");
  // Only one trailing quote is taken off.
  EXPECT_EQ(JoinPath(L"C:\\tmp\"\"", L"a"), L"C:\\tmp\"\\a");
  // A folder that is only a quote leaves nothing to open the path with.
  EXPECT_EQ(JoinPath(L"\"", L"a"), L"\\a");
}

}  // namespace
}  // namespace tzk::vocabulary
