#include "stub/file_removal.h"

#include <cstdarg>
#include <cwchar>

#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"
#include "log/wide_format.h"
#include "root/held_files.h"
#include "root/last_failure.h"

namespace tzk::stub {

const log::ComponentTag kTagFilehlp(L"filehlp");

namespace {

// Read with plain access: a 32-bit stub sees the register its 32-bit peers write.
constexpr wchar_t kSharedDllsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
// Hidden, system, archive, temporary, offline and not-content-indexed: all but read-only.
constexpr DWORD kKeptAttributes = 0x3126;
constexpr DWORD kDeleteAtRestart = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;

void logRecord(log::LogLevel level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(level, kTagFilehlp, format, args);
  va_end(args);
}

std::wstring errorText(Result error) { return log::formatString(L"%d (0x%08X)", error, error); }

void clearReadOnly(const wchar_t* path) {
  const DWORD attributes = ::GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  const DWORD kept = attributes & kKeptAttributes;
  ::SetFileAttributesW(path, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

bool isShared(const std::wstring& path) {
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = REG_NONE;
  DWORD count = 0;
  DWORD size = sizeof(count);
  const LONG status =
      ::RegQueryValueExW(key.get(), path.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
  return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(count) && count != 0;
}

bool isDotEntry(const wchar_t* name) { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

// A junction or symbolic link is removed as itself. Entering it, or clearing its attributes,
// would reach whatever it points at, which may lie anywhere on the machine.
Result removeLink(const std::wstring& path, bool isDirectory, bool deferred) {
  BOOL done = FALSE;
  if (deferred) {
    done = ::MoveFileExW(path.c_str(), nullptr, kDeleteAtRestart);
  } else {
    done = isDirectory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
  }
  if (done) {
    logRecord(log::level::kInfo, deferred ? L"removeTree: Link '%s' registered for removal at restart."
                                          : L"removeTree: Link '%s' removed.", path.c_str());
    return code::kSuccess;
  }
  const Result error = root::LastFailure();
  logRecord(log::level::kError, L"removeTree: Cannot remove link '%s', code %s", path.c_str(),
            errorText(error).c_str());
  return error;
}

Result removeEntry(const std::wstring& path, DWORD attributes, const std::wstring& pattern, bool deferred) {
  const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return removeLink(path, isDirectory, deferred);
  if (isDirectory) return removeTree(path, pattern, deferred);
  return removeUnlessShared(path, deferred);
}

// Every entry is tried whatever happened to the ones before. The result is the last entry's, so
// a later success hides an earlier failure: each failure has its own record already.
Result removeEntries(const std::wstring& folder, const std::wstring& pattern, bool deferred) {
  WIN32_FIND_DATAW entry;
  vocabulary::ScopedFindHandle find(::FindFirstFileW(vocabulary::JoinPath(folder, pattern).c_str(), &entry));
  if (!find) return code::kSuccess;
  Result result = code::kSuccess;
  do {
    if (isDotEntry(entry.cFileName)) continue;
    result = removeEntry(vocabulary::JoinPath(folder, entry.cFileName), entry.dwFileAttributes, pattern, deferred);
  } while (::FindNextFileW(find.get(), &entry));
  return result;
}

}  // namespace

bool pathExists(const std::wstring& path) {
  // Synchronise access only, so files that others hold open without sharing still count.
  const vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), SYNCHRONIZE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.valid();
}

bool deleteFileWithRetry(const std::wstring& path) {
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = ERROR_SUCCESS;
  const auto attempt = [&] {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::DeleteFileW(path.c_str())) return true;
    error = ::GetLastError();
    return false;
  };
  if (root::RetryWhileHeld(attempt, [&] { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; })) {
    return true;
  }
  ::SetLastError(error);  // the caller reports why the delete failed, not why the probe did
  return false;
}

bool moveFileClearingReadOnly(const std::wstring& source, const wchar_t* target, DWORD flags) {
  clearReadOnly(source.c_str());
  if (target != nullptr) clearReadOnly(target);
  return ::MoveFileExW(source.c_str(), target, flags) != FALSE;
}

Result OpOnReboot(const std::wstring& path, bool deferred) {
  if (!pathExists(path)) return code::kFileNotFound;
  if (deferred) {
    if (moveFileClearingReadOnly(path, nullptr, kDeleteAtRestart)) {
      logRecord(log::level::kInfo, L"OpOnReboot: MoveFileEx('%s') successfully performed.", path.c_str());
      return code::kSuccess;
    }
    const Result error = root::LastFailure();
    logRecord(log::level::kError, L"OpOnReboot: MoveFileEx('%s') failed, code %s", path.c_str(),
              errorText(error).c_str());
    return error;
  }
  if (deleteFileWithRetry(path)) {
    logRecord(log::level::kInfo, L"OpOnReboot: Direct delete of file '%s' successfully performed.", path.c_str());
    return code::kSuccess;
  }
  const Result error = root::LastFailure();
  logRecord(log::level::kError, L"OpOnReboot: Cannot directly delete file '%s', code %s", path.c_str(),
            errorText(error).c_str());
  // Never handed to the restart instead: the deletion would go by this path, which lies under
  // the user's own temporary folder, so any program of the user could rename the folder away
  // and put a link to any folder in its place for the system to delete in. The file stays, in
  // a folder that only administrators may write.
  return error;
}

Result removeUnlessShared(const std::wstring& path, bool deferred) {
  if (!pathExists(path)) return code::kSuccess;
  if (isShared(path)) {
    logRecord(log::level::kWarning, L"Ignoring remove shared file: %s", path.c_str());
    return code::kSuccess;
  }
  const Result result = OpOnReboot(path, deferred);
  return result == code::kFileNotFound ? code::kSuccess : result;  // it vanished meanwhile
}

Result removeTree(const std::wstring& folder, const std::wstring& pattern, bool deferred,
                  vocabulary::ScopedFileHandle* held) {
  if (folder.empty()) return code::kInvalidParameter;
  const std::wstring withSeparator = folder.back() == L'\\' ? folder : folder + L'\\';
  const Result result = pattern.empty() ? code::kSuccess : removeEntries(withSeparator, pattern, deferred);
  // Only now: an empty folder moved away and replaced by a link leaves nothing to delete through
  // the link, and RemoveDirectoryW removes a link as itself.
  if (held != nullptr) held->reset();
  if (deferred) {
    // Registered after its contents, so the restart empties the folder before removing it.
    removeUnlessShared(folder, true);
  } else if (!::RemoveDirectoryW(folder.c_str())) {
    const Result error = root::LastFailure();
    logRecord(log::level::kWarning, L"removeTree: Cannot remove folder '%s', code %s; it is left in place.",
              folder.c_str(), errorText(error).c_str());
  }
  return result;
}

}  // namespace tzk::stub
