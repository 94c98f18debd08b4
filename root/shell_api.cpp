#include "root/shell_api.h"

#include "root/system_library.h"

namespace tzk::root {
namespace {

// Loaded once, on first use, and kept for the life of the process like a static import.
FARPROC shellFunction(const char* name) {
  static const HMODULE shell = LoadSystemLibrary(L"shell32.dll");
  return shell != nullptr ? ::GetProcAddress(shell, name) : nullptr;
}

template <typename Function>
Function shellFunctionAs(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(shellFunction(name)));
}

}  // namespace

bool GetSpecialFolder(int csidl, std::wstring& folder) {
  using Function = BOOL(WINAPI*)(HWND, LPWSTR, int, BOOL);
  const auto get = shellFunctionAs<Function>("SHGetSpecialFolderPathW");
  wchar_t path[MAX_PATH] = {};
  if (get == nullptr || !get(nullptr, path, csidl, FALSE)) return false;
  folder = path;
  return true;
}

void CreateDirectoryTree(const std::wstring& folder, SECURITY_ATTRIBUTES* security) {
  using Function = int(WINAPI*)(HWND, LPCWSTR, const SECURITY_ATTRIBUTES*);
  const auto create = shellFunctionAs<Function>("SHCreateDirectoryExW");
  if (create != nullptr) create(nullptr, folder.c_str(), security);
}

}  // namespace tzk::root
