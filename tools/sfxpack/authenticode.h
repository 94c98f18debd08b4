// Installers that carry an Authenticode signature next to the archive signature. The archive
// digest covers the PE header's security directory entry, which Authenticode signing fills in,
// so the entry's final value (where the certificate table will start and how long it will be)
// is written before the archive is signed. The table's length is measured by signing a trial
// copy with the same certificate, key and signing time: it does not depend on the file's bytes.
// Only type 5 can carry both: it digests the PE checksum as zero, and Authenticode signing
// rewrites the checksum from bytes that include the certificate table.
#pragma once

#include <cstdint>
#include <string>

#include "tools/sfxpack/cli.h"
#include "tools/sfxpack/installer_builder.h"

namespace sfxpack {

struct CodeSigning {
  std::string certificate;    // PEM certificate (chain) for osslsigncode -certs
  std::string key;            // PEM private key for osslsigncode -key
  long long signingTime = 0;  // osslsigncode -time: a fixed time, so that signing repeats byte for byte
  bool prepareOnly = false;   // reserve the table; the engineer runs osslsigncode sign later
};

// The command-line options --cert, --cert-key, --signing-time and --prepare as a CodeSigning;
// false with a usage error. `used` tells whether Authenticode was asked for at all.
bool ReadCodeSigning(const ParsedArgs& args, CodeSigning* out, bool* used, std::string* error);

// The security directory entry of a PE32 or PE32+ image; false when there is none.
bool ReadSecurityDirectory(const Bytes& image, std::uint32_t* offset, std::uint32_t* size);
bool ReadSecurityDirectory(const std::string& path, std::uint32_t* offset, std::uint32_t* size);

// Turns the unsigned content into the finished file at `output`: reserves the certificate table,
// signs the archive with `sign` (which must append a 72-byte type-5 block) and, unless only
// preparing, signs with osslsigncode and checks that the table landed where it was reserved.
// Temporary files are made beside `output`. False with a reason and an exit code.
bool SignBoth(Bytes content, const Signer& sign, const CodeSigning& signing, const std::string& output,
              std::string* error, int* exit);

// The help text shared by build and sign.
extern const char kCodeSigningHelp[];

}  // namespace sfxpack
