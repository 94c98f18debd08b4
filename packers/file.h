// The file abstraction all archive code reads and writes through: a file on disk or a window
// over a memory buffer, with booleans for results and the reason kept in the object.
#pragma once

#include <cstdint>
#include <string>

#include "vocabulary/result.h"
#include "packers/file_io.h"

namespace tzk::packers {

// Seek origins, numbered as the C runtime numbers them.
constexpr int kSeekBegin = 0;
constexpr int kSeekCurrent = 1;
constexpr int kSeekEnd = 2;

class CGenFile {
 public:
  CGenFile() = default;
  CGenFile(const CGenFile&) = delete;
  CGenFile& operator=(const CGenFile&) = delete;
  virtual ~CGenFile();

  virtual bool Read(void* destination, std::uint32_t length, std::int32_t* outCount = nullptr);
  virtual bool Write(const void* source, std::uint32_t length, std::int32_t* outCount = nullptr) = 0;
  // length bytes at the current position, or null; hand the pointer back through Release.
  virtual std::uint8_t* ReadAlloc(std::uint32_t length) = 0;
  virtual void Release(std::uint8_t* buffer) = 0;
  // Returns the new position, or -1 when the seek failed.
  virtual std::int32_t Seek(std::int32_t offset, int origin) = 0;
  virtual void Close() = 0;
  virtual std::uint32_t GetSize();

 protected:
  std::uint32_t position_ = 0;
  std::uint32_t size_ = 0;
};

// A file on disk, opened through the C runtime so that the error numbers it reports can be
// given to callers as Win32 codes.
class CUFile : public CGenFile {
 public:
  CUFile() = default;
  ~CUFile() override;

  // Others may read the file while it is open, but neither write, rename nor delete it (on
  // Windows; the host has no share modes).
  bool OpenRead(const wchar_t* path);
  // The file that other has open, once more for reading, with a position of its own: the same
  // file even where its path has come to name another since.
  bool OpenSame(const CUFile& other);
  // Creates the file or truncates an existing one, for reading and writing.
  bool Create(const wchar_t* path);
  // Creates a file that did not exist, for reading and writing; a name already taken (a file,
  // a folder or a link of any kind) fails with 183 and is left as it was.
  bool CreateNew(const wchar_t* path);
  Result LastError() const { return lastError_; }
  // The C runtime's descriptor of the open file, -1 when none is open.
  int Descriptor() const { return open_ ? descriptor_ : -1; }

  bool Read(void* destination, std::uint32_t length, std::int32_t* outCount = nullptr) override;
  bool Write(const void* source, std::uint32_t length, std::int32_t* outCount = nullptr) override;
  // A buffer holding the next length bytes; null when it cannot be allocated or the read
  // comes up short.
  std::uint8_t* ReadAlloc(std::uint32_t length) override;
  void Release(std::uint8_t* buffer) override;
  std::int32_t Seek(std::int32_t offset, int origin) override;
  void Close() override;
  std::uint32_t GetSize() override;

 private:
  bool Open(const wchar_t* path, io::OpenMode mode, int sameAs = -1);
  bool Fail(int crtError);
  // Moves length bytes in pieces, move(done, piece) reading or writing each and returning its
  // count; a transfer that stops short without an error number fails with endError.
  template <typename Move>
  bool Transfer(std::uint32_t length, std::int32_t* outCount, int endError, Move move);

  bool open_ = false;
  bool sizeStale_ = false;
  std::wstring name_;
  int descriptor_ = -1;
  Result lastError_ = code::kSuccess;
};

// A window over a caller's buffer. It never owns the buffer: ReadAlloc hands out pointers
// into it and Close only detaches.
class CMFile : public CGenFile {
 public:
  CMFile() = default;
  ~CMFile() override;

  bool Attach(void* data, std::uint32_t size);

  bool Read(void* destination, std::uint32_t length, std::int32_t* outCount = nullptr) override;
  bool Write(const void* source, std::uint32_t length, std::int32_t* outCount = nullptr) override;
  std::uint8_t* ReadAlloc(std::uint32_t length) override;
  void Release(std::uint8_t* buffer) override;
  std::int32_t Seek(std::int32_t offset, int origin) override;
  void Close() override;

 private:
  std::uint32_t Remaining() const;

  bool attached_ = false;
  std::uint8_t* data_ = nullptr;
};

// Four single-byte reads assembled little-endian: the archive code's only integer reader.
bool ReadUint32(CGenFile& file, std::uint32_t* value);

// The Win32 code for a C runtime error number.
Result Win32CodeFromCrtError(int crtError);

}  // namespace tzk::packers
