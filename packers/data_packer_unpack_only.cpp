// The packers of a program that only unpacks, the stub: packing is refused, and neither encoder
// is linked in (a deflater and an LZMA encoder would add a twentieth to the stub's size).
#include <zlib.h>

#include <LzmaDec.h>

#include "packers/data_packer.h"

namespace tzk::packers {

std::int32_t DataPackerZlib::Compress(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t* destinationLength) {
  *destinationLength = 0;
  return Z_STREAM_ERROR;
}

std::int32_t DataPackerLzma::Compress(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t* destinationLength) {
  *destinationLength = 0;
  return SZ_ERROR_UNSUPPORTED;
}

}  // namespace tzk::packers
