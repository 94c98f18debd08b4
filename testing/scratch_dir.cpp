#include "testing/scratch_dir.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#endif

#include "vocabulary/text.h"

namespace tzk::testing {

#ifdef _WIN32
namespace {
void removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE h = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) removeTree(path);
      else ::DeleteFileW(path.c_str());
    } while (::FindNextFileW(h, &found));
    ::FindClose(h);
  }
  ::RemoveDirectoryW(folder.c_str());
}
}  // namespace

ScratchDir::ScratchDir() {
  wchar_t base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  static unsigned counter = 0;
  for (;;) {
    path_ = std::wstring(base) + L"sfxtest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
            std::to_wstring(counter++);
    if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}
ScratchDir::~ScratchDir() { removeTree(path_); }
std::wstring ScratchDir::file(const std::wstring& name) const { return path_ + L"\\" + name; }

std::wstring SourcePath(const std::wstring& relative) {
  std::wstring path = L"Z:" + vocabulary::fromUtf8(SFX_SOURCE_DIR) + L"/" + relative;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::vector<std::wstring> ListFolder(const std::wstring& path) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(h, &found));
  ::FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

// Through the wide call: names beyond ASCII do not survive the runtime's narrow ones.
std::vector<std::uint8_t> ReadFileBytes(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return bytes;
  std::uint8_t piece[65536];
  DWORD read = 0;
  while (::ReadFile(h, piece, sizeof(piece), &read, nullptr) && read != 0) bytes.insert(bytes.end(), piece, piece + read);
  ::CloseHandle(h);
  return bytes;
}

std::int64_t FileModificationTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  const std::uint64_t t = (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10000000ULL) - 11644473600LL;
}
#else
ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/sfxtest_XXXXXX";
  path_ = vocabulary::fromUtf8(::mkdtemp(pattern));
}
ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(vocabulary::toHostPath(path_), ignored);
}
std::wstring ScratchDir::file(const std::wstring& name) const { return path_ + L"/" + name; }

std::wstring SourcePath(const std::wstring& relative) { return vocabulary::fromUtf8(SFX_SOURCE_DIR) + L"/" + relative; }

std::vector<std::wstring> ListFolder(const std::wstring& path) {
  std::vector<std::wstring> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(vocabulary::toHostPath(path), error)) {
    names.push_back(vocabulary::fromUtf8(entry.path().filename().string()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> ReadFileBytes(const std::wstring& path) {
  std::ifstream in(vocabulary::toHostPath(path), std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t FileModificationTime(const std::wstring& path) {
  struct stat st {};
  if (::stat(vocabulary::toHostPath(path).c_str(), &st) != 0) return -1;
  return st.st_mtime;
}
#endif

namespace {
std::string narrowPath(const std::wstring& path) {
#ifdef _WIN32
  // The test paths are ASCII; std::fstream on mingw takes narrow names only.
  return vocabulary::toUtf8(path);
#else
  return vocabulary::toHostPath(path);
#endif
}
}  // namespace

bool WriteFileBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(narrowPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool FileExists(const std::wstring& path) { return FileModificationTime(path) != -1; }

}  // namespace tzk::testing
