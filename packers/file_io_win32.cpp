#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "packers/file_io.h"

namespace tzk::packers::io {

// Not inherited: the stub keeps its own file open while it starts the installer/updater.
int OpenDescriptor(const wchar_t* path, OpenMode mode) {
  constexpr int kNewFile = _O_RDWR | _O_BINARY | _O_CREAT | _O_NOINHERIT;
  if (mode == OpenMode::kCreate) return ::_wopen(path, kNewFile | _O_TRUNC, _S_IREAD | _S_IWRITE);
  if (mode == OpenMode::kCreateNew) return ::_wopen(path, kNewFile | _O_EXCL, _S_IREAD | _S_IWRITE);
  return ::_wsopen(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYWR);
}

namespace {

bool SameFile(int first, int second) {
  BY_HANDLE_FILE_INFORMATION a = {};
  BY_HANDLE_FILE_INFORMATION b = {};
  const auto handle = [](int descriptor) { return reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)); };
  return ::GetFileInformationByHandle(handle(first), &a) && ::GetFileInformationByHandle(handle(second), &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

// XP has no way to open a handle's file again except by its path. The first open keeps the
// file itself from being written, renamed or deleted, but not a folder or link on its path,
// which may name another file by now: only the same volume and file index make it the file
// that was verified.
int ReopenDescriptor(int descriptor, const wchar_t* path) {
  const int reopened = OpenDescriptor(path, OpenMode::kRead);
  if (reopened < 0 || SameFile(descriptor, reopened)) return reopened;
  ::_close(reopened);
  errno = EXDEV;
  return -1;
}

int ReadDescriptor(int descriptor, void* destination, std::uint32_t length) {
  return ::_read(descriptor, destination, length);
}

namespace {

// The C runtime's own translation of a system error into an error number, which _write would
// have made: callers then see the code the runtime's table gives (22 and so 87 for what it does
// not list, 12 and so 8 for memory). Disk full is ENOSPC either way.
int crtErrorFromSystemError(DWORD error) {
  struct Mapping {
    DWORD error;
    int crtError;
  };
  static constexpr Mapping kTable[] = {
      {ERROR_INVALID_FUNCTION, EINVAL}, {ERROR_FILE_NOT_FOUND, ENOENT}, {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE}, {ERROR_ACCESS_DENIED, EACCES}, {ERROR_INVALID_HANDLE, EBADF},
      {ERROR_ARENA_TRASHED, ENOMEM}, {ERROR_NOT_ENOUGH_MEMORY, ENOMEM}, {ERROR_INVALID_BLOCK, ENOMEM},
      {ERROR_BAD_ENVIRONMENT, E2BIG}, {ERROR_BAD_FORMAT, ENOEXEC}, {ERROR_INVALID_ACCESS, EINVAL},
      {ERROR_INVALID_DATA, EINVAL}, {ERROR_INVALID_DRIVE, ENOENT}, {ERROR_CURRENT_DIRECTORY, EACCES},
      {ERROR_NOT_SAME_DEVICE, EXDEV}, {ERROR_NO_MORE_FILES, ENOENT}, {ERROR_LOCK_VIOLATION, EACCES},
      {ERROR_BAD_NETPATH, ENOENT}, {ERROR_NETWORK_ACCESS_DENIED, EACCES}, {ERROR_BAD_NET_NAME, ENOENT},
      {ERROR_FILE_EXISTS, EEXIST}, {ERROR_CANNOT_MAKE, EACCES}, {ERROR_FAIL_I24, EACCES},
      {ERROR_INVALID_PARAMETER, EINVAL}, {ERROR_NO_PROC_SLOTS, EAGAIN}, {ERROR_DRIVE_LOCKED, EACCES},
      {ERROR_BROKEN_PIPE, EPIPE}, {ERROR_DISK_FULL, ENOSPC}, {ERROR_INVALID_TARGET_HANDLE, EBADF},
      {ERROR_INVALID_LEVEL, EINVAL}, {ERROR_WAIT_NO_CHILDREN, ECHILD}, {ERROR_CHILD_NOT_COMPLETE, ECHILD},
      {ERROR_DIRECT_ACCESS_HANDLE, EBADF}, {ERROR_NEGATIVE_SEEK, EINVAL}, {ERROR_SEEK_ON_DEVICE, EACCES},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY}, {ERROR_NOT_LOCKED, EACCES}, {ERROR_BAD_PATHNAME, ENOENT},
      {ERROR_MAX_THRDS_REACHED, EAGAIN}, {ERROR_LOCK_FAILED, EACCES}, {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_FILENAME_EXCED_RANGE, ENOENT}, {ERROR_NESTING_NOT_ALLOWED, EAGAIN}, {ERROR_NOT_ENOUGH_QUOTA, ENOMEM},
      {ERROR_HANDLE_DISK_FULL, ENOSPC}};
  for (const Mapping& mapping : kTable) {
    if (mapping.error == error) return mapping.crtError;
  }
  if (error >= ERROR_WRITE_PROTECT && error <= ERROR_SHARING_BUFFER_EXCEEDED) return EACCES;
  if (error >= ERROR_INVALID_STARTING_CODESEG && error <= ERROR_INFLOOP_IN_RELOC_CHAIN) return ENOEXEC;
  return EINVAL;
}

}  // namespace

// Straight to the system, not through _write: Wine's C runtime turns a write that filled the
// disk part of the way into a failure with whatever error the thread met last (87 was seen on
// the second extraction lane, where 112 is the truth). A partial write counts as what it wrote;
// the next one then fails with the disk's own error.
int WriteDescriptor(int descriptor, const void* source, std::uint32_t length) {
  DWORD written = 0;
  if (::WriteFile(reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)), source, length, &written, nullptr)) {
    if (written != 0 || length == 0) return static_cast<int>(written);
    errno = ENOSPC;
    return -1;
  }
  const DWORD error = ::GetLastError();
  // The runtime says EBADF of a file that was opened for reading only.
  errno = error == ERROR_ACCESS_DENIED ? EBADF : crtErrorFromSystemError(error);
  return -1;
}

std::int32_t SeekDescriptor(int descriptor, std::int32_t offset, int origin) {
  return ::_lseek(descriptor, offset, origin);
}

void CloseDescriptor(int descriptor) { ::_close(descriptor); }

}  // namespace tzk::packers::io
