// LoadFilePackage over a memory window holding arbitrary bytes: whatever the header says, the
// loader must stay inside the window and its own buffers. Streaming the same window must reach
// the same verdict and, when it succeeds, the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vocabulary/little_endian.h"
#include "packers/file.h"
#include "packers/file_package.h"

namespace {

// Announced sizes up to 2 GiB are legal, and unpacking that much per input would only slow
// the search; the loader's code is the same for any size in between.
constexpr std::uint32_t kMaxExploredSize = 4u << 20;

std::uint32_t AnnouncedSize(const std::uint8_t* data, std::size_t size) {
  if (size < 20) return 0;
  return tzk::vocabulary::ReadLe32(data + 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t announced = AnnouncedSize(data, size);
  if (announced > kMaxExploredSize && announced <= 0x7FFFFFFF) return 0;
  std::vector<std::uint8_t> window(data, data + size);
  tzk::packers::CMFile file;
  file.Attach(window.data(), static_cast<std::uint32_t>(window.size()));
  std::uint32_t unpackedSize = 0;
  std::unique_ptr<std::uint8_t[]> unpacked;
  const tzk::Result loaded = tzk::packers::LoadFilePackage(file, &unpackedSize, &unpacked);
  if (loaded == 0) {
    // Every byte reported must be inside the buffer handed over.
    volatile std::uint8_t sink = 0;
    for (std::uint32_t i = 0; i < unpackedSize; ++i) sink = sink ^ unpacked[i];
  }
  std::vector<std::uint8_t> streamed;
  std::uint32_t streamedSize = 0;
  const auto keep = [&streamed](const std::uint8_t* bytes, std::uint32_t count) {
    streamed.insert(streamed.end(), bytes, bytes + count);
    return true;
  };
  const tzk::Result result = tzk::packers::StreamFilePackage(file, 0, file.GetSize(), keep, &streamedSize);
  // An empty result has no buffer to compare: memcmp takes no null pointer, even for no bytes.
  const bool sameBytes = unpackedSize == 0 || std::memcmp(streamed.data(), unpacked.get(), unpackedSize) == 0;
  if (result != loaded ||
      (loaded == 0 && (streamedSize != unpackedSize || streamed.size() != unpackedSize || !sameBytes))) {
    std::abort();
  }
  return 0;
}
