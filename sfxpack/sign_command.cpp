// sfxpack sign: appends a signature block to an unsigned installer, and keeps the result only
// when the stub accepts it.
#include <cstdio>
#include <string>

#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "vocabulary/text.h"
#include "sfxpack/manifest.h"
#include "sfxpack/progress_meter.h"
#include "sfxpack/stub_check.h"

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
    "  type 1  DSA over the MD5 of the file, 40-byte r||s and \"") + tzk::archive::kRawMd5Magic + "\";\n"
    "          needs a DSA 1024/160 private key\n"
    "  type 5  DSA over the SHA-256 of the file with its PE checksum taken as zero,\n"
    "          64-byte r||s and \"" + tzk::archive::kRawSha256Magic + "\"; needs a DSA 2048/256 private key\n"
    "  type 2  \"" + tzk::archive::kTextMd5Magic + "\", the MD5 of the file's bytes 0x20..0x7F in hex, \"" +
    tzk::archive::kTextMd5Magic + "\";\n"
    "          takes no key, and the stub refuses it: only with --signature-only\n\n" + std::string(
    "--key names a PKCS#8 PEM private key (\"BEGIN PRIVATE KEY\"). Signing is deterministic:\n"
    "the same file and key give the same bytes. The signed file is checked as `sfxpack verify`\n"
    "checks it, with the keys of the stub inside it (or --keys DIR), and replaces FILE only when\n"
    "the stub accepts it; otherwise FILE stays as it was.\n\n"
    "options:\n"
    "  --keys DIR          check against key1.pub.pem ... key7.pub.pem in DIR instead\n"
    "  --signature-only    sign any file, not as an installer: the result is not checked\n") +
    kQuietHelp + "\n" + CodeSigningHelp() + "\n" + kExitCodeHelp;

int run(const Args& args) {
  const ParsedArgs parsed = ParseArgs(args, {"--signature-only", "--prepare", "-q", "--quiet"},
                                      [] {
                                        std::vector<std::string> v = {"--type", "--key", "--keys"};
                                        v.insert(v.end(), kCodeSigningOptions.begin(), kCodeSigningOptions.end());
                                        return v;
                                      }());
  if (!parsed.error.empty()) return UsageError(kName, parsed.error);
  if (parsed.positional.size() != 1) return UsageError(kName, "expected exactly one FILE");
  const std::string typeText = parsed.value("--type");
  if (typeText != "1" && typeText != "2" && typeText != "5") return UsageError(kName, "--type must be 1, 2 or 5");
  using tzk::archive::SignatureType;
  const auto type = static_cast<SignatureType>(typeText[0] - '0');
  const bool signatureOnly = parsed.has("--signature-only");
  if (type == SignatureType::kTextMd5 && !signatureOnly) {
    return UsageError(kName, "type 2 carries no key and the stub refuses it; sign with type 1 or 5");
  }
  const std::string keyPath = parsed.value("--key");
  if (type != SignatureType::kTextMd5 && keyPath.empty()) {
    return UsageError(kName, "type " + typeText + " needs --key PRIVATE.pem");
  }
  CodeSigning codeSigning;
  bool authenticode = false;
  std::string error;
  if (!ReadCodeSigning(parsed, &codeSigning, &authenticode, &error)) return UsageError(kName, error);
  if (authenticode && (type != SignatureType::kRawSha256Dsa || signatureOnly)) {
    return UsageError(kName, "--cert needs type 5 (type 1 digests the PE checksum, which Authenticode signing "
                             "rewrites) and an installer, not --signature-only");
  }

  const std::string& file = parsed.positional[0];
  const std::vector<NamedInput> inputs =
      OptionInputs(parsed, {"--key", "--keys", "--cert", "--cert-key", "--test-tsa-certs", "--test-tsa-key"});
  if (!IsNoInput(file, inputs, &error)) return UsageError(kName, error);

  tzk::archive::DsaPrivateKey key;
  if (!keyPath.empty() && !LoadPrivateKey(keyPath, &key, &error)) return FileError(kName, keyPath, error, kExitBadInput);
  tzk::archive::LoadedKeys loaded;
  tzk::archive::KeySet given{};
  const std::string folder = parsed.value("--keys");
  if (parsed.has("--keys")) {
    if (!LoadKeyFolder(folder, &loaded, &error)) return FileError(kName, folder, error, kExitBadInput);
    given = loaded.keys();
  }

  const Signer sign = [&](Bytes* bytes, std::string* why) {
    Bytes block;
    const tzk::Result made =
        tzk::archive::MakeSignatureBlock({bytes->data(), bytes->size()}, type, keyPath.empty() ? nullptr : &key, &block);
    if (made != tzk::code::kSuccess) {
      *why = KeyMismatch(key, type, "--type " + typeText);
      return false;
    }
    bytes->insert(bytes->end(), block.begin(), block.end());
    return true;
  };

  Bytes probe;  // a key of the wrong shape is the key's fault, named before any work
  if (!sign(&probe, &error)) return FileError(kName, keyPath, error, kExitBadInput);

  // A copy a piece at a time, then the block over the copy read back: bounded memory.
  StagedOutput out(file);
  {
    ProgressMeter meter("signing " + file, WantsQuiet(parsed));
    const StagedOutput::Producer copy = [&](const Sink& sink, std::string* why) {
      return StreamWholeFile(file, sink, [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); },
                             why);
    };
    bool outputFailed = false;
    if (!out.WriteWith(copy, &error, &outputFailed)) {
      return FileError(kName, file, error, outputFailed ? kExitOutputError : kExitBadInput);
    }
  }
  const FileSigner signFile = [&](const std::string& path, std::string* why) {
    const tzk::Result r = tzk::archive::SignFile(tzk::vocabulary::fromUtf8(path), type, keyPath.empty() ? nullptr : &key);
    if (r != tzk::code::kSuccess) *why = "cannot sign the copy (" + CodeText(r) + ")";
    return r == tzk::code::kSuccess;
  };
  int code = kExitOutputError;
  // Authenticode signing reserves its table around the archive signature, on the copy.
  if (authenticode ? !SignBoth(out.stagedPath(), signFile, codeSigning, &error, &code) : !signFile(out.stagedPath(), &error)) {
    return FileError(kName, file, error, code);
  }
  if (!signatureOnly) {
    std::string refusal;
    const StubVerdict v = CheckWritten(out.stagedPath(), parsed.has("--keys") ? &given : nullptr, folder,
                                       keyPath.empty() ? nullptr : &key, keyPath, &refusal);
    if (!v.accepted()) return FileError(kName, file, refusal, v.exit);
  }
  if (!out.Commit(&error)) return FileError(kName, file, error, kExitOutputError);
  std::printf("%s: appended a type-%d signature block%s\n", file.c_str(), tzk::archive::Number(type),
              signatureOnly ? "" : authenticode && codeSigning.prepareOnly
                  ? ", reserved the certificate table (sign it, then sfxpack seal it); accepted by the stub"
              : authenticode ? " and signed with osslsigncode; accepted by the stub"
                             : "; accepted by the stub");
  return kExitOk;
}

const CommandRegistration kSign({kName, "sign an installer (type 1 or 5), optionally with Authenticode too",
                                        kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
