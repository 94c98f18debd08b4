// The layout of an installer as the producer writes it and the stub reads it back, with every
// magic, tag and size in it:
//
//   stub image | stored files and the installer's package | packed map | locator |
//   embedded-data block (optional) | archive signature | tail block (optional, unsigned)
//
// The locator is the map's offset and a magic; the embedded-data block is its items (bytes,
// size, tag each), their total length and "EDAT"; the map is a run of records (tag, length,
// body) whose LIST holds FILE records. All numbers are little-endian 32-bit.
#pragma once

#include <cstdint>

#include "signature/signature.h"

namespace tzk::archive {

// The stub reads the file with 32-bit signed positions: nothing may lie beyond them.
constexpr std::uint64_t kFormatLimit = 0x7FFFFFFF;

constexpr char kLocatorMagic[] = "TZKsetupSelfExt2";
constexpr std::uint32_t kLocatorMagicSize = 16;
constexpr std::uint32_t kLocatorSize = 4 + kLocatorMagicSize;  // the map's offset, then the magic

// A four-character tag as the number the reader compares.
constexpr std::uint32_t FourCc(const char (&tag)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(tag[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[3])) << 24;
}

constexpr std::uint32_t kEmbeddedDataTag = FourCc("EDAT");

// The tail block: the file's last 16384 bytes, an embedded-data block ending at 16368 and the
// MD5 of bytes 0 to 16367 behind it.
constexpr std::uint32_t kTailBlockSize = 16384;
constexpr std::uint32_t kTailDigestOffset = 16368;

// The map's records; FILE records sit inside LIST and hold NAME, PTRL and XNAM.
namespace record {
constexpr std::uint32_t kMode = FourCc("MODE"), kCommandLine = FourCc("CMDL"), kSfxName = FourCc("SFXN"),
                        kInstaller = FourCc("CMDP"), kList = FourCc("LIST"), kFile = FourCc("FILE"),
                        kName = FourCc("NAME"), kPointer = FourCc("PTRL"), kExtractionName = FourCc("XNAM");
}  // namespace record

// Where the signed content ends for a signature block found at `offset`: the text MD5 form
// stands behind a line break that it does not cover.
constexpr std::uint64_t ContentEnd(SignatureType type, std::uint64_t offset) {
  return type == SignatureType::kTextMd5 && offset >= 2 ? offset - 2 : offset;
}

// The trailer length the container pairs with each type it takes, 0 for the types it refuses;
// only the check that the content can hold a locator uses it.
constexpr std::uint32_t TrailerLength(SignatureType type) {
  switch (type) {
    case SignatureType::kRawSha256Dsa: return kRawSha256DsaBlock;
    case SignatureType::kRawMd5Dsa: return kRawMd5DsaBlock;
    case SignatureType::kTextMd5: return 42;
    default: return 0;
  }
}

}  // namespace tzk::archive
