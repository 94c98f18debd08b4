// Unpacking a file package piece by piece. Each codec loop reaches the verdict its one-call
// counterpart in data_packer.cpp reaches over the same bytes (the package fuzzer compares them):
// zlib as uncompress() does, LZMA as LzmaDecode() does, with the output handed on as it grows.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <LzmaDec.h>

#include "packers/data_packer.h"
#include "packers/lzma_allocator.h"
#include "packers/file_package.h"

namespace tzk::packers {
namespace {

constexpr std::uint32_t kReadPiece = 1u << 20;
constexpr std::uint32_t kZlibOutputPiece = 1u << 20;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using Block = std::unique_ptr<std::uint8_t, FreeDeleter>;

Block Allocate(std::size_t size) { return Block(static_cast<std::uint8_t*>(std::malloc(size != 0 ? size : 1))); }

// The packed bytes, read in pieces from the file's current position.
class PackedReader {
 public:
  PackedReader(CGenFile& file, std::uint32_t size) : file_(file), left_(size), buffer_(Allocate(kReadPiece)) {}

  bool allocated() const { return buffer_ != nullptr; }
  bool failed() const { return failed_; }
  bool exhausted() const { return left_ == 0; }
  // The next piece; false at the end or when the read fails.
  bool next(const std::uint8_t** data, std::uint32_t* size) {
    *size = std::min(left_, kReadPiece);
    if (*size == 0) return false;
    if (!file_.Read(buffer_.get(), *size)) {
      failed_ = true;
      return false;
    }
    left_ -= *size;
    *data = buffer_.get();
    return true;
  }

 private:
  CGenFile& file_;
  std::uint32_t left_;
  Block buffer_;
  bool failed_ = false;
};

// Why a stream stopped, for the caller's code.
enum class Stop { kDone, kCorrupt, kRead, kSink, kMemory };

Result CodeOf(Stop stop) {
  switch (stop) {
    case Stop::kDone: return code::kSuccess;
    case Stop::kCorrupt: return code::kPackageCorrupt;
    case Stop::kSink: return code::kCannotMake;
    case Stop::kRead:
    case Stop::kMemory: return code::kNotEnoughMemory;
  }
  return code::kInternalError;
}

// uncompress()'s loop, with a window of output handed on whenever it fills. Like uncompress(),
// an empty destination still takes one byte, which is dropped.
Stop StreamZlib(PackedReader& in, std::uint32_t capacity, const UnpackedSink& sink, std::uint32_t* produced) {
  const Block window = Allocate(kZlibOutputPiece);
  z_stream stream{};
  if (window == nullptr || ::inflateInit(&stream) != Z_OK) return Stop::kMemory;
  const bool dropped = capacity == 0;
  std::uint32_t left = dropped ? 1 : capacity;
  bool refused = false;
  auto flush = [&] {
    const auto size = static_cast<std::uint32_t>(stream.next_out - window.get());
    if (!dropped && size != 0) {
      refused = refused || !sink(window.get(), size);
      *produced += size;
    }
    stream.next_out = window.get();
  };
  stream.next_out = window.get();
  int err = Z_OK;
  do {
    if (stream.avail_out == 0) {
      flush();
      stream.avail_out = std::min(left, kZlibOutputPiece);
      left -= stream.avail_out;
    }
    if (stream.avail_in == 0) {
      const std::uint8_t* piece = nullptr;
      std::uint32_t size = 0;
      if (in.next(&piece, &size)) {
        stream.next_in = const_cast<Bytef*>(piece);
        stream.avail_in = size;
      }
    }
    err = ::inflate(&stream, Z_NO_FLUSH);
  } while (err == Z_OK && !refused && !in.failed());
  flush();
  ::inflateEnd(&stream);
  if (in.failed()) return Stop::kRead;
  if (refused) return Stop::kSink;
  return err == Z_STREAM_END ? Stop::kDone : Stop::kCorrupt;
}

struct LzmaProbs {
  CLzmaDec decoder;
  LzmaProbs() { LzmaDec_Construct(&decoder); }
  ~LzmaProbs() { LzmaDec_FreeProbs(&decoder, &lzmaAllocator); }
};

// LzmaDecode()'s verdicts, decoding into a ring as large as the dictionary (or the output, when
// that is smaller) and handing on what each step adds.
Stop StreamLzma(PackedReader& in, std::uint32_t packedSize, std::uint32_t capacity, const UnpackedSink& sink,
                std::uint32_t* produced) {
  std::uint8_t props[LZMA_PROPS_SIZE];
  const std::uint8_t* piece = nullptr;
  std::uint32_t inLeft = 0;
  // LzmaDecode() refuses a stream shorter than the range coder's five starting bytes before it
  // looks at the output, so even an empty payload needs them.
  constexpr std::uint32_t kRangeCoderStart = 5;
  if (packedSize < LZMA_PROPS_SIZE + kRangeCoderStart) return Stop::kCorrupt;
  if (!in.next(&piece, &inLeft)) return Stop::kRead;
  std::copy(piece, piece + LZMA_PROPS_SIZE, props);
  piece += LZMA_PROPS_SIZE;
  inLeft -= LZMA_PROPS_SIZE;

  LzmaProbs state;
  CLzmaDec& decoder = state.decoder;
  if (LzmaDec_AllocateProbs(&decoder, props, LZMA_PROPS_SIZE, &lzmaAllocator) != SZ_OK) return Stop::kCorrupt;
  const std::uint32_t ring = std::max<std::uint32_t>(1, std::min(decoder.prop.dicSize, capacity));
  const Block dictionary = Allocate(ring);
  if (dictionary == nullptr) return Stop::kMemory;
  decoder.dic = dictionary.get();
  decoder.dicBufSize = ring;
  LzmaDec_Init(&decoder);

  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  for (;;) {
    if (decoder.dicPos == ring) decoder.dicPos = 0;
    const SizeT start = decoder.dicPos;
    const SizeT room = std::min<SizeT>(ring - start, capacity - *produced);
    if (inLeft == 0 && !in.exhausted() && !in.next(&piece, &inLeft)) return Stop::kRead;
    SizeT used = inLeft;
    const SRes result = LzmaDec_DecodeToDic(&decoder, start + room, piece, &used, LZMA_FINISH_ANY, &status);
    piece += used;
    inLeft -= static_cast<std::uint32_t>(used);
    const auto added = static_cast<std::uint32_t>(decoder.dicPos - start);
    if (added != 0 && !sink(dictionary.get() + start, added)) return Stop::kSink;
    *produced += added;
    if (result != SZ_OK) return Stop::kCorrupt;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK || *produced == capacity) break;
    // Everything read and the decoder still wants more: the stream was cut short.
    if (status == LZMA_STATUS_NEEDS_MORE_INPUT && inLeft == 0 && in.exhausted()) return Stop::kCorrupt;
  }
  // Input left over, or output full with the decoder mid-symbol: sizes and stream disagree.
  if (inLeft != 0 || !in.exhausted() || status == LZMA_STATUS_NOT_FINISHED) return Stop::kCorrupt;
  return Stop::kDone;
}

}  // namespace

Result StreamFilePackage(CGenFile& file, std::uint32_t start, std::uint32_t length, const UnpackedSink& sink,
                         std::uint32_t* outSize) {
  *outSize = 0;
  PackageHeader header;
  const Result read = ReadPackageHeader(file, start, length, &header);
  if (read != code::kSuccess) return read;
  PackedReader in(file, header.packedSize);
  if (!in.allocated()) return code::kNotEnoughMemory;
  const Stop stop = header.kind == kPackerZlib
                        ? StreamZlib(in, header.unpackedSize, sink, outSize)
                        : StreamLzma(in, header.packedSize, header.unpackedSize, sink, outSize);
  return CodeOf(stop);
}

}  // namespace tzk::packers
