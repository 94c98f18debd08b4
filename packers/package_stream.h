// File packages packed piece by piece: the producer packs entries of any size in the memory of
// the encoder's state and a buffer, and gets the bytes the one-call packer would give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "vocabulary/result.h"

namespace tzk::packers {

// Fills buffer with exactly size bytes of the input, in order; false when they cannot be read.
using PackInput = std::function<bool(std::uint8_t* buffer, std::size_t size)>;
// Takes the packed bytes in order; false stops the packing.
using PackOutput = std::function<bool(const std::uint8_t* data, std::size_t size)>;
// Told how many input bytes are packed so far; called every few megabytes, and may be empty.
using PackProgress = std::function<void(std::uint64_t done)>;

// What follows the header of a package of kind (kPackerZlib or kPackerLzma) for size bytes
// of input, byte for byte as BuildFilePackage makes it. kSuccess with the packed length;
// kCannotMake when the input fails or the output refuses (their callers know why),
// kNotEnoughMemory when the encoder gets no memory, kInvalidParameter for another kind or a
// size over 2 GiB - 1, kInternalError for any other failure of the encoder.
Result PackStream(std::uint32_t kind, std::uint64_t size, const PackInput& input, const PackOutput& output,
                  const PackProgress& progress, std::uint64_t* packedSize);

}  // namespace tzk::packers
