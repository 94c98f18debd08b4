// sfxpack seal: after the engineer's own Authenticode tool has signed a prepared installer, fills
// the certificate table back to the size the archive signature covers, with the room for the
// per-download tail block.
#include <cstdio>
#include <string>

#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "signature/signature_file.h"
#include "vocabulary/text.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "seal";

const std::string kHelp = std::string(
    "usage: sfxpack seal SETUP.exe [--reserve BYTES] [--keys DIR]\n\n"
    "For an installer made with --prepare and then signed by any Authenticode tool (osslsigncode,\n"
    "signtool, jsign, sbsign, pesign; any options, timestamps included). A signature the tool\n"
    "appended behind the zero-filled reservation (sbsign and pesign do) is first moved into it.\n"
    "Adds the room for the tail block to the signature as an unauthenticated attribute, sized so\n"
    "that the certificate table is exactly as large as reserved and the signature ends the file,\n"
    "and gives the PE header back the table size the archive signature covers. The code\n"
    "signature stays valid: what it signs is not touched. The result is checked as `sfxpack\n"
    "verify` checks it and replaces SETUP.exe only when the stub accepts it; a signature too large\n"
    "for the reservation is refused with the --reserve that would fit it. A file sealed already\n"
    "is left as it is.\n\n"
    "options:\n"
    "  --reserve BYTES   the table size given to --prepare (default ") +
    std::to_string(kDefaultTableReserve) + ")\n"
    "  --keys DIR        check against key1.pub.pem ... key7.pub.pem in DIR instead of the stub's\n\n" +
    kExitCodeHelp;

// A refusal is the check's verdict only where the file is signed and seal cannot make it one the
// stub takes; a file that seal has nothing to work on is an input problem, and a build that
// reads no PKCS#7 writes nothing.
int refusalExit(const FileSource& content) {
  const CodeSignatureReport r = InspectCodeSignature(content);
  if (!r.available) return kExitOutputError;
  return r.table && r.tableEndsFile && r.parses ? kExitCheckFailed : kExitBadInput;
}

int run(const Args& args) {
  const ParsedArgs a = ParseArgs(args, {}, {"--reserve", "--keys"});
  if (!a.error.empty()) return UsageError(kName, a.error);
  if (a.positional.size() != 1) return UsageError(kName, "needs one SETUP.exe");
  std::uint32_t reserve = kDefaultTableReserve;
  std::string error;
  if (!ReadReserve(a, &reserve, &error)) return UsageError(kName, error);
  KeysOption keys;
  if (!ReadKeysOption(a, &keys, &error)) return FileError(kName, keys.folder, error, kExitBadInput);
  const std::string& file = a.positional[0];
  StagedOutput out(file);
  {
    // Read where it lies: only the certificate table is held, and the file is closed before the
    // sealed copy takes its place (Windows moves nothing onto a file still open).
    tzk::signature::SignatureFile in;
    if (!OpenMeasured(file, &in, &error)) return FileError(kName, file, error, kExitBadInput);
    const FileSource signedFile = SourceOf(in);
    FilePatch moved, sealed;
    if (!TakeAppendedSignature(signedFile, reserve, &moved, &error)) {
      return FileError(kName, file, error, refusalExit(signedFile));
    }
    const FileSource taken = Patched(signedFile, std::move(moved));
    if (!SealTable(taken, reserve, &sealed, &error)) return FileError(kName, file, error, refusalExit(taken));
    const FileSource result = Patched(taken, std::move(sealed));
    bool outputFailed = false;
    const StagedOutput::Producer copy = [&result](const Sink& sink, std::string* why) { return CopyOut(result, sink, why); };
    if (!out.WriteWith(copy, &error, &outputFailed)) {
      return FileError(kName, file, error, outputFailed ? kExitOutputError : kExitBadInput);
    }
  }
  std::string refusal;
  const StubVerdict v = CheckWritten(out.stagedPath(), keys.keys(), keys.folder, nullptr, "", &refusal);
  if (!v.accepted()) {
    // The archive signature covers the table size given at --prepare, so the likeliest cause
    // is a different one here.
    return FileError(kName, file,
                     refusal + "; was it prepared with another --reserve than " + std::to_string(reserve) + "?",
                     v.exit);
  }
  if (!out.Commit(&error)) return FileError(kName, file, error, kExitOutputError);
  std::printf("%s: certificate table sealed at %u bytes, with room for the tail block; accepted by the stub\n",
              file.c_str(), reserve);
  return kExitOk;
}

const CommandRegistration kSeal({kName, "after your own Authenticode signing: make room for the tail block",
                                 kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
