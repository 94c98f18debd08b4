// What a download's URL and its conditional headers ask `sfxpack serve` for, read apart from any
// socket: every byte a client sends on the way to a stamp goes through here, and the fuzzer
// drives it. Nothing here touches the file system: a name is only ever looked up among the
// bases that the served folder's scan found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/installer_writer.h"

namespace sfxpack {

using tzk::archive::Bytes;
using tzk::archive::EmbeddedItem;

// The largest request header read: a URL can carry as many item bytes as the tail block holds,
// so that items too many for it are the stamp's refusal (400), not the header's (431).
constexpr std::size_t kRequestHeaderLimit = 24 * 1024;
// What one connection holds at most, for the memory bound that --help and the benchmark state:
// the header twice (the read buffer and the parsed fields), a stamp (the tail block and the
// checksum) and the response's head.
constexpr std::size_t kConnectionBytes = 2 * kRequestHeaderLimit + 16384 + 4 + 1024;

// What a URL may set unless the server is told otherwise: identifiers that attribute an
// installation and nothing more (docs/threat-model.md, per-download tags).
extern const char kDefaultUrlTags[];

// The tags a URL may set, from a comma-separated list: tags the stub reads, never EBCF or EBPK.
// Whoever sets those two enrols the installed product under a configuration and a key of their
// choosing, so no configuration lets a URL set them. False with the reason.
bool ParseUrlTags(const std::string& list, std::vector<std::string>* tags, std::string* error);

struct DownloadTarget {
  std::string name;                 // the path without its leading '/', percent-decoded
  std::vector<EmbeddedItem> items;  // the query's items in its order, prepared as tag prepares them
};

// "/NAME?TAG=VALUE&TAG=VALUE", or the absolute form "http://host/NAME?...". Values are
// percent-encoded bytes, '+' a space (as a form encodes them); each tag once, and only those in
// `tags`. False with a one-line reason for the client (what the client sent is quoted escaped).
bool ParseDownloadTarget(std::string_view target, const std::vector<std::string>& tags, DownloadTarget* out,
                         std::string* reason);

// A Range header over a file of `size` bytes. One range is served; a header that cannot be
// read, or that asks for several ranges, is ignored and the whole file is sent, as HTTP allows.
enum class RangeRequest { kWhole, kPart, kUnsatisfiable };
// kPart with the inclusive [*first, *last], clipped to the file.
RangeRequest ParseRange(std::string_view header, std::uint64_t size, std::uint64_t* first, std::uint64_t* last);

// Whether an If-None-Match header names the entity tag `etag` (quoted): "*", or the tag in its
// list, weak or not, as the weak comparison takes it.
bool NoneMatchHits(std::string_view header, std::string_view etag);
// Whether an If-Range header lets a range of the current file be sent: it is exactly this strong
// entity tag. A date never is: no Last-Modified is sent, so a client has no date of ours.
bool IfRangeHolds(std::string_view header, std::string_view etag);

}  // namespace sfxpack
