// sfxpack build: an installer from a manifest, reproducibly.
#include <cstdio>

#include "archive/signing.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"
#include "tools/sfxpack/manifest.h"

namespace sfxpack {
namespace {

constexpr char kHelp[] =
    "usage: sfxpack build MANIFEST.json -o SETUP.exe [--stub STUB.exe] [--installer EXE] [--key PRIVATE.pem]\n\n"
    "Builds an installer: the stub, the archive data, the map, the locator, the embedded items\n"
    "and the signature, as MANIFEST.json describes them. Paths in the manifest are relative to\n"
    "its folder. The same manifest, inputs and key always give the same bytes: entry times come\n"
    "from the manifest or SOURCE_DATE_EPOCH, never from the clock.\n\n"
    "manifest keys:\n"
    "  stub          path of the stub executable (or --stub)\n"
    "  commandLine   the archive's command line for the installer (\"%TMPPATH%\" is replaced)\n"
    "  sfxName       a name stored with the archive\n"
    "  installer     {\"path\": ..., \"packer\": \"lzma\"|\"zlib\"}  extracted as instup.exe\n"
    "  files         [{\"path\": ..., \"name\": ..., \"time\": ..., \"extractionName\": ...,\n"
    "                  \"packer\": ...}]  raw entries; with an extraction name the entry is\n"
    "                  stored as a package and unpacked under that name too\n"
    "  selfDefense   [{\"path\": ..., \"platform\": \"x86\"|\"x64\"}]  self-protection drivers\n"
    "  embedded      [{\"tag\": \"ERID\"|\"EAPT\"|\"EBCF\"|\"ECFG\"|\"EBPK\", \"path\": ...}]\n"
    "  signature     {\"type\": 1|2|5, \"key\": PRIVATE.pem}  (type 2 takes no key)\n\n"
    "options:\n"
    "  -o, --output FILE   the installer to write\n"
    "  --stub FILE         use this stub instead of the manifest's\n"
    "  --installer FILE    pack this installer/updater instead of the manifest's\n"
    "  --key FILE          sign with this PKCS#8 DSA key instead of the manifest's\n";

Signer signerFor(const ManifestSignature& signature, tzk::archive::DsaPrivateKey* key) {
  return [&signature, key](Bytes* content, std::string* error) {
    Bytes block;
    const tzk::Result r = tzk::archive::MakeSignatureBlock({content->data(), content->size()}, signature.type,
                                                           signature.type == 2 ? nullptr : key, &block);
    if (r != tzk::code::kSuccess) {
      *error = "cannot sign with type " + std::to_string(signature.type) + " (code " + std::to_string(r) + ")";
      return false;
    }
    content->insert(content->end(), block.begin(), block.end());
    return true;
  };
}

int run(const Args& args) {
  const ParsedArgs a = parseArgs(args, {}, {"-o", "--output", "--stub", "--installer", "--key"});
  if (!a.error.empty()) return usageError("build", a.error);
  const std::string output = a.has("-o") ? a.value("-o") : a.value("--output");
  if (a.positional.size() != 1 || output.empty()) return usageError("build", "needs MANIFEST.json and -o SETUP.exe");

  Manifest manifest;
  std::string error;
  if (!LoadManifest(a.positional[0], {a.value("--stub"), a.value("--installer"), a.value("--key")}, &manifest, &error)) {
    return fileError("build", a.positional[0], error, kExitBadInput);
  }
  tzk::archive::DsaPrivateKey key;
  if (manifest.signature.type != 2) {
    std::string pem;
    const std::wstring keyPath = tzk::root::fromUtf8(manifest.signature.key);
    if (tzk::archive::ReadTextFile(keyPath, &pem) != tzk::code::kSuccess) {
      return fileError("build", manifest.signature.key, "cannot read the private key", kExitBadInput);
    }
    if (tzk::archive::ParsePrivateKeyPem(pem, &key) != tzk::code::kSuccess) {
      return fileError("build", manifest.signature.key, "not a PKCS#8 DSA private key", kExitBadInput);
    }
  }
  Bytes installer;
  Layout layout;
  if (!BuildInstaller(manifest.plan, signerFor(manifest.signature, &key), &installer, &layout, &error)) {
    return fileError("build", a.positional[0], error, kExitBadInput);
  }
  if (!WriteWholeFile(output, installer, &error)) return fileError("build", output, error, kExitOutputError);
  std::printf("%s: %zu bytes, %zu files, signature type %d, content %u bytes\n", output.c_str(), installer.size(),
              manifest.plan.files.size(), manifest.signature.type, layout.contentLength);
  return kExitOk;
}

const CommandRegistration kBuild({"build", "build an installer from a JSON manifest", kHelp, run});

}  // namespace
}  // namespace sfxpack
