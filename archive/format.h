// The layout of an installer as the producer writes it and the stub reads it back, with every
// magic, tag and size in it:
//
//   stub image | stored files and the installer's package | packed map | locator |
//   embedded-data block (optional) | archive signature | tail block (optional, unsigned)
//
// The locator is the map's offset and a magic; the embedded-data block is its items (bytes,
// size, tag each), their total length and its tag; the map is a run of records (tag, length,
// body) whose LIST holds FILE records. All numbers are little-endian 32-bit.
#pragma once

#include <cstdint>

#include "signature/signature.h"

namespace tzk::archive {

// The stub reads the file with 32-bit signed positions: nothing may lie beyond them.
constexpr std::uint64_t kFormatLimit = 0x7FFFFFFF;

// The size of every number the format stores, and of every tag.
constexpr std::uint32_t kFieldSize = 4;
constexpr std::uint32_t kTagSize = 4;

constexpr char kLocatorMagic[] = "TZKsetupSelfExt2";
constexpr std::uint32_t kLocatorMagicSize = sizeof(kLocatorMagic) - 1;
constexpr std::uint32_t kLocatorSize = kFieldSize + kLocatorMagicSize;  // the map's offset, then the magic

// A four-character tag as the number the reader compares.
constexpr std::uint32_t FourCc(const char (&tag)[kTagSize + 1]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(tag[0])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(tag[3])) << 24;
}

// The embedded-data block ends in its trailer: the items' total length, then the tag. Each
// item ends in one of its own: the item's size, then its tag.
constexpr char kEmbeddedDataMagic[] = "EDAT";
constexpr std::uint32_t kEmbeddedDataTag = FourCc(kEmbeddedDataMagic);
constexpr std::uint32_t kEmbeddedTrailerSize = kFieldSize + kTagSize;
constexpr std::uint32_t kItemTrailerSize = kFieldSize + kTagSize;

// The tail block: the file's last kTailBlockSize bytes, an embedded-data block ending at
// kTailDigestOffset and the MD5 of the bytes before that offset behind it.
constexpr std::uint32_t kMd5Size = 16;
constexpr std::uint32_t kTailBlockSize = 16384;
constexpr std::uint32_t kTailDigestOffset = kTailBlockSize - kMd5Size;

// The map's records: a tag and the body's length, then the body. FILE records sit inside LIST
// and hold NAME, PTRL and XNAM.
namespace record {
constexpr std::uint32_t kMode = FourCc("MODE"), kCommandLine = FourCc("CMDL"), kSfxName = FourCc("SFXN"),
                        kInstaller = FourCc("CMDP"), kList = FourCc("LIST"), kFile = FourCc("FILE"),
                        kName = FourCc("NAME"), kPointer = FourCc("PTRL"), kExtractionName = FourCc("XNAM");
}  // namespace record
// The bodies of fixed size: PTRL holds an entry's offset, size and time; CMDP the installer
// package's offset and size.
constexpr std::uint32_t kPointerRecordSize = 3 * kFieldSize;
constexpr std::uint32_t kInstallerRecordSize = 2 * kFieldSize;

// The name the stub gives the extracted installer/updater, and the one it starts.
constexpr wchar_t kInstallerFileName[] = L"instup.exe";

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
