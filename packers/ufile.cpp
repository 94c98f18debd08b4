#include <cerrno>
#include <cstdlib>

#include "packers/file.h"
#include "packers/file_io.h"

namespace tzk::packers {
namespace {

// Larger transfers go in pieces: the C runtime's counts are ints, and a bounded chunk keeps
// a single request of the system modest.
constexpr std::uint32_t kChunk = 0x400000;

// A transfer that stopped without an error number met the end of the file.
constexpr Result kHandleEof = 38;  // ERROR_HANDLE_EOF

}  // namespace

CUFile::~CUFile() { Close(); }

bool CUFile::OpenRead(const wchar_t* path) { return Open(path, io::OpenMode::kRead); }

bool CUFile::Create(const wchar_t* path) { return Open(path, io::OpenMode::kCreate); }

bool CUFile::CreateNew(const wchar_t* path) { return Open(path, io::OpenMode::kCreateNew); }

bool CUFile::Fail(int crtError) {
  lastError_ = crtError == 0 ? kHandleEof : Win32CodeFromCrtError(crtError);
  return false;
}

bool CUFile::OpenSame(const CUFile& other) {
  if (!other.open_) {
    lastError_ = code::kInvalidHandle;
    return false;
  }
  return Open(other.name_.c_str(), io::OpenMode::kRead, other.descriptor_);
}

bool CUFile::Open(const wchar_t* path, io::OpenMode mode, int sameAs) {
  if (open_) {
    lastError_ = code::kInvalidHandle;
    return false;
  }
  if (path == nullptr) {
    lastError_ = code::kInvalidParameter;
    return false;
  }
  errno = 0;
  const int descriptor = sameAs >= 0 ? io::ReopenDescriptor(sameAs, path) : io::OpenDescriptor(path, mode);
  if (descriptor < 0) return Fail(errno);
  const std::int32_t end = io::SeekDescriptor(descriptor, 0, kSeekEnd);
  if (end < 0 || io::SeekDescriptor(descriptor, 0, kSeekBegin) != 0) {
    const int error = errno;
    io::CloseDescriptor(descriptor);
    return Fail(error);
  }
  descriptor_ = descriptor;
  open_ = true;
  sizeStale_ = false;
  size_ = static_cast<std::uint32_t>(end);
  position_ = 0;
  name_ = path;
  return true;
}

template <typename Move>
bool CUFile::Transfer(std::uint32_t length, std::int32_t* outCount, int endError, Move move) {
  if (!open_) {
    lastError_ = code::kInvalidHandle;
    return false;
  }
  std::uint32_t total = 0;
  errno = 0;
  while (total < length) {
    const std::uint32_t chunk = length - total < kChunk ? length - total : kChunk;
    const int n = move(total, chunk);
    if (n <= 0) break;
    total += static_cast<std::uint32_t>(n);
  }
  if (outCount != nullptr) *outCount = static_cast<std::int32_t>(total);
  if (total != length) return Fail(errno == 0 ? endError : errno);
  position_ = static_cast<std::uint32_t>(io::SeekDescriptor(descriptor_, 0, kSeekCurrent));
  return true;
}

// A read that ends early met the end of the file; a write that does ran out of room.
bool CUFile::Read(void* destination, std::uint32_t length, std::int32_t* outCount) {
  auto* bytes = static_cast<std::uint8_t*>(destination);
  return Transfer(length, outCount, 0, [&](std::uint32_t done, std::uint32_t piece) {
    return io::ReadDescriptor(descriptor_, bytes + done, piece);
  });
}

bool CUFile::Write(const void* source, std::uint32_t length, std::int32_t* outCount) {
  const auto* bytes = static_cast<const std::uint8_t*>(source);
  if (!Transfer(length, outCount, ENOSPC, [&](std::uint32_t done, std::uint32_t piece) {
        return io::WriteDescriptor(descriptor_, bytes + done, piece);
      })) {
    return false;
  }
  sizeStale_ = true;
  return true;
}

// calloc rather than a zeroing new: a large zeroed block then costs no page until it is read
// into. A short read gives no buffer: zeros in place of bytes that could not be read would be
// written out as if they were the file's.
std::uint8_t* CUFile::ReadAlloc(std::uint32_t length) {
  auto* buffer = static_cast<std::uint8_t*>(std::calloc(length != 0 ? length : 1, 1));
  if (buffer != nullptr && !Read(buffer, length)) {
    std::free(buffer);
    return nullptr;
  }
  return buffer;
}

void CUFile::Release(std::uint8_t* buffer) { std::free(buffer); }

std::int32_t CUFile::Seek(std::int32_t offset, int origin) {
  if (!open_) {
    lastError_ = code::kInvalidHandle;
    return -1;
  }
  errno = 0;
  const std::int32_t position = io::SeekDescriptor(descriptor_, offset, origin);
  if (position < 0) Fail(errno);
  position_ = static_cast<std::uint32_t>(position);
  return position;
}

void CUFile::Close() {
  if (open_) io::CloseDescriptor(descriptor_);
  name_.clear();
  open_ = false;
  descriptor_ = -1;
  sizeStale_ = false;
}

std::uint32_t CUFile::GetSize() {
  if (open_ && sizeStale_) {
    const std::int32_t end = io::SeekDescriptor(descriptor_, 0, kSeekEnd);
    if (end >= 0) size_ = static_cast<std::uint32_t>(end);
    io::SeekDescriptor(descriptor_, static_cast<std::int32_t>(position_), kSeekBegin);
    sizeStale_ = false;
  }
  return size_;
}

}  // namespace tzk::packers
