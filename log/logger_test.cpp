#include "log/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#include <unistd.h>
#endif

#include "vocabulary/text.h"

namespace tzk::log {
namespace {

const ComponentTag kQelvo(L"Qelvo");
const ComponentTag kRegistry(L"registry");

// A scratch folder of real files on whichever system runs the test.
class ScratchDir {
 public:
  ScratchDir() {
#ifdef _WIN32
    char base[MAX_PATH];
    ::GetTempPathA(MAX_PATH, base);
    path_ = std::string(base) + "logger_test_" + std::to_string(::GetCurrentProcessId()) + "_" +
            std::to_string(::GetTickCount()) + std::to_string(reinterpret_cast<std::uintptr_t>(this));
    ::CreateDirectoryA(path_.c_str(), nullptr);
#else
    char pattern[] = "/tmp/logger_test_XXXXXX";
    path_ = ::mkdtemp(pattern);
#endif
  }
  std::string file(const std::string& name) const { return path_ + sep() + name; }
  std::wstring wfile(const std::string& name) const { return vocabulary::fromUtf8(file(name)); }
  static const char* sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
  }

 private:
  std::string path_;
};

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The log file's text as lines, without the byte-order mark.
std::vector<std::wstring> readLines(const std::string& path, bool* hadBom = nullptr) {
  const std::string bytes = readBytes(path);
  std::wstring text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  if (hadBom != nullptr) *hadBom = !text.empty() && text[0] == 0xFEFF;
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the file ends in the middle of a line";
  return lines;
}

std::size_t countBoms(const std::string& path) {
  const std::string bytes = readBytes(path);
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) n += bytes[i] == '\xFF' && bytes[i + 1] == '\xFE';
  return n;
}

bool endsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(LogLevels, NamesAndParsing) {
  EXPECT_EQ(parseLevel(L"WARNING"), level::kWarning);
  EXPECT_EQ(parseLevel(L"fatal"), level::kFatal);
  EXPECT_EQ(parseLevel(L"nonsense"), level::kInfo);
  EXPECT_EQ(parseLevel(nullptr), level::kInfo);
  EXPECT_STREQ(levelName(0), L"trace");
  EXPECT_STREQ(levelName(7), L"none");
  EXPECT_STREQ(levelName(-1), L"none");
}

TEST(LogTags, CutToFifteenAndLowerCased) {
  EXPECT_STREQ(ComponentTag(L"SfxArc").text, L"sfxarc");
  EXPECT_STREQ(ComponentTag(L"ABCDEFGHIJKLMNOPQRST").text, L"abcdefghijklmno");
}

TEST(LogLineFormat, FieldsArePaddedNotCut) {
  LogRecord record;
  record.level = level::kWarning;
  std::wcscpy(record.component, L"abcdefghijklmno");
  record.message = L"hello";
  record.time = 130740947320000000ULL;  // 2015-04-21 12:58:52 UTC
  record.processId = 3120;
  record.threadId = 123456;
  EXPECT_STREQ(record.format().get(), L"[2015-04-21 12:58:52] [warning] [abcdefghijklmno] [ 3120:123456] hello");

  record.level = 7;
  record.message.clear();
  std::wcscpy(record.component, L"qelvo");
  EXPECT_STREQ(record.format().get(), L"[2015-04-21 12:58:52] [none   ] [qelvo          ] [ 3120:123456] ");

  record.level = level::kInfo;
  record.time = 0;  // before 1970 on some systems: the calendar fields may print as zero
  const std::wstring line = record.format().get();
  EXPECT_NE(line.find(L"] [info   ] [qelvo"), std::wstring::npos);
}

TEST(LoggerFiltering, DefaultsDropDebugAndNegativeLevels) {
  Logger logger;
  logger.write(level::kDebug, kQelvo, L"dropped");
  logger.write(-1, kQelvo, L"never");
  logger.write(7, kQelvo, L"passes");
  logger.write(level::kInfo, kQelvo, L"%s=%d 0x%08lx", L"value", 42, 0xA003u);
  const auto history = logger.history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].message, L"passes");
  EXPECT_EQ(history[1].message, L"value=42 0x0000a003");
}

TEST(LoggerFile, HistoryIsFlushedFirstAndLaterRunsAppendWithoutSecondBom) {
  ScratchDir dir;
  const std::string path = dir.file("Setup.log");
  {
    Logger logger;
    logger.write(level::kInfo, kQelvo, L"--");
    logger.write(level::kInfo, kQelvo, L"before configure");
    logger.configure(nullptr, dir.wfile("Setup.log").c_str());
    logger.write(level::kInfo, kQelvo, L"after configure");
    logger.write(level::kDebug, kQelvo, L"debug stays out");
  }
  bool bom = false;
  auto lines = readLines(path, &bom);
  EXPECT_TRUE(bom);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(endsWith(lines[0], L"] --"));
  EXPECT_TRUE(endsWith(lines[1], L"] before configure"));
  EXPECT_TRUE(endsWith(lines[2], L"] after configure"));

  {
    Logger second;
    second.write(level::kInfo, kQelvo, L"second run");
    second.configure(nullptr, dir.wfile("Setup.log").c_str());
  }
  lines = readLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(endsWith(lines[3], L"] second run"));
  EXPECT_EQ(countBoms(path), 1u);
}

TEST(LoggerFile, UnopenablePathIsRecordedAndLoggingGoesOn) {
  ScratchDir dir;
  Logger logger;
  const std::wstring missing = dir.wfile("no such folder") + vocabulary::fromUtf8(ScratchDir::sep()) + L"Setup.log";
  logger.configure(nullptr, missing.c_str());
  logger.write(level::kInfo, kQelvo, L"still here");
  const auto history = logger.history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].level, level::kError);
  EXPECT_STREQ(history[0].component, L"logger");
  EXPECT_EQ(history[0].message.rfind(L"Failed to open the log file \"" + missing + L"\" with error 0x", 0), 0u);
  EXPECT_EQ(history[1].message, L"still here");
  EXPECT_EQ(logger.openFile(nullptr), code::kBadArguments);
}

TEST(LoggerSettings, SectionsOverrideTheDefaultPerComponent) {
  ScratchDir dir;
  {
    std::ofstream settings(dir.file("log.ini"), std::ios::binary);
    settings << "; comment\r\n# another\r\n\r\n[default]\r\nlevel=info\r\n"
             << "[registry]\r\nlevel=error\r\nnot a setting\r\n[qelvo]\r\nlevel = debug\r\n";
  }
  Logger logger;
  logger.configure(dir.file("log.ini").c_str(), nullptr);
  EXPECT_FALSE(logger.isLevelEnabled(kRegistry, level::kInfo));
  EXPECT_TRUE(logger.isLevelEnabled(kRegistry, level::kError));
  EXPECT_TRUE(logger.isLevelEnabled(kQelvo, level::kInfo));
  // Blanks around '=' belong to the key, so "level " is not "level": qelvo falls back.
  EXPECT_FALSE(logger.isLevelEnabled(kQelvo, level::kDebug));
  EXPECT_FALSE(logger.isDebuggerEnabled(kQelvo));

  {
    std::ofstream settings(dir.file("debugger.ini"));
    settings << "[default]\ndebugger=TRUE\n[registry]\ndebugger=yes\n";
  }
  EXPECT_EQ(logger.loadSettings(dir.file("debugger.ini").c_str()), code::kSuccess);
  EXPECT_TRUE(logger.isDebuggerEnabled(kQelvo));
  EXPECT_FALSE(logger.isDebuggerEnabled(kRegistry));
  EXPECT_EQ(logger.loadSettings(dir.file("missing.ini").c_str()), code::kOpenFailed);
  EXPECT_EQ(logger.loadSettings(nullptr), code::kBadArguments);
}

#ifdef _WIN32
// What reached the debugger: OutputDebugString hands its text to a debugger by raising this
// exception, which a vectored handler sees first.
std::vector<std::string> g_debuggerLines;
LONG CALLBACK catchDebuggerOutput(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (record.ExceptionCode != DBG_PRINTEXCEPTION_C || record.NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  g_debuggerLines.emplace_back(reinterpret_cast<const char*>(record.ExceptionInformation[1]));
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(LoggerDebugger, LinesReachTheDebuggerWhereTheSettingsSaySo) {
  ScratchDir dir;
  {
    std::ofstream settings(dir.file("debugger.ini"));
    settings << "[default]\ndebugger=true\n[registry]\ndebugger=false\n";
  }
  Logger logger;
  logger.configure(nullptr, nullptr);
  ASSERT_EQ(logger.loadSettings(dir.file("debugger.ini").c_str()), code::kSuccess);
  g_debuggerLines.clear();
  void* handler = ::AddVectoredExceptionHandler(1, &catchDebuggerOutput);
  ASSERT_NE(handler, nullptr);
  logger.write(level::kInfo, kQelvo, L"to the debugger %d", 1);
  logger.write(level::kInfo, kRegistry, L"not to the debugger");
  ::RemoveVectoredExceptionHandler(handler);
  ASSERT_EQ(g_debuggerLines.size(), 1u);
  EXPECT_NE(g_debuggerLines[0].find("] to the debugger 1\r\n"), std::string::npos) << g_debuggerLines[0];
}
#endif

// Several threads writing at once never produce a torn or interleaved line.
TEST(LoggerFile, ConcurrentLinesStayWhole) {
  ScratchDir dir;
  Logger logger;
  logger.configure(nullptr, dir.wfile("Setup.log").c_str());
  constexpr int kThreads = 4, kLines = 200;
  auto body = [&logger](int id) {
    const std::wstring payload(100, static_cast<wchar_t>(L'a' + id));
    for (int i = 0; i < kLines; ++i) logger.write(level::kInfo, kQelvo, L"%d %s", id, payload.c_str());
  };
#ifdef _WIN32
  struct Arg {
    decltype(body)* fn;
    int id;
    static DWORD WINAPI run(void* p) {
      auto* arg = static_cast<Arg*>(p);
      (*arg->fn)(arg->id);
      return 0;
    }
  };
  std::vector<Arg> args;
  for (int t = 0; t < kThreads; ++t) args.push_back({&body, t});
  std::vector<HANDLE> threads;
  for (auto& a : args) threads.push_back(::CreateThread(nullptr, 0, &Arg::run, &a, 0, nullptr));
  ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
  for (HANDLE h : threads) ::CloseHandle(h);
#else
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(body, t);
  for (auto& t : threads) t.join();
#endif
  const auto lines = readLines(dir.file("Setup.log"));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    const std::size_t space = line.rfind(L' ');
    ASSERT_NE(space, std::wstring::npos);
    const std::wstring payload = line.substr(space + 1);
    ASSERT_EQ(payload.size(), 100u) << "torn line";
    ASSERT_EQ(payload.find_first_not_of(payload[0]), std::wstring::npos) << "interleaved line";
  }
}

}  // namespace
}  // namespace tzk::log
