// Any bytes as a download's request target, Range and conditional headers: the parser must stay
// inside what it was given, never let a URL set a tag it may not, always say why in one printable
// line, and never name a range outside the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sfxpack/download_request.h"

namespace {

// The input split at its first two zero bytes: target, Range header, entity-tag header.
std::string_view part(std::string_view& rest) {
  const std::size_t zero = rest.find('\0');
  const std::string_view head = rest.substr(0, zero);
  rest = zero == std::string_view::npos ? std::string_view() : rest.substr(zero + 1);
  return head;
}

void checkTarget(std::string_view target) {
  static const std::vector<std::string> kTags = {"ERID", "EAPT", "ECFG"};
  sfxpack::DownloadTarget parsed;
  std::string reason;
  if (!sfxpack::ParseDownloadTarget(target, kTags, &parsed, &reason)) {
    if (reason.empty()) std::abort();
    for (char c : reason) {
      if (c < 0x20 || c >= 0x7F) std::abort();
    }
    return;
  }
  for (std::size_t i = 0; i < parsed.items.size(); ++i) {
    if (parsed.items[i].tag != "ERID" && parsed.items[i].tag != "EAPT" && parsed.items[i].tag != "ECFG") std::abort();
    for (std::size_t j = 0; j < i; ++j) {
      if (parsed.items[j].tag == parsed.items[i].tag) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string_view target = part(rest), range = part(rest), etag = rest;
  checkTarget(target);
  for (std::uint64_t fileSize : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 40}) {
    std::uint64_t first = 0, last = 0;
    if (sfxpack::ParseRange(range, fileSize, &first, &last) == sfxpack::RangeRequest::kPart &&
        (first > last || last >= fileSize)) {
      std::abort();
    }
  }
  sfxpack::NoneMatchHits(etag, "\"0123\"");
  sfxpack::IfRangeHolds(etag, "\"0123\"");
  return 0;
}
