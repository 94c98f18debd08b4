#include "stub/command_line.h"

#include <gtest/gtest.h>

namespace tzk::stub {
namespace {

using Options = std::map<std::wstring, std::wstring>;

CommandLine parsed(const std::wstring& text, bool firstIsProgram = false) {
  CommandLine line;
  line.Parse(text, firstIsProgram);
  return line;
}

TEST(CommandLineTokens, WhitespaceQuotesAndDoubledQuotes) {
  EXPECT_EQ(TokenizeCommandLine(L"  a\t\tb\r\nc"), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(TokenizeCommandLine(L"a "), (std::vector<std::wstring>{L"a", L""}));
  EXPECT_EQ(TokenizeCommandLine(L"\"a b\" c"), (std::vector<std::wstring>{L"a b", L"c"}));
  EXPECT_EQ(TokenizeCommandLine(L"say\"\"hi\"\""), (std::vector<std::wstring>{L"say\"hi\""}));
  EXPECT_EQ(TokenizeCommandLine(L"\"in \"\"quotes\"\" too\""), (std::vector<std::wstring>{L"in \"quotes\" too"}));
  // A pair of quotes is a literal quote, never an empty argument.
  EXPECT_EQ(TokenizeCommandLine(L"a \"\" b"), (std::vector<std::wstring>{L"a", L"\"", L"b"}));
  // An unterminated quote keeps the rest of the text, whitespace included.
  EXPECT_EQ(TokenizeCommandLine(L"x \"open  to the end "), (std::vector<std::wstring>{L"x", L"open  to the end "}));
  EXPECT_TRUE(TokenizeCommandLine(L"").empty());
}

TEST(CommandLineParse, OptionsAreCaseSensitiveAndOnlyPresenceCounts) {
  EXPECT_EQ(parsed(L"/silent").options(), (Options{{L"silent", L""}}));
  EXPECT_FALSE(parsed(L"/Silent").Has(L"silent"));
  EXPECT_TRUE(parsed(L"/silent:no").Has(L"silent"));
}

TEST(CommandLineParse, ColonsSplitAtTheFirstOnly) {
  EXPECT_EQ(parsed(L"/a:b:c").options(), (Options{{L"a", L"b:c"}}));
  EXPECT_EQ(parsed(L"/:x").options(), (Options{{L"", L"x"}}));
  EXPECT_EQ(parsed(L"/").options(), (Options{{L"", L""}}));
}

TEST(CommandLineParse, RepeatedKeysKeepTheLastValue) {
  EXPECT_EQ(parsed(L"/k:1 /k:2 /k").options(), (Options{{L"k", L""}}));
  EXPECT_EQ(parsed(L"/k /k:last").options(), (Options{{L"k", L"last"}}));
}

TEST(CommandLineParse, ProgramIsTheFirstTokenWhateverItHolds) {
  CommandLine line(L"/notanoption /real");
  EXPECT_EQ(line.program(), L"/notanoption");
  EXPECT_EQ(line.options(), (Options{{L"real", L""}}));
  EXPECT_TRUE(parsed(L"prog a", false).program().empty());
}

TEST(CommandLineParse, ReparsingClearsEverything) {
  CommandLine line(L"prog /a b");
  line.Parse(L"", false);
  EXPECT_TRUE(line.program().empty());
  EXPECT_TRUE(line.options().empty());
  EXPECT_TRUE(line.arguments().empty());
  EXPECT_EQ(line.Format(), L"");
}

TEST(CommandLineFormat, ProgramOptionsThenArgumentsWithQuoting) {
  const CommandLine line(L"C:\\setup.exe   first   \"second one\"   /opt:v ");
  EXPECT_EQ(line.program(), L"C:\\setup.exe");
  EXPECT_EQ(line.arguments(), (std::vector<std::wstring>{L"first", L"second one"}));
  EXPECT_EQ(line.options(), (Options{{L"opt", L"v"}}));
  EXPECT_EQ(line.Format(), L"\"C:\\setup.exe\" /opt:v \"first\" \"second one\"");
}

TEST(CommandLineFormat, QuotesOptionsWithSpacesOrQuotesButNotTabs) {
  EXPECT_EQ(parsed(L"\"/my key:my value\"").Format(), L" \"/my key:my value\"");
  CommandLine line;
  line.Set(L"a key", L"");
  EXPECT_EQ(line.Format(), L" \"/a key\"");
  line.Parse(L"", false);
  line.Set(L"tab", L"a\tb");
  EXPECT_EQ(line.Format(), L" /tab:a\tb");
}

TEST(CommandLineFormat, RoundTripsKeysValuesAndArguments) {
  CommandLine original;
  original.Set(L"q", L"say \"hi\"");
  original.Set(L"path", L"C:\\Program Files\\x");
  original.Set(L"empty", L"");
  original.Set(L"a:b", L"c");  // a colon in a key moves into the value on the way back
  const std::wstring text = original.Format();
  EXPECT_EQ(text.substr(0, 1), L" ");
  const CommandLine back = parsed(text);
  EXPECT_EQ(back.options().at(L"q"), L"say \"hi\"");
  EXPECT_EQ(back.options().at(L"path"), L"C:\\Program Files\\x");
  EXPECT_EQ(back.options().at(L"empty"), L"");
  EXPECT_EQ(back.options().at(L"a"), L"b:c");

  const CommandLine withProgram(L"\"C:\\a \"\"b\"\"\\p.exe\" \"arg \"\"1\"\"\" /x:1");
  EXPECT_EQ(withProgram.program(), L"C:\\a \"b\"\\p.exe");
  EXPECT_EQ(CommandLine(withProgram.Format()).Format(), withProgram.Format());
  EXPECT_EQ(CommandLine(withProgram.Format()).arguments(), withProgram.arguments());
}

TEST(CommandLineChild, RawUserArgumentsFollowTheArchiveOptionsVerbatim) {
  CommandLine archive;
  archive.Parse(L"/sfx /ga_code:0x1", false);
  EXPECT_EQ(BuildChildArguments(archive, L"/silent  \"x y\""), L" /ga_code:0x1 /sfx /silent  \"x y\"");
  EXPECT_EQ(BuildChildArguments(archive, L""), L" /ga_code:0x1 /sfx");
  EXPECT_FALSE(archive.Has(L"silent"));
}

}  // namespace
}  // namespace tzk::stub
