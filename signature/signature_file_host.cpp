#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>

#include "signature/signature_file.h"
#include "vocabulary/text.h"

namespace tzk::signature {

FileOwner::~FileOwner() { reset(-1); }

void FileOwner::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

MappingOwner::~MappingOwner() { reset(nullptr, 0); }

void MappingOwner::reset(void* address, std::size_t size) {
  if (address_ != nullptr) ::munmap(address_, size_);
  address_ = address;
  size_ = size;
}

bool SignatureFile::Open(const wchar_t* path) {
  if (path == nullptr) return false;
  owned_.reset(::open(vocabulary::toHostPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  file_ = owned_.get();
  if (file_ < 0 || !TakeSize()) {
    owned_.reset(-1);
    file_ = -1;
    return false;
  }
  return true;
}

bool SignatureFile::Borrow(int descriptor) {
  owned_.reset(-1);
  file_ = descriptor;
  if (file_ < 0 || !TakeSize()) {
    file_ = -1;
    return false;
  }
  return true;
}

bool SignatureFile::TakeSize() {
  struct stat info {};
  if (::fstat(file_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size_ = static_cast<std::uint64_t>(info.st_size);
  return true;
}

bool SignatureFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
  if (file_ < 0 || offset > size_ || size > size_ - offset) return false;
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(file_, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += static_cast<std::uint64_t>(got);
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool SignatureFile::MapContent(std::size_t length, ContentView* view) const {
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file_, 0);
  if (address == MAP_FAILED) return false;
  view->mapping_.reset(address, length);
  view->data_ = static_cast<const std::uint8_t*>(address);
  view->size_ = length;
  return true;
}

}  // namespace tzk::signature
