#include "stub/run_values.h"

#include <gtest/gtest.h>

namespace tzk::stub {
namespace {

TEST(ReplaceVariable, ReplacesEveryOccurrenceOnce) {
  std::wstring text = L"/a:%TMPPATH% /b:%TMPPATH%\\x";
  replaceVariable(text, L"%TMPPATH%", L"C:\\T");
  EXPECT_EQ(text, L"/a:C:\\T /b:C:\\T\\x");
}

TEST(ReplaceVariable, InsertedValuesAreNotSearchedAgain) {
  std::wstring text = L"%V% and %V%";
  replaceVariable(text, L"%V%", L"[%V%]");
  EXPECT_EQ(text, L"[%V%] and [%V%]");
  // Run again: the earlier values turn back into the name first, so nothing nests.
  replaceVariable(text, L"%V%", L"[%V%]");
  EXPECT_EQ(text, L"[%V%] and [%V%]");
}

TEST(ReplaceVariable, MissingNameOrValueChangesNothing) {
  std::wstring text = L"%TMPPATH%";
  replaceVariable(text, L"", L"x");
  replaceVariable(text, L"%TMPPATH%", L"");
  EXPECT_EQ(text, L"%TMPPATH%");
}

TEST(BuildStamp, ParsesTheCompilersDateAndTime) {
  std::tm tm;
  ASSERT_TRUE(parseBuildStamp("Apr 21 2015", "14:58:52", &tm));
  EXPECT_EQ(tm.tm_year, 115);
  EXPECT_EQ(tm.tm_mon, 3);
  EXPECT_EQ(tm.tm_mday, 21);
  EXPECT_EQ(tm.tm_hour, 14);
  EXPECT_EQ(tm.tm_sec, 52);
  EXPECT_EQ(tm.tm_isdst, -1);
  ASSERT_TRUE(parseBuildStamp("Dec  8 2026", "04:05:06", &tm));
  EXPECT_EQ(tm.tm_mon, 11);
  EXPECT_EQ(tm.tm_mday, 8);
  EXPECT_FALSE(parseBuildStamp("Foo 21 2015", "14:58:52", &tm));
  EXPECT_FALSE(parseBuildStamp("anF 21 2015", "14:58:52", &tm));  // inside the table, not on a month
  EXPECT_FALSE(parseBuildStamp("Apr 21 2015", "noon", &tm));
}

TEST(TempFolderName, LetterAndFiveThreadDigits) {
  EXPECT_EQ(tempFolderCandidate(L"C:\\TEMP", L'a', 1234567), L"C:\\TEMP\\_av_iup.tm~a34567");
  EXPECT_EQ(tempFolderCandidate(L"C:\\TEMP\\", L'z', 42), L"C:\\TEMP\\_av_iup.tm~z00042");
}

}  // namespace
}  // namespace tzk::stub
