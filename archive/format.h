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
#include "vocabulary/little_endian.h"

namespace tzk::archive {

// The stub reads the file with 32-bit signed positions: nothing may lie beyond them.
constexpr std::uint64_t kFormatLimit = vocabulary::kLargestSignedField;

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

// The items the stub reads, by tag, and the name each is saved under in the installer/updater's
// folder, where the installer/updater and the stub's own later steps look for it.
namespace item {
constexpr char kRecommendationIdTag[] = "ERID";
constexpr wchar_t kRecommendationIdFile[] = L"rid.bin";
constexpr char kTicketIdTag[] = "EAPT";
constexpr wchar_t kTicketIdFile[] = L"pairing.bin";
constexpr char kBusinessConfigTag[] = "EBCF";
constexpr wchar_t kBusinessConfigFile[] = L"bcc.cfg.tmp";
constexpr char kCustomizationTag[] = "ECFG";
constexpr wchar_t kCustomizationFile[] = L"CustomInstallation.ini";
constexpr char kBusinessKeyTag[] = "EBPK";
constexpr wchar_t kBusinessKeyFile[] = L"bcpub.key.tmp";
}  // namespace item

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

// The verification keys' block, which the build compiles into the stub (keys/gen_key_table.py
// writes it, and its test holds it to these) and sfxpack finds in a built stub: the magic, the
// format version, the key count and the block's whole length, then per key its index and p, q, g
// and y big-endian at the widths of that index, and last the SHA-256 of everything in front of
// it, so that a stray copy of the magic is never taken for a table.
constexpr char kKeyTableMagic[] = "TZKsetupKeyTable";
constexpr std::uint32_t kKeyTableMagicSize = sizeof(kKeyTableMagic) - 1;
constexpr std::uint32_t kKeyTableVersion = 1;
constexpr std::uint32_t kKeyTableHeaderSize = kKeyTableMagicSize + 3 * kFieldSize;
constexpr std::uint32_t kKeyTableDigestSize = 32;
constexpr std::uint32_t kKeyTableMaxKeys = 6;  // indices 1 to 3 and 5 to 7
// The widths of p, g and y, and of q: DSA 1024/160 for keys 1 to 3, 2048/256 for keys 5 to 7.
constexpr std::uint32_t KeyWideSize(std::uint32_t index) { return index <= 3 ? 128 : 256; }
constexpr std::uint32_t KeyNarrowSize(std::uint32_t index) { return index <= 3 ? 20 : 32; }

// A self-defense module's entry: the prefix of its platform, then any name. The stub unpacks
// the one of the platform it runs on, under a name of its own choosing.
constexpr wchar_t kModulePrefix64[] = L"selfdefense_x64_";
constexpr wchar_t kModulePrefix86[] = L"selfdefense_x86_";

// The name the stub gives the extracted installer/updater, and the one it starts.
constexpr wchar_t kInstallerFileName[] = L"instup.exe";

// The text MD5 form stands behind a line break ("\r\n") that the signed content does not cover.
constexpr std::uint32_t kTextMd5LineBreak = 2;
// What the container pairs with the text MD5 form: that line break, the opening magic and the
// digits.
constexpr std::uint32_t kTextMd5Trailer =
    kTextMd5LineBreak + signature::kSignatureMagicSize + signature::kTextMd5Digits;

// Where the signed content ends for a signature block found at `offset`.
constexpr std::uint64_t ContentEnd(signature::SignatureType type, std::uint64_t offset) {
  const bool text = type == signature::SignatureType::kTextMd5;
  return text && offset >= kTextMd5LineBreak ? offset - kTextMd5LineBreak : offset;
}

// The trailer length the container pairs with each type it takes, 0 for the types it refuses;
// only the check that the content can hold a locator uses it.
constexpr std::uint32_t TrailerLength(signature::SignatureType type) {
  switch (type) {
    case signature::SignatureType::kRawSha256Dsa: return signature::kRawSha256DsaBlock;
    case signature::SignatureType::kRawMd5Dsa: return signature::kRawMd5DsaBlock;
    case signature::SignatureType::kTextMd5: return kTextMd5Trailer;
    default: return 0;
  }
}

}  // namespace tzk::archive
