#include "selfdefense/dll_load_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "root/library.h"
#include "vocabulary/scoped_handle.h"
#include "root/system_function.h"
#include "root/win_test_support.h"
#include "selfdefense/testdriver/testdriver_support.h"

namespace tzk::selfdefense {
namespace {

using root::testing::ExecutableFolder;
using root::testing::ScratchFolder;
using root::testing::SystemIsWow64;

const wchar_t kScreenReaderKey[] = L"SOFTWARE\\Freedom Scientific\\JAWS";
const wchar_t kSpeechKey[] = L"SOFTWARE\\NVDA";

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towupper(c));
  return text;
}

std::wstring systemFolder() {
  wchar_t folder[MAX_PATH];
  return std::wstring(folder, ::GetSystemDirectoryW(folder, MAX_PATH));
}

// The screen reader's hooks are registered in the 64-bit view on 64-bit Windows.
REGSAM screenReaderView() { return SystemIsWow64() ? KEY_WOW64_64KEY : 0; }
// Its 32-bit hook is what a 32-bit process on 64-bit Windows gets.
bool wow64() { return root::ProcessRunsUnderWow64(); }

// The accessibility software the guard knows about, as installed on this machine for the whole
// test run: must be in place before the guard is installed, which happens once per process.
class AccessibilitySoftware : public ::testing::Environment {
 public:
  static std::wstring hookFolder(const wchar_t* version) { return folder_->path() + L"\\" + version + L"\\"; }

  void SetUp() override {
    folder_ = new ScratchFolder(L"guard");
    // Version "2020" has both hook modules, "2021" none, so only the first adds entries.
    for (const wchar_t* version : {L"2020", L"2021"}) {
      ::CreateDirectoryW(hookFolder(version).c_str(), nullptr);
      root::testing::WriteString(HKEY_LOCAL_MACHINE, std::wstring(kScreenReaderKey) + L"\\" + version, L"Target",
                                 hookFolder(version), REG_SZ, screenReaderView());
    }
    ::CreateDirectoryW((hookFolder(L"2020") + L"x86").c_str(), nullptr);
    folder_->touch(hookFolder(L"2020") + L"jhook.dll");
    folder_->touch(hookFolder(L"2020") + L"x86\\jhook.dll");
    root::testing::WriteDword(HKEY_LOCAL_MACHINE, kSpeechKey, L"Installed", 1);
    ASSERT_EQ(InstallDllLoadGuard(), 0u);
  }

  void TearDown() override {
    root::testing::RemoveKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Freedom Scientific", screenReaderView());
    root::testing::RemoveKey(HKEY_LOCAL_MACHINE, kSpeechKey);
    ::DeleteFileW((hookFolder(L"2020") + L"x86\\jhook.dll").c_str());
    ::RemoveDirectoryW((hookFolder(L"2020") + L"x86").c_str());
    delete folder_;
  }

 private:
  static ScratchFolder* folder_;
};
ScratchFolder* AccessibilitySoftware::folder_ = nullptr;

TEST(Wildcard, StarsQuestionMarksAndLiterals) {
  EXPECT_TRUE(MatchesWildcard(L"*\\LIB\\NVDAHELPERREMOTE.DLL", L"C:\\NVDA\\LIB\\NVDAHELPERREMOTE.DLL"));
  EXPECT_TRUE(MatchesWildcard(L"*\\LIB\\NVDAHELPERREMOTE.DLL", L"\\LIB\\NVDAHELPERREMOTE.DLL"));
  EXPECT_FALSE(MatchesWildcard(L"*\\LIB\\NVDAHELPERREMOTE.DLL", L"C:\\LIB\\NVDAHELPERREMOTE.DLL.BAK"));
  EXPECT_FALSE(MatchesWildcard(L"*\\LIB\\NVDAHELPERREMOTE.DLL", L"C:\\LIB64\\NVDAHELPERREMOTE.DLL"));
  // The literal after a star is tried at every place it occurs, not only the first.
  EXPECT_TRUE(MatchesWildcard(L"*AB", L"XABYAB"));
  EXPECT_TRUE(MatchesWildcard(L"*A*B", L"AAB"));
  EXPECT_FALSE(MatchesWildcard(L"*AB", L"XABY"));
  EXPECT_TRUE(MatchesWildcard(L"A?C", L"ABC"));
  EXPECT_FALSE(MatchesWildcard(L"A?", L"A"));  // "?" never matches the end
  EXPECT_FALSE(MatchesWildcard(L"ABC", L"AB"));
  EXPECT_FALSE(MatchesWildcard(L"AB", L"ABC"));
  EXPECT_TRUE(MatchesWildcard(L"*", L""));
  // A run of stars and question marks after a star is one star.
  EXPECT_TRUE(MatchesWildcard(L"*?", L""));
  EXPECT_TRUE(MatchesWildcard(L"A*?*?C", L"AC"));
}

TEST(KnownGood, SystemModulesAndRegisteredHooksAreAllowedFromTheStart) {
  const std::wstring system = upper(systemFolder());
  EXPECT_EQ(CachedDllVerdict(system + L"\\UXTHEME.DLL"), 1);
  EXPECT_EQ(CachedDllVerdict(system + L"\\MSCTF.DLL"), 1);
  const std::wstring hooks = upper(AccessibilitySoftware::hookFolder(L"2020"));
  EXPECT_EQ(CachedDllVerdict(hooks + L"JHOOK.DLL"), 1);
  // The 32-bit hook of a 64-bit installation only where there is such an installation.
  EXPECT_EQ(CachedDllVerdict(hooks + L"X86\\JHOOK.DLL"), wow64() ? 1 : -1);
  EXPECT_EQ(CachedDllVerdict(upper(AccessibilitySoftware::hookFolder(L"2021")) + L"JHOOK.DLL"), -1);
}

TEST(Decisions, OnlyLoadsByLocationWithAlteredSearchPathAreJudged) {
  const std::wstring module = systemFolder() + L"\\msimg32.dll";
  const std::wstring name = upper(module);
  ASSERT_EQ(CachedDllVerdict(name), -1);

  const vocabulary::ScopedModule relative(
      GuardedLoadLibraryExW(L"msimg32.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  EXPECT_TRUE(relative.valid());
  const vocabulary::ScopedModule otherFlags(GuardedLoadLibraryExW(module.c_str(), nullptr, 0));
  EXPECT_TRUE(otherFlags.valid());
  EXPECT_EQ(CachedDllVerdict(name), -1);

  // No driver answered when this process started: an unknown module is judged, and loaded.
  const vocabulary::ScopedModule judged(GuardedLoadLibraryExW(module.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  EXPECT_TRUE(judged.valid());
  EXPECT_EQ(CachedDllVerdict(name), 0);
  // Another spelling of the same path finds the same verdict.
  const std::wstring unc = L"\\\\?\\" + module;
  const vocabulary::ScopedModule prefixed(GuardedLoadLibraryExW(unc.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  EXPECT_EQ(CachedDllVerdict(upper(unc)), 0);
  // Spellings that lean on the current drive or on its current folder are loads by location too.
  for (const std::wstring& leaning : {module.substr(2), module.substr(0, 2) + module.substr(3)}) {
    SCOPED_TRACE(std::string(leaning.begin(), leaning.end()));
    const vocabulary::ScopedModule loaded(
        GuardedLoadLibraryExW(leaning.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    EXPECT_EQ(CachedDllVerdict(upper(leaning)), 0);
  }
}

TEST(Decisions, PatternVerdictsAreKeptForLaterCalls) {
  const std::wstring helper = L"c:\\Program Files\\NVDA\\lib\\nvdaHelperRemote.dll";
  ASSERT_EQ(CachedDllVerdict(upper(helper)), -1);
  EXPECT_EQ(GuardedLoadLibraryExW(helper.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH), nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));  // let through, and not there
  EXPECT_EQ(CachedDllVerdict(upper(helper)), 1);
  EXPECT_EQ(CachedDllVerdict(L"C:\\NVDA\\LIB\\NVDAHELPERREMOTE.DLL"), -1);
}

using ProbeLoad = HMODULE(WINAPI*)(const wchar_t*, HANDLE, DWORD);
using ProbeBound = FARPROC(WINAPI*)();

// A freshly loaded module whose import of kernel32!LoadLibraryExW the tests replace.
class Probe {
 public:
  Probe() : module_(::LoadLibraryW((ExecutableFolder() + L"\\dll_load_guard_probe.dll").c_str())) {}
  HMODULE module() const { return module_.get(); }
  FARPROC bound() const {
    return root::AsFunction<ProbeBound>(::GetProcAddress(module_.get(), "ProbeBoundLoadLibraryExW"))();
  }
  HMODULE load(const wchar_t* name) const {
    const auto load = root::AsFunction<ProbeLoad>(::GetProcAddress(module_.get(), "ProbeLoadLibraryExW"));
    return load(name, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }

 private:
  vocabulary::ScopedModule module_;
};

FARPROC realLoadLibraryExW() { return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "LoadLibraryExW"); }
FARPROC guard() { return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GuardedLoadLibraryExW)); }

TEST(ImportEntry, ReplacedInTheNamedModulesImportsOnly) {
  const Probe probe;
  ASSERT_NE(probe.module(), nullptr);
  ASSERT_EQ(probe.bound(), realLoadLibraryExW());
  // Another imported module's name, or a function the module does not import: nothing changes.
  EXPECT_EQ(ReplaceImportEntry(probe.module(), "user32.dll", realLoadLibraryExW(), guard()), 0u);
  EXPECT_EQ(ReplaceImportEntry(probe.module(), "kernel32.dll", reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&::Sleep)), guard()), 0u);
  EXPECT_EQ(probe.bound(), realLoadLibraryExW());

  EXPECT_EQ(ReplaceImportEntry(probe.module(), "KERNEL32.DLL", realLoadLibraryExW(), guard()), 0u);
  EXPECT_EQ(probe.bound(), guard());
  // Loads the module makes now pass the guard.
  const std::wstring module = systemFolder() + L"\\msacm32.dll";
  ASSERT_EQ(CachedDllVerdict(upper(module)), -1);
  const vocabulary::ScopedModule loaded(probe.load(module.c_str()));
  EXPECT_TRUE(loaded.valid());
  EXPECT_EQ(CachedDllVerdict(upper(module)), 0);
}

// Windows refuses some writes to a read-only import table, which the guard then makes through
// a copy-on-write page; Wine writes through any protection of the process's own memory.
TEST(ImportEntry, ReadOnlyImportTableIsWrittenAndKeepsItsProtection) {
  const Probe probe;
  ASSERT_EQ(probe.bound(), realLoadLibraryExW());
  // Find the entry by its value in the module's address table and make its page read-only,
  // as the import tables of system modules are.
  MEMORY_BASIC_INFORMATION page = {};
  const auto* base = reinterpret_cast<const char*>(probe.module());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  ASSERT_NE(table.VirtualAddress, 0u);
  void* entries = const_cast<char*>(base) + table.VirtualAddress;
  DWORD previous = 0;
  ASSERT_TRUE(::VirtualProtect(entries, table.Size, PAGE_READONLY, &previous));

  EXPECT_EQ(ReplaceImportEntry(probe.module(), "kernel32.dll", realLoadLibraryExW(), guard()), 0u);
  EXPECT_EQ(probe.bound(), guard());
  ASSERT_EQ(::VirtualQuery(entries, &page, sizeof(page)), sizeof(page));
  EXPECT_EQ(page.Protect, static_cast<DWORD>(PAGE_READONLY));
  ::VirtualProtect(entries, table.Size, previous, &previous);
}

// An image laid out in private memory: headers, one import descriptor for kernel32.dll and
// its import address entries on a page of their own.
class HandMadeImage {
 public:
  static constexpr DWORD kPage = 0x1000, kDescriptors = 0x200, kName = 0x300;

  explicit HandMadeImage(std::initializer_list<FARPROC> entries)
      : base_(static_cast<char*>(::VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base_);
    dos->e_magic = IMAGE_DOS_SIGNATURE;
    dos->e_lfanew = sizeof(IMAGE_DOS_HEADER);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base_ + dos->e_lfanew);
    nt->Signature = IMAGE_NT_SIGNATURE;
    nt->FileHeader.Machine = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    nt->FileHeader.SizeOfOptionalHeader = sizeof(nt->OptionalHeader);
    nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR_MAGIC;
    nt->OptionalHeader.SizeOfImage = 2 * kPage;
    nt->OptionalHeader.SizeOfHeaders = kDescriptors;
    nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
    nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT] = {kDescriptors, 2 * sizeof(IMAGE_IMPORT_DESCRIPTOR)};
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base_ + kDescriptors);
    descriptor->Name = kName;
    descriptor->FirstThunk = kPage;
    std::memcpy(base_ + kName, "kernel32.dll", sizeof("kernel32.dll"));
    std::copy(entries.begin(), entries.end(), this->entries());
  }
  ~HandMadeImage() { ::VirtualFree(base_, 0, MEM_RELEASE); }
  HandMadeImage(const HandMadeImage&) = delete;
  HandMadeImage& operator=(const HandMadeImage&) = delete;

  HMODULE module() const { return reinterpret_cast<HMODULE>(base_); }
  FARPROC* entries() const { return reinterpret_cast<FARPROC*>(base_ + kPage); }

 private:
  char* base_;
};

TEST(ImportEntry, OnlyTheFirstMatchingEntryIsReplaced) {
  const FARPROC sleep = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&::Sleep));
  const HandMadeImage image({sleep, realLoadLibraryExW(), realLoadLibraryExW()});
  EXPECT_EQ(ReplaceImportEntry(image.module(), "kernel32.dll", realLoadLibraryExW(), guard()), 0u);
  EXPECT_EQ(image.entries()[0], sleep);
  EXPECT_EQ(image.entries()[1], guard());
  EXPECT_EQ(image.entries()[2], realLoadLibraryExW());
}

// Every import address entry of a module that holds the given address, by the image headers.
int entriesHolding(HMODULE module, FARPROC address) {
  const auto* base = reinterpret_cast<const char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
  const auto* entries = reinterpret_cast<const FARPROC*>(base + table.VirtualAddress);
  int count = 0;
  for (std::size_t i = 0; i < table.Size / sizeof(FARPROC); ++i) count += entries[i] == address;
  return count;
}

// Whether the module names LoadLibraryExW among its imports from kernel32.dll.
bool importsFromKernel32(HMODULE module, const char* function) {
  const auto* base = reinterpret_cast<const char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
    if (::lstrcmpiA(base + d->Name, "kernel32.dll") != 0) continue;
    for (auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk); names->u1.AddressOfData;
         ++names) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::string(reinterpret_cast<const char*>(byName->Name)) == function) return true;
    }
  }
  return false;
}

TEST(ImportEntry, WindowingLibraryLoadsPassTheGuardWhereItImportsFromKernel32) {
  const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  ASSERT_NE(user32, nullptr);
  // The environment installed the guard. Wine's user32 takes LoadLibraryExW from kernelbase.dll,
  // which the guard leaves alone, as it leaves the process's own imports.
  const bool fromKernel32 = importsFromKernel32(user32, "LoadLibraryExW");
  EXPECT_EQ(entriesHolding(user32, guard()), fromKernel32 ? 1 : 0);
  EXPECT_EQ(InstallDllLoadGuard(), 0u);  // the entry no longer holds LoadLibraryExW: nothing to do
  EXPECT_EQ(entriesHolding(user32, guard()), fromKernel32 ? 1 : 0);
  EXPECT_EQ(entriesHolding(::GetModuleHandleW(nullptr), guard()), 0);
}

// ---- with the self-defense driver present from the start of the process ----

struct ChildRun {
  Result result = 0;
  DWORD exitCode = STILL_ACTIVE;  // a child that printed nothing says here how it ended
  std::vector<std::string> lines;
};

struct DesktopTraits {
  using Handle = HDESK;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::CloseDesktop(h) != FALSE; }
};
using ScopedDesktop = vocabulary::ScopedHandle<DesktopTraits>;

// The child's lines, read once it has ended. No one may still hold the file for writing: the
// read shares it for reading only, so a holder shows as this error, not as missing lines.
Result readLines(const std::wstring& path, std::vector<std::string>& lines) {
  const vocabulary::ScopedFileHandle in(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!in) return ::GetLastError();
  char text[4096];
  DWORD read = 0;
  if (!::ReadFile(in.get(), text, sizeof(text), &read, nullptr)) return ::GetLastError();
  const std::string all(text, read);
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t end = all.find('\n', at);
    std::string line = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end == std::string::npos ? all.size() : end + 1;
  }
  return code::kSuccess;
}

// Starts the guard's child on the named desktop with these module paths, its answers going to
// output.
//
// The child loads the theme and text-input modules, and under Wine the first process on a
// desktop that needs the desktop's window starts the desktop's own process (explorer.exe
// /desktop) and hands it its standard error. That process outlives the child, so the child has
// no standard error: were it the answers' file, the file would stay open for writing, and
// neither the read nor the next run's file could open it.
Result startChild(const std::vector<std::wstring>& paths, std::wstring desktop, HANDLE output,
                  PROCESS_INFORMATION& info) {
  const std::wstring program = ExecutableFolder() + L"\\dll_load_guard_child.exe";
  std::wstring commandLine = L"\"" + program + L"\"";
  for (const std::wstring& path : paths) commandLine += L" \"" + path + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.lpDesktop = &desktop[0];
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = nullptr;
  return ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &info)
             ? code::kSuccess
             : ::GetLastError();
}

// Runs the guard's child process with these module paths and collects its answers. Whether the
// default desktop was still open depends on what ran in the prefix before, so each run has a
// desktop of its own: its child always starts the desktop's process.
ChildRun runChild(const std::vector<std::wstring>& paths) {
  static int runs = 0;
  ChildRun run;
  const ScratchFolder scratch(L"guardchild");
  const std::wstring output = scratch.file(L"out.txt");
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  vocabulary::ScopedFileHandle file(
      ::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
  if (!file) {
    run.result = ::GetLastError();
    return run;
  }
  const std::wstring desktopName =
      L"guardchild" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++runs);
  const ScopedDesktop desktop(::CreateDesktopW(desktopName.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr));
  PROCESS_INFORMATION info = {};
  run.result = desktop ? startChild(paths, desktopName, file.get(), info) : ::GetLastError();
  if (run.result != code::kSuccess) return run;
  const vocabulary::ScopedKernelHandle process(info.hProcess);
  const vocabulary::ScopedKernelHandle thread(info.hThread);
  if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) run.result = WAIT_TIMEOUT;
  ::GetExitCodeProcess(process.get(), &run.exitCode);
  file.reset();
  if (run.result == code::kSuccess) run.result = readLines(output, run.lines);
  return run;
}

class GuardWithDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testdriver::resetDriverState(), 0u);
    ASSERT_EQ(testdriver::installTestDriver(service_), 0u);
  }
  void TearDown() override {
    EXPECT_EQ(testdriver::uninstallTestDriver(service_), 0u);
    testdriver::resetDriverState();
  }
  const std::wstring service_ = L"tzkguard" + std::to_wstring(::GetCurrentProcessId());
};

TEST_F(GuardWithDriver, UnknownModulesAreRefusedOnlyWhileTheDriverIsActive) {
  const std::wstring system = systemFolder();
  const std::vector<std::wstring> paths = {
      system + L"\\msimg32.dll",    system + L"\\uxtheme.dll",
      upper(system) + L"\\MsCtf.DLL", L"C:\\Program Files\\NVDA\\lib\\nvdaHelperRemote.dll"};

  ASSERT_EQ(testdriver::setQueryActive(1), 0u);
  ChildRun active = runChild(paths);
  ASSERT_EQ(active.result, 0u);
  EXPECT_EQ(active.exitCode, 0u);
  // Known-good modules load whatever their spelling; the speech helper passes the guard and is
  // then simply not there.
  EXPECT_EQ(active.lines, (std::vector<std::string>{"refused 5", "loaded", "loaded", "refused 126"}));

  ASSERT_EQ(testdriver::setQueryActive(0), 0u);
  ChildRun inactive = runChild({system + L"\\msimg32.dll"});
  ASSERT_EQ(inactive.result, 0u);
  EXPECT_EQ(inactive.exitCode, 0u);
  EXPECT_EQ(inactive.lines, (std::vector<std::string>{"loaded"}));
}

}  // namespace
}  // namespace tzk::selfdefense

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new tzk::selfdefense::AccessibilitySoftware);
  return RUN_ALL_TESTS();
}
