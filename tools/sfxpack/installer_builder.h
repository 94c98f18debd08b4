// Lays out an installer: the stub image, the archive data, the map block, the locator, the
// embedded-data block and the signature, in the order the stub reads them back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/vocabulary/result.h"

namespace sfxpack {

using Bytes = std::vector<std::uint8_t>;

struct FileEntryPlan {
  std::string name;            // 8-bit entry name written under the temporary folder
  Bytes data;                  // stored as they are (raw) unless extractionName is set
  std::uint32_t time = 0;      // seconds since 1970-01-01 UTC
  std::string extractionName;  // when set, data is stored as a file package and unpacked too
  std::uint32_t packer = 1;    // packer kind of that package
};

struct EmbeddedItem {
  std::string tag;  // four characters: ERID, EAPT, EBCF, ECFG, EBPK
  Bytes data;       // the bytes as stored (already compressed for EBCF, ECFG and EBPK)
};

struct InstallerPlan {
  Bytes stub;
  std::string commandLine;
  std::string sfxName;
  Bytes installer;
  std::uint32_t installerPacker = 2;
  std::vector<FileEntryPlan> files;
  std::vector<EmbeddedItem> embedded;
  int signatureType = 1;  // the text form (2) is preceded by a line break the reader steps over
};

// The layout of a built installer, for inspection and tests.
struct Layout {
  std::uint32_t mapOffset = 0;
  std::uint32_t locatorOffset = 0;
  std::uint32_t contentLength = 0;  // where the signature block begins
};

// Appends a signature block to the content (the whole buffer); false with a reason on failure.
using Signer = std::function<bool(Bytes* content, std::string* error)>;

// Builds the unsigned content and signs it. Names must be plain relative ASCII names that stay
// inside the target folder; the whole file must stay below the format's 2 GiB.
bool BuildInstaller(const InstallerPlan& plan, const Signer& sign, Bytes* out, Layout* layout, std::string* error);

// An item from its raw bytes: ERID and EAPT are stored as they are, EBCF, ECFG and EBPK
// compressed with zlib, any other tag is refused.
bool PrepareEmbeddedItem(const std::string& tag, const Bytes& raw, EmbeddedItem* out, std::string* error);

// Items, their length and "EDAT": the block that embedded data and tail tags share.
Bytes EmbeddedDataBlock(const std::vector<EmbeddedItem>& items);

// The 16384-byte tail block with the items and its MD5; false when they do not fit.
bool TailBlock(const std::vector<EmbeddedItem>& items, Bytes* out, std::string* error);

// Map records, exposed so tests can build maps the producer itself would refuse.
void AppendRecord(Bytes* out, const char (&tag)[5], const Bytes& body);
Bytes TextBody(const std::string& text);
Bytes Uint32Body(std::initializer_list<std::uint32_t> values);

}  // namespace sfxpack
