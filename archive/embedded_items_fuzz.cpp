// Any bytes as an embedded-data block or a tail block: the backward walk must stay inside the
// block, skip what does not fit and end.
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/embedded_items.h"

namespace {
tzk::Result discard(const std::wstring&, const std::uint8_t* data, std::uint32_t size) {
  volatile std::uint8_t sink = 0;
  for (std::uint32_t i = 0; i < size; ++i) sink = sink ^ data[i];  // touch every byte handed out
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= 4) {
    std::vector<std::uint8_t> block(data, data + size);
    tzk::archive::WalkEmbeddedBlock(block.data(), block.size() - 4, L"T", &discard);
  }
  std::vector<std::uint8_t> tail(tzk::archive::kTailBlockSize, 0);
  std::memcpy(tail.data() + tail.size() - std::min(size, tail.size()), data, std::min(size, tail.size()));
  tzk::archive::WalkTailBlock(tail.data(), L"T", &discard);
  return 0;
}
