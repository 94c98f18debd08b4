// sfxpack build: an installer from a manifest, reproducibly, and only one the stub accepts.
#include <cstdio>

#include "archive/format.h"
#include "signature/signing/signing.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "sfxpack/manifest.h"
#include "sfxpack/progress_meter.h"
#include "sfxpack/stub_check.h"
#include "vocabulary/text.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "build";
constexpr tzk::archive::SignatureType kTextMd5 = tzk::archive::SignatureType::kTextMd5;

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

Signer signerFor(const ManifestSignature& signature, tzk::archive::DsaPrivateKey* key) {
  return [&signature, key](Bytes* content, std::string* error) {
    Bytes block;
    const tzk::Result r = tzk::archive::MakeSignatureBlock({content->data(), content->size()}, signature.type,
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
FileSigner fileSignerFor(const ManifestSignature& signature, const tzk::archive::DsaPrivateKey& key) {
  return [&signature, &key](const std::string& path, std::string* error) {
    const tzk::Result r = tzk::archive::SignFile(tzk::vocabulary::fromUtf8(path), signature.type,
                                                 signature.type == kTextMd5 ? nullptr : &key);
    if (r == tzk::code::kSuccess) return true;
    *error = "cannot sign the written file (" + CodeText(r) + ")";
    return false;
  };
}

int run(const Args& args) {
  const bool json = WantsJson(args);
  const ParsedArgs a = ParseArgs(args, {"--json", "--prepare", "-q", "--quiet"},
                                 [] {
                                   std::vector<std::string> v = {"-o", "--output", "--stub", "--installer", "--key", "--keys"};
                                   v.insert(v.end(), kCodeSigningOptions.begin(), kCodeSigningOptions.end());
                                   return v;
                                 }());
  if (!a.error.empty()) return UsageErrorJson(kName, a.error, json);
  const std::string output = a.has("-o") ? a.value("-o") : a.value("--output");
  if (a.positional.size() != 1 || output.empty()) return UsageErrorJson(kName, "needs MANIFEST.json and -o SETUP.exe", json);
  CodeSigning codeSigning;
  bool authenticode = false;
  std::string error;
  if (!ReadCodeSigning(a, &codeSigning, &authenticode, &error)) return UsageErrorJson(kName, error, json);
  nlohmann::json d = {{"file", output}};
  auto fail = [&](const std::string& file, const std::string& message, int code) {
    return json ? FinishJson(kName, d, code, file, message) : FileError(kName, file, message, code);
  };

  tzk::archive::LoadedKeys loaded;
  tzk::archive::KeySet given{};
  const std::string folder = a.value("--keys");
  if (a.has("--keys")) {
    if (!LoadKeyFolder(folder, &loaded, &error)) return fail(folder, error, kExitBadInput);
    given = loaded.keys();
  }
  Manifest manifest;
  if (!LoadManifest(a.positional[0], {a.value("--stub"), a.value("--installer"), a.value("--key"), a.has("--keys")},
                    &manifest, &error)) {
    const std::size_t colon = error.find(": ");
    return fail(error.substr(0, colon), error.substr(colon + 2), kExitBadInput);
  }
  std::vector<NamedInput> inputs =
      OptionInputs(a, {"--keys", "--cert", "--cert-key", "--test-tsa-certs", "--test-tsa-key"});
  inputs.insert(inputs.end(), manifest.inputs.begin(), manifest.inputs.end());
  if (!IsNoInput(output, inputs, &error)) return UsageErrorJson(kName, error, json);
  if (authenticode && manifest.signature.type != tzk::archive::SignatureType::kRawSha256Dsa) {
    return UsageErrorJson(kName, "--cert needs signature type 5: type " +
                                     std::to_string(tzk::archive::Number(manifest.signature.type)) +
                                     (manifest.signature.type == tzk::archive::SignatureType::kRawMd5Dsa
                                          ? " digests the PE checksum, which Authenticode signing rewrites"
                                          : " carries no key"),
                          json);
  }
  tzk::archive::DsaPrivateKey key;
  if (manifest.signature.type != kTextMd5 && !LoadPrivateKey(manifest.signature.key, &key, &error)) {
    return fail(manifest.signature.key, error, kExitBadInput);
  }
  const Signer sign = signerFor(manifest.signature, &key);
  Bytes probe;  // a key of the wrong shape is the key's fault, named before any work
  if (manifest.signature.type != kTextMd5 && !sign(&probe, &error))
    return fail(manifest.signature.key, error, kExitBadInput);
  StagedOutput out(output);
  {
    int code = kExitOk;
    ProgressMeter meter("building " + output, json || WantsQuiet(a));
    if (!writeContent(manifest, meter, out, &error, &code)) {
      return fail(code == kExitBadInput ? a.positional[0] : output, error, code);
    }
  }
  const FileSigner signFile = fileSignerFor(manifest.signature, key);
  int code = kExitOutputError;
  // Authenticode signing reserves its table around the archive signature, on the written file.
  if (authenticode ? !SignBoth(out.stagedPath(), signFile, codeSigning, &error, &code) : !signFile(out.stagedPath(), &error)) {
    return fail(output, error, code);
  }
  std::string refusal;
  StubVerdict v;
  {
    ProgressMeter checking("checking " + output, json || WantsQuiet(a));
    v = CheckWritten(out.stagedPath(), a.has("--keys") ? &given : nullptr, folder,
                     manifest.signature.type == kTextMd5 ? nullptr : &key, manifest.signature.key, &refusal,
                     [&checking](std::uint64_t done, std::uint64_t total) { checking.update(done, total); });
  }
  if (!v.accepted()) return fail(output, refusal, v.exit);
  if (!out.Commit(&error)) return fail(output, error, kExitOutputError);

  std::uint32_t tableOffset = 0, tableSize = 0;
  const bool table = authenticode && ReadSecurityDirectory(output, &tableOffset, &tableSize);
  if (json) {
    d.update(VerdictJson(v));
    d["files"] = manifest.plan.files.size();
    if (authenticode) {
      d["authenticode"] = {{"signed", !codeSigning.prepareOnly}, {"tableOffset", tableOffset}, {"tableSize", tableSize}};
    }
    return FinishJson(kName, d, kExitOk, output, "");
  }
  std::printf("%s: %zu files, signature type %d with key %d, content %llu bytes; accepted by the stub\n", output.c_str(),
              manifest.plan.files.size(), tzk::archive::Number(manifest.signature.type), v.keyIndex,
              static_cast<unsigned long long>(v.contentLength));
  if (table) {
    std::printf("%s: certificate table of %u bytes at %u %s\n", output.c_str(), tableSize, tableOffset,
                codeSigning.prepareOnly ? "reserved: sign it with your Authenticode tool, then sfxpack seal it"
                                                 : "signed with osslsigncode, with room for the tail block");
  }
  return kExitOk;
}

const CommandRegistration kBuild({kName, "build an installer from a JSON manifest", kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
