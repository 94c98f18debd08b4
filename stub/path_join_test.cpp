#include "stub/path_join.h"

#include <gtest/gtest.h>

namespace tzk::stub {
namespace {

TEST(JoinPath, EmptySidesGiveTheOtherSideUnchanged) {
  EXPECT_EQ(joinPath(L"", L"name.txt"), L"name.txt");
  EXPECT_EQ(joinPath(L"", L"\\name.txt"), L"\\name.txt");
  EXPECT_EQ(joinPath(L"C:\\tmp\\", L""), L"C:\\tmp\\");
  EXPECT_EQ(joinPath(L"\"C:\\tmp\"", L""), L"\"C:\\tmp\"");
  EXPECT_EQ(joinPath(L"", L""), L"");
}

TEST(JoinPath, ExactlyOneBackslashBetween) {
  EXPECT_EQ(joinPath(L"C:\\tmp", L"a.txt"), L"C:\\tmp\\a.txt");
  EXPECT_EQ(joinPath(L"C:\\tmp\\", L"a.txt"), L"C:\\tmp\\a.txt");
  EXPECT_EQ(joinPath(L"C:\\tmp", L"\\a.txt"), L"C:\\tmp\\a.txt");
  // Only one separator is ever added; doubled ones already present are left to the caller.
  EXPECT_EQ(joinPath(L"C:\\tmp\\", L"\\a.txt"), L"C:\\tmp\\\\a.txt");
  EXPECT_EQ(joinPath(L"C:", L"a.txt"), L"C:\\a.txt");
}

TEST(JoinPath, QuotedFolderStaysOneQuotedPath) {
  EXPECT_EQ(joinPath(L"\"C:\\Program Files\"", L"a.exe"), L"\"C:\\Program Files\\a.exe\"");
  EXPECT_EQ(joinPath(L"\"C:\\Program Files\\\"", L"a.exe"), L"\"C:\\Program Files\\a.exe\"");
  // A folder that only opens a quote is closed after the name.
  EXPECT_EQ(joinPath(L"\"C:\\tmp", L"a.exe"), L"\"C:\\tmp\\a.exe\"");
  // Only one trailing quote is taken off.
  EXPECT_EQ(joinPath(L"C:\\tmp\"\"", L"a"), L"C:\\tmp\"\\a");
  // A folder that is only a quote leaves nothing to open the path with.
  EXPECT_EQ(joinPath(L"\"", L"a"), L"\\a");
}

}  // namespace
}  // namespace tzk::stub
