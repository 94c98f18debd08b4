// The C runtime calls behind CUFile: one version for Windows, one for the host. Failures
// return -1 with the reason in errno.
#pragma once

#include <cstdint>

namespace tzk::packers::io {

enum class OpenMode {
  kRead,       // an existing file, for reading; others may read it too
  kCreate,     // created, or an existing file truncated, for reading and writing
  kCreateNew,  // created for reading and writing; fails with EEXIST when the name is taken
};
int OpenDescriptor(const wchar_t* path, OpenMode mode);
// The file behind descriptor (opened for reading from path) opened again, with a position of
// its own.
int ReopenDescriptor(int descriptor, const wchar_t* path);
int ReadDescriptor(int descriptor, void* destination, std::uint32_t length);
int WriteDescriptor(int descriptor, const void* source, std::uint32_t length);
// Positions beyond 2 GiB - 1 are refused with EINVAL on both systems.
std::int32_t SeekDescriptor(int descriptor, std::int32_t offset, int origin);
void CloseDescriptor(int descriptor);

}  // namespace tzk::packers::io
