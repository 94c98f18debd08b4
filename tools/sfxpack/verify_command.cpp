// sfxpack verify: checks a file's signature block as the stub does.
#include <cstdio>
#include <string>

#include "archive/signature.h"
#include "archive/signature_file.h"
#include "archive/signing.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"

namespace sfxpack {
namespace {

namespace type = tzk::archive::signature_type;
namespace mode = tzk::archive::signature_mode;

constexpr char kName[] = "verify";

// The verify mode the stub's archive loader uses for a type.
int ModeForType(int found) {
  if (found == type::kTextMd5) return mode::kTextMd5;
  if (found == type::kTextSha256Dsa || found == type::kRawSha256Dsa) return mode::kSha256Dsa;
  return mode::kMd5Dsa;
}

int Run(const Args& args) {
  const ParsedArgs parsed = parseArgs(args, {}, {"--keys"});
  if (!parsed.error.empty()) return usageError(kName, parsed.error);
  if (parsed.positional.size() != 1) return usageError(kName, "expected exactly one FILE");
  const std::string& file = parsed.positional[0];
  const std::wstring path = tzk::root::fromUtf8(file);

  tzk::archive::LoadedKeys loaded;
  tzk::archive::KeySet keys = tzk::archive::CompiledKeys();
  if (parsed.has("--keys")) {
    const std::string folder = parsed.value("--keys");
    const tzk::Result result = loaded.LoadFolder(tzk::root::fromUtf8(folder));
    if (result == tzk::code::kFileNotFound) return fileError(kName, folder, "no keyN.pub.pem there", kExitBadInput);
    if (result != tzk::code::kSuccess) return fileError(kName, folder, "a key is malformed or of the wrong size", kExitBadInput);
    keys = loaded.keys();
  }

  tzk::archive::SignatureFile probe;
  if (!probe.Open(path.c_str())) return fileError(kName, file, "cannot open the file", kExitBadInput);

  int found = 0;
  std::uint64_t contentLength = 0;
  if (!tzk::archive::LocateSignature(path.c_str(), mode::kArchive, nullptr, &found, &contentLength)) {
    std::printf("%s: no signature block found\n", file.c_str());
    return kExitCheckFailed;
  }
  std::printf("%s: signature type %d, content length %llu\n", file.c_str(), found,
              static_cast<unsigned long long>(contentLength));
  int keyIndex = 0;
  if (!tzk::archive::VerifySignatureWithKeys(path.c_str(), ModeForType(found), keys, &keyIndex)) {
    std::printf("%s: does not verify\n", file.c_str());
    return kExitCheckFailed;
  }
  if (found == type::kTextMd5) {
    std::printf("%s: verified (digest matches, key 0)\n", file.c_str());
  } else {
    std::printf("%s: verified with key %d\n", file.c_str(), keyIndex);
  }
  if (found != type::kRawMd5Dsa && found != type::kTextMd5 && found != type::kRawSha256Dsa) {
    std::printf("%s: but the stub refuses type %d (it accepts 1, 2 and 5)\n", file.c_str(), found);
    return kExitCheckFailed;
  }
  return kExitOk;
}

const CommandRegistration registration({
    kName,
    "check a file's signature block as the stub does",
    "usage: sfxpack verify FILE [--keys DIR]\n\n"
    "Finds the signature block of FILE (raw, text DSA or text MD5 form), prints its type and\n"
    "the content length, and checks it with the stub's verification keys, or with\n"
    "key1.pub.pem ... key7.pub.pem read from DIR (key 4 is not used). Prints the index of the\n"
    "key that verified (0 for type 2).\n\n"
    "exit codes: 0 verified and of a type the stub accepts (1, 2, 5); 1 no block, it does not\n"
    "verify, or its type is refused by the stub (0, 4); 2 usage error; 3 FILE or DIR unreadable\n",
    Run,
});

}  // namespace
}  // namespace sfxpack
