#include "packers/package_stream.h"

#include <zlib.h>

#include <LzmaEnc.h>

#include <memory>
#include <vector>

#include "packers/data_packer.h"
#include "packers/lzma_allocator.h"
#include "packers/packer_settings.h"
#include "vocabulary/little_endian.h"

namespace tzk::packers {
namespace {

constexpr std::size_t kPiece = 1 << 20;
constexpr std::uint64_t kLargestInput = vocabulary::kLargestSignedField;

// The input as the encoders pull it: never more than size bytes, a failure remembered.
class Pull {
 public:
  Pull(std::uint64_t size, const PackInput& input, const PackProgress& progress)
      : left_(size), input_(input), progress_(progress) {}

  // Up to want bytes into buffer; 0 once the input is exhausted or has failed.
  std::size_t take(std::uint8_t* buffer, std::size_t want) {
    const std::size_t n = left_ < want ? static_cast<std::size_t>(left_) : want;
    if (n == 0 || failed_) return 0;
    if (!input_(buffer, n)) {
      failed_ = true;
      return 0;
    }
    left_ -= n;
    done_ += n;
    if (progress_) progress_(done_);
    return n;
  }
  bool failed() const { return failed_; }
  bool exhausted() const { return left_ == 0; }

 private:
  std::uint64_t left_;
  std::uint64_t done_ = 0;
  bool failed_ = false;
  const PackInput& input_;
  const PackProgress& progress_;
};

// The codec's C interfaces, each with a pointer back to what serves it.
struct LzmaIn {
  ISeqInStream vt;
  Pull* pull;
};
struct LzmaOut {
  ISeqOutStream vt;
  const PackOutput* output;
  std::uint64_t written;
  bool refused;
};

// The codec hands back a const pointer to the interface, which is the first member of an object
// that is not const.
SRes lzmaRead(ISeqInStreamPtr p, void* buffer, std::size_t* size) {
  const auto* in = reinterpret_cast<const LzmaIn*>(p);
  *size = in->pull->take(static_cast<std::uint8_t*>(buffer), *size);
  return in->pull->failed() ? SZ_ERROR_READ : SZ_OK;
}

std::size_t lzmaWrite(ISeqOutStreamPtr p, const void* data, std::size_t size) {
  auto* out = const_cast<LzmaOut*>(reinterpret_cast<const LzmaOut*>(p));
  if (out->refused || !(*out->output)(static_cast<const std::uint8_t*>(data), size)) {
    out->refused = true;
    return 0;
  }
  out->written += size;
  return size;
}

struct EncoderOwner {
  CLzmaEncHandle handle;
  ~EncoderOwner() {
    if (handle != nullptr) LzmaEnc_Destroy(handle, &lzmaAllocator, &lzmaTableAllocator);
  }
};

Result packLzma(Pull& pull, const PackOutput& output, std::uint64_t* packedSize) {
  const EncoderOwner encoder{LzmaEnc_Create(&lzmaAllocator)};
  if (encoder.handle == nullptr) return code::kNotEnoughMemory;
  const CLzmaEncProps props = Level5Props();
  Byte header[LZMA_PROPS_SIZE];
  SizeT headerSize = sizeof header;
  if (LzmaEnc_SetProps(encoder.handle, &props) != SZ_OK ||
      LzmaEnc_WriteProperties(encoder.handle, header, &headerSize) != SZ_OK) {
    return code::kInternalError;
  }
  if (!output(header, headerSize)) return code::kCannotMake;
  LzmaIn in{{lzmaRead}, &pull};
  LzmaOut out{{lzmaWrite}, &output, headerSize, false};
  const SRes result = LzmaEnc_Encode(encoder.handle, &out.vt, &in.vt, nullptr, &lzmaAllocator, &lzmaTableAllocator);
  *packedSize = out.written;
  if (pull.failed() || out.refused) return code::kCannotMake;
  if (result == SZ_ERROR_MEM) return code::kNotEnoughMemory;
  return result == SZ_OK && pull.exhausted() ? code::kSuccess : code::kInternalError;
}

struct DeflateOwner {
  z_stream* stream;
  ~DeflateOwner() { deflateEnd(stream); }
};

// compress2's settings, fed in pieces: deflate decides nothing until it has the lookahead it
// needs or is told the input ends, so the pieces do not change the bytes.
Result packZlib(Pull& pull, const PackOutput& output, std::uint64_t* packedSize) {
  z_stream z{};
  const int init = DeflateInitLevel9(&z);
  if (init != Z_OK) return init == Z_MEM_ERROR ? code::kNotEnoughMemory : code::kInternalError;
  const DeflateOwner owner{&z};
  std::vector<std::uint8_t> in(kPiece), out(kPiece);
  int flush = Z_NO_FLUSH;
  *packedSize = 0;
  while (flush != Z_FINISH) {
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(pull.take(in.data(), in.size()));
    if (pull.failed()) return code::kCannotMake;
    if (pull.exhausted()) flush = Z_FINISH;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      const int r = deflate(&z, flush);
      if (r == Z_STREAM_ERROR) return code::kInternalError;
      const std::size_t produced = out.size() - z.avail_out;
      if (produced != 0 && !output(out.data(), produced)) return code::kCannotMake;
      *packedSize += produced;
    } while (z.avail_out == 0);
  }
  return code::kSuccess;
}

}  // namespace

Result PackStream(std::uint32_t kind, std::uint64_t size, const PackInput& input, const PackOutput& output,
                  const PackProgress& progress, std::uint64_t* packedSize) {
  *packedSize = 0;
  if (size > kLargestInput || (kind != kPackerZlib && kind != kPackerLzma)) return code::kInvalidParameter;
  Pull pull(size, input, progress);
  try {
    return kind == kPackerLzma ? packLzma(pull, output, packedSize) : packZlib(pull, output, packedSize);
  } catch (const std::bad_alloc&) {
    return code::kNotEnoughMemory;
  }
}

}  // namespace tzk::packers
