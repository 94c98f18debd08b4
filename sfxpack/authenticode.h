// The Authenticode side of an installer: what its certificate table holds, the room for the
// per-download tail block inside it, and how a build or a sign signs with both signatures.
//
// The archive signature covers the PE header, including the security directory entry, so the
// certificate table's size is fixed when the archive is signed, and the tail block must stay
// the file's last kTailBlockSize bytes. The room for it is therefore reserved inside the PKCS#7 itself:
// an unauthenticated attribute of the SignerInfo (outside what the code signature signs) whose
// OCTET STRING ends with the tail block and ends the file. Nothing follows the PKCS#7, so a
// verifier that rejects bytes behind it (the certificate padding check) has nothing to reject,
// and rewriting the tail in place keeps both signatures valid.
//
// Installers that carry an Authenticode signature next to the archive signature: the archive
// digest covers the PE header's security directory entry, which Authenticode signing fills in,
// so the entry's final value (where the certificate table will start and how long it will be)
// is written before the archive is signed: a fixed reservation, generous for any signer, which
// the tail room inside the PKCS#7 fills exactly once the signing tool has run (SealTable).
// Only type 5 can carry both: it digests the PE checksum as zero, and Authenticode signing
// rewrites the checksum from bytes that include the certificate table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive/format.h"
#include "archive/installer_writer.h"
#include "pe/pe_image.h"
#include "signature/signature_file.h"
#include "sfxpack/cli.h"
#include "sfxpack/file_io.h"

namespace sfxpack {

// A file read where it lies, so that an installer of any size is never held whole: only its
// headers, its certificate table and its tail are.
struct FileSource {
  std::uint64_t size = 0;
  tzk::pe::PeReadAt read;  // exactly that many bytes at an offset; false on any shortfall
};
FileSource SourceOf(const tzk::signature::SignatureFile& file);  // file must outlive it
// Opens a file to read where it lies, measured first as ReadWholeFile measures it: false with the
// same reason (a file over the format's limit is refused unread).
bool OpenMeasured(const std::string& path, tzk::signature::SignatureFile* file, std::string* error);

// A change to a file: cut or grown (with zeros) to `size`, then each write laid over it in order.
// Changes are small (header fields, the certificate table, the tail block) and the file is not.
struct FilePatch {
  std::uint64_t size = 0;
  std::vector<std::pair<std::uint64_t, Bytes>> writes;
};
// The file as the patch leaves it, read through the base.
FileSource Patched(const FileSource& base, FilePatch patch);
// Hands every byte of the file to sink, a megabyte at a time; false with the reason.
bool CopyOut(const FileSource& file, const tzk::archive::Sink& sink, std::string* error);

// A certificate table entry's header (WIN_CERTIFICATE): dwLength, wRevision, wCertificateType.
constexpr std::uint32_t kWinCertificateHeader = 8;

// The attribute's type: a UUID-based OID, which needs no registration.
extern const char kTailRoomOid[];

// The certificate table reserved before the archive is signed holds the signature and the tail
// room inside it. By default the signature has room for any signer (RSA or ECDSA, a chain, a
// description and URL, an RFC 3161 timestamp; chain trust is not judged); a smaller --reserve
// still leaves it a kilobyte.
constexpr std::uint32_t kDefaultSignatureRoom = 24 * 1024;
constexpr std::uint32_t kMinSignatureRoom = 1024;
constexpr std::uint32_t kDefaultTableReserve = tzk::archive::kTailBlockSize + kDefaultSignatureRoom;
constexpr std::uint32_t kMinTableReserve = tzk::archive::kTailBlockSize + kMinSignatureRoom;
constexpr std::uint32_t kMaxTableReserve = 16 * 1024 * 1024;

struct CodeSignatureReport {
  bool readable = false;       // sfxpack could read the file as a PE image
  bool available = true;       // false in a build without OpenSSL (the 64-bit Windows build)
  bool table = false;          // the security directory names a table that lies inside the file
  bool reserved = false;       // ... still the zero-filled placeholder that --prepare leaves
  bool truncated = false;      // the file ends inside the table it names: it was cut short
  std::uint32_t tableOffset = 0, tableSize = 0;
  bool tableEndsFile = false;  // no bytes follow the table (Authenticode tools look only there)
  bool parses = false;         // the PKCS#7 SignedData parses
  std::string problem;         // why it does not parse, or what else is wrong with the table
  bool digestMatches = false;  // the image's Authenticode digest is the one the PKCS#7 signs
  std::string digestAlgorithm;  // empty when no image digest was compared
  std::string signer;          // the signing certificate's subject
  bool timestamp = false;      // an RFC 3161 or countersignature timestamp is attached
  bool tailRoom = false;       // the room attribute is there and ends the file
  std::uint32_t tailRoomSize = 0;  // its OCTET STRING's length (the last kTailBlockSize bytes are the tail)
  bool paddingOk = false;      // nothing but up to 7 zero bytes after the PKCS#7 in the table
  bool sound = false;          // the PKCS#7 parses, the table ends the file and passes the padding check
  std::uint32_t pkcs7Size = 0;
};

CodeSignatureReport InspectCodeSignature(const FileSource& file);
// The same for an open file; the image digest is read only when its header names a certificate
// table: an installer without one is never read twice.
CodeSignatureReport InspectCodeSignatureIn(const tzk::signature::SignatureFile& file);
// For verify and inspect: {"table": "present"|"reserved"|"none", ...}. A fact that was not
// checked (this build reads no PKCS#7, or the table gave nothing to check it on) is null.
nlohmann::json CodeSignatureJson(const CodeSignatureReport& report);
// The lines of the text output, each starting with "code signature: "; a fact that was not
// checked says so.
std::string CodeSignatureText(const CodeSignatureReport& report);

// Turns a file whose certificate table a signing tool has just written (a PKCS#7 at the end of
// the file) into one whose table is exactly `reserved` bytes: the room attribute is added and
// sized so that the PKCS#7 ends the file, the directory entry gets back the size the archive
// signature covers, and the PE checksum is brought up to date. False with a reason; a
// signature too large for the reservation names the --reserve that would fit it. The change is
// given as a patch over the file, which is left as it is.
bool SealTable(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error);

// Some signers (sbsign, pesign) keep the zero-filled reservation of a prepared file as a
// signature and append their own entry behind it. That entry is moved into the reservation's
// place, so that SealTable finds one signature at the table's start; a table of one entry is
// left as it is. Any other table of several entries is refused (which signature to keep is not
// sfxpack's to guess), as is a reservation of another size than `reserved`. The move is given as
// a patch over the file (none when there is nothing to move). False with a reason.
bool TakeAppendedSignature(const FileSource& file, std::uint32_t reserved, FilePatch* patch, std::string* error);

// The PE checksum of the whole file, rewritten after the tail changed (neither signature
// covers it, but tools that compare it should find it right): added to `patch`, computed over
// the file as the patch leaves it. False when it cannot be read.
bool RefreshPeChecksum(const FileSource& file, FilePatch* patch);

// --- signing with both ---------------------------------------------------------------------
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
// The valued options ReadCodeSigning reads, for a command's ParseArgs list, and those of them
// that name files, for its OptionInputs.
extern const std::vector<std::string> kCodeSigningOptions;
extern const std::vector<std::string> kCodeSigningInputs;

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

// The help text shared by build and sign.
const std::string& CodeSigningHelp();

}  // namespace sfxpack
