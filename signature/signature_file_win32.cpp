#include <windows.h>

#include <io.h>

#include "signature/signature_file.h"

namespace tzk::signature {

bool SignatureFile::Open(const wchar_t* path) {
  if (path == nullptr) return false;
  owned_.reset(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  file_ = owned_.get();
  if (!owned_.valid() || !TakeSize()) {
    owned_.reset();
    file_ = INVALID_HANDLE_VALUE;
    return false;
  }
  return true;
}

bool SignatureFile::Borrow(int descriptor) {
  owned_.reset();
  file_ = descriptor >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)) : INVALID_HANDLE_VALUE;
  if (file_ == INVALID_HANDLE_VALUE || !TakeSize()) {
    file_ = INVALID_HANDLE_VALUE;
    return false;
  }
  return true;
}

bool SignatureFile::TakeSize() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file_, &size) || size.QuadPart < 0) return false;
  size_ = static_cast<std::uint64_t>(size.QuadPart);
  return true;
}

bool SignatureFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
  if (file_ == INVALID_HANDLE_VALUE || offset > size_ || size > size_ - offset) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    // A positioned read. It moves the handle's file pointer too, which a borrowing caller
    // sets again before each of its own reads.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(file_, out, want, &got, &at) || got == 0) return false;
    out += got;
    offset += got;
    size -= got;
  }
  return true;
}

bool SignatureFile::MapContent(std::size_t length, ContentView* view) const {
  vocabulary::ScopedKernelHandle section(::CreateFileMappingW(file_, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!section.valid()) return false;
  // The view keeps the section alive; its handle can go when this function returns.
  view->mapping_.reset(::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, length));
  if (!view->mapping_.valid()) return false;
  view->data_ = static_cast<const std::uint8_t*>(view->mapping_.get());
  view->size_ = length;
  return true;
}

}  // namespace tzk::signature
