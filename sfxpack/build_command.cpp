// sfxpack build: an installer from a manifest, reproducibly, and only one the stub accepts.
#include <cstdio>

#include "archive/format.h"
#include "signature/signing/signing.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "sfxpack/keys.h"
#include "sfxpack/manifest.h"
#include "sfxpack/progress_meter.h"
#include "vocabulary/text.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "build";
constexpr tzk::signature::SignatureType kTextMd5 = tzk::signature::SignatureType::kTextMd5;

const std::string kHelp = std::string(
    "usage: sfxpack build MANIFEST.json -o SETUP.exe [--stub STUB.exe] [--installer EXE] [--key PRIVATE.pem]\n"
    "                     [--keys DIR] [--json] [-q] [--cert CERT.pem --cert-key KEY.pem | --prepare]\n"
    "                     [--signing-time SECS] [--timestamp URL] [--reserve BYTES]\n\n"
    "Builds an installer: the stub, the archive data, the map, the locator, the embedded items\n"
    "and the signature, as MANIFEST.json describes them. Paths in the manifest are relative to\n"
    "its folder. The same manifest, inputs and key always give the same bytes: entry times come\n"
    "from the manifest or SOURCE_DATE_EPOCH, never from the clock.\n\n"
    "The result is checked as `sfxpack verify` checks it, with the keys of the stub it carries;\n"
    "one the stub would refuse (a key it does not trust, the keyless type 2, a broken stub) is\n"
    "not written, and SETUP.exe stays as it was. SETUP.exe is replaced only when complete.\n\n"
    "manifest keys:\n"
    "  stub          path of the stub executable (or --stub)\n"
    "  commandLine   the archive's command line for the installer (\"%TMPPATH%\" is replaced)\n"
    "  sfxName       a name stored with the archive\n"
    "  installer     {\"path\": ..., \"packer\": \"lzma\"|\"zlib\"}  extracted as ") +
    tzk::vocabulary::toUtf8(tzk::archive::kInstallerFileName) + "\n" +
    std::string(
    "  files         [{\"path\": ..., \"name\": ..., \"time\": ..., \"extractionName\": ...,\n"
    "                  \"packer\": ...}]  raw entries; with an extraction name the entry is\n"
    "                  stored as a package and unpacked under that name too\n"
    "  selfDefense   [{\"path\": ..., \"platform\": \"x86\"|\"x64\", \"time\": ...}]  self-protection\n"
    "                  drivers\n"
    "  embedded      [{\"tag\": \"ERID\"|\"EAPT\"|\"EBCF\"|\"ECFG\"|\"EBPK\", \"path\": ...}]\n"
    "  signature     {\"type\": 1|5, \"key\": PRIVATE.pem}\n"
    "Every \"time\" is seconds since 1970 (UTC); without one SOURCE_DATE_EPOCH is used.\n\n"
    "options:\n"
    "  -o, --output FILE   the installer to write; none of the inputs\n"
    "  --stub FILE         use this stub instead of the manifest's\n"
    "  --installer FILE    pack this installer/updater instead of the manifest's\n"
    "  --key FILE          sign with this PKCS#8 DSA key instead of the manifest's\n"
    "  --keys DIR          check the result against key1.pub.pem ... key7.pub.pem in DIR instead\n"
    "                      of the stub's own key table (which may then be missing; the stub must\n"
    "                      still be the stub)\n"
    "  --json              print one JSON object: \"ok\", what was written, \"error\" {code, message}\n") +
    kQuietHelp + "\n" + CodeSigningHelp() + "\n" + kExitCodeHelp;

Signer signerFor(const ManifestSignature& signature, const tzk::signature::DsaPrivateKey* key) {
  return [&signature, key](Bytes* content, std::string* error) {
    Bytes block;
    const tzk::Result r = tzk::signature::MakeSignatureBlock({content->data(), content->size()}, signature.type,
                                                           signature.type == kTextMd5 ? nullptr : key, &block);
    if (r != tzk::code::kSuccess) {
      *error = signature.type == kTextMd5 ? "cannot sign with type 2"
                                   : KeyMismatch(*key, signature.type, signature.typeSource);
      return false;
    }
    content->insert(content->end(), block.begin(), block.end());
    return true;
  };
}

// Streams the unsigned content to the staged file: memory stays bounded whatever the entries'
// sizes.
bool writeContent(const Manifest& manifest, ProgressMeter& meter, StagedOutput& out, std::string* error, int* code) {
  const StagedOutput::Producer content = [&](const Sink& sink, std::string* why) {
    return tzk::archive::WriteInstallerContent(manifest.plan, sink,
                                               [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); },
                                               nullptr, why);
  };
  bool outputFailed = false;
  if (out.WriteWith(content, error, &outputFailed)) return true;
  *code = outputFailed ? kExitOutputError : kExitBadInput;
  return false;
}

// Appends the signature to the written file, computed by reading it back a piece at a time.
FileSigner fileSignerFor(const ManifestSignature& signature, const tzk::signature::DsaPrivateKey& key) {
  return [&signature, &key](const std::string& path, std::string* error) {
    const tzk::Result r = tzk::signature::SignFile(tzk::vocabulary::fromUtf8(path), signature.type,
                                                 signature.type == kTextMd5 ? nullptr : &key);
    if (r == tzk::code::kSuccess) return true;
    *error = "cannot sign the written file (" + CodeText(r) + ")";
    return false;
  };
}

// How build reports a failure: the one line, and with --json the object that carries it.
struct Failure {
  bool json;
  nlohmann::json d;
  int operator()(const std::string& file, const std::string& message, int code) const {
    return json ? FinishJson(kName, d, code, file, message) : FileError(kName, file, message, code);
  }
};

// The manifest and every input it names, none of them the output, and the key to sign with,
// whose shape is the key's fault named before any work. kExitOk, or the exit code once reported.
int readInputs(const ParsedArgs& a, const std::string& output, bool authenticode, const Failure& fail,
               Manifest* manifest, tzk::signature::DsaPrivateKey* key) {
  std::string error;
  if (!LoadManifest(a.positional[0], {a.value("--stub"), a.value("--installer"), a.value("--key"), a.has("--keys")},
                    manifest, &error)) {
    const std::size_t colon = error.find(": ");
    return fail(error.substr(0, colon), error.substr(colon + 2), kExitBadInput);
  }
  std::vector<NamedInput> inputs = OptionInputs(a, Joined({"--keys"}, kCodeSigningInputs));
  inputs.insert(inputs.end(), manifest->inputs.begin(), manifest->inputs.end());
  if (!IsNoInput(output, inputs, &error)) return UsageErrorJson(kName, error, fail.json);
  const ManifestSignature& signature = manifest->signature;
  if (authenticode && signature.type != tzk::signature::SignatureType::kRawSha256Dsa) {
    return UsageErrorJson(kName, "--cert needs signature type 5: type " +
                                     std::to_string(tzk::signature::Number(signature.type)) +
                                     (signature.type == tzk::signature::SignatureType::kRawMd5Dsa
                                          ? " digests the PE checksum, which Authenticode signing rewrites"
                                          : " carries no key"),
                          fail.json);
  }
  if (signature.type == kTextMd5) return kExitOk;
  if (!LoadPrivateKey(signature.key, key, &error)) return fail(signature.key, error, kExitBadInput);
  Bytes probe;  // a key of the wrong shape is the key's fault, named before any work
  if (!signerFor(signature, key)(&probe, &error)) return fail(signature.key, error, kExitBadInput);
  return kExitOk;
}

// The content written to the staged file and signed there, with Authenticode too when asked.
// kExitOk, or the exit code once reported.
int writeSigned(const ParsedArgs& a, const std::string& output, const Manifest& manifest,
                const tzk::signature::DsaPrivateKey& key, const CodeSigning* codeSigning, const Failure& fail,
                StagedOutput& out) {
  std::string error;
  {
    int code = kExitOk;
    ProgressMeter meter("building " + output, fail.json || WantsQuiet(a));
    if (!writeContent(manifest, meter, out, &error, &code)) {
      return fail(code == kExitBadInput ? a.positional[0] : output, error, code);
    }
  }
  const FileSigner signFile = fileSignerFor(manifest.signature, key);
  int code = kExitOutputError;
  // Authenticode signing reserves its table around the archive signature, on the written file.
  if (codeSigning != nullptr ? !SignBoth(out.stagedPath(), signFile, *codeSigning, &error, &code)
                             : !signFile(out.stagedPath(), &error)) {
    return fail(output, error, code);
  }
  return kExitOk;
}

// What was written, in JSON or as the lines of text.
int reportBuilt(const std::string& output, const Manifest& manifest, const StubVerdict& v,
                const CodeSigning* codeSigning, bool json, nlohmann::json d) {
  std::uint32_t tableOffset = 0, tableSize = 0;
  const bool table = codeSigning != nullptr && ReadSecurityDirectory(output, &tableOffset, &tableSize);
  if (json) {
    d.update(VerdictJson(v));
    d["files"] = manifest.plan.files.size();
    if (codeSigning != nullptr) {
      d["authenticode"] = {
          {"signed", !codeSigning->prepareOnly}, {"tableOffset", tableOffset}, {"tableSize", tableSize}};
    }
    return FinishJson(kName, d, kExitOk, output, "");
  }
  std::printf("%s: %zu files, signature type %d with key %d, content %llu bytes; accepted by the stub\n", output.c_str(),
              manifest.plan.files.size(), tzk::signature::Number(manifest.signature.type), v.keyIndex,
              static_cast<unsigned long long>(v.contentLength));
  if (table) {
    std::printf("%s: certificate table of %u bytes at %u %s\n", output.c_str(), tableSize, tableOffset,
                codeSigning->prepareOnly ? "reserved: sign it with your Authenticode tool, then sfxpack seal it"
                                         : "signed with osslsigncode, with room for the tail block");
  }
  return kExitOk;
}

int run(const Args& args) {
  const bool json = WantsJson(args);
  const ParsedArgs a =
      ParseArgs(args, {"--json", "--prepare", "-q", "--quiet"},
                Joined({"-o", "--output", "--stub", "--installer", "--key", "--keys"}, kCodeSigningOptions));
  if (!a.error.empty()) return UsageErrorJson(kName, a.error, json);
  const std::string output = a.has("-o") ? a.value("-o") : a.value("--output");
  if (a.positional.size() != 1 || output.empty()) return UsageErrorJson(kName, "needs MANIFEST.json and -o SETUP.exe", json);
  CodeSigning codeSigning;
  bool authenticode = false;
  std::string error;
  if (!ReadCodeSigning(a, &codeSigning, &authenticode, &error)) return UsageErrorJson(kName, error, json);
  const Failure fail{json, {{"file", output}}};
  KeysOption keys;
  if (!ReadKeysOption(a, &keys, &error)) return fail(keys.folder, error, kExitBadInput);
  Manifest manifest;
  tzk::signature::DsaPrivateKey key;
  if (const int code = readInputs(a, output, authenticode, fail, &manifest, &key); code != kExitOk) return code;
  StagedOutput out(output);
  const CodeSigning* signing = authenticode ? &codeSigning : nullptr;
  if (const int code = writeSigned(a, output, manifest, key, signing, fail, out); code != kExitOk) return code;
  std::string refusal;
  StubVerdict v;
  {
    ProgressMeter checking("checking " + output, json || WantsQuiet(a));
    v = CheckWritten(out.stagedPath(), keys.keys(), keys.folder,
                     manifest.signature.type == kTextMd5 ? nullptr : &key, manifest.signature.key, &refusal,
                     [&checking](std::uint64_t done, std::uint64_t total) { checking.update(done, total); });
  }
  if (!v.accepted()) return fail(output, refusal, v.exit);
  if (!out.Commit(&error)) return fail(output, error, kExitOutputError);
  return reportBuilt(output, manifest, v, signing, json, fail.d);
}

const CommandRegistration kBuild({kName, "build an installer from a JSON manifest", kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
