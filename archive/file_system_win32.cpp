#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "archive/file_system.h"
#include "root/file_checks.h"
#include "root/held_files.h"
#include "root/library.h"
#include "vocabulary/scoped_handle.h"
#include "vocabulary/text.h"

namespace tzk::archive {

bool SetEntryFileTime(const std::wstring& path, std::int64_t unixSeconds) {
  vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  const std::uint64_t ticks = (static_cast<std::uint64_t>(unixSeconds) + 11644473600ULL) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ::SetFileTime(file.get(), nullptr, &time, &time) != FALSE;
}

bool DeleteEntryFile(const std::wstring& path) { return ::DeleteFileW(path.c_str()) != FALSE; }

bool ReplaceEntryFile(const std::wstring& from, const std::wstring& to) {
  const auto move = [&] { return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE; };
  return root::RetryWhileHeld(move, [&] { return root::PathExists(from); });
}

std::wstring ExtendedLengthPath(const std::wstring& path) {
  constexpr wchar_t kPrefix[] = L"\\\\?\\";
  if (path.compare(0, 4, kPrefix) == 0) return path;
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") != 0) return kPrefix + full;
  // A share gets the prefix's UNC form; a device path ("\\.\") is left as it is.
  if (full.size() > 2 && (full[2] == L'.' || full[2] == L'?')) return path;
  return std::wstring(kPrefix) + L"UNC" + full.substr(1);
}

bool RunsUnderWow64() { return root::ProcessRunsUnderWow64(); }

Result DisableRedirection(void** previous) { return root::DisableFsRedirection(previous); }
Result RevertRedirection(void* previous) { return root::RevertFsRedirection(previous); }

// The C runtime's tmpfile() makes its file in the drive's root, which a user may not write to.
std::FILE* OpenScratchFile() {
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(folder, L"sfx", 0, path) == 0) return nullptr;
  const HANDLE file = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ::DeleteFileW(path);
    return nullptr;
  }
  // From here the descriptor, then the stream, owns the handle.
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (descriptor == -1) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(descriptor, "w+b");
  if (stream == nullptr) ::_close(descriptor);
  return stream;
}

std::FILE* OpenUtf8File(const std::string& path, const char* mode) {
  return ::_wfopen(vocabulary::fromUtf8(path).c_str(), vocabulary::fromUtf8(mode).c_str());
}

}  // namespace tzk::archive
