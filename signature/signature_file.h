// Read-only access to a file whose signature is checked: positioned reads for the lookup and
// one view of the signed content, mapped where possible so large installers are not copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#ifdef _WIN32
#include "vocabulary/scoped_handle.h"
#endif
#include "signature/verification_keys.h"

namespace tzk::signature {

#ifdef _WIN32
struct MappedViewTraits {
  using Handle = const void*;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::UnmapViewOfFile(h) != FALSE; }
};
using FileOwner = vocabulary::ScopedFileHandle;
using MappingOwner = vocabulary::ScopedHandle<MappedViewTraits>;
#else
// The host's counterparts of the scoped handles: a descriptor and an mmap region.
class FileOwner {
 public:
  FileOwner() = default;
  ~FileOwner();
  FileOwner(const FileOwner&) = delete;
  FileOwner& operator=(const FileOwner&) = delete;
  void reset(int fd);
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

class MappingOwner {
 public:
  MappingOwner() = default;
  ~MappingOwner();
  MappingOwner(const MappingOwner&) = delete;
  MappingOwner& operator=(const MappingOwner&) = delete;
  void reset(void* address, std::size_t size);
  const void* get() const { return address_; }

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
};
#endif

// The signed content [0, C): a read-only mapping or, when mapping fails, a private copy.
class ContentView {
 public:
  ByteView bytes() const { return ByteView{data_, size_}; }

 private:
  friend class SignatureFile;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  MappingOwner mapping_;
  std::vector<std::uint8_t> copy_;
};

class SignatureFile {
 public:
  // Opens for reading only; on Windows others may read but not write while it is open, so
  // the content cannot change between the lookup and the digest.
  bool Open(const wchar_t* path);
  // Reads through a C runtime descriptor that the caller keeps open (and closes) instead:
  // what is verified is then exactly what the caller goes on to read.
  bool Borrow(int descriptor);
  std::uint64_t Size() const { return size_; }
  // Reads exactly size bytes at offset; false on any shortfall.
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const;
  // Fills view with [0, length), mapped if possible, else read into memory.
  bool ViewContent(std::uint64_t length, ContentView* view) const;
  // Hands [0, length) to take in order, a megabyte at a time through one buffer; false when it
  // cannot be read. An installer of any size is digested in little memory, whatever address
  // space a 32-bit process has left, and the buffer stays in the cache: digesting mapped 16 MiB
  // windows instead took the producer a fifth longer, in page faults and cold lines.
  bool ForEachPiece(std::uint64_t length, const std::function<void(ByteView)>& take) const;
  // Told the bytes digested so far and the content's length after each piece the signature
  // check takes: the producer's progress. None unless set.
  using PieceWatch = std::function<void(std::uint64_t done, std::uint64_t length)>;
  void SetPieceWatch(PieceWatch watch) { watch_ = std::move(watch); }
  const PieceWatch& pieceWatch() const { return watch_; }

 private:
  bool MapContent(std::size_t length, ContentView* view) const;
  bool TakeSize();

  FileOwner owned_;  // empty when the file is borrowed
#ifdef _WIN32
  HANDLE file_ = INVALID_HANDLE_VALUE;
#else
  int file_ = -1;
#endif
  std::uint64_t size_ = 0;
  PieceWatch watch_;
};

}  // namespace tzk::signature
