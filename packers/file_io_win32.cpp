#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "packers/file_io.h"

namespace tzk::packers::io {

// Not inherited: the stub keeps its own file open while it starts the installer/updater.
int OpenDescriptor(const wchar_t* path, bool create) {
  if (create) {
    return ::_wopen(path, _O_RDWR | _O_BINARY | _O_CREAT | _O_TRUNC | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  }
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
  const int reopened = OpenDescriptor(path, false);
  if (reopened < 0 || SameFile(descriptor, reopened)) return reopened;
  ::_close(reopened);
  errno = EXDEV;
  return -1;
}

int ReadDescriptor(int descriptor, void* destination, std::uint32_t length) {
  return ::_read(descriptor, destination, length);
}

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
  switch (::GetLastError()) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_INVALID_HANDLE:
    case ERROR_ACCESS_DENIED: errno = EBADF; break;  // as the runtime says of a file opened for reading
    case ERROR_BROKEN_PIPE: errno = EPIPE; break;
    default: errno = EACCES; break;
  }
  return -1;
}

std::int32_t SeekDescriptor(int descriptor, std::int32_t offset, int origin) {
  return ::_lseek(descriptor, offset, origin);
}

void CloseDescriptor(int descriptor) { ::_close(descriptor); }

}  // namespace tzk::packers::io
