#include "packers/data_packer.h"

#include <gtest/gtest.h>

#include "packers/sample_data.h"

namespace tzk::packers {
namespace {

std::vector<std::uint8_t> Packed(DataPacker& packer, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> packed(packer.MaxCompressedSize(static_cast<std::uint32_t>(data.size())));
  std::uint32_t length = static_cast<std::uint32_t>(packed.size());
  EXPECT_EQ(packer.Compress(data.data(), static_cast<std::uint32_t>(data.size()), packed.data(), &length), 0);
  packed.resize(length);
  return packed;
}

// Unpacks into a destination of exactly `capacity` bytes; returns the packer's code.
std::int32_t Unpack(DataPacker& packer, const std::vector<std::uint8_t>& packed, std::size_t capacity,
                    std::vector<std::uint8_t>* out) {
  out->assign(capacity + 1, 0);  // never empty, so data() is a real buffer
  std::uint32_t length = static_cast<std::uint32_t>(capacity);
  const std::int32_t result =
      packer.Decompress(packed.data(), static_cast<std::uint32_t>(packed.size()), out->data(), &length);
  out->resize(length);
  return result;
}

class PackerRoundTrip : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  std::unique_ptr<DataPacker> packer_ = CreateDataPacker(GetParam());
};

// Random bytes are where packed data outgrows its input; the bound must still hold.
TEST_P(PackerRoundTrip, RandomDataComesBackUnchanged) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{0x400001}}) {
    const auto data = MakeRandomData(size, size);
    const std::vector<std::uint8_t> packed = Packed(*packer_, data);
    std::vector<std::uint8_t> unpacked;
    ASSERT_EQ(Unpack(*packer_, packed, size, &unpacked), 0) << size;
    EXPECT_TRUE(unpacked == data) << size;
  }
}

TEST_P(PackerRoundTrip, BoundHoldsAndSaturates) {
  EXPECT_GE(packer_->MaxCompressedSize(0), 12u);
  EXPECT_EQ(packer_->MaxCompressedSize(0xFFFFFFFFu), 0xFFFFFFFFu);
  // Large sizes are where a 32-bit product of the bound used to wrap around.
  EXPECT_GT(packer_->MaxCompressedSize(0x40000000u), 0x40000000u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, PackerRoundTrip, ::testing::Values(kPackerZlib, kPackerLzma),
                         [](const auto& info) { return info.param == kPackerZlib ? "Zlib" : "Lzma"; });

// The match finder runs in a thread of its own: the producer's promise of identical installers
// for identical inputs holds only if the stream never depends on how the threads interleave.
// Several of the match finder's blocks of mixed data, packed again and again.
TEST(DataPackerTest, LzmaStreamIsTheSameOnEveryRun) {
  DataPackerLzma lzma;
  const auto data = MakeSampleData(3u << 20, 4);
  const std::vector<std::uint8_t> first = Packed(lzma, data);
  for (int run = 0; run < 3; ++run) EXPECT_TRUE(Packed(lzma, data) == first) << run;
  std::vector<std::uint8_t> unpacked;
  ASSERT_EQ(Unpack(lzma, first, data.size(), &unpacked), 0);
  EXPECT_TRUE(unpacked == data);
}

TEST(DataPackerTest, StreamHeaders) {
  DataPackerZlib zlib;
  DataPackerLzma lzma;
  const auto data = MakeSampleData(100, 1);
  EXPECT_EQ(Packed(zlib, data)[0], 0x78);
  EXPECT_EQ(Packed(zlib, data)[1], 0xDA);
  const auto packed = Packed(lzma, data);
  EXPECT_EQ(std::vector<std::uint8_t>(packed.begin(), packed.begin() + 5),
            (std::vector<std::uint8_t>{0x5D, 0x00, 0x00, 0x00, 0x01}));
}

TEST(DataPackerTest, ZlibFailures) {
  DataPackerZlib zlib;
  const auto data = MakeSampleData(5000, 2);
  auto packed = Packed(zlib, data);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(Unpack(zlib, packed, data.size() - 1, &out), -5);
  EXPECT_EQ(Unpack(zlib, packed, data.size() + 10, &out), 0);
  EXPECT_EQ(out.size(), data.size());
  EXPECT_EQ(Unpack(zlib, std::vector<std::uint8_t>(packed.begin(), packed.end() - 1), data.size() + 10, &out), -3);
  packed[packed.size() / 2] ^= 0x55;
  EXPECT_EQ(Unpack(zlib, packed, data.size(), &out), -3);

  std::uint8_t small[4];
  std::uint32_t length = sizeof small;
  EXPECT_EQ(zlib.Compress(data.data(), 5000, small, &length), -5);
}

TEST(DataPackerTest, LzmaFailures) {
  DataPackerLzma lzma;
  const auto data = MakeSampleData(5000, 3);
  auto packed = Packed(lzma, data);
  std::vector<std::uint8_t> out;
  // The stream has no end of its own: a destination shorter than the stream is refused,
  // whether the decoder left input behind or stopped inside a match that used it all.
  for (std::size_t shorter = 1; shorter <= 40; ++shorter) {
    const std::int32_t result = Unpack(lzma, packed, data.size() - shorter, &out);
    EXPECT_TRUE(result == kPackerTrailingInput || result == 7) << shorter << ": " << result;
  }
  EXPECT_EQ(Unpack(lzma, packed, 0, &out), kPackerTrailingInput);
  auto longer = packed;
  longer.push_back(0);
  EXPECT_EQ(Unpack(lzma, longer, data.size(), &out), kPackerTrailingInput);
  EXPECT_EQ(out, data);
  // Too little input, impossible properties.
  EXPECT_EQ(Unpack(lzma, std::vector<std::uint8_t>(packed.begin(), packed.end() - 1), data.size(), &out), 6);
  EXPECT_EQ(Unpack(lzma, std::vector<std::uint8_t>(packed.begin(), packed.begin() + 4), data.size(), &out), 6);
  EXPECT_EQ(Unpack(lzma, {}, 10, &out), 6);
  auto badProps = packed;
  badProps[0] = 225;
  EXPECT_EQ(Unpack(lzma, badProps, data.size(), &out), 4);

  std::uint8_t small[5];
  std::uint32_t length = sizeof small;
  EXPECT_EQ(lzma.Compress(data.data(), 5000, small, &length), kPackerMoreData);
}

}  // namespace
}  // namespace tzk::packers
