#include "packers/data_packer.h"

#include <zlib.h>

#include <cstdlib>
#include <new>

#include <LzmaDec.h>

#include "packers/lzma_allocator.h"

namespace tzk::packers {
namespace {

constexpr std::uint32_t kLzmaPropsSize = LZMA_PROPS_SIZE;

std::uint32_t Saturated(std::uint64_t value) { return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value); }

void* LzmaAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
void LzmaFree(ISzAllocPtr, void* address) { std::free(address); }

}  // namespace

ISzAlloc lzmaAllocator = {LzmaAlloc, LzmaFree};

DataPacker::~DataPacker() = default;

// zlib's one-shot call already tells a destination that filled up (-5) from a stream that is
// damaged or cut short (-3), also for an empty destination.
std::int32_t DataPackerZlib::Decompress(const std::uint8_t* source, std::uint32_t sourceLength,
                                        std::uint8_t* destination, std::uint32_t* destinationLength) {
  uLongf produced = *destinationLength;
  const int result = ::uncompress(destination, &produced, source, sourceLength);
  *destinationLength = static_cast<std::uint32_t>(produced);
  return result;
}

std::uint32_t DataPackerZlib::MaxCompressedSize(std::uint32_t sourceLength) {
  return Saturated(std::uint64_t{sourceLength} + sourceLength / 1000 + 12);
}

// Without an end marker only the destination's size ends the stream, so input left over
// means the sizes and the stream disagree: refused like any other damage.
std::int32_t DataPackerLzma::Decompress(const std::uint8_t* source, std::uint32_t sourceLength,
                                        std::uint8_t* destination, std::uint32_t* destinationLength) {
  if (sourceLength < kLzmaPropsSize) {
    *destinationLength = 0;
    return SZ_ERROR_INPUT_EOF;
  }
  const SizeT streamLength = sourceLength - kLzmaPropsSize;
  SizeT consumed = streamLength;
  SizeT produced = *destinationLength;
  ELzmaStatus status;
  const SRes result = ::LzmaDecode(destination, &produced, source + kLzmaPropsSize, &consumed, source,
                                   kLzmaPropsSize, LZMA_FINISH_ANY, &status, &lzmaAllocator);
  *destinationLength = static_cast<std::uint32_t>(produced);
  if (result != SZ_OK) return result;
  if (consumed != streamLength) return kPackerTrailingInput;
  // All input read yet the decoder is mid-symbol (a match runs past the end) or its range
  // coder is not back at rest: the stream holds more than the destination.
  if (status == LZMA_STATUS_NOT_FINISHED) return SZ_ERROR_OUTPUT_EOF;
  return SZ_OK;
}

std::uint32_t DataPackerLzma::MaxCompressedSize(std::uint32_t sourceLength) {
  return Saturated(std::uint64_t{sourceLength} + sourceLength / 10 + 16384);
}

std::unique_ptr<DataPacker> CreateDataPacker(std::uint32_t kind) {
  switch (kind) {
    case kPackerZlib: return std::unique_ptr<DataPacker>(new (std::nothrow) DataPackerZlib);
    case kPackerLzma: return std::unique_ptr<DataPacker>(new (std::nothrow) DataPackerLzma);
    default: return nullptr;
  }
}

}  // namespace tzk::packers
