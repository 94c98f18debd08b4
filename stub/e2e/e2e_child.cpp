// The installer/updater of the end-to-end runs. It writes what it was given, and what its
// folder held while it ran, to the file named by the environment variable E2E_RECORD (UTF-8, one
// "key=value" a line), then behaves as its argument text says:
//   /exitcode:N  exit with N (decimal or 0x-hex), 0 by default
//   /reboot      leave "Reboot.txt" in its folder, asking the stub for a restart
//   /leftovers   leave a read-only file and a file the shared-DLL register counts once, then
//                wait (at most 30 s) for "go" in its folder, so the test can add what Wine
//                cannot make from inside (a link to a folder outside)
//   /signal      note whether the progress window shows, signal the GUI-shown event after one
//                second, and note how long the window stays after that (at most 10 s)
//   /tamper:PATH try to open PATH (the running installer) for writing, to rename it and to
//                delete it, then to rename its own folder away, and note each attempt's error
//                (0 when it worked; a rename that worked is undone)
//   /hold        leave "held.dat" in its folder, held open without delete sharing by a copy of
//                itself ("holder.exe" beside the record) until the stub has ended (at most
//                60 s); the holder then leaves "holder.done" beside the record
//   /crash       end in an access violation nobody handles once the record is written (raised,
//                not made: an emulated CPU reports a write through null with another code)
#include <windows.h>

#include <tlhelp32.h>

#include <cwchar>
#include <string>

namespace {

std::string utf8(const std::wstring& text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring variable(const wchar_t* name) {
  static wchar_t value[32768];
  const DWORD n = ::GetEnvironmentVariableW(name, value, 32768);
  return n > 0 && n < 32768 ? std::wstring(value, n) : std::wstring();
}

std::wstring folderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

void touch(const std::wstring& path, DWORD attributes) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

void leaveLeftovers(const std::wstring& folder) {
  touch(folder + L"\\readonly.txt", FILE_ATTRIBUTE_READONLY);
  const std::wstring shared = folder + L"\\shared.dll";
  touch(shared, FILE_ATTRIBUTE_NORMAL);
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", 0, nullptr,
                        0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    const DWORD count = 1;
    ::RegSetValueExW(key, shared.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    ::RegCloseKey(key);
  }
  for (int waited = 0; waited < 30000 && ::GetFileAttributesW((folder + L"\\go").c_str()) == INVALID_FILE_ATTRIBUTES;
       waited += 100) {
    ::Sleep(100);
  }
}

std::wstring windowShows() { return ::FindWindowW(L"zantiSfxProgressClass", nullptr) != nullptr ? L"1" : L"0"; }

// The window must show before the signal and be gone once the stub polled after it.
std::wstring signalGuiShown() {
  std::wstring notes = L"window_before=" + windowShows() + L"\n";
  ::Sleep(1000);
  const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\tzkSetupGuiShown_0x02fa47cc9a31afba");
  notes += L"signalled=" + std::wstring(event != nullptr && ::SetEvent(event) ? L"1" : L"0") + L"\n";
  if (event != nullptr) ::CloseHandle(event);
  // How long the window outlives the signal: the stub closes it at its next poll (333 ms), and
  // Wine then waits up to 2 s for a window manager to withdraw it, which Xvfb does not have.
  DWORD waited = 0;
  while (waited < 10000 && windowShows() == L"1") {
    ::Sleep(100);
    waited += 100;
  }
  return notes + L"window_gone_after_ms=" + std::to_wstring(waited) + L"\n";
}

constexpr wchar_t kHolding[] = L"e2e_child_holding";

DWORD parentProcessId() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == ::GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  ::CloseHandle(snapshot);
  return parent;
}

// The holder ("/holder:STUB_PID PATH"): another process, so the file stays held through the
// stub's clean-up, until the stub has ended.
int holdOpen(const std::wstring& arguments) {
  const std::wstring beside = folderOf(variable(L"E2E_RECORD"));
  wchar_t* rest = nullptr;
  const HANDLE stub = ::OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(arguments.c_str(), &rest, 10));
  const HANDLE file = ::CreateFileW(rest + 1, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE holding = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolding);
  if (holding != nullptr) ::SetEvent(holding);
  if (stub != nullptr) ::WaitForSingleObject(stub, 60000);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  touch(beside + L"\\holder.done", FILE_ATTRIBUTE_NORMAL);
  return 0;
}

void leaveAHeldFile(const std::wstring& self, const std::wstring& folder) {
  const std::wstring held = folder + L"\\held.dat";
  touch(held, FILE_ATTRIBUTE_NORMAL);
  const std::wstring holder = folderOf(variable(L"E2E_RECORD")) + L"\\holder.exe";
  const HANDLE holding = ::CreateEventW(nullptr, TRUE, FALSE, kHolding);
  std::wstring commandLine = L"\"" + holder + L"\" /holder:" + std::to_wstring(parentProcessId()) + L" " + held;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (::CopyFileW(self.c_str(), holder.c_str(), FALSE) &&
      ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    ::WaitForSingleObject(holding, 30000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  if (holding != nullptr) ::CloseHandle(holding);
}

std::wstring errorOf(bool worked) { return std::to_wstring(worked ? 0 : ::GetLastError()); }

std::wstring renameAndBack(const std::wstring& path) {
  const std::wstring moved = path + L".moved";
  const bool renamed = ::MoveFileW(path.c_str(), moved.c_str()) != FALSE;
  const std::wstring error = errorOf(renamed);
  if (renamed) ::MoveFileW(moved.c_str(), path.c_str());
  return error;
}

std::wstring tamperWith(const std::wstring& path, const std::wstring& folder) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  std::wstring notes = L"tamper_write=" + errorOf(file != INVALID_HANDLE_VALUE) + L"\n";
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  notes += L"tamper_rename=" + renameAndBack(path) + L"\n";
  notes += L"tamper_delete=" + errorOf(::DeleteFileW(path.c_str()) != FALSE) + L"\n";
  return notes + L"tamper_folder=" + renameAndBack(folder) + L"\n";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring folder = folderOf(self);
  const std::wstring args = arguments != nullptr ? arguments : L"";
  if (args.rfind(L"/holder:", 0) == 0) return holdOpen(args.substr(8));

  std::wstring record = L"self=" + std::wstring(self) + L"\n" + L"args=" + args + L"\n" +
                        L"path=" + variable(L"PATH") + L"\n";
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.cFileName[0] != L'.') record += L"file=" + std::wstring(found.cFileName) + L"\n";
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  if (args.find(L"/signal") != std::wstring::npos) record += signalGuiShown();
  const std::size_t tamper = args.find(L"/tamper:");
  if (tamper != std::wstring::npos) {
    record += tamperWith(args.substr(tamper + 8, args.find(L' ', tamper) - tamper - 8), folder);
  }
  const std::string bytes = utf8(record);
  const HANDLE out = ::CreateFileW(variable(L"E2E_RECORD").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(out);
  }

  if (args.find(L"/reboot") != std::wstring::npos) touch(folder + L"\\Reboot.txt", FILE_ATTRIBUTE_NORMAL);
  if (args.find(L"/leftovers") != std::wstring::npos) leaveLeftovers(folder);
  if (args.find(L"/hold") != std::wstring::npos) leaveAHeldFile(self, folder);
  if (args.find(L"/crash") != std::wstring::npos) {
    ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  const std::size_t at = args.find(L"/exitcode:");
  return at == std::wstring::npos ? 0 : static_cast<int>(std::wcstoul(args.c_str() + at + 10, nullptr, 0));
}
