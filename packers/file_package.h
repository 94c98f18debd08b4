// File packages: a 16-byte magic naming the packer kind, the unpacked and packed sizes
// (32-bit little-endian) and the packed bytes, read from position 0 of a file object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "packers/file.h"
#include "vocabulary/result.h"

namespace tzk::packers {

// 0 with the unpacked bytes; 0xA002 when the package cannot be unpacked (unknown magic,
// damaged stream, too small an unpacked size); 8 when a size cannot be held in memory or the
// file, or the file cannot be read. Unpacked sizes above 2 GiB - 1 are refused with 8.
Result LoadFilePackage(CGenFile& file, std::uint32_t* outSize, std::unique_ptr<std::uint8_t[]>* outData);

// Receives unpacked bytes piece by piece; false stops the unpacking.
using UnpackedSink = std::function<bool(const std::uint8_t* data, std::uint32_t size)>;

// LoadFilePackage for a package confined to length bytes of file from start, handing the
// unpacked bytes to sink as they come instead of into one buffer: memory stays at the codec's
// window (for LZMA the smaller of its dictionary and the unpacked size) and a read buffer,
// whatever the sizes. The same results for the same bytes, but for 82 when the sink refuses
// and an unpacked size that no buffer could hold, which is no failure here. A sink may have
// been handed bytes before a failure shows.
Result StreamFilePackage(CGenFile& file, std::uint32_t start, std::uint32_t length, const UnpackedSink& sink,
                         std::uint32_t* outSize);

constexpr std::uint32_t kPackageHeaderSize = 24;

struct PackageHeader {
  std::uint32_t kind = 0;
  std::uint32_t unpackedSize = 0;
  std::uint32_t packedSize = 0;
};

// The header of a package confined to length bytes of file from start, leaving the file at
// the packed bytes: 0, 0xA002 for no known magic, 8 for sizes that cannot be.
Result ReadPackageHeader(CGenFile& file, std::uint32_t start, std::uint32_t length, PackageHeader* header);

// The 16 bytes that open a package and name its packer.
inline constexpr char kZlibPackageMagic[] = "TZKsetupFPkgFile";
inline constexpr char kLzmaPackageMagic[] = "TZKsetupFPkgFil3";

// The header of a package of kind (kPackerZlib or kPackerLzma) in kPackageHeaderSize bytes.
void WritePackageHeader(std::uint32_t kind, std::uint32_t unpackedSize, std::uint32_t packedSize, std::uint8_t* out);

// The producer's side: a whole package of the given kind in *out.
Result BuildFilePackage(std::uint32_t kind, const std::uint8_t* data, std::uint32_t size,
                        std::vector<std::uint8_t>* out);

}  // namespace tzk::packers
