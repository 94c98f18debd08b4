#include "crashguard/crash_guard.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/logger.h"
#include "vocabulary/little_endian.h"
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
    // Wine reuses process ids: an earlier run's folder may be left, with a dump given up on.
    clear();
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { clear(); }
  const std::wstring& path() const { return path_; }
  std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }
  bool has(const wchar_t* name) const { return ::GetFileAttributesW(file(name).c_str()) != INVALID_FILE_ATTRIBUTES; }

 private:
  // The files of the folder and of its folders one level down, then the folders.
  void clear() const {
    for (const wchar_t* folder : {L"logs", L"target", L""}) {
      const std::wstring at = *folder != L'\0' ? file(folder) : path_;
      WIN32_FIND_DATAW found;
      const vocabulary::ScopedFindHandle find(::FindFirstFileW((at + L"\\*").c_str(), &found));
      for (bool more = find.valid(); more; more = ::FindNextFileW(find.get(), &found)) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ::DeleteFileW((at + L"\\" + found.cFileName).c_str());
      }
      ::RemoveDirectoryW(at.c_str());
    }
  }

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
  vocabulary::ScopedRegKey key_;
};

// Runs the child in folder; with a dump folder, the child sends its dumps there.
DWORD runChild(const wchar_t* mode, const ScratchFolder& folder, const std::wstring& dumpFolder = std::wstring()) {
  std::wstring commandLine = L"\"" + root::testing::ExecutableFolder() + L"\\crash_guard_child.exe\" " + mode;
  if (!dumpFolder.empty()) commandLine += L" \"" + dumpFolder + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.path().c_str(), &startup,
                        &process)) {
    ADD_FAILURE() << "CreateProcessW failed with " << ::GetLastError();
    return 0xFFFFFFFF;
  }
  const vocabulary::ScopedKernelHandle processHandle(process.hProcess), threadHandle(process.hThread);
  DWORD exitCode = 0xFFFFFFFF;
  if (::WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the child did not end";
    ::TerminateProcess(process.hProcess, 0xFFFFFFFF);
    ::WaitForSingleObject(process.hProcess, 10000);
  }
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
  return vocabulary::ReadLe32(bytes.data() + offset);
}

struct DumpedException {
  std::uint32_t threadId;
  std::uint32_t code;
  std::uintptr_t address;         // the faulting instruction, as the exception record has it
  std::uintptr_t contextAddress;  // the instruction pointer of the dumped context
};

#if defined(__i386__)
constexpr std::size_t kInstructionPointer = offsetof(CONTEXT, Eip);
#else
constexpr std::size_t kInstructionPointer = offsetof(CONTEXT, Rip);
#endif

std::uintptr_t readAddress(const std::vector<unsigned char>& bytes, std::size_t offset) {
  const std::uint64_t value = sizeof(void*) == 4 ? readU32(bytes, offset) : vocabulary::ReadLe64(bytes.data() + offset);
  return static_cast<std::uintptr_t>(value);
}

// The exception stream: the thread id, alignment, the record (code, flags, nested record,
// address, ...: 152 bytes), then where the thread's context lies.
std::optional<DumpedException> readException(const std::vector<unsigned char>& bytes, std::size_t rva) {
  if (rva + 168 > bytes.size()) return std::nullopt;
  const std::uint32_t context = readU32(bytes, rva + 164);
  if (context + kInstructionPointer + sizeof(void*) > bytes.size()) return std::nullopt;
  return DumpedException{readU32(bytes, rva), readU32(bytes, rva + 8), readAddress(bytes, rva + 24),
                         readAddress(bytes, context + kInstructionPointer)};
}

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
    if (readU32(bytes, entry) == kExceptionStream) return readException(bytes, readU32(bytes, entry + 8));
  }
  return std::nullopt;
}

// The crash guard's lines in the child's log file (UTF-16LE, ASCII text).
std::vector<std::string> guardLog(const ScratchFolder& folder) {
  std::ifstream file(folder.file(L"guard.log").c_str(), std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const unsigned unit = bytes[i] | bytes[i + 1] << 8;
    if (unit == L'\n') {
      lines.emplace_back();
    } else if (unit >= 0x20 && unit < 0x80) {
      lines.back() += static_cast<char>(unit);
    }
  }
  std::vector<std::string> records;
  for (const std::string& line : lines) {
    if (line.find("] [crashguard ") != std::string::npos) records.push_back(line);
  }
  return records;
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

// The elevated run sends its dumps to a folder where only administrators can change anything;
// the current directory is its launcher's choice.
TEST(CrashGuardDumpFolder, AFaultIsDumpedInTheFolderNamedAndNothingInTheCurrentDirectory) {
  ScratchFolder folder;
  ASSERT_TRUE(::CreateDirectoryW(folder.file(L"logs").c_str(), nullptr));
  ASSERT_EQ(runChild(L"access", folder, folder.file(L"logs")), kCaught);
  EXPECT_FALSE(folder.has(L"MiniDump.dmp"));
  const auto dumped = readExceptionStream(folder.file(L"logs\\MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->threadId, readReport(folder)["guarded"]);
  EXPECT_EQ(dumped->code, kAccessViolation);
}

std::string unixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* converted = convert != nullptr ? convert(path.c_str()) : nullptr;
  if (converted == nullptr) return std::string();
  std::string result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

// Runs a program of the host, for what Wine cannot do from the Windows side.
bool runOnHost(std::vector<std::string> arguments) {
  using Spawn = LONG(CDECL*)(char* const*, int);
  const auto spawn = reinterpret_cast<Spawn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return spawn != nullptr && spawn(argv.data(), 1) == 0;
}

// A link that another program of the user put at a name: Wine 8 makes none from the Windows
// side (CreateSymbolicLinkW makes nothing), so the host's ln makes it.
class PlantedLink {
 public:
  PlantedLink(const std::wstring& link, const std::wstring& target) : link_(unixPath(link)) {
    planted_ = !link_.empty() && runOnHost({"/bin/ln", "-s", unixPath(target), link_});
  }
  ~PlantedLink() {
    if (planted_) runOnHost({"/bin/rm", "-f", link_});
  }
  bool planted() const { return planted_; }

 private:
  std::string link_;
  bool planted_ = false;
};

std::string contentOf(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const std::wstring& path, const std::string& content) {
  std::ofstream(path.c_str(), std::ios::binary) << content;
}

Result dumpWithoutFault(HINSTANCE, const wchar_t*) { return writeMiniDump(nullptr, 0); }

// Writes one dump through an armed guard into folder, as the dump thread would.
Result dumpInto(const std::wstring& folder) {
  EXPECT_EQ(SetDumpFolder(folder), code::kSuccess);
  GuardState state{};
  const Result result = runGuarded(state, &dumpWithoutFault, nullptr, L"");
  SetDumpFolder(std::wstring());
  return result;
}

bool isMinidump(const std::wstring& path) { return contentOf(path).compare(0, 4, "MDMP") == 0; }

// Whatever has the dump's name is replaced as itself (AFaultSurvivedLeavesTheNextOneItsDump
// shows an earlier dump replaced): a link that someone put there is never followed, so nothing
// is written or removed where it points.
TEST(CrashGuardDumpFolder, WhatHasTheDumpsNameIsReplacedAsItself) {
  ScratchFolder folder;
  const std::wstring logs = folder.file(L"logs"), dump = folder.file(L"logs\\MiniDump.dmp");
  ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
  {
    SCOPED_TRACE("a link to a file");
    writeFile(folder.file(L"target.txt"), "kept");
    // Gone with whatever has its name at the end of the case.
    const PlantedLink link(dump, folder.file(L"target.txt"));
    ASSERT_TRUE(link.planted());
    ASSERT_EQ(contentOf(dump), "kept") << "the link leads to the target";
    EXPECT_EQ(dumpInto(logs), code::kSuccess);
    EXPECT_EQ(contentOf(folder.file(L"target.txt")), "kept");
    EXPECT_TRUE(isMinidump(dump));
  }
  {
    SCOPED_TRACE("a link to a folder");
    ASSERT_TRUE(::CreateDirectoryW(folder.file(L"target").c_str(), nullptr));
    const PlantedLink link(dump, folder.file(L"target"));
    ASSERT_TRUE(link.planted());
    // A rename replaces no folder, nor a link to one: then there is no dump.
    EXPECT_NE(dumpInto(logs), code::kSuccess);
    EXPECT_NE(::GetFileAttributesW(folder.file(L"target").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(folder.has(L"target\\MiniDump.dmp"));
    const std::wstring partial = L"logs\\MiniDump.dmp." + std::to_wstring(::GetCurrentProcessId());
    EXPECT_FALSE(folder.has(partial.c_str())) << "the partial file is taken away again";
  }
}

struct Fault {
  std::uint32_t threadId;
  std::uint32_t code;
};

// The dump is the kept fault's, whole: its record and its context tell of the same instruction.
void expectDumpOf(const ScratchFolder& folder, const Fault& kept) {
  const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->threadId, kept.threadId);
  EXPECT_EQ(dumped->code, kept.code);
  EXPECT_EQ(dumped->contextAddress, dumped->address);
}

// The fault that found an earlier one in flight has one error record instead of the dump.
void expectLoggedInstead(const ScratchFolder& folder, const Fault& logged) {
  const std::vector<std::string> records = guardLog(folder);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NE(records[0].find("] [error  ] [crashguard "), std::string::npos) << records[0];
  char text[64];
  std::snprintf(text, sizeof(text), "Fault 0x%08x on thread %u ", static_cast<unsigned>(logged.code),
                static_cast<unsigned>(logged.threadId));
  EXPECT_NE(records[0].find(text), std::string::npos) << records[0];
}

// A fault is in flight until its exception is gone: a fault in the clean-up that its handler
// runs must leave the dump to it, whether that later fault is survived, leaves in its place or
// ends the process where no exception can leave.
TEST(CrashGuardFaultInFlight, AFaultWhileAnotherIsHandledLeavesTheFirstOnesDump) {
  const struct {
    const wchar_t* mode;
    DWORD exitCode;
    std::uint32_t first, second, leaving;
  } cases[] = {
      {L"nested-survived", kCaught, kAccessViolation, kDivideByZero, kAccessViolation},
      {L"nested-escaping", kCaught, kAccessViolation, kDivideByZero, kDivideByZero},
      {L"nested-system", kAccessViolation, kDivideByZero, kAccessViolation, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ScratchFolder folder;
    ASSERT_EQ(runChild(c.mode, folder), c.exitCode);
    auto report = readReport(folder);
    if (c.exitCode == kCaught) {
      EXPECT_EQ(report["code"], c.leaving) << "the exception's own record";
    }
    expectDumpOf(folder, {report["guarded"], c.first});
    expectLoggedInstead(folder, {report["guarded"], c.second});
  }
}

// The extraction lanes may fault at once: one dump, of one of the two, and a record of the other;
// neither waits for the other for good.
TEST(CrashGuardFaultInFlight, TwoThreadsFaultingAtOnceLeaveOneWholeDumpAndARecordOfTheOther) {
  ScratchFolder folder;
  ASSERT_EQ(runChild(L"two-threads", folder), kCaught);
  auto report = readReport(folder);
  EXPECT_EQ(report["code"], kAccessViolation) << "the guarded thread's own fault leaves the entry routine";
  const Fault guarded{report["guarded"], kAccessViolation}, lane{report["lane"], kDivideByZero};
  ASSERT_NE(lane.threadId, guarded.threadId);
  const auto dumped = readExceptionStream(folder.file(L"MiniDump.dmp"));
  ASSERT_TRUE(dumped.has_value());
  const bool guardedFirst = dumped->threadId == guarded.threadId;
  expectDumpOf(folder, guardedFirst ? guarded : lane);
  expectLoggedInstead(folder, guardedFirst ? lane : guarded);
}

// The dump thread may need a lock that the faulting thread holds: the heap's, which a new
// thread's start and dbghelp take, or the logger's, for the record of a fault that leaves the
// dump to an earlier one, when that fault comes inside the logger. The faulting thread waits for
// it only so long, and the run ends all the same: a fault in own code leaves the entry routine
// (and says why it has no dump), one in system code ends the process, and an earlier fault keeps
// its dump.
TEST(CrashGuardFaultHoldingALock, TheRunEndsAllTheSame) {
  {
    SCOPED_TRACE("the heap's lock");
    ScratchFolder folder;
    ASSERT_EQ(runChild(L"holding-heap", folder), kCaught);
    EXPECT_EQ(readReport(folder)["code"], kAccessViolation);
    const std::vector<std::string> records = guardLog(folder);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("] [error  ] [crashguard "), std::string::npos) << records[0];
    EXPECT_NE(records[0].find("The dump thread did not finish within 2000 ms"), std::string::npos) << records[0];
  }
  {
    SCOPED_TRACE("the logger's lock");
    ScratchFolder folder;
    EXPECT_EQ(runChild(L"nested-system-in-logger", folder), kAccessViolation);
    expectDumpOf(folder, {readReport(folder)["guarded"], kDivideByZero});
  }
}

// In-process runs: the guard around routines that return or throw ordinary exceptions.

unsigned threadCount() {
  const vocabulary::ScopedFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
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
