// Installers that carry an Authenticode signature next to the archive signature. The archive
// digest covers the PE header's security directory entry, which Authenticode signing fills in,
// so the entry's final value (where the certificate table will start and how long it will be)
// is written before the archive is signed: a fixed reservation, generous for any signer, which
// the tail room inside the PKCS#7 fills exactly once the signing tool has run (code_signature.h).
// Only type 5 can carry both: it digests the PE checksum as zero, and Authenticode signing
// rewrites the checksum from bytes that include the certificate table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/sfx_archive.h"
#include "sfxpack/cli.h"
#include "sfxpack/code_signature.h"
#include "sfxpack/manifest.h"

namespace sfxpack {

struct CodeSigning {
  std::string certificate;    // PEM certificate (chain) for osslsigncode -certs
  std::string key;            // PEM private key for osslsigncode -key
  long long signingTime = 0;  // osslsigncode -time: a fixed time, so that signing repeats byte for byte
  bool prepareOnly = false;   // reserve the table; the engineer signs and seals later
  std::uint32_t reserve = kDefaultTableReserve;  // the certificate table's final size
  std::string timestampUrl;   // osslsigncode -ts
  std::string testTsaCerts;   // osslsigncode's test authority (-TSA-certs, -TSA-key), for tests
  std::string testTsaKey;
};

// The command-line options --cert, --cert-key, --signing-time, --timestamp, --test-tsa-certs,
// --test-tsa-key, --reserve and --prepare as a CodeSigning;
// false with a usage error. `used` tells whether Authenticode was asked for at all.
bool ReadCodeSigning(const ParsedArgs& args, CodeSigning* out, bool* used, std::string* error);
// --reserve alone (seal takes it too); leaves *reserve as it is when the option is absent.
bool ReadReserve(const ParsedArgs& args, std::uint32_t* reserve, std::string* error);
// The valued options ReadCodeSigning reads, for a command's ParseArgs list.
extern const std::vector<std::string> kCodeSigningOptions;

// The security directory entry of a PE32 or PE32+ image, read from its headers alone; false when
// there is none.
bool ReadSecurityDirectory(const std::string& path, std::uint32_t* offset, std::uint32_t* size);

// Appends the archive's signature block to the file at path; false with a reason.
using FileSigner = std::function<bool(const std::string& path, std::string* error)>;

// Turns the unsigned content written at `output` into the finished file there: reserves the
// certificate table, signs the archive with `sign` (which must append a 72-byte type-5 block)
// and, unless only preparing, signs with osslsigncode and seals the table to its reserved size.
// The image is never held: its header entry is written in place, the table appended, and the
// signing tool's result copied back with only the table, its sizes and the checksum changed.
// Temporary files are made beside `output`. False with a reason and an exit code.
bool SignBoth(const std::string& output, const FileSigner& sign, const CodeSigning& signing, std::string* error,
              int* exit);

// The block the stub takes its items from. It walks the embedded-data block and reads the tail
// block only when that walk fails (stub/main_sequence.cpp's extract()), so behind a valid
// embedded-data block no per-download tag is ever read.
enum class ItemsBlock { kNone, kEmbedded, kTail };
// Decided by the archive reader's own walks, handed a saver that writes nothing.
ItemsBlock StubItemsBlock(tzk::archive::SfxArchive& archive);
// "embedded", "tail" or "none", as verify and inspect print it.
const char* ItemsBlockName(ItemsBlock block);

// The help text shared by build and sign.
const std::string& CodeSigningHelp();

}  // namespace sfxpack
