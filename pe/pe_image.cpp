#include "pe/pe_image.h"

#include <algorithm>
#include <cstring>

#include "vocabulary/little_endian.h"

namespace tzk::pe {

using vocabulary::ReadLe16;
using vocabulary::ReadLe32;

bool PeOffsetFromDosHeader(const std::uint8_t* dos, std::size_t size, std::uint32_t* peOffset) {
  if (size < kDosHeaderSize || dos[0] != 'M' || dos[1] != 'Z') return false;
  *peOffset = ReadLe32(dos + kPeOffsetField);
  return true;
}

bool ReadPeHeaders(const PeReadAt& read, PeHeaders* out) {
  std::uint8_t dos[kDosHeaderSize];
  PeHeaders h;
  if (!read(0, dos, sizeof dos) || !PeOffsetFromDosHeader(dos, sizeof dos, &h.peOffset)) return false;
  std::uint8_t pe[kPeSignatureSize + kFileHeaderSize];
  if (!read(h.peOffset, pe, sizeof pe) || std::memcmp(pe, kPeSignature, kPeSignatureSize) != 0) return false;
  h.machine = ReadLe16(pe + kMachineField);
  h.sectionCount = ReadLe16(pe + kSectionCountField);
  h.sectionTable = std::uint64_t{h.peOffset} + sizeof pe + ReadLe16(pe + kOptionalHeaderSizeField);
  h.checksumOffset = h.peOffset + kPeChecksumField;
  h.securityEntry =
      std::uint64_t{h.peOffset} + (HasPe32PlusHeader(h.machine) ? kSecurityEntryPe32Plus : kSecurityEntryPe32);
  std::uint8_t entry[8];
  if (!read(h.securityEntry, entry, sizeof entry)) return false;
  h.tableOffset = ReadLe32(entry);
  h.tableSize = ReadLe32(entry + 4);
  *out = h;
  return true;
}

bool ReadPeHeaders(const std::uint8_t* data, std::size_t size, PeHeaders* out) {
  return ReadPeHeaders(
      [data, size](std::uint64_t offset, void* buffer, std::size_t length) {
        if (offset > size || length > size - offset) return false;
        std::memcpy(buffer, data + offset, length);
        return true;
      },
      out);
}

std::uint64_t PeSectionsEnd(const PeReadAt& read, const PeHeaders& headers) {
  std::uint64_t end = 0;
  for (unsigned i = 0; i < headers.sectionCount; ++i) {
    std::uint8_t section[kSectionHeaderSize];
    if (!read(headers.sectionTable + std::uint64_t{kSectionHeaderSize} * i, section, sizeof section)) return 0;
    end = std::max<std::uint64_t>(end, std::uint64_t{ReadLe32(section + 20)} + ReadLe32(section + 16));
  }
  return end;
}

void PeChecksumSum::Add(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 2, at_ += 2) {
    std::uint32_t word = data[i] | (i + 1 < size ? data[i + 1] << 8 : 0);
    if (at_ >= checksumOffset_ && at_ < checksumOffset_ + 4) word = 0;
    sum_ += word;
    sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
  }
  if (size % 2 != 0) --at_;  // only the last piece may be odd: the size counts its bytes
}

std::uint32_t PeChecksumSum::Result() const {
  return static_cast<std::uint32_t>(((sum_ & 0xFFFF) + (sum_ >> 16)) + at_);
}

std::uint32_t PeChecksum(const std::uint8_t* data, std::size_t size, std::uint64_t checksumOffset) {
  PeChecksumSum sum(checksumOffset);
  sum.Add(data, size);
  return sum.Result();
}

}  // namespace tzk::pe
