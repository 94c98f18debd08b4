// Writes an installer in the layout of archive/format.h: the stub image, the archive data, the
// map block, the locator, the embedded-data block and the signature, in the order the stub
// reads them back; and the tail block that tagging puts behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "signature/signature.h"

namespace tzk::archive {

using Bytes = std::vector<std::uint8_t>;

struct FileEntryPlan {
  std::string name;            // 8-bit entry name written under the temporary folder
  Bytes data;                  // stored as they are (raw) unless extractionName is set
  std::uint32_t time = 0;      // seconds since 1970-01-01 UTC
  std::string extractionName;  // when set, data is stored as a file package and unpacked too
  std::uint32_t packer = 1;    // packer kind of that package
  std::string path;            // when set, the bytes are read from this file (UTF-8) instead of data
  std::uint64_t size = 0;      // and there are this many of them
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
  std::string installerPath;     // when set, the installer's bytes are read from this file (UTF-8)
  std::uint64_t installerSize = 0;  // and there are this many of them
  std::vector<FileEntryPlan> files;
  std::vector<EmbeddedItem> embedded;
  // The text form (2) is preceded by a line break the reader steps over.
  signature::SignatureType signatureType = signature::SignatureType::kRawMd5Dsa;
};

// The layout of a built installer, for inspection and tests.
struct Layout {
  std::uint32_t mapOffset = 0;
  std::uint32_t locatorOffset = 0;
  std::uint32_t contentLength = 0;  // where the signature block begins
};

// Appends a signature block to the content (the whole buffer); false with a reason on failure.
using Signer = std::function<bool(Bytes* content, std::string* error)>;

// Takes the installer's bytes in order; false with a reason stops the writing.
using Sink = std::function<bool(const std::uint8_t* data, std::size_t size, std::string* error)>;
// Told the input bytes stored or packed so far and their total, every megabyte or so, from the
// packing threads too: it must be safe to call from two threads at once. May be empty.
using WriteProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Writes the unsigned content (and, before a text signature, the line break the reader steps
// over) to sink: the bytes BuildInstaller signs. Entries with a path are read a piece at a
// time and packages are packed two at a time, spooled to scratch files until their turn, so
// memory stays at a few buffers and the encoders' state whatever the sizes.
bool WriteInstallerContent(const InstallerPlan& plan, const Sink& sink, const WriteProgress& progress, Layout* layout,
                           std::string* error);

// Builds the unsigned content and signs it. Names must be plain relative ASCII names that stay
// inside the target folder; the whole file must stay below the format's 2 GiB.
bool BuildInstaller(const InstallerPlan& plan, const Signer& sign, Bytes* out, Layout* layout, std::string* error);

// An item from its raw bytes, stored the way the stub's walk expects its tag: ERID and EAPT as
// they are, EBCF, ECFG and EBPK compressed with zlib; any other tag is refused.
bool PrepareEmbeddedItem(const std::string& tag, const Bytes& raw, EmbeddedItem* out, std::string* error);

// Items, their length and the block tag: the block that embedded data and tail tags share.
Bytes EmbeddedDataBlock(const std::vector<EmbeddedItem>& items);

// The tail block (kTailBlockSize bytes) with the items and its MD5; false when they do not fit.
bool TailBlock(const std::vector<EmbeddedItem>& items, Bytes* out, std::string* error);

// Map records (tags from archive/format.h), exposed so tests can build maps the writer itself
// would refuse.
void AppendRecord(Bytes* out, std::uint32_t tag, const Bytes& body);
Bytes TextBody(const std::string& text);
Bytes Uint32Body(std::initializer_list<std::uint32_t> values);

}  // namespace tzk::archive
