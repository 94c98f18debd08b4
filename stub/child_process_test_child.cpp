// A stand-in for the installer/updater and for an installed product's setup programs, started
// by the launcher's tests. It appends what it received to "<its own path>.record" and behaves
// as its command line and the optional "<its own path>.plan" tell it:
//   /signal:MS   after MS milliseconds, signal the GUI-shown event ("signalled=" 1 or 0)
//   /probe:MS    after MS milliseconds, note whether that event exists ("event=" 1 or 0)
//   /run:MS      then stay alive MS milliseconds more
//   /exit:N      exit with N (decimal or 0x-hex)
//   /link        copy itself onto the all-users desktop with the stub's own routine, its file
//                held open as the stub's archive holds it
//   /codes:A,B,C exit with A on the first run, B on the second, C on every later one; the runs
//                are counted in "<its own path>.count"
// The plan file lets a test steer a copy whose command line the code under test chooses.
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "stub/child_process.h"

namespace {

constexpr wchar_t kGuiShownEvent[] = L"Global\\tzkSetupGuiShown_0x02fa47cc9a31afba";

std::wstring ownPath() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n < MAX_PATH ? n : 0);
}

std::wstring readWhole(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes(::GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  ::CloseHandle(file);
  return std::wstring(bytes.begin(), bytes.begin() + read);  // the plan is ASCII
}

void writeWhole(const std::wstring& path, const std::wstring& text, DWORD disposition, DWORD access) {
  const HANDLE file = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  ::CloseHandle(file);
}

// The number after "/key:", or fallback when the key is not given.
unsigned long number(const std::wstring& text, const wchar_t* key, unsigned long fallback) {
  const std::size_t at = text.find(std::wstring(L"/") + key + L":");
  if (at == std::wstring::npos) return fallback;
  return std::wcstoul(text.c_str() + at + std::wcslen(key) + 2, nullptr, 0);
}

unsigned long exitCodeOfThisRun(const std::wstring& plan, const std::wstring& self) {
  const std::size_t at = plan.find(L"/codes:");
  if (at == std::wstring::npos) return number(plan, L"exit", 0);
  std::vector<unsigned long> codes;
  for (const wchar_t* p = plan.c_str() + at + 7;; ++p) {
    wchar_t* end = nullptr;
    codes.push_back(std::wcstoul(p, &end, 0));
    p = end;
    if (*p != L',') break;
  }
  const std::wstring counter = self + L".count";
  const unsigned long run = std::wcstoul(readWhole(counter).c_str(), nullptr, 10);
  const std::string next = std::to_string(run + 1);
  writeWhole(counter, std::wstring(next.begin(), next.end()), CREATE_ALWAYS, GENERIC_WRITE);
  return codes[run < codes.size() ? run : codes.size() - 1];
}

std::wstring variable(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD n = ::GetEnvironmentVariableW(name, value, 32768);
  return n < 32768 ? std::wstring(value, n) : std::wstring();
}

}  // namespace

int wmain() {
  const std::wstring self = ownPath();
  const std::wstring commandLine = ::GetCommandLineW();
  const std::wstring plan = commandLine + L" " + readWhole(self + L".plan");

  std::wstring record = L"cmdline=" + commandLine + L"\npath=" + variable(L"PATH") + L"\n";
  wchar_t directory[MAX_PATH];
  const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, directory);
  record += L"cwd=" + std::wstring(directory, n < MAX_PATH ? n : 0) + L"\n";

  if (const unsigned long delay = number(plan, L"signal", 0)) {
    ::Sleep(delay);
    const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kGuiShownEvent);
    record += event != nullptr && ::SetEvent(event) ? L"signalled=1\n" : L"signalled=0\n";
    if (event != nullptr) ::CloseHandle(event);
  }
  if (const unsigned long delay = number(plan, L"probe", 0)) {
    ::Sleep(delay);
    const HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, kGuiShownEvent);
    record += event != nullptr ? L"event=1\n" : L"event=0\n";
    if (event != nullptr) ::CloseHandle(event);
  }
  ::Sleep(number(plan, L"run", 0));
  if (plan.find(L"/link") != std::wstring::npos) {
    // Held as the stub's archive holds its own file: for reading, shared for reading only.
    const HANDLE held = ::CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    tzk::stub::linkSfxToDesktop();
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  }

  writeWhole(self + L".record", record + L"\f\n", OPEN_ALWAYS, FILE_APPEND_DATA);
  return static_cast<int>(exitCodeOfThisRun(plan, self));
}
