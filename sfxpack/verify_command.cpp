// sfxpack verify: would the stub accept this installer? Asked with the stub's own loading rules
// and the keys of the stub inside the file, not with the keys compiled into sfxpack.
#include <cstdio>
#include <string>

#include "archive/sfx_archive.h"
#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "vocabulary/text.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "sfxpack/progress_meter.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "verify";

// Only the signature block against a key folder, for files that are no installer (tests of the
// DSA arithmetic against other tools); says nothing about whether a stub would load the file.
int signatureOnly(const std::string& file, const tzk::signature::LoadedKeys& keys, const std::string& folder) {
  const std::wstring path = tzk::vocabulary::fromUtf8(file);
  tzk::signature::SignatureType found = tzk::signature::SignatureType::kRawMd5Dsa;
  int key = 0;
  std::uint64_t offset = 0;
  if (!tzk::signature::LocateSignature(path.c_str(), tzk::signature::LookupMode::kArchive, nullptr, &found, &offset)) {
    return FileError(kName, file, "no signature block found", kExitBadInput);
  }
  if (!tzk::signature::VerifySignatureWithKeys(path.c_str(), tzk::archive::VerifyModeFor(found), keys.keys(), &key)) {
    return FileError(kName, file,
                     "the type-" + std::to_string(tzk::signature::Number(found)) +
                         " signature does not verify with the keys in " + folder,
                     kExitCheckFailed);
  }
  std::printf("%s: signature type %d verified with key %d (signature only: not whether a stub accepts the file)\n",
              file.c_str(), tzk::signature::Number(found), key);
  return kExitOk;
}

// Why the code signature fails --require-code-signature; empty when its table is sound and the
// image digest it signs matches the file.
std::string codeSignatureFault(const CodeSignatureReport& code) {
  if (code.sound && code.digestMatches) return std::string();
  if (!code.problem.empty()) return code.problem;
  if (code.reserved) return "its certificate table is only reserved, not signed yet";
  if (!code.table) return "it has no certificate table";
  return "the image digest its PKCS#7 signs does not match the file";
}

int run(const Args& args) {
  const bool json = WantsJson(args);
  const ParsedArgs parsed =
      ParseArgs(args, {"--json", "--signature-only", "--require-code-signature", "-q", "--quiet"}, {"--keys"});
  if (!parsed.error.empty()) return UsageErrorJson(kName, parsed.error, json);
  if (parsed.positional.size() != 1) return UsageErrorJson(kName, "expected exactly one FILE", json);
  const std::string& file = parsed.positional[0];

  KeysOption keys;
  if (std::string error; !ReadKeysOption(parsed, &keys, &error)) {
    return FinishJson(kName, {{"file", file}}, kExitBadInput, keys.folder, error);
  }
  if (parsed.has("--signature-only")) {
    if (!parsed.has("--keys") || json || parsed.has("--require-code-signature")) {
      return UsageError(kName, "--signature-only needs --keys DIR and takes neither --json nor --require-code-signature");
    }
    return signatureOnly(file, keys.loaded, keys.folder);
  }

  StubVerdict v;
  tzk::archive::SfxArchive archive;
  {
    ProgressMeter meter("verifying " + file, json || WantsQuiet(parsed));
    v = CheckAsStub(file, &archive, keys.keys(), keys.folder,
                    [&meter](std::uint64_t done, std::uint64_t total) { meter.update(done, total); });
  }
  // The code signature is reported beside the stub's verdict; the exit code stays the stub's
  // unless the code signature is required too.
  const CodeSignatureReport code = v.readable ? InspectCodeSignatureOf(archive, file) : CodeSignatureReport{};
  const std::string fault = parsed.has("--require-code-signature") ? codeSignatureFault(code) : std::string();
  const int exit = v.accepted() && !fault.empty() ? static_cast<int>(kExitCheckFailed) : v.exit;
  const std::string message = !v.accepted()   ? v.message()
                              : fault.empty() ? std::string()
                                              : "accepted by the stub, but the code signature fails: " + fault;
  const ItemsBlock items = v.accepted() ? StubItemsBlock(archive) : ItemsBlock::kNone;
  if (json) {
    nlohmann::json d = VerdictJson(v);
    d["file"] = file;
    if (v.accepted()) d["itemsBlock"] = ItemsBlockName(items);
    if (code.readable) d["codeSignature"] = CodeSignatureJson(code);
    return FinishJson(kName, d, exit, file, message);
  }
  if (!v.accepted()) {
    if (code.readable) std::fputs(CodeSignatureText(code).c_str(), stdout);
    return FileError(kName, file, message, exit);
  }
  std::printf("%s: accepted: signature type %d verified with key %d (%s) of %s; content %llu bytes%s\n", file.c_str(),
              tzk::signature::Number(*v.type), v.keyIndex, v.keyFingerprint.c_str(), v.keySource.c_str(),
              static_cast<unsigned long long>(v.contentLength),
              v.authenticodeTable ? "; an Authenticode certificate table follows"
              : v.tableReserved   ? "; room is reserved for an Authenticode certificate table"
                                  : "");
  std::printf("items block the stub reads: %s\n", ItemsBlockName(items));
  if (code.readable) std::fputs(CodeSignatureText(code).c_str(), stdout);
  return exit == kExitOk ? kExitOk : FileError(kName, file, message, exit);
}

const CommandRegistration kVerify({
    kName,
    "check that the stub would accept an installer",
    "usage: sfxpack verify FILE [--keys DIR] [--json] [-q] [--require-code-signature]\n"
    "       sfxpack verify FILE --keys DIR --signature-only\n\n"
    "Runs the stub's own loading rules on FILE and says \"accepted\" only when the stub would load\n"
    "it: the signature block is found (in front of an Authenticode certificate table, if there is\n"
    "one), its type is one the stub takes (1 or 5; the keyless type 2 and the text types 0 and 4\n"
    "are refused), it verifies with a key the stub trusts, the container and its map load, and\n"
    "the installer record holds a package that unpacks. It says which block the stub reads the\n"
    "items from: \"embedded\" (the embedded-data block), \"tail\" (the tail block, read only when\n"
    "there is no valid embedded-data block) or \"none\".\n\n"
    "It also reports the Authenticode side, which changes neither the verdict nor the exit code\n"
    "unless --require-code-signature asks for it too:\n"
    "whether a certificate table is there (and ends the file), whether its PKCS#7 parses, whether\n"
    "the image digest it signs matches the file, the signer's subject, whether a timestamp is\n"
    "attached, the room for the tail block and its size, and whether the table passes the\n"
    "padding check (nothing but up to 7 zero bytes after the PKCS#7). Whether the signer's chain\n"
    "is trusted and the PKCS#7's own signature holds is osslsigncode's job:\n"
    "  osslsigncode verify -CAfile CA.pem -in FILE\n\n"
    "The trusted keys are those of the stub inside FILE, read from the key table compiled into\n"
    "it. Keys are named by index and fingerprint: the first 16 hex digits of the SHA-256 of the\n"
    "public key's DER form (openssl pkey -pubin -in KEY.pub.pem -outform DER | sha256sum).\n\n"
    "options:\n"
    "  --keys DIR          check against key1.pub.pem ... key7.pub.pem in DIR instead (key 4 is\n"
    "                      not used)\n"
    "  --json              print one JSON object: \"ok\", \"accepted\", the signature's type,\n"
    "                      offset and content length, the keys, \"itemsBlock\", \"codeSignature\"\n"
    "                      {table (present, reserved, truncated or none), sound, tableOffset,\n"
    "                      tableSize, tableEndsFile, pkcs7Parses, digestMatches, digestAlgorithm,\n"
    "                      signer, timestamp, tailRoom, tailRoomSize, paddingCheck, problem; null\n"
    "                      where not checked} and \"error\" {code, message}\n"
    "  --require-code-signature\n"
    "                      exit 1 also when the stub accepts FILE but its code signature fails:\n"
    "                      the table must be sound (its PKCS#7 parses, it ends the file, it passes\n"
    "                      the padding check) and the image digest must match. Chain trust is\n"
    "                      still osslsigncode's to judge\n"
    "  --signature-only    check only the signature block against --keys DIR, for files that\n"
    "                      are no installer; says nothing about whether a stub accepts the file\n"
    "  -q, --quiet         no progress on stderr (shown only when stderr is a terminal)\n\n"
    "exit codes: 0 accepted; 1 refused for its signature type, keys or signature (or, with\n"
    "--require-code-signature, for its code signature); 2 usage error;\n"
    "3 FILE or DIR missing or unreadable, or no installer: no signature block, or the stub's\n"
    "loader refuses the archive (its code and text are shown)\n",
    run,
});

}  // namespace
}  // namespace sfxpack
