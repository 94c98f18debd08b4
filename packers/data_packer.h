// The two compressors of file packages, created by kind. Every operation is one call over
// whole buffers; a packer object lives for one call.
#pragma once

#include <cstdint>
#include <memory>

namespace tzk::packers {

enum PackerKind : std::uint32_t { kPackerZlib = 1, kPackerLzma = 2 };

// Results beside the codecs' own: the LZMA packer's when the stream ended before its input
// did, and its refusal of a destination too small for the property bytes.
constexpr std::int32_t kPackerTrailingInput = 1001;
constexpr std::int32_t kPackerMoreData = 234;

// On entry *destinationLength is the destination's capacity; on return the bytes produced.
// Results are the codec's own codes, 0 for success.
class DataPacker {
 public:
  virtual ~DataPacker();
  virtual std::int32_t Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                                std::uint8_t* destination, std::uint32_t* destinationLength) = 0;
  virtual std::int32_t Decompress(const std::uint8_t* source, std::uint32_t sourceLength,
                                  std::uint8_t* destination, std::uint32_t* destinationLength) = 0;
  // A capacity that Compress never outgrows for sourceLength bytes (saturated at 4 GiB - 1).
  virtual std::uint32_t MaxCompressedSize(std::uint32_t sourceLength) = 0;
};

// A zlib stream at level 9; zlib's codes (-3 corrupt, -4 memory, -5 destination full).
class DataPackerZlib : public DataPacker {
 public:
  std::int32_t Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                        std::uint8_t* destination, std::uint32_t* destinationLength) override;
  std::int32_t Decompress(const std::uint8_t* source, std::uint32_t sourceLength,
                          std::uint8_t* destination, std::uint32_t* destinationLength) override;
  std::uint32_t MaxCompressedSize(std::uint32_t sourceLength) override;
};

// Five property bytes and a raw LZMA stream without end marker; the LZMA codec's codes
// (1 data, 2 memory, 4 properties, 6 input ended early, 7 destination full).
class DataPackerLzma : public DataPacker {
 public:
  std::int32_t Compress(const std::uint8_t* source, std::uint32_t sourceLength,
                        std::uint8_t* destination, std::uint32_t* destinationLength) override;
  // Stops when the destination is full: input left over then gives kPackerTrailingInput, a
  // stream that goes on past the destination 7. A source shorter than the property bytes and
  // the range coder's first bytes gives 6.
  std::int32_t Decompress(const std::uint8_t* source, std::uint32_t sourceLength,
                          std::uint8_t* destination, std::uint32_t* destinationLength) override;
  std::uint32_t MaxCompressedSize(std::uint32_t sourceLength) override;
};

// kPackerZlib or kPackerLzma; null for any other kind.
std::unique_ptr<DataPacker> CreateDataPacker(std::uint32_t kind);

}  // namespace tzk::packers
