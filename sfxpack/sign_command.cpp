// sfxpack sign: appends a signature block to an unsigned installer, and keeps the result only
// when the stub accepts it.
#include <cstdio>
#include <string>

#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "vocabulary/text.h"
#include "sfxpack/keys.h"
#include "sfxpack/progress_meter.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "sign";

const std::string kHelp = std::string(
    "usage: sfxpack sign --type 1|5 --key PRIVATE.pem FILE [--keys DIR] [-q]\n"
    "                    [--cert CERT.pem --cert-key KEY.pem | --prepare]\n"
    "                    [--signing-time SECS] [--timestamp URL] [--reserve BYTES]\n"
    "       sfxpack sign --type 1|2|5 [--key PRIVATE.pem] FILE --signature-only\n\n"
    "Appends a signature block over the whole of FILE as it is now (an installer without its\n"
    "signature):\n"
    "  type 1  DSA over the MD5 of the file, 40-byte r||s and \"") + tzk::signature::kRawMd5Magic + "\";\n"
    "          needs a DSA 1024/160 private key\n"
    "  type 5  DSA over the SHA-256 of the file with its PE checksum taken as zero,\n"
    "          64-byte r||s and \"" + tzk::signature::kRawSha256Magic + "\"; needs a DSA 2048/256 private key\n"
    "  type 2  \"" + tzk::signature::kTextMd5Magic + "\", the MD5 of the file's bytes 0x20..0x7F in hex, \"" +
    tzk::signature::kTextMd5Magic + "\";\n"
    "          takes no key, and the stub refuses it: only with --signature-only\n\n" + std::string(
    "--key names a PKCS#8 PEM private key (\"BEGIN PRIVATE KEY\"). Signing is deterministic:\n"
    "the same file and key give the same bytes. The signed file is checked as `sfxpack verify`\n"
    "checks it, with the keys of the stub inside it (or --keys DIR), and replaces FILE only when\n"
    "the stub accepts it; otherwise FILE stays as it was.\n\n"
    "options:\n"
    "  --keys DIR          check against key1.pub.pem ... key7.pub.pem in DIR instead\n"
    "  --signature-only    sign any file, not as an installer: the result is not checked\n") +
    kQuietHelp + "\n" + CodeSigningHelp() + "\n" + kExitCodeHelp;

using tzk::signature::SignatureType;

// What sign's command line asks for.
struct Request {
  std::string typeText;
  SignatureType type = SignatureType::kRawMd5Dsa;
  std::string keyPath;  // empty only for type 2
  bool signatureOnly = false;
  CodeSigning codeSigning;
  bool authenticode = false;
};

// --type, --key, --signature-only and Authenticode's options as they go together; false with the
// usage error.
bool readRequest(const ParsedArgs& parsed, Request* r, std::string* error) {
  r->typeText = parsed.value("--type");
  if (r->typeText != "1" && r->typeText != "2" && r->typeText != "5") {
    *error = "--type must be 1, 2 or 5";
    return false;
  }
  r->type = static_cast<SignatureType>(r->typeText[0] - '0');
  r->signatureOnly = parsed.has("--signature-only");
  if (r->type == SignatureType::kTextMd5 && !r->signatureOnly) {
    *error = "type 2 carries no key and the stub refuses it; sign with type 1 or 5";
    return false;
  }
  r->keyPath = parsed.value("--key");
  if (r->type != SignatureType::kTextMd5 && r->keyPath.empty()) {
    *error = "type " + r->typeText + " needs --key PRIVATE.pem";
    return false;
  }
  if (!ReadCodeSigning(parsed, &r->codeSigning, &r->authenticode, error)) return false;
  if (r->authenticode && (r->type != SignatureType::kRawSha256Dsa || r->signatureOnly)) {
    *error = "--cert needs type 5 (type 1 digests the PE checksum, which Authenticode signing rewrites) and an "
             "installer, not --signature-only";
    return false;
  }
  return true;
}

// Whether the key can make the type's block: a key of the wrong shape is the key's fault, named
// before any work.
bool keyFits(const Request& r, const tzk::signature::DsaPrivateKey& key, std::string* error) {
  Bytes block;
  const tzk::Result made =
      tzk::signature::MakeSignatureBlock({nullptr, 0}, r.type, r.keyPath.empty() ? nullptr : &key, &block);
  if (made == tzk::code::kSuccess) return true;
  *error = KeyMismatch(key, r.type, "--type " + r.typeText);
  return false;
}

// A copy of the file a piece at a time, so that the block goes over the copy read back: bounded
// memory. kExitOk, or the exit code once reported.
int copyToStage(const std::string& file, bool quiet, StagedOutput& out) {
  ProgressMeter meter("signing " + file, quiet);
  const StagedOutput::Producer copy = [&](const Sink& sink, std::string* why) {
    return StreamWholeFile(file, sink, [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); },
                           why);
  };
  bool outputFailed = false;
  std::string error;
  if (out.WriteWith(copy, &error, &outputFailed)) return kExitOk;
  return FileError(kName, file, error, outputFailed ? kExitOutputError : kExitBadInput);
}

// The archive signature appended to the staged copy and, when asked, Authenticode's around it.
bool signStaged(const Request& r, const tzk::signature::DsaPrivateKey& key, const StagedOutput& out, std::string* error,
                int* code) {
  const FileSigner signFile = [&](const std::string& path, std::string* why) {
    const tzk::Result made =
        tzk::signature::SignFile(tzk::vocabulary::fromUtf8(path), r.type, r.keyPath.empty() ? nullptr : &key);
    if (made != tzk::code::kSuccess) *why = "cannot sign the copy (" + CodeText(made) + ")";
    return made == tzk::code::kSuccess;
  };
  *code = kExitOutputError;
  // Authenticode signing reserves its table around the archive signature, on the copy.
  return r.authenticode ? SignBoth(out.stagedPath(), signFile, r.codeSigning, error, code)
                        : signFile(out.stagedPath(), error);
}

int run(const Args& args) {
  const ParsedArgs parsed = ParseArgs(args, {"--signature-only", "--prepare", "-q", "--quiet"},
                                      Joined({"--type", "--key", "--keys"}, kCodeSigningOptions));
  if (!parsed.error.empty()) return UsageError(kName, parsed.error);
  if (parsed.positional.size() != 1) return UsageError(kName, "expected exactly one FILE");
  Request r;
  std::string error;
  if (!readRequest(parsed, &r, &error)) return UsageError(kName, error);
  const std::string& file = parsed.positional[0];
  if (!IsNoInput(file, OptionInputs(parsed, Joined({"--key", "--keys"}, kCodeSigningInputs)), &error)) {
    return UsageError(kName, error);
  }
  tzk::signature::DsaPrivateKey key;
  if (!r.keyPath.empty() && !LoadPrivateKey(r.keyPath, &key, &error)) {
    return FileError(kName, r.keyPath, error, kExitBadInput);
  }
  KeysOption keys;
  if (!ReadKeysOption(parsed, &keys, &error)) return FileError(kName, keys.folder, error, kExitBadInput);
  if (!keyFits(r, key, &error)) return FileError(kName, r.keyPath, error, kExitBadInput);
  StagedOutput out(file);
  if (const int code = copyToStage(file, WantsQuiet(parsed), out); code != kExitOk) return code;
  if (int code = kExitOk; !signStaged(r, key, out, &error, &code)) return FileError(kName, file, error, code);
  if (!r.signatureOnly) {
    std::string refusal;
    const StubVerdict v = CheckWritten(out.stagedPath(), keys.keys(), keys.folder,
                                       r.keyPath.empty() ? nullptr : &key, r.keyPath, &refusal);
    if (!v.accepted()) return FileError(kName, file, refusal, v.exit);
  }
  if (!out.Commit(&error)) return FileError(kName, file, error, kExitOutputError);
  std::printf("%s: appended a type-%d signature block%s\n", file.c_str(), tzk::signature::Number(r.type),
              r.signatureOnly ? "" : r.authenticode && r.codeSigning.prepareOnly
                  ? ", reserved the certificate table (sign it, then sfxpack seal it); accepted by the stub"
              : r.authenticode ? " and signed with osslsigncode; accepted by the stub"
                               : "; accepted by the stub");
  return kExitOk;
}

const CommandRegistration kSign({kName, "sign an installer (type 1 or 5), optionally with Authenticode too",
                                        kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
