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

// The first open denies writing, renaming and deleting the file: while it lasts, the path
// still names the same file.
int ReopenDescriptor(int, const wchar_t* path) { return OpenDescriptor(path, false); }

int ReadDescriptor(int descriptor, void* destination, std::uint32_t length) {
  return ::_read(descriptor, destination, length);
}

int WriteDescriptor(int descriptor, const void* source, std::uint32_t length) {
  return ::_write(descriptor, source, length);
}

std::int32_t SeekDescriptor(int descriptor, std::int32_t offset, int origin) {
  return ::_lseek(descriptor, offset, origin);
}

void CloseDescriptor(int descriptor) { ::_close(descriptor); }

}  // namespace tzk::packers::io
