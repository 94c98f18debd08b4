#include "packers/file.h"

#include <cerrno>
#include <cstring>

namespace tzk::packers {

CGenFile::~CGenFile() = default;

bool CGenFile::Read(void*, std::uint32_t, std::int32_t*) { return false; }

std::uint32_t CGenFile::GetSize() { return size_; }

CMFile::~CMFile() = default;

bool CMFile::Attach(void* data, std::uint32_t size) {
  if (attached_ || data == nullptr) return false;
  attached_ = true;
  data_ = static_cast<std::uint8_t*>(data);
  size_ = size;
  position_ = 0;
  return true;
}

// Seek may leave the position beyond the end; everything that touches the buffer checks.
std::uint32_t CMFile::Remaining() const { return position_ < size_ ? size_ - position_ : 0; }

bool CMFile::Read(void* destination, std::uint32_t length, std::int32_t* outCount) {
  if (!attached_ || Remaining() == 0) return false;
  if (length > Remaining()) length = Remaining();
  if (length != 0) std::memcpy(destination, data_ + position_, length);
  if (outCount != nullptr) *outCount = static_cast<std::int32_t>(length);
  position_ += length;
  return true;
}

bool CMFile::Write(const void* source, std::uint32_t length, std::int32_t* outCount) {
  if (!attached_ || Remaining() == 0) return false;
  if (length > Remaining()) length = Remaining();
  if (length != 0) std::memcpy(data_ + position_, source, length);
  if (outCount != nullptr) *outCount = static_cast<std::int32_t>(length);
  position_ += length;
  return true;
}

// The length comes from archive headers: compared with what is left, never added to the
// position, so no length can wrap around past the end.
std::uint8_t* CMFile::ReadAlloc(std::uint32_t length) {
  if (!attached_ || position_ > size_ || length > size_ - position_) return nullptr;
  std::uint8_t* window = data_ + position_;
  position_ += length;
  return window;
}

void CMFile::Release(std::uint8_t*) {}

std::int32_t CMFile::Seek(std::int32_t offset, int origin) {
  switch (origin) {
    case kSeekBegin: position_ = static_cast<std::uint32_t>(offset); break;
    case kSeekCurrent: position_ += static_cast<std::uint32_t>(offset); break;
    case kSeekEnd: position_ = size_ + static_cast<std::uint32_t>(offset); break;
    default: return -1;
  }
  return static_cast<std::int32_t>(position_);
}

void CMFile::Close() {
  attached_ = false;
  data_ = nullptr;
}

bool ReadUint32(CGenFile& file, std::uint32_t* value) {
  std::uint32_t assembled = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    std::uint8_t byte = 0;
    std::int32_t count = 0;
    if (!file.Read(&byte, 1, &count) || count != 1) return false;
    assembled |= static_cast<std::uint32_t>(byte) << shift;
  }
  *value = assembled;
  return true;
}

Result Win32CodeFromCrtError(int crtError) {
  switch (crtError) {
    case ENOENT: return 2;
    case E2BIG: return 10;
    case ENOEXEC: return 11;
    case EBADF: return 6;
    case ECHILD: return 128;
    case EAGAIN: return 89;
    case ENOMEM: return 8;
    case EACCES: return 5;
    case EEXIST: return 183;
    case EXDEV: return 17;
    case ENODEV: return 15;
    case ENOTDIR: return 3;
    case EINVAL: return 87;
    case EMFILE: return 4;
    case ENOSPC: return 112;
    case EPIPE: return 109;
    case ENOTEMPTY: return 145;
    default: return 120;
  }
}

}  // namespace tzk::packers
