// Helpers shared by the Windows tests of the platform library: what the system under test is,
// told by the system itself, and raw registry access that does not go through the library.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "root/library.h"
#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::root::testing {

// Whether this process sees the redirected views: a 32-bit process on a 64-bit Windows (or Wine
// prefix). A 64-bit build of the tests sees the native views, as on a 32-bit system.
inline bool SystemIsWow64() {
  BOOL wow64 = FALSE;
  return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

// A 64-bit Windows (or Wine prefix) has a WOW64 system folder; a 32-bit one has none.
inline bool SystemIs64Bit() {
  wchar_t folder[MAX_PATH];
  return ::GetSystemWow64DirectoryW(folder, MAX_PATH) != 0;
}

inline bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
  vocabulary::ScopedRegKey key;
  return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.receive()) == ERROR_SUCCESS;
}

// Removes a test's key with everything below it, without the library's own deletion.
inline void RemoveKey(HKEY root, const std::wstring& path, REGSAM view = 0) {
  {
    vocabulary::ScopedRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | view, key.receive()) != ERROR_SUCCESS) return;
    ::RegDeleteTreeW(key.get(), nullptr);
  }
  ::RegDeleteKeyExW(root, path.c_str(), view, 0);
}

inline void WriteRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type, const void* data,
                     DWORD bytes, REGSAM view = 0) {
  vocabulary::ScopedRegKey key;
  ASSERT_EQ(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.receive(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
}

// A string value with its terminator, unless the bytes say otherwise.
inline void WriteString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text,
                        DWORD type = REG_SZ, REGSAM view = 0) {
  WriteRaw(root, path, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), view);
}

inline void WriteDword(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value, REGSAM view = 0) {
  WriteRaw(root, path, name, REG_DWORD, &value, sizeof(value), view);
}

inline std::vector<std::uint8_t> ReadRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD& type) {
  vocabulary::ScopedRegKey key;
  std::vector<std::uint8_t> data(4096);
  DWORD bytes = static_cast<DWORD>(data.size());
  type = REG_NONE;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS ||
      ::RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS) {
    return {};
  }
  data.resize(bytes);
  return data;
}

inline std::wstring ExecutableFolder() { return vocabulary::FolderOf(OwnImagePath()); }

// A fresh folder under the temporary folder, removed with its files at the end of the test.
class ScratchFolder {
 public:
  explicit ScratchFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + name + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchFolder() { removeTree(path_); }
  const std::wstring& path() const { return path_; }
  std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }
  void touch(const std::wstring& path) const {
    vocabulary::ScopedFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    EXPECT_TRUE(file.valid());
  }

 private:
  static void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    vocabulary::ScopedFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          removeTree(path);
        } else {
          ::DeleteFileW(path.c_str());
        }
      } while (::FindNextFileW(find.get(), &entry));
    }
    find.reset();
    ::RemoveDirectoryW(folder.c_str());
  }
  std::wstring path_;
};

}  // namespace tzk::root::testing
