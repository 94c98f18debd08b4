// The packed stream of a file package in the container its reference tool reads, so that gzip,
// xz and 7-Zip unpack the very bytes the stub unpacks. A package is a 16-byte magic, the
// unpacked and packed sizes (32-bit little-endian) and the stream.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "packers/file_package.h"

namespace tzk::packers {

inline void PutLittleEndian(std::vector<std::uint8_t>* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The deflate data inside the zlib stream (2-byte header, 4-byte Adler-32 trailer) between a
// gzip header and a trailer of the payload's CRC-32 and size.
inline std::vector<std::uint8_t> GzipContainer(const std::vector<std::uint8_t>& package,
                                               const std::uint8_t* payload, std::size_t size) {
  std::vector<std::uint8_t> out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 2, 3};
  out.insert(out.end(), package.begin() + kPackageHeaderSize + 2, package.end() - 4);
  PutLittleEndian(&out, ::crc32(0, payload, static_cast<uInt>(size)), 4);
  PutLittleEndian(&out, size, 4);
  return out;
}

// The .lzma form: the 5 property bytes, the unpacked size as 64-bit little-endian, the stream.
inline std::vector<std::uint8_t> LzmaAloneContainer(const std::vector<std::uint8_t>& package, std::size_t size) {
  std::vector<std::uint8_t> out(package.begin() + kPackageHeaderSize, package.begin() + kPackageHeaderSize + 5);
  PutLittleEndian(&out, size, 8);
  out.insert(out.end(), package.begin() + kPackageHeaderSize + 5, package.end());
  return out;
}

}  // namespace tzk::packers
