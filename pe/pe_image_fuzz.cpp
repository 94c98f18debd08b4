// Any bytes as a PE image: the header reader must stay inside them, and what it reports as read
// must lie inside them too.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pe/pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tzk::pe::PeReadAt read = [data, size](std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > size || length > size - offset) return false;
    std::memcpy(buffer, data + offset, length);
    return true;
  };
  std::uint32_t peOffset = 0;
  tzk::pe::PeOffsetFromDosHeader(data, size, &peOffset);
  tzk::pe::PeHeaders headers;
  if (!tzk::pe::ReadPeHeaders(data, size, &headers)) return 0;
  if (headers.peOffset != peOffset || headers.securityEntry + 8 > size) std::abort();
  tzk::pe::PeSectionsEnd(read, headers);
  tzk::pe::PeChecksum(data, size, headers.checksumOffset);
  return 0;
}
