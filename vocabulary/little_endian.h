// The little-endian fields of the formats this system reads and writes: PE images, the archive
// container, certificate tables and the self-defense driver's records.
#pragma once

#include <cstdint>

namespace tzk::vocabulary {

// The largest size or position a 32-bit field of these formats may hold: the stub reads with
// signed 32-bit positions and sizes, so nothing it reads may lie beyond this.
constexpr std::uint32_t kLargestSignedField = 0x7FFFFFFF;

inline std::uint16_t ReadLe16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }

inline std::uint32_t ReadLe32(const std::uint8_t* at) {
  return at[0] | static_cast<std::uint32_t>(at[1]) << 8 | static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

inline std::uint64_t ReadLe64(const std::uint8_t* at) {
  return ReadLe32(at) | static_cast<std::uint64_t>(ReadLe32(at + 4)) << 32;
}

inline void WriteLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void WriteLe64(std::uint8_t* at, std::uint64_t value) {
  WriteLe32(at, static_cast<std::uint32_t>(value));
  WriteLe32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace tzk::vocabulary
