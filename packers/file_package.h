// File packages: a 16-byte magic naming the packer kind, the unpacked and packed sizes
// (32-bit little-endian) and the packed bytes, read from position 0 of a file object.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "packers/file.h"
#include "root/result.h"

namespace tzk::packers {

// 0 with the unpacked bytes; 0xA002 when the package cannot be unpacked (unknown magic,
// damaged stream, too small an unpacked size); 8 when a size cannot be held in memory or the
// file, or the file cannot be read. Unpacked sizes above 2 GiB - 1 are refused with 8.
Result LoadFilePackage(CGenFile& file, std::uint32_t* outSize, std::unique_ptr<std::uint8_t[]>* outData);

// The producer's side: a whole package of the given kind in *out.
Result BuildFilePackage(std::uint32_t kind, const std::uint8_t* data, std::uint32_t size,
                        std::vector<std::uint8_t>* out);

}  // namespace tzk::packers
