#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "packers/file_io.h"
#include "vocabulary/text.h"

namespace tzk::packers::io {

// Folders open for reading here but not on Windows; refuse them the way Windows does, so that
// callers see the same error on both systems. New files get the usual permissions under the
// umask, the nearest to Windows' "not read-only".
int OpenDescriptor(const wchar_t* path, OpenMode mode) {
  const std::string hostPath = vocabulary::toHostPath(path);
  if (mode == OpenMode::kCreate) return ::open(hostPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (mode == OpenMode::kCreateNew) return ::open(hostPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  const int descriptor = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (descriptor >= 0 && ::fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(descriptor);
    errno = EACCES;
    return -1;
  }
  return descriptor;
}

// Through the descriptor, not the path: whoever renamed another file onto the path meanwhile
// has not changed what is read.
int ReopenDescriptor(int descriptor, const wchar_t*) {
  return ::open(("/proc/self/fd/" + std::to_string(descriptor)).c_str(), O_RDONLY | O_CLOEXEC);
}

int ReadDescriptor(int descriptor, void* destination, std::uint32_t length) {
  ssize_t n;
  do {
    n = ::read(descriptor, destination, length);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

int WriteDescriptor(int descriptor, const void* source, std::uint32_t length) {
  ssize_t n;
  do {
    n = ::write(descriptor, source, length);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

std::int32_t SeekDescriptor(int descriptor, std::int32_t offset, int origin) {
  const off_t position = ::lseek(descriptor, offset, origin);
  if (position > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<std::int32_t>(position);
}

void CloseDescriptor(int descriptor) { ::close(descriptor); }

}  // namespace tzk::packers::io
