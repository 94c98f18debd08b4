// The packing half of the packers, for the producer and the tests; a program that only unpacks
// links packers/data_packer_unpack_only.cpp instead and carries neither encoder.
#include <zlib.h>

#include <cstdlib>

#include <LzmaEnc.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "packers/data_packer.h"
#include "packers/lzma_allocator.h"
#include "packers/packer_settings.h"

namespace tzk::packers {
namespace {

constexpr std::uint32_t kLzmaPropsSize = LZMA_PROPS_SIZE;

// Level 5's match finder walks about 160 MiB of tables at random, and on 4 KiB pages most of
// its look-ups miss the TLB: huge pages make packing about a tenth faster. Where the kernel
// grants them only on request (Debian's default), the tables must ask; a refusal just keeps
// small pages. Windows gives large pages only with a privilege installers do not hold.
#if defined(__linux__)
void* TableAlloc(ISzAllocPtr, size_t size) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size < kHugePage) return std::malloc(size);
  const size_t whole = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* tables = std::aligned_alloc(kHugePage, whole);
  if (tables != nullptr) ::madvise(tables, whole, MADV_HUGEPAGE);
  return tables;
}
#else
void* TableAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
#endif
void TableFree(ISzAllocPtr, void* tables) { std::free(tables); }

}  // namespace

ISzAlloc lzmaTableAllocator = {TableAlloc, TableFree};

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

// Level 9 with the hash chains cut from 4096 to 1024 links: on executables the longer chains
// cost over a quarter of the time and find no better matches (the output is even a little
// smaller), and the stream is the same kind of zlib stream any inflater reads.
int DeflateInitLevel9(z_stream* stream) {
  constexpr int kZlibMaxChain = 1024;
  const int result = ::deflateInit(stream, Z_BEST_COMPRESSION);
  // Level 9's good, lazy and nice lengths, with the shorter chains.
  if (result == Z_OK) ::deflateTune(stream, 32, 258, 258, kZlibMaxChain);
  return result;
}

std::int32_t DataPackerZlib::Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                                      std::uint8_t* destination, std::uint32_t* destinationLength) {
  z_stream stream{};
  int result = DeflateInitLevel9(&stream);
  if (result != Z_OK) {
    *destinationLength = 0;
    return result;
  }
  stream.next_in = const_cast<Bytef*>(source);
  stream.avail_in = sourceLength;
  stream.next_out = destination;
  stream.avail_out = *destinationLength;
  result = ::deflate(&stream, Z_FINISH);
  *destinationLength = static_cast<std::uint32_t>(stream.total_out);
  ::deflateEnd(&stream);
  // As compress2(): a destination that filled up before the end is -5.
  return result == Z_STREAM_END ? Z_OK : result == Z_OK ? Z_BUF_ERROR : result;
}

std::int32_t DataPackerLzma::Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                                      std::uint8_t* destination, std::uint32_t* destinationLength) {
  if (*destinationLength <= kLzmaPropsSize) return kPackerMoreData;
  const CLzmaEncProps props = Level5Props();
  SizeT produced = *destinationLength - kLzmaPropsSize;
  SizeT propsSize = kLzmaPropsSize;
  const SRes result = ::LzmaEncode(destination + kLzmaPropsSize, &produced, source, sourceLength, &props,
                                   destination, &propsSize, 0, nullptr, &lzmaAllocator, &lzmaTableAllocator);
  *destinationLength = static_cast<std::uint32_t>(produced + kLzmaPropsSize);
  return result;
}

}  // namespace tzk::packers
