#include "crashguard/crash_guard.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/logger.h"
#include "log/vocabulary/little_endian.h"
#include "root/win_test_support.h"

namespace tzk::CrashGuard {
namespace {

constexpr DWORD kCaught = 0x5E;  // the child caught SEException in its main
constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kDivideByZero = 0xC0000094;

class ScratchFolder {
 public:
  ScratchFolder() {
    static int serial = 0;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"crashguard-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++serial);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() {
    for (const wchar_t* name : {L"MiniDump.dmp", L"report.txt"}) ::DeleteFileW(file(name).c_str());
    ::RemoveDirectoryW(path_.c_str());
  }
  const std::wstring& path() const { return path_; }
  std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }
  bool has(const wchar_t* name) const { return ::GetFileAttributesW(file(name).c_str()) != INVALID_FILE_ATTRIBUTES; }

 private:
  std::wstring path_;
};

// Disables a DLL for the child alone through Wine's per-program overrides. (Wine takes
// WINEDLLOVERRIDES from its own environment, not from the block a child is given.)
class DisabledDllForChild {
 public:
  explicit DisabledDllForChild(const wchar_t* dll) {
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.receive(), nullptr);
    const wchar_t disabled[] = L"";
    ::RegSetValueExW(key_.get(), dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(disabled), sizeof(disabled));
  }
  ~DisabledDllForChild() {
    key_.reset();
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kOverrides);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kProgram);
  }

 private:
  static constexpr const wchar_t* kProgram = L"Software\\Wine\\AppDefaults\\crash_guard_child.exe";
  static constexpr const wchar_t* kOverrides = L"Software\\Wine\\AppDefaults\\crash_guard_child.exe\\DllOverrides";
  root::ScopedRegKey key_;
};

DWORD runChild(const wchar_t* mode, const ScratchFolder& folder) {
  std::wstring commandLine = L"\"" + root::testing::ExecutableFolder() + L"\\crash_guard_child.exe\" " + mode;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.path().c_str(), &startup,
                        &process)) {
    ADD_FAILURE() << "CreateProcessW failed with " << ::GetLastError();
    return 0xFFFFFFFF;
  }
  const root::ScopedKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
  DWORD exitCode = 0xFFFFFFFF;
  EXPECT_EQ(::WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  return exitCode;
}

std::map<std::string, unsigned long> readReport(const ScratchFolder& folder) {
  std::map<std::string, unsigned long> values;
  std::ifstream file(folder.file(L"report.txt").c_str());
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = std::stoul(line.substr(equals + 1));
  }
  return values;
}

std::uint32_t readU32(const std::vector<unsigned char>& bytes, std::size_t offset) {
  return root::ReadLe32(bytes.data() + offset);
}

struct DumpedException {
  std::uint32_t threadId;
  std::uint32_t code;
};

// Reads the header, the stream directory and the exception stream of a minidump.
std::optional<DumpedException> readExceptionStream(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
  constexpr std::uint32_t kExceptionStream = 6;
  if (bytes.size() < 32 || readU32(bytes, 0) != kSignature) return std::nullopt;
  const std::uint32_t streams = readU32(bytes, 8);
  const std::uint32_t directory = readU32(bytes, 12);
  for (std::uint32_t i = 0; i < streams && directory + 12 * (i + 1) <= bytes.size(); ++i) {
    const std::size_t entry = directory + 12 * i;
    const std::uint32_t rva = readU32(bytes, entry + 8);
    // ThreadId, alignment, then the exception record starting with its code.
    if (readU32(bytes, entry) == kExceptionStream && rva + 12 <= bytes.size()) {
      return DumpedException{readU32(bytes, rva), readU32(bytes, rva + 8)};
    }
  }
  return std::nullopt;
}

TEST(CrashGuardFault, FaultIsDumpedByTheDumpThreadAndLeavesTheEntryRoutine) {
  const struct {
    const wchar_t* mode;
    std::uint32_t code;
  } cases[] = {{L"access", kAccessViolation}, {L"divide", kDivideByZero}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ScratchFolder folder;
    ASSERT_EQ(runChild(c.mode, folder), kCaught);
    auto report = readReport(folder);
    EXPECT_EQ(report["thread"], report["guarded"]);
    EXPECT_EQ(report["code"], c.code);
    EXPECT_EQ(report["unwound"], 1u) << "the faulting frame's destructors must run";
    EXPECT_NE(report["writer"], 0u);
    EXPECT_NE(report["writer"], report["guarded"]) << "the dump thread writes the dump";
    EXPECT_EQ(report["records"], 0u);
    const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
    ASSERT_TRUE(dumped.has_value());
    EXPECT_EQ(dumped->threadId, report["guarded"]);
    EXPECT_EQ(dumped->code, c.code);
  }
}

// A fault that guarded code catches and survives takes a dump too, but not the last one: the
// crash that follows gets its own.
TEST(CrashGuardFault, AFaultSurvivedLeavesTheNextOneItsDump) {
  ScratchFolder folder;
  ASSERT_EQ(runChild(L"survived", folder), kCaught);
  auto report = readReport(folder);
  EXPECT_EQ(report["code"], kAccessViolation);
  const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->code, kAccessViolation) << "the dump of the divide by zero that was survived";
}

TEST(CrashGuardFault, TerminationAfterAnEscapedFaultKeepsTheFaultDump) {
  ScratchFolder folder;
  EXPECT_NE(runChild(L"escape", folder), 0u);
  const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->threadId, readReport(folder)["guarded"]);
  EXPECT_EQ(dumped->code, kAccessViolation);
}

TEST(CrashGuardFault, FaultInSystemCodeIsDumpedWhereItHappened) {
  ScratchFolder folder;
  EXPECT_EQ(runChild(L"system", folder), kAccessViolation);
  const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->threadId, readReport(folder)["guarded"]);
  EXPECT_EQ(dumped->code, kAccessViolation);
}

TEST(CrashGuardFault, FaultThatSystemCodeHandlesItselfIsLeftAlone) {
  ScratchFolder folder;
  EXPECT_EQ(runChild(L"probe", folder), 7u);
  EXPECT_FALSE(folder.has(L"MiniDump.dmp"));
}

TEST(CrashGuardFault, WithoutDebugHelpThereIsNoDumpAndNoRecord) {
  ScratchFolder folder;
  const DisabledDllForChild noDebugHelp(L"dbghelp");
  ASSERT_EQ(runChild(L"access", folder), kCaught);
  EXPECT_FALSE(folder.has(L"MiniDump.dmp"));
  auto report = readReport(folder);
  EXPECT_EQ(report["writer"], 0u);
  EXPECT_EQ(report["records"], 0u);
}

// In-process runs: the guard around routines that return or throw ordinary exceptions.

unsigned threadCount() {
  const root::ScopedFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  unsigned count = 0;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
  }
  return count;
}

std::vector<log::LogRecord> guardRecordsSince(std::size_t first) {
  std::vector<log::LogRecord> records;
  const auto history = log::theLogger().history();
  for (std::size_t i = first; i < history.size(); ++i) {
    if (std::wcscmp(history[i].component, L"crashguard") == 0) records.push_back(history[i]);
  }
  return records;
}

void previousTerminate() {}
void previousUnexpected() {}
void __cdecl previousPureCall() {}
void previousTranslator(unsigned int, EXCEPTION_POINTERS*) {}

UINT currentErrorMode() {
  const UINT mode = ::SetErrorMode(0);
  ::SetErrorMode(mode);
  return mode;
}

unsigned g_threadsInside = 0;
UINT g_errorModeInside = 0;
bool g_translatorInside = false;

Result observeInside(HINSTANCE, const wchar_t* arguments) {
  g_threadsInside = threadCount();
  g_errorModeInside = currentErrorMode();
  const SeTranslator translator = setSeTranslator(nullptr);
  setSeTranslator(translator);
  g_translatorInside = translator != nullptr && translator != &previousTranslator;
  return std::wcslen(arguments);
}

TEST(CrashGuardRun, NormalRunLeavesNoDumpNoThreadNoRecordAndRestoresHandlers) {
  ScratchFolder folder;
  wchar_t previousFolder[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, previousFolder);
  ASSERT_TRUE(::SetCurrentDirectoryW(folder.path().c_str()));
  const std::terminate_handler runtimeTerminate = std::set_terminate(&previousTerminate);
  const std::unexpected_handler runtimeUnexpected = std::set_unexpected(&previousUnexpected);
  const PureCallHandler runtimePureCall = ::_set_purecall_handler(&previousPureCall);
  const SeTranslator runtimeTranslator = setSeTranslator(&previousTranslator);
  const UINT runtimeErrorMode = ::SetErrorMode(SEM_NOGPFAULTERRORBOX);
  const std::size_t historyBefore = log::theLogger().history().size();
  const unsigned threadsBefore = threadCount();

  GuardState state{};
  const Result result = runGuarded(state, &observeInside, nullptr, L"four");

  EXPECT_EQ(threadCount(), threadsBefore);
  EXPECT_EQ(g_threadsInside, threadsBefore + 1) << "the dump thread waits, suspended, during the run";
  EXPECT_EQ(result, 4u);
  EXPECT_EQ(g_errorModeInside, 0x8001u);
  EXPECT_TRUE(g_translatorInside);
  EXPECT_FALSE(state.dumpThread.valid());
  EXPECT_FALSE(folder.has(L"MiniDump.dmp"));
  EXPECT_TRUE(guardRecordsSince(historyBefore).empty());

  EXPECT_EQ(::SetErrorMode(runtimeErrorMode), static_cast<UINT>(SEM_NOGPFAULTERRORBOX));
  EXPECT_EQ(setSeTranslator(runtimeTranslator), &previousTranslator);
  EXPECT_EQ(::_set_purecall_handler(runtimePureCall), &previousPureCall);
  EXPECT_EQ(std::set_unexpected(runtimeUnexpected), &previousUnexpected);
  EXPECT_EQ(std::set_terminate(runtimeTerminate), &previousTerminate);
  ::SetCurrentDirectoryW(previousFolder);
}

HANDLE WINAPI failThreadCreation(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*) {
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(CrashGuardRun, FailedDumpThreadIsLoggedOnceAndTheRunGoesOn) {
  const std::size_t historyBefore = log::theLogger().history().size();
  const unsigned threadsBefore = threadCount();
  testing::setThreadCreator(&failThreadCreation);
  GuardState state{};
  const Result result = runGuarded(state, &observeInside, nullptr, L"seven..");
  testing::setThreadCreator(nullptr);

  EXPECT_EQ(result, 7u);
  EXPECT_EQ(g_threadsInside, threadsBefore);
  const auto records = guardRecordsSince(historyBefore);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::level::kError);
  EXPECT_EQ(records[0].message, L"Failed to create a new thread with error 0x00000008!");
}

// Where the guard hooks into the fault dispatch: the head of the thread's handler chain on
// 32-bit, the process's unhandled-exception filter on 64-bit.
void* handlerChain() {
#if defined(__i386__)
  EXCEPTION_REGISTRATION_RECORD* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
#else
  const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
  ::SetUnhandledExceptionFilter(current);
  return reinterpret_cast<void*>(current);
#endif
}

Result throwOrdinaryException(HINSTANCE, const wchar_t*) {
  throw std::runtime_error("not a fault");
}

TEST(CrashGuardRun, OrdinaryExceptionPassesThroughAndUnlinksTheHandlerFrame) {
  void* const chainBefore = handlerChain();
  const std::terminate_handler runtimeTerminate = std::get_terminate();
  const UINT runtimeErrorMode = currentErrorMode();
  const std::size_t historyBefore = log::theLogger().history().size();

  GuardState state{};
  EXPECT_THROW(runGuarded(state, &throwOrdinaryException, nullptr, L""), std::runtime_error);
  EXPECT_EQ(handlerChain(), chainBefore);
  finishDumpThread(state);
  EXPECT_FALSE(state.dumpThread.valid());
  EXPECT_TRUE(guardRecordsSince(historyBefore).empty());

  // Only a fault has a way out that restores nothing; put the runtime's handlers back by hand.
  setSeTranslator(state.previousTranslator);
  ::_set_purecall_handler(state.previousPureCall);
  std::set_unexpected(state.previousUnexpected);
  std::set_terminate(runtimeTerminate);
  ::SetErrorMode(runtimeErrorMode);
}

}  // namespace
}  // namespace tzk::CrashGuard
