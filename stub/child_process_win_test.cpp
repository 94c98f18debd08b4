#include "stub/child_process.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "log/logger.h"
#include "root/library.h"
#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"
#include "stub/temp_folder.h"

namespace tzk::stub {
namespace {

using ChildRun = std::map<std::wstring, std::wstring>;

std::wstring testFolder() { return vocabulary::FolderOf(root::OwnImagePath()); }

// Built beside this test; see child_process_test_child.cpp for what it understands.
const std::wstring& testChild() {
  static const std::wstring path = testFolder() + L"\\child_process_test_child.exe";
  return path;
}

// The scratch folders hold files only.
void removeFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW data;
  const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
    ::DeleteFileW((folder + L"\\" + data.cFileName).c_str());
  }
  if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
  ::RemoveDirectoryW(folder.c_str());
}

// A fresh folder of the test's own, removed with everything in it at the end.
class Scratch {
 public:
  Scratch() {
    static int count = 0;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"child_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(++count);
    removeFolder(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~Scratch() { removeFolder(path_); }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  // A copy of the test child under name, steered by plan (see the child's options).
  std::wstring placeChild(const std::wstring& name, const std::string& plan = {}) const {
    const std::wstring path = *this / name;
    EXPECT_TRUE(::CopyFileW(testChild().c_str(), path.c_str(), FALSE)) << ::GetLastError();
    if (!plan.empty()) {
      const HANDLE file = ::CreateFileW((path + L".plan").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      DWORD written = 0;
      ::WriteFile(file, plan.data(), static_cast<DWORD>(plan.size()), &written, nullptr);
      ::CloseHandle(file);
    }
    return path;
  }

 private:
  std::wstring path_;
};

std::vector<std::wstring> split(const std::wstring& text, const std::wstring& separator) {
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + separator.size()) {
    parts.push_back(text.substr(start, end - start));
  }
  return parts;
}

// What each run of the child at program received, oldest first.
std::vector<ChildRun> readRuns(const std::wstring& program) {
  const HANDLE file = ::CreateFileW((program + L".record").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::wstring text(::GetFileSize(file, nullptr) / sizeof(wchar_t), L'\0');
  DWORD read = 0;
  ::ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
  ::CloseHandle(file);
  std::vector<ChildRun> runs;
  for (const std::wstring& block : split(text, L"\f\n")) {
    ChildRun run;
    for (const std::wstring& line : split(block, L"\n")) {
      const std::size_t equals = line.find(L'=');
      run[line.substr(0, equals)] = line.substr(equals + 1);
    }
    runs.push_back(run);
  }
  return runs;
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// The launcher's own records written since the mark.
class LogWatch {
 public:
  LogWatch() : start_(log::theLogger().history().size()) {}
  std::vector<std::pair<log::LogLevel, std::wstring>> records() const {
    std::vector<std::pair<log::LogLevel, std::wstring>> result;
    const auto history = log::theLogger().history();
    for (std::size_t i = start_; i < history.size(); ++i) {
      if (std::wstring(history[i].component) == L"sfxshared") result.emplace_back(history[i].level, history[i].message);
    }
    return result;
  }

 private:
  std::size_t start_;
};

using Records = std::vector<std::pair<log::LogLevel, std::wstring>>;

// A stand-in for the progress window: notes when it was closed, in milliseconds from the start.
struct WindowProbe {
  DWORD start = ::GetTickCount();
  std::vector<DWORD> closedAfter;
  CloseWindow closer() {
    return [this] { closedAfter.push_back(::GetTickCount() - start); };
  }
};

TEST(RunProcess, PassesArgumentsEnvironmentAndExitCode) {
  Scratch scratch;
  const std::wstring child = scratch.placeChild(L"child.exe");
  std::uint32_t exitCode = 1;
  ASSERT_EQ(runProcess({}, L"/exit:0xA003 \"an argument\"", child, exitCode, nullptr), code::kSuccess);
  EXPECT_EQ(exitCode, 0xA003u);

  const wchar_t environment[] = L"PATH=C:\\only\\here\0OTHER=1\0";
  ASSERT_EQ(runProcess({}, nullptr, child, exitCode, environment), code::kSuccess);
  EXPECT_EQ(exitCode, 0u);

  wchar_t ownPath[32768], ownDirectory[MAX_PATH];
  const std::wstring path(ownPath, ::GetEnvironmentVariableW(L"PATH", ownPath, 32768));
  const std::wstring directory(ownDirectory, ::GetCurrentDirectoryW(MAX_PATH, ownDirectory));
  const std::vector<ChildRun> runs = readRuns(child);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].at(L"cmdline"), quoted(child) + L" /exit:0xA003 \"an argument\"");
  EXPECT_EQ(runs[0].at(L"path"), path);
  EXPECT_EQ(runs[0].at(L"cwd"), directory);
  EXPECT_EQ(runs[1].at(L"cmdline"), quoted(child));
  EXPECT_EQ(runs[1].at(L"path"), L"C:\\only\\here");
}

TEST(RunProcess, MissingExecutableGivesCreationError) {
  Scratch scratch;
  const std::wstring missing = scratch / L"missing.exe";
  WindowProbe window;
  LogWatch watch;
  std::uint32_t exitCode = 77;
  EXPECT_EQ(runProcess(window.closer(), L"/x", missing, exitCode, nullptr), code::kFileNotFound);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(window.closedAfter.empty()) << "the main sequence closes the window on this path";
  EXPECT_EQ(watch.records(), (Records{{log::level::kError, L"Error creating process '" + missing + L"' (code 0x2)"}}));
}

TEST(RunProcess, OnlyAnAbsoluteProgramPathIsStarted) {
  Scratch scratch;
  scratch.placeChild(L"child.exe");
  for (const std::wstring& relative : {std::wstring(L"child.exe"), std::wstring(L"sub\\child.exe"), std::wstring(),
                                      std::wstring(L"\\child.exe"), std::wstring(L"C:child.exe")}) {
    SCOPED_TRACE(relative);
    LogWatch watch;
    std::uint32_t exitCode = 77;
    EXPECT_EQ(runProcess({}, nullptr, relative, exitCode, nullptr), code::kBadPathname);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(watch.records(), (Records{{log::level::kError, L"Refusing to start '" + relative +
                                                                 L"': not an absolute path (code 0xa1)"}}));
  }
}

DWORD failingWait(HANDLE) {
  ::SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

TEST(RunProcess, AChildNotSeenToEndIsReportedAsStillRunning) {
  Scratch scratch;
  const std::wstring child = scratch.placeChild(L"child.exe");
  LogWatch watch;
  std::uint32_t exitCode = 77;
  bool mayRun = false;
  EXPECT_EQ(runProcess({}, L"/exit:3", child, exitCode, nullptr, &mayRun, &failingWait), code::kInvalidHandle);
  EXPECT_EQ(exitCode, 0u) << "no exit code is read from a process that may still run";
  EXPECT_TRUE(mayRun);
  EXPECT_EQ(watch.records(), (Records{{log::level::kError, L"Cannot wait for process '" + child +
                                                               L"' to end (code 0x6); it may still run"}}));
  ASSERT_EQ(runProcess({}, L"/exit:3", child, exitCode, nullptr, &mayRun), code::kSuccess);
  EXPECT_FALSE(mayRun);
  EXPECT_EQ(exitCode, 3u);
}

TEST(RunProcess, ClosesWindowWhenChildSignalsNotAtItsEnd) {
  Scratch scratch;
  const std::wstring child = scratch.placeChild(L"child.exe");
  WindowProbe window;
  std::uint32_t exitCode = 0;
  ASSERT_EQ(runProcess(window.closer(), L"/signal:1000 /run:2500 /exit:3", child, exitCode, nullptr), code::kSuccess);
  const DWORD total = ::GetTickCount() - window.start;
  EXPECT_EQ(exitCode, 3u);
  ASSERT_EQ(window.closedAfter.size(), 1u);
  EXPECT_GE(window.closedAfter[0], 900u);
  EXPECT_GE(total, 3300u);
  // The child runs 2.5 s after its signal: a window closed at its end would be closed then.
  EXPECT_LT(window.closedAfter[0] + 1500, total) << "closed at the signal, not at the child's end";
  const std::vector<ChildRun> runs = readRuns(child);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].at(L"signalled"), L"1");
}

TEST(RunProcess, ClosesWindowAtChildEndWhenNeverSignalled) {
  Scratch scratch;
  const std::wstring child = scratch.placeChild(L"child.exe");
  WindowProbe window;
  std::uint32_t exitCode = 0;
  ASSERT_EQ(runProcess(window.closer(), L"/probe:300 /run:1200", child, exitCode, nullptr), code::kSuccess);
  ASSERT_EQ(window.closedAfter.size(), 1u);
  EXPECT_GE(window.closedAfter[0], 1400u);

  std::uint32_t unused = 0;
  ASSERT_EQ(runProcess({}, L"/probe:300", child, unused, nullptr), code::kSuccess);
  const std::vector<ChildRun> runs = readRuns(child);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].at(L"event"), L"1") << "with a window the stub waits on the event";
  EXPECT_EQ(runs[1].at(L"event"), L"0") << "without a window no event is made";
}

TEST(RunProcess, WholeCommandLineMustFitItsBuffer) {
  Scratch scratch;
  const std::wstring child = scratch.placeChild(L"child.exe");
  // Quotes, path, space and arguments: exactly one unit short of the buffer with its terminator.
  std::wstring arguments = L"/exit:9 ";
  arguments.append(kCommandLineUnits - 1 - (child.size() + 3) - arguments.size(), L'x');
  const std::wstring commandLine = quoted(child) + L" " + arguments;
  ASSERT_EQ(commandLine.size(), kCommandLineUnits - 1);

  std::uint32_t exitCode = 0;
  ASSERT_EQ(runProcess({}, arguments.c_str(), child, exitCode, nullptr), code::kSuccess);
  EXPECT_EQ(exitCode, 9u);
  std::vector<ChildRun> runs = readRuns(child);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].at(L"cmdline"), commandLine);

  WindowProbe window;
  LogWatch watch;
  for (const std::size_t extra : {1u, 5000u}) {
    const std::wstring longer = arguments + std::wstring(extra, L'y');
    exitCode = 5;
    EXPECT_EQ(runProcess(window.closer(), longer.c_str(), child, exitCode, nullptr), code::kFilenameTooLong);
    EXPECT_EQ(exitCode, 0u);
  }
  EXPECT_EQ(readRuns(child).size(), 1u) << "nothing was started";
  EXPECT_TRUE(window.closedAfter.empty());
  const Records records = watch.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], (std::pair<log::LogLevel, std::wstring>{
                            log::level::kError,
                            L"Command line of process '" + child + L"' is too long (1024 units, at most 1023)"}));
}

// An installed product's folder and the new installer's temporary folder.
class HandOver : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(setup.path().c_str(), nullptr);
    options.Parse(L"/cookie:abc /sfx", false);
  }

  void handOver(std::uint32_t version) {
    handOverToInstalledProduct(options, temp.path(), setup.path(), version, childPath, childEnvironment,
                               [this](std::uint32_t processId, bool flag) {
                                 registrations.emplace_back(processId, flag);
                                 return code::kAccessDenied;
                               },
                               [this](std::uint32_t ms) { sleeps.push_back(ms); });
  }

  std::wstring copyRun(const std::wstring& program, const std::wstring& name) const {
    return quoted(program) + L"  /copy_sfx:" + (temp / name) + L" /wait";
  }

  Scratch temp;
  Scratch setup;
  CommandLine options;
  std::wstring childPath = temp / L"instup.exe";
  std::wstring childEnvironment;
  std::vector<std::pair<std::uint32_t, bool>> registrations;
  std::vector<std::uint32_t> sleeps;
};

TEST_F(HandOver, AddsCookieAndBuildIdOnlyWhenAbsentAndRegisters) {
  handOver(2000);
  EXPECT_EQ(options.Format(), L" /build_id /cookie:abc /sfx");
  EXPECT_EQ(registrations, (std::vector<std::pair<std::uint32_t, bool>>{{::GetCurrentProcessId(), true}}));
  EXPECT_EQ(childPath, temp / L"instup.exe") << "nothing installed to hand over to";
  EXPECT_TRUE(childEnvironment.empty());
}

TEST_F(HandOver, InstalledSetupCopiesAndBecomesTheChild) {
  for (const std::uint32_t version : {1996u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(version);
    const std::wstring installed = setup.placeChild(L"instup.exe", "/exit:0");
    childPath = temp / L"instup.exe";
    handOver(version);
    EXPECT_EQ(childPath, setup.path() + L"\\Sfx\\instup.exe");
    EXPECT_TRUE(childEnvironment.empty());
    const std::vector<ChildRun> runs = readRuns(installed);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].at(L"cmdline"), copyRun(installed, L"instup.exe"));
    EXPECT_EQ(runs[1].at(L"cmdline"), copyRun(installed, L"Instup.dll"));
    ::DeleteFileW((installed + L".record").c_str());
  }
}

TEST_F(HandOver, FailedFirstCopyStopsTheSecondAndKeepsTheChild) {
  const std::wstring installed = setup.placeChild(L"instup.exe", "/exit:1");
  setup.placeChild(L"setup.ovr", "/exit:0x20000000");
  handOver(1996);
  EXPECT_EQ(childPath, temp / L"instup.exe");
  EXPECT_EQ(readRuns(installed).size(), 1u);
  EXPECT_TRUE(readRuns(setup / L"setup.ovr").empty()) << "the old setup is only for old versions";
}

TEST_F(HandOver, OldVersionAsksTheOldSetupUntilItIsDone) {
  const std::wstring installed = setup.placeChild(L"instup.exe", "/exit:0");
  const std::wstring old = setup.placeChild(L"setup.ovr", "/codes:0x2000000A,0x2000000A,0x20000001");
  for (const std::wstring ownPath : {L"C:\\windows;C:\\tools", L"C:\\windows;C:\\tools;"}) {
    SCOPED_TRACE(ownPath);
    ::DeleteFileW((old + L".record").c_str());
    ::DeleteFileW((old + L".count").c_str());
    childPath = temp / L"instup.exe";
    sleeps.clear();
    wchar_t saved[32768];
    const DWORD savedLength = ::GetEnvironmentVariableW(L"PATH", saved, 32768);
    ::SetEnvironmentVariableW(L"PATH", ownPath.c_str());
    handOver(1995);
    ::SetEnvironmentVariableW(L"PATH", savedLength != 0 ? saved : nullptr);

    EXPECT_TRUE(readRuns(installed).empty());
    const std::vector<ChildRun> runs = readRuns(old);
    ASSERT_EQ(runs.size(), 3u);
    for (const ChildRun& run : runs) {
      EXPECT_EQ(run.at(L"cmdline"), quoted(old) + L" /copysfx " + quoted(temp / L"instup.exe"));
    }
    EXPECT_EQ(sleeps, (std::vector<std::uint32_t>{3000, 3000}));
    EXPECT_EQ(childPath, setup.path() + L"\\Sfx\\zanti.setup");
    const std::wstring expected = L"PATH=C:\\windows;C:\\tools;" + temp.path() + L";";
    EXPECT_NE(childEnvironment.find(std::wstring(1, L'\0') + expected + std::wstring(1, L'\0')), std::wstring::npos);
    EXPECT_EQ(childEnvironment.substr(childEnvironment.size() - 2), std::wstring(2, L'\0'));
  }
}

TEST_F(HandOver, OldSetupFailureKeepsTheChild) {
  const std::wstring old = setup.placeChild(L"setup.ovr", "/codes:0x2000000A,0x20000002");
  handOver(0xFFFFFFFF);
  EXPECT_EQ(readRuns(old).size(), 2u);
  EXPECT_EQ(childPath, temp / L"instup.exe");
  EXPECT_TRUE(childEnvironment.empty());
}

TEST(ChildEnvironment, ExtendsTheFirstPathEntryInAnyCapitalisation) {
  const wchar_t block[] = L"PATHEXT=.EXE\0Path=C:\\a\0PATH=C:\\b\0Z=1\0";
  const wchar_t expected[] = L"PATHEXT=.EXE\0Path=C:\\a;C:\\tmp;\0PATH=C:\\b\0Z=1\0";
  EXPECT_EQ(buildChildEnvironment(block, L"C:\\tmp"), std::wstring(expected, std::size(expected)));
  EXPECT_EQ(buildChildEnvironment(L"PATHEXT=.EXE\0A=path=\0", L"C:\\tmp"), L"") << "no PATH: the child inherits";
  EXPECT_EQ(buildChildEnvironment(L"", L"C:\\tmp"), L"");

  std::wstring huge;
  for (int i = 0; i < 99998; ++i) huge += L"A=1" + std::wstring(1, L'\0');
  const std::wstring withPath = L"path=x" + std::wstring(1, L'\0') + huge;
  EXPECT_EQ(buildChildEnvironment(withPath.c_str(), L"t").size(), withPath.size() + 3 + 1) << "99999 entries";
  const std::wstring tooMany = withPath + L"B=2" + std::wstring(1, L'\0');
  EXPECT_EQ(buildChildEnvironment(tooMany.c_str(), L"t"), L"");
}

std::wstring commonDesktop() {
  wchar_t desktop[MAX_PATH];
  EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_COMMON_DESKTOPDIRECTORY, FALSE));
  return desktop;
}

std::string readBytes(const std::wstring& path) {
  vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  std::string bytes(::GetFileSize(file.get(), nullptr), '\0');
  DWORD read = 0;
  if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) return {};
  bytes.resize(read);
  return bytes;
}

void writeBytes(const std::wstring& path, const std::string& bytes, DWORD disposition) {
  vocabulary::ScopedFileHandle file(
      ::CreateFileW(path.c_str(), FILE_APPEND_DATA | GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr));
  ASSERT_TRUE(file) << ::GetLastError();
  DWORD written = 0;
  ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
  ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

BY_HANDLE_FILE_INFORMATION identity(const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(file) << "no file at " << std::string(path.begin(), path.end());
  EXPECT_TRUE(::GetFileInformationByHandle(file.get(), &info));
  return info;
}

// Owner and DACL of a descriptor, as text.
std::wstring ownerAndDacl(PSECURITY_DESCRIPTOR descriptor) {
  LPWSTR text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return L"(unreadable)";
  }
  vocabulary::ScopedLocalMemory owned(text);
  return text;
}

// The copy is made by the test child, through the stub's own routine: it copies the program it
// runs as.
void copyOntoDesktop(const std::wstring& child) {
  std::uint32_t exitCode = 0;
  ASSERT_EQ(runProcess({}, L"/link", child, exitCode, nullptr), code::kSuccess);
}

// Every user of the machine may start what lies on the all-users desktop: it must not be the
// file of the user who downloaded it, which that user may rewrite afterwards.
TEST(LinkSfxToDesktop, CopiesTheExecutableIntoAFileOfItsOwn) {
  Scratch scratch;
  const std::wstring name = L"sfx_copy_" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  const std::wstring child = scratch.placeChild(name);
  const std::wstring copy = commonDesktop() + L"\\" + name;
  const std::string original = readBytes(child);
  ASSERT_FALSE(original.empty());

  copyOntoDesktop(child);
  EXPECT_EQ(readBytes(copy), original);
  const BY_HANDLE_FILE_INFORMATION made = identity(copy);
  const BY_HANDLE_FILE_INFORMATION source = identity(child);
  EXPECT_EQ(made.nNumberOfLinks, 1u);
  EXPECT_FALSE(made.nFileIndexHigh == source.nFileIndexHigh && made.nFileIndexLow == source.nFileIndexLow);
  writeBytes(child, "rewritten by its user", OPEN_EXISTING);
  EXPECT_EQ(readBytes(copy), original) << "a change of the download reached the desktop";
  EXPECT_TRUE(::DeleteFileW(copy.c_str())) << ::GetLastError();
}

TEST(LinkSfxToDesktop, AFileAlreadyThereIsLeftAsItWas) {
  Scratch scratch;
  const std::wstring name = L"sfx_taken_" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
  const std::wstring child = scratch.placeChild(name);
  const std::wstring taken = commonDesktop() + L"\\" + name;
  writeBytes(taken, "the user's own", CREATE_ALWAYS);

  copyOntoDesktop(child);
  EXPECT_EQ(readBytes(taken), "the user's own");
  EXPECT_TRUE(::DeleteFileW(taken.c_str())) << ::GetLastError();
}

// The creations the copy asked for, each with its descriptor's owner and DACL as text ("" for
// default security); creation fails with 1307 for a descriptor while refuseOwner is set, as it
// does for a limited user.
struct CreationProbe {
  std::vector<std::wstring> descriptors;
  bool refuseOwner = false;
  DWORD access = GENERIC_WRITE | DELETE;
};
CreationProbe creationProbe;

HANDLE probedCreate(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  creationProbe.descriptors.push_back(security != nullptr ? ownerAndDacl(security->lpSecurityDescriptor) : L"");
  if (security != nullptr && creationProbe.refuseOwner) {
    ::SetLastError(ERROR_INVALID_OWNER);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(path, creationProbe.access, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Wine keeps no descriptor on files (it maps it onto Unix modes, and reads back the user as
// owner), so what is checked here is the descriptor the copy is created with. The copy is of
// this test's own executable, which it runs as.
class LinkSfxToDesktopCreation : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t self[MAX_PATH];
    const std::wstring path(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    source_ = readBytes(path);
    copy_ = commonDesktop() + path.substr(path.rfind(L'\\'));
    ::DeleteFileW(copy_.c_str());  // left by a run that ended early
    creationProbe = CreationProbe();
  }
  void TearDown() override { ::DeleteFileW(copy_.c_str()); }
  std::string source_;
  std::wstring copy_;
};

TEST_F(LinkSfxToDesktopCreation, OnlyAdministratorsMayChangeTheCopyUnlessTheUserCannotGiveThemIt) {
  ProtectedSecurity protectedSecurity;
  ASSERT_NE(protectedSecurity.attributes(), nullptr);
  const std::wstring protectedText = ownerAndDacl(protectedSecurity.attributes()->lpSecurityDescriptor);

  linkSfxToDesktop(&probedCreate);
  EXPECT_EQ(creationProbe.descriptors, std::vector<std::wstring>{protectedText});
  EXPECT_EQ(readBytes(copy_), source_);

  ASSERT_TRUE(::DeleteFileW(copy_.c_str()));
  creationProbe = CreationProbe();
  creationProbe.refuseOwner = true;
  linkSfxToDesktop(&probedCreate);
  EXPECT_EQ(creationProbe.descriptors, (std::vector<std::wstring>{protectedText, L""}));
  EXPECT_EQ(readBytes(copy_), source_) << "a limited user's copy";
}

// Whatever stops the copy, no part of it stays on the desktop: a write that fails, or a file
// that cannot be marked to go when it is closed (it then goes by its name).
TEST_F(LinkSfxToDesktopCreation, ACopyNotWrittenWholeIsRemoved) {
  for (const DWORD access : {static_cast<DWORD>(GENERIC_READ | DELETE), static_cast<DWORD>(GENERIC_WRITE)}) {
    SCOPED_TRACE(access);
    creationProbe.access = access;
    linkSfxToDesktop(&probedCreate);
    EXPECT_EQ(creationProbe.descriptors.size(), 1u);
    EXPECT_EQ(::GetFileAttributesW(copy_.c_str()), INVALID_FILE_ATTRIBUTES);
    creationProbe.descriptors.clear();
  }
}

// Needs links on the desktop that the CTest script plants from the host side (Wine 8 cannot
// make one itself): one to a file outside, one to a name where nothing is yet. Without that
// fixture the group is skipped.
class LinkSfxToDesktopLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t fixture[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"DESKTOP_LINK_FIXTURE", fixture, MAX_PATH) == 0) {
      GTEST_SKIP() << "no link fixture prepared";
    }
    outside_ = std::wstring(fixture) + L"\\outside";
  }
  std::wstring outside_;
};

TEST_F(LinkSfxToDesktopLinks, ALinkAtTheNameIsNotFollowed) {
  Scratch scratch;
  const std::string victim = readBytes(outside_ + L"\\victim.exe");
  ASSERT_FALSE(victim.empty());
  for (const wchar_t* name : {L"sfx_planted_file.exe", L"sfx_planted_nothing.exe"}) {
    copyOntoDesktop(scratch.placeChild(name));
  }
  EXPECT_EQ(readBytes(outside_ + L"\\victim.exe"), victim) << "written through the link";
  EXPECT_EQ(::GetFileAttributesW((outside_ + L"\\nothing.exe").c_str()), INVALID_FILE_ATTRIBUTES)
      << "created through the link";
}

// The shutdown call is always replaced: these tests must never restart the machine they run on.
using ShutdownArguments = std::tuple<LPWSTR, LPWSTR, DWORD, BOOL, BOOL, DWORD>;
struct ShutdownCall {
  int calls = 0;
  bool privilegeEnabled = false;
  ShutdownArguments arguments;
  DWORD failWith = 0;
};
ShutdownCall shutdownCall;

bool shutdownPrivilegeEnabled() {
  HANDLE token = nullptr;
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &token) &&
      !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {}};
  ::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &set.Privilege[0].Luid);
  BOOL enabled = FALSE;
  ::PrivilegeCheck(token, &set, &enabled);
  ::CloseHandle(token);
  return enabled != FALSE;
}

BOOL WINAPI fakeShutdown(LPWSTR machine, LPWSTR message, DWORD timeout, BOOL force, BOOL reboot, DWORD reason) {
  shutdownCall.calls++;
  shutdownCall.privilegeEnabled = shutdownPrivilegeEnabled();
  shutdownCall.arguments = {machine, message, timeout, force, reboot, reason};
  ::SetLastError(shutdownCall.failWith);
  return shutdownCall.failWith == 0;
}

void setShutdownPrivilege(HANDLE token, DWORD attributes) {
  TOKEN_PRIVILEGES privileges = {1, {{{}, attributes}}};
  ::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
  ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
}

TEST(RestartWindows, EnablesThePrivilegeAndAsksForAPlannedRestart) {
  HANDLE process = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &process));
  setShutdownPrivilege(process, 0);
  ::CloseHandle(process);
  ASSERT_FALSE(shutdownPrivilegeEnabled());

  shutdownCall = {};
  LogWatch watch;
  restartWindows(&fakeShutdown);
  EXPECT_EQ(shutdownCall.calls, 1);
  EXPECT_TRUE(shutdownCall.privilegeEnabled);
  // No machine name and no message, at once, applications not forced, restart, planned for an
  // application's installation.
  EXPECT_EQ(shutdownCall.arguments, (ShutdownArguments{nullptr, nullptr, 0, FALSE, TRUE, 0x80040002}));
  EXPECT_EQ(watch.records(), (Records{{log::level::kInfo, L"Reboot: Restarting windows..."}}));

  shutdownCall = {};
  shutdownCall.failWith = ERROR_ACCESS_DENIED;
  LogWatch failed;
  restartWindows(&fakeShutdown);
  EXPECT_EQ(failed.records(), (Records{{log::level::kInfo, L"Reboot: Restarting windows..."},
                                       {log::level::kError, L"Reboot: InitiateSystemShutdownEx returned 0x00000005"}}));
}

TEST(RestartWindows, ThreadTokenWithoutThePrivilegeFails) {
  HANDLE process = nullptr, restricted = nullptr, impersonation = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
  LUID_AND_ATTRIBUTES shutdown = {};
  ::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown.Luid);
  ASSERT_TRUE(::CreateRestrictedToken(process, 0, 0, nullptr, 1, &shutdown, 0, nullptr, &restricted))
      << ::GetLastError();
  ASSERT_TRUE(::DuplicateToken(restricted, SecurityImpersonation, &impersonation));
  ASSERT_TRUE(::SetThreadToken(nullptr, impersonation));

  shutdownCall = {};
  LogWatch watch;
  restartWindows(&fakeShutdown);
  ::RevertToSelf();
  for (const HANDLE token : {process, restricted, impersonation}) ::CloseHandle(token);

  EXPECT_EQ(shutdownCall.calls, 0);
  EXPECT_EQ(watch.records(), (Records{{log::level::kInfo, L"Reboot: Restarting windows..."},
                                      {log::level::kError, L"Reboot: AdjustPrivilege for SE_SHUTDOWN_NAME has failed."}}));
}

}  // namespace
}  // namespace tzk::stub
