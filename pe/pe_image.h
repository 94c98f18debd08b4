// The few facts of a PE image's headers that the archive signature, the producer and its checks
// need: where the checksum and the security directory entry lie, and where the sections end.
// The security directory entry is found by machine type, as the stub's loader finds it: a file
// whose optional header disagrees with its machine type is read the way the stub reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tzk::pe {

// The DOS header's first bytes and, kPeOffsetField into them, where the PE signature lies.
constexpr std::size_t kDosHeaderSize = 0x40;
constexpr std::size_t kPeOffsetField = 0x3C;
constexpr char kPeSignature[] = "PE\0\0";
constexpr std::size_t kPeSignatureSize = 4;
// The file header behind the signature: machine, section count, ..., optional header size.
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kMachineField = kPeSignatureSize;  // each counted from the signature
constexpr std::size_t kSectionCountField = kPeSignatureSize + 2;
constexpr std::size_t kCharacteristicsField = kPeSignatureSize + 18;
constexpr std::size_t kOptionalHeaderSizeField = kPeSignatureSize + 16;
// Characteristics flags: CreateProcess starts only images marked executable, and no DLL.
constexpr std::uint16_t kExecutableImageFlag = 0x0002;
constexpr std::uint16_t kDllFlag = 0x2000;
// The optional header's CheckSum, counted from the signature: file header 24 + optional header 64.
constexpr std::uint64_t kPeChecksumField = 88;
// The security directory entry, counted from the signature: where it lies depends on whether
// the optional header is PE32 or PE32+.
constexpr std::uint32_t kSecurityEntryPe32 = 152;
constexpr std::uint32_t kSecurityEntryPe32Plus = 168;
// The import directory's index among the data directories.
constexpr std::uint16_t kImportDirectoryIndex = 1;
constexpr std::size_t kSectionHeaderSize = 40;

// Machine types: the stub is x86; the 64-bit ones are those whose images have PE32+ headers.
constexpr std::uint16_t kMachineX86 = 0x014C;
constexpr std::uint16_t kMachineIa64 = 0x0200;
constexpr std::uint16_t kMachineAlpha64 = 0x0284;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
// The stub's rule, and so the producer's: 64-bit machine types have the PE32+ optional header,
// everything else PE32, whatever the optional header's own magic says.
constexpr bool HasPe32PlusHeader(std::uint16_t machine) {
  return machine == kMachineIa64 || machine == kMachineAlpha64 || machine == kMachineAmd64;
}

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

}  // namespace tzk::pe
