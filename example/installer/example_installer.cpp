// The example installer/updater that the demo packs: it shows what the stub handed it (its
// argument text and folder) and exits with the code given by "/exitcode:N" (0 by default).
// "/wait:MS" stands in for an installation that takes MS milliseconds and asks nothing, so
// that the stub's progress window can be seen (and photographed by the demo) meanwhile.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void print(const std::wstring& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], n, nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring optionValue(const std::wstring& text, const std::wstring& key) {
  const std::size_t at = text.find(L"/" + key + L":");
  if (at == std::wstring::npos) return {};
  const std::size_t start = at + key.size() + 2;
  return text.substr(start, text.find_first_of(L" \"", start) - start);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring text = arguments != nullptr ? arguments : L"";
  std::wstring report = L"example installer: running as " + std::wstring(self) + L"\r\n" +
                        L"example installer: received \"" + text + L"\"\r\n";
  print(report);
  const std::wstring wait = optionValue(text, L"wait");
  if (!wait.empty()) {
    ::Sleep(std::wcstoul(wait.c_str(), nullptr, 0));
  } else if (text.find(L"/silent") == std::wstring::npos) {
    ::MessageBoxW(nullptr, report.c_str(), L"Example installer", MB_OK | MB_ICONINFORMATION);
  }
  const std::wstring code = optionValue(text, L"exitcode");
  return code.empty() ? 0 : static_cast<int>(std::wcstoul(code.c_str(), nullptr, 0));
}
