// The few facts of a PE image's headers that the archive signature, the producer and its checks
// need: where the checksum and the security directory entry lie, and where the sections end.
// The security directory entry is found by machine type, as the stub's loader finds it: a file
// whose optional header disagrees with its machine type is read the way the stub reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tzk::archive {

// The DOS header's first bytes and, 0x3C into them, where "PE\0\0" lies.
constexpr std::size_t kDosHeaderSize = 0x40;
// The optional header's CheckSum, counted from "PE\0\0": file header 24 + optional header 64.
constexpr std::uint64_t kPeChecksumField = 88;

// The PE header's offset named by a DOS header of at least kDosHeaderSize bytes; false when
// they are fewer or do not open with "MZ".
bool PeOffsetFromDosHeader(const std::uint8_t* dos, std::size_t size, std::uint32_t* peOffset);

// Reads exactly size bytes at offset into buffer; false on any shortfall.
using PeReadAt = std::function<bool(std::uint64_t offset, void* buffer, std::size_t size)>;

struct PeHeaders {
  std::uint32_t peOffset = 0;          // of "PE\0\0", from the DOS header's 0x3C
  std::uint16_t machine = 0;
  std::uint64_t checksumOffset = 0;    // the optional header's CheckSum
  std::uint64_t securityEntry = 0;     // the security directory entry: table offset, then size
  std::uint32_t tableOffset = 0;       // its two values (0 and 0 when the image is unsigned)
  std::uint32_t tableSize = 0;
  std::uint16_t sectionCount = 0;
  std::uint64_t sectionTable = 0;      // file offset of the first 40-byte section header
};

// "MZ", the PE signature and the file header must be there, and the security directory entry
// must be readable; false otherwise.
bool ReadPeHeaders(const PeReadAt& read, PeHeaders* out);
bool ReadPeHeaders(const std::uint8_t* data, std::size_t size, PeHeaders* out);

// The end of the section data (the largest raw offset plus raw size), or 0 when a section
// header cannot be read.
std::uint64_t PeSectionsEnd(const PeReadAt& read, const PeHeaders& headers);

// The PE checksum of an image held whole in memory, with its own checksum field taken as zero.
std::uint32_t PeChecksum(const std::uint8_t* data, std::size_t size, std::uint64_t checksumOffset);

// The same over an image handed over a piece at a time, in order, every piece but the last of
// an even size: a file too large to hold is summed as it is read.
class PeChecksumSum {
 public:
  explicit PeChecksumSum(std::uint64_t checksumOffset) : checksumOffset_(checksumOffset) {}
  void Add(const std::uint8_t* data, std::size_t size);
  std::uint32_t Result() const;

 private:
  std::uint64_t checksumOffset_;
  std::uint64_t at_ = 0;
  std::uint64_t sum_ = 0;
};

}  // namespace tzk::archive
