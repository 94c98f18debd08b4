#include <windows.h>
#include <winioctl.h>

#include "log/log_platform.h"
#include "vocabulary/recursive_lock.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::log {

std::uint64_t currentFileTime() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool fileTimeToCalendar(std::uint64_t fileTime, CalendarTime* out) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(fileTime);
  ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  SYSTEMTIME st;
  if (!::FileTimeToSystemTime(&ft, &st)) return false;
  *out = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  return true;
}

std::uint32_t currentProcessId() { return ::GetCurrentProcessId(); }
std::uint32_t currentThreadId() { return ::GetCurrentThreadId(); }
void sendToDebugger(const wchar_t* line) { ::OutputDebugStringW(line); }

LogFile::Handle LogFile::invalidHandle() {
  return reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
}

LogFile::~LogFile() { close(); }

Result LogFile::open(const wchar_t* path, bool* created) {
  close();
  // Append-only access: every write lands whole at the current end of the file, even with
  // several threads or processes writing at once. A link at the name is opened as itself, never
  // followed: an elevated run's appends must not land in a file someone else chose.
  HANDLE h = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError();
  *created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  handle_ = reinterpret_cast<Handle>(h);
  return code::kSuccess;
}

void LogFile::requestCompression(const wchar_t* path) {
  vocabulary::ScopedFileHandle rw(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!rw) return;
  USHORT format = COMPRESSION_FORMAT_DEFAULT;
  DWORD returned = 0;
  ::DeviceIoControl(rw.get(), FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0, &returned,
                    nullptr);
}

void LogFile::close() {
  vocabulary::ScopedFileHandle owned(reinterpret_cast<HANDLE>(handle_));
  handle_ = invalidHandle();
}

bool LogFile::isOpen() const { return isValid(handle_); }
bool LogFile::isValid(Handle handle) { return handle != invalidHandle(); }

namespace {
// Windows appends each write on an append-only handle whole; Wine emulates that with a seek
// and a write, and threads racing between the two overwrite each other's lines. This lock is
// held only around the write itself, never together with the logger's lock.
// Never destroyed: whatever logs while the process ends still finds it.
vocabulary::RecursiveLock& appendLock() {
  static vocabulary::RecursiveLock* const lock = new vocabulary::RecursiveLock;
  return *lock;
}
}  // namespace

bool LogFile::writeUtf16(Handle handle, const wchar_t* text, std::size_t units) {
  const vocabulary::Locked guard(appendLock());
  DWORD written = 0;
  const DWORD bytes = static_cast<DWORD>(units * sizeof(wchar_t));
  return ::WriteFile(reinterpret_cast<HANDLE>(handle), text, bytes, &written, nullptr) && written == bytes;
}

}  // namespace tzk::log
