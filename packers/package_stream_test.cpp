#include "packers/package_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "packers/sample_data.h"

namespace tzk::packers {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The bytes behind the header of the package BuildFilePackage makes in one call.
Bytes packedInOneCall(std::uint32_t kind, const Bytes& data) {
  Bytes package;
  EXPECT_EQ(BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), &package), code::kSuccess);
  return Bytes(package.begin() + kPackageHeaderSize, package.end());
}

struct Streamed {
  Result result;
  Bytes packed;
  std::uint64_t packedSize;
  std::uint64_t lastProgress;
};

Streamed packStreamed(std::uint32_t kind, const Bytes& data) {
  Streamed s{code::kSuccess, {}, 0, 0};
  std::size_t at = 0;
  s.result = PackStream(
      kind, data.size(),
      [&](std::uint8_t* buffer, std::size_t size) {
        std::memcpy(buffer, data.data() + at, size);
        at += size;
        return true;
      },
      [&](const std::uint8_t* bytes, std::size_t size) {
        s.packed.insert(s.packed.end(), bytes, bytes + size);
        return true;
      },
      [&](std::uint64_t done) { s.lastProgress = done; }, &s.packedSize);
  return s;
}

// Both encoders decide nothing from where the pieces of their input end, so a package packed
// piece by piece is the one-call package byte for byte: installers stay reproducible.
TEST(PackStream, GivesTheOneCallBytesForEveryKindAndSize) {
  const std::size_t sizes[] = {0, 1, 4095, (2u << 20) + 17};
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    for (std::size_t size : sizes) {
      Bytes data = MakeSampleData(size, size + kind);
      if (size > (1u << 20)) {
        const Bytes noise = MakeRandomData(size / 4, size);
        std::copy(noise.begin(), noise.end(), data.begin() + size / 2);
      }
      const Streamed s = packStreamed(kind, data);
      ASSERT_EQ(s.result, code::kSuccess) << kind << " " << size;
      EXPECT_EQ(s.packed, packedInOneCall(kind, data)) << "kind " << kind << ", " << size << " bytes";
      EXPECT_EQ(s.packedSize, s.packed.size());
      EXPECT_EQ(s.lastProgress, size);
    }
  }
}

// A failing input or a refusing output stops the packing with kCannotMake, whose caller knows
// why; an input the header cannot announce is refused before anything is read.
TEST(PackStream, StopsOnAFailingInputOrOutputAndRefusesWhatAHeaderCannotHold) {
  const Bytes data = MakeSampleData(3u << 20, 9);
  for (std::uint32_t kind : {kPackerZlib, kPackerLzma}) {
    std::uint64_t packed = 0;
    const auto fails = [](std::uint8_t*, std::size_t) { return false; };
    const auto keep = [](const std::uint8_t*, std::size_t) { return true; };
    EXPECT_EQ(PackStream(kind, data.size(), fails, keep, nullptr, &packed), code::kCannotMake) << kind;
    std::size_t at = 0;
    const auto read = [&](std::uint8_t* buffer, std::size_t size) {
      std::memcpy(buffer, data.data() + at, size);
      at += size;
      return true;
    };
    const auto refuse = [](const std::uint8_t*, std::size_t) { return false; };
    EXPECT_EQ(PackStream(kind, data.size(), read, refuse, nullptr, &packed), code::kCannotMake) << kind;
    bool touched = false;
    const auto untouched = [&](std::uint8_t*, std::size_t) { return touched = true; };
    EXPECT_EQ(PackStream(kind, 0x80000000ull, untouched, keep, nullptr, &packed), code::kInvalidParameter);
    EXPECT_FALSE(touched);
  }
  std::uint64_t packed = 0;
  EXPECT_EQ(PackStream(3, 1, [](std::uint8_t*, std::size_t) { return true; },
                       [](const std::uint8_t*, std::size_t) { return true; }, nullptr, &packed),
            code::kInvalidParameter);
}

}  // namespace
}  // namespace tzk::packers
