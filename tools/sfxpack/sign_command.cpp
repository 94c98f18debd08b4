// sfxpack sign: appends a signature block to a file.
#include <cstdio>
#include <string>

#include "archive/signature.h"
#include "archive/signing.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "sign";

int Run(const Args& args) {
  const ParsedArgs parsed = parseArgs(args, {}, {"--type", "--key"});
  if (!parsed.error.empty()) return usageError(kName, parsed.error);
  if (parsed.positional.size() != 1) return usageError(kName, "expected exactly one FILE");
  const std::string typeText = parsed.value("--type");
  if (typeText != "1" && typeText != "2" && typeText != "5") return usageError(kName, "--type must be 1, 2 or 5");
  const int type = typeText[0] - '0';
  const std::string keyPath = parsed.value("--key");
  if (type != tzk::archive::signature_type::kTextMd5 && keyPath.empty()) {
    return usageError(kName, "type " + typeText + " needs --key PRIVATE.pem");
  }

  tzk::archive::DsaPrivateKey key;
  if (!keyPath.empty()) {
    std::string pem;
    if (tzk::archive::ReadTextFile(tzk::root::fromUtf8(keyPath), &pem) != tzk::code::kSuccess) {
      return fileError(kName, keyPath, "cannot read the key", kExitBadInput);
    }
    if (tzk::archive::ParsePrivateKeyPem(pem, &key) != tzk::code::kSuccess) {
      return fileError(kName, keyPath, "not a PKCS#8 DSA private key", kExitBadInput);
    }
  }

  const std::string& file = parsed.positional[0];
  const tzk::Result result =
      tzk::archive::SignFile(tzk::root::fromUtf8(file), type, keyPath.empty() ? nullptr : &key);
  switch (result) {
    case tzk::code::kSuccess:
      std::printf("%s: appended a type-%d signature block\n", file.c_str(), type);
      return kExitOk;
    case tzk::code::kInvalidData:
      return fileError(kName, keyPath, type == 1 ? "type 1 needs a DSA 1024/160 key" : "type 5 needs a DSA 2048/256 key",
                       kExitBadInput);
    case tzk::code::kFileNotFound:
    case tzk::code::kFileInvalid:
      return fileError(kName, file, "cannot read the file (or it is 4 GiB or larger)", kExitBadInput);
    default:
      return fileError(kName, file, "cannot append the signature block", kExitOutputError);
  }
}

const CommandRegistration registration({
    kName,
    "append a signature block (type 1, 2 or 5) to a file",
    "usage: sfxpack sign --type 1|2|5 [--key PRIVATE.pem] FILE\n\n"
    "Appends a signature block over the whole of FILE as it is now:\n"
    "  type 1  DSA over the MD5 of the file, 40-byte r||s and \"TZKSignd\";\n"
    "          needs a DSA 1024/160 private key\n"
    "  type 5  DSA over the SHA-256 of the file with its PE checksum taken as zero,\n"
    "          64-byte r||s and \"TZKSig2B\"; needs a DSA 2048/256 private key\n"
    "  type 2  \"TZK_MD5a\", the MD5 of the file's bytes 0x20..0x7F in hex, \"TZK_MD5a\";\n"
    "          takes no key\n\n"
    "--key names a PKCS#8 PEM private key (\"BEGIN PRIVATE KEY\"). Signing is deterministic:\n"
    "the same file and key give the same bytes.\n\n"
    "exit codes: 0 signed, 2 usage error, 3 the file or key cannot be read or the key does not\n"
    "fit the type, 4 the block could not be written\n",
    Run,
});

}  // namespace
}  // namespace sfxpack
