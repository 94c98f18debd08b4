// The packing half of the packers, for the producer and the tests; a program that only unpacks
// links packers/data_packer_unpack_only.cpp instead and carries neither encoder.
#include <zlib.h>

#include <LzmaEnc.h>

#include "packers/data_packer.h"
#include "packers/lzma_allocator.h"

namespace tzk::packers {
namespace {

constexpr std::uint32_t kLzmaPropsSize = LZMA_PROPS_SIZE;

// The settings of the codec's level 5, spelled out so that the properties stay 5D 00 00 00 01
// whatever the input: reduceSize is left unknown, or small inputs would shrink the dictionary.
// The match finder runs in a thread of its own beside the encoder: it finds the same matches as
// in one thread, so the stream does not depend on the thread count or on timing.
CLzmaEncProps Level5Props() {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = 5;
  props.dictSize = 1u << 24;
  props.lc = 3;
  props.lp = 0;
  props.pb = 2;
  props.fb = 32;
  props.writeEndMark = 0;
  props.numThreads = 2;
  return props;
}

}  // namespace

std::int32_t DataPackerZlib::Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                                      std::uint8_t* destination, std::uint32_t* destinationLength) {
  uLongf produced = *destinationLength;
  const int result = ::compress2(destination, &produced, source, sourceLength, Z_BEST_COMPRESSION);
  *destinationLength = static_cast<std::uint32_t>(produced);
  return result;
}

std::int32_t DataPackerLzma::Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                                      std::uint8_t* destination, std::uint32_t* destinationLength) {
  if (*destinationLength <= kLzmaPropsSize) return kPackerMoreData;
  const CLzmaEncProps props = Level5Props();
  SizeT produced = *destinationLength - kLzmaPropsSize;
  SizeT propsSize = kLzmaPropsSize;
  const SRes result = ::LzmaEncode(destination + kLzmaPropsSize, &produced, source, sourceLength, &props,
                                   destination, &propsSize, 0, nullptr, &lzmaAllocator, &lzmaAllocator);
  *destinationLength = static_cast<std::uint32_t>(produced + kLzmaPropsSize);
  return result;
}

}  // namespace tzk::packers
