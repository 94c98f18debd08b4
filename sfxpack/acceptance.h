// The stub's own question about an installer file: would its archive loader take the file,
// with the keys of the stub the file carries, and is there an installer for it to run.
// verify answers it; build, sign and tag ask it about everything they write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/sfx_archive.h"
#include "signature/signing/signing.h"
#include "vocabulary/result.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/file_io.h"

namespace sfxpack {

struct StubVerdict {
  int exit = 3;        // kExitOk when the stub accepts the file, else kExitCheckFailed or kExitBadInput
  std::string reason;  // why it is refused; empty when accepted
  bool readable = false;  // the file could be read at all (else the reason says why not)
  std::optional<tzk::signature::SignatureType> type;  // none when no block was found
  std::uint64_t signatureOffset = 0;
  std::uint64_t contentLength = 0;  // as the loader takes it: two less than the block's offset for type 2
  std::uint32_t embeddedLength = 0;
  int keyIndex = 0;                 // the key that verified
  std::string keyFingerprint;       // and its fingerprint
  std::string keySource;            // "the stub's key table" or the --keys folder
  std::vector<std::string> trusted; // the keys of the signature's kind that were tried
  tzk::Result loaderCode = 0;       // the archive loader's code when it refused
  tzk::archive::LoadStep loaderStep = tzk::archive::LoadStep::kOpen;  // where the loader stopped
  bool authenticodeTable = false;   // the file has a certificate table behind the signature
  bool tableReserved = false;       // its header names a table that is not there yet (--prepare)
  bool untrustedKey = false;        // refused only because no trusted key verifies the signature
  bool accepted() const { return exit == 0; }
  // The loader got as far as reading the container (and loaderCode says how that went).
  bool containerRead() const { return loaderStep >= tzk::archive::LoadStep::kContainer; }
  // The reason as verify and inspect print it.
  std::string message() const { return readable ? "not accepted: " + reason : reason; }
};

// The stub loader's verdict on the file, with the keys of the stub's key table (or `given`, from
// `givenSource`), then the rules its extraction applies: a stub in front, entries that stay
// inside the folder and the signed content, an installer package that unpacks. The file is
// opened once, by `archive`, which keeps it open and holds what was read for the caller.
// checked is told the bytes digested so far and the content's length while the signature is
// checked (for progress; may be empty).
using CheckProgress = Progress;
StubVerdict CheckAsStub(const std::string& path, tzk::archive::SfxArchive* archive, const tzk::signature::KeySet* given,
                        const std::string& givenSource, const CheckProgress& checked = nullptr);

// The file's code signature, read through the archive's open (or, where the archive could not
// open a file too large for it, by its path).
CodeSignatureReport InspectCodeSignatureOf(tzk::archive::SfxArchive& archive, const std::string& path);

// The verdict on a file a command has just written (staged, not yet in place), and the reason
// it is refused in the words of the command: an untrusted key is named by the fingerprint of the
// key it was signed with (signingKey, from keyPath; both may be empty).
StubVerdict CheckWritten(const std::string& staged, const tzk::signature::KeySet* given, const std::string& givenSource,
                         const tzk::signature::DsaPrivateKey* signingKey, const std::string& keyPath,
                         std::string* message, const CheckProgress& checked = nullptr);

// What verify, inspect and build report about a verdict in JSON ("error" only when refused).
nlohmann::json VerdictJson(const StubVerdict& verdict);

// Whether a file is a program the stub can start as the installer/updater: a PE image (PE32 or
// PE32+: the child is started by CreateProcess, not loaded into the 32-bit stub) marked
// executable, not a DLL, whose sections the file holds; false with the reason, "it is ...". Only
// its headers are read.
bool IsProgramFile(const std::string& path, std::string* why);
// Whether an image is the stub: such a program for 32-bit x86 that carries the stub's marks.
// Without keysGiven the mark, its key table, is left to CheckAsStub, which names a missing one
// (exit 1). With keysGiven (--keys names the keys to check with) the table may be missing or hold
// other keys, so the magic of the archive locator, which every stub's loader looks for, counts
// too: a program that is no stub carries neither. False with the reason, "it is ...".
bool IsStub(tzk::signature::ByteView image, bool keysGiven, std::string* why);

// The block the stub takes its items from: the archive's own decision (SfxArchive::ExtractItems),
// behind a valid embedded-data block no per-download tag is ever read.
using tzk::archive::ItemsBlock;
// Decided by that walk, handed a saver that writes nothing.
ItemsBlock StubItemsBlock(tzk::archive::SfxArchive& archive);
// "embedded", "tail" or "none", as verify and inspect print it.
const char* ItemsBlockName(ItemsBlock block);

}  // namespace sfxpack
