#include "stub/dll_search.h"

#include <gtest/gtest.h>

#include <string>

#include "root/library.h"
#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"
#include "root/system_library.h"

namespace tzk::stub {
namespace {

std::wstring testFolder() { return vocabulary::FolderOf(root::OwnImagePath()); }

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A copy of the marker DLL under a name no system has, so that only the stub's folder or the
// current directory can supply it. Loading it leaves "<path>.loaded".
class PlantedDll {
 public:
  PlantedDll(const std::wstring& folder, const wchar_t* name) : path_(folder + L"\\" + name) {
    EXPECT_TRUE(::CopyFileW((testFolder() + L"\\hardening\\planted.dll").c_str(), path_.c_str(), FALSE))
        << "the marker DLL is built beside the test, in hardening\\";
  }
  ~PlantedDll() {
    ::DeleteFileW(path_.c_str());
    ::DeleteFileW(marker().c_str());
  }
  std::wstring marker() const { return path_ + L".loaded"; }
  bool loaded() const { return exists(marker()); }
  void forget() const { ::DeleteFileW(marker().c_str()); }

 private:
  std::wstring path_;
};

class ScratchCurrentDirectory {
 public:
  ScratchCurrentDirectory() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    ::GetCurrentDirectoryW(MAX_PATH, previous_);
    path_ = std::wstring(temp) + L"dll-search-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(path_.c_str(), nullptr);
    ::SetCurrentDirectoryW(path_.c_str());
  }
  ~ScratchCurrentDirectory() {
    ::SetCurrentDirectoryW(previous_);
    ::RemoveDirectoryW(path_.c_str());
  }
  const std::wstring& path() const { return path_; }

 private:
  wchar_t previous_[MAX_PATH];
  std::wstring path_;
};

// Loads by bare name, as a careless caller or a system DLL's own import would.
bool loadsByName(const wchar_t* name) {
  const HMODULE module = ::LoadLibraryW(name);
  if (module == nullptr) return false;
  ::FreeLibrary(module);
  return true;
}

// The restriction holds for the whole process and cannot be undone: one test sees both sides.
TEST(DllSearch, StubFolderAndCurrentDirectoryLeaveTheSearch) {
  const ScratchCurrentDirectory current;
  const PlantedDll beside(testFolder(), L"dll_search_beside.dll");
  const PlantedDll inCurrent(current.path(), L"dll_search_current.dll");

  // Unrestricted, both places are searched: the plants work.
  ASSERT_TRUE(loadsByName(L"dll_search_beside.dll"));
  ASSERT_TRUE(loadsByName(L"dll_search_current.dll"));
  ASSERT_TRUE(beside.loaded() && inCurrent.loaded());
  beside.forget();
  inCurrent.forget();

  // Wine, like Windows 8 and later (or 7 with its update), has SetDefaultDllDirectories.
  EXPECT_EQ(restrictDllSearch(), DllSearch::kSystemFolderOnly);

  EXPECT_FALSE(loadsByName(L"dll_search_beside.dll"));
  EXPECT_FALSE(loadsByName(L"dll_search_current.dll"));
  EXPECT_FALSE(beside.loaded());
  EXPECT_FALSE(inCurrent.loaded());
  EXPECT_TRUE(loadsByName(L"version.dll")) << "the system folder stays searched";
}

std::wstring systemFolder() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, length);
}

TEST(SystemLibrary, LoadsFromTheSystemFolderOnly) {
  const vocabulary::ScopedModule debugHelp(root::LoadSystemLibrary(L"dbghelp.dll"));
  ASSERT_TRUE(debugHelp.valid());
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(debugHelp.get(), path, MAX_PATH);
  EXPECT_EQ(::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path, length, (systemFolder() + L"\\dbghelp.dll").c_str(),
                           -1),
            CSTR_EQUAL)
      << std::string(path, path + length);

  // Present beside the caller, absent from the system folder: not found.
  const PlantedDll beside(testFolder(), L"system_library_beside.dll");
  const HMODULE notInSystem = root::LoadSystemLibrary(L"system_library_beside.dll");
  const DWORD notInSystemError = ::GetLastError();
  EXPECT_EQ(notInSystem, nullptr);
  EXPECT_EQ(notInSystemError, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(beside.loaded());

  // A name that does not fit a path buffer is refused, never cut to one that might exist.
  const std::wstring overlong(MAX_PATH, L'a');
  const HMODULE overlongModule = root::LoadSystemLibrary(overlong.c_str());
  const DWORD overlongError = ::GetLastError();
  EXPECT_EQ(overlongModule, nullptr);
  EXPECT_EQ(overlongError, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

}  // namespace
}  // namespace tzk::stub
