// Any bytes as an unpacked map: parsing must stay inside the buffer and always end.
#include <cstdint>
#include <vector>

#include "archive/sfx_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> copy(data, data + size);  // exact bounds for the sanitizer
  tzk::packers::CMFile map;
  if (!map.Attach(copy.data(), static_cast<std::uint32_t>(copy.size()))) return 0;
  tzk::archive::ArchiveMap parsed;
  tzk::archive::ParseMap(map, &parsed);
  return 0;
}
