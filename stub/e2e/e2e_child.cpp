// The installer/updater of the end-to-end runs. It writes what it was given, and what its
// folder held while it ran, to the file named by the environment variable E2E_RECORD (UTF-8, one
// "key=value" a line), then behaves as its argument text says:
//   /exitcode:N  exit with N (decimal or 0x-hex), 0 by default
//   /reboot      leave "Reboot.txt" in its folder, asking the stub for a restart
#include <windows.h>

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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring folder = folderOf(self);
  const std::wstring args = arguments != nullptr ? arguments : L"";

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
  const std::string bytes = utf8(record);
  const HANDLE out = ::CreateFileW(variable(L"E2E_RECORD").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(out);
  }

  if (args.find(L"/reboot") != std::wstring::npos) {
    const HANDLE marker = ::CreateFileW((folder + L"\\Reboot.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  }
  const std::size_t at = args.find(L"/exitcode:");
  return at == std::wstring::npos ? 0 : static_cast<int>(std::wcstoul(args.c_str() + at + 10, nullptr, 0));
}
