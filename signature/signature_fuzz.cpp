// Feeds arbitrary files to the lookup and the check in every mode, the unknown ones included,
// so that one signed seed reaches the DSA check, the digests and every form's lookup.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "signature/signature.h"
#include "vocabulary/text.h"

namespace {

// One scratch file per process, written and removed again for every input (libFuzzer ends
// with _Exit, so nothing registered at exit would clean up).
std::string ScratchName() { return "/tmp/signature_fuzz_" + std::to_string(::getpid()) + ".bin"; }

void CheckAllModes(const std::wstring& path, std::size_t size) {
  for (int number = 0; number <= 5; ++number) {
    const auto mode = static_cast<tzk::signature::LookupMode>(number);  // 0 and 5 are no mode
    std::vector<std::uint8_t> signature;
    tzk::signature::SignatureType type{};
    std::uint64_t offset = 0;
    if (tzk::signature::LocateSignature(path.c_str(), mode, &signature, &type, &offset) && offset > size) {
      __builtin_trap();  // the signed content must lie inside the file
    }
    int keyIndex = -1;
    tzk::signature::VerifySignature(path.c_str(), mode, &keyIndex);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name = ScratchName();
  const std::wstring path = tzk::vocabulary::fromUtf8(name);
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, file) == size;
  std::fclose(file);
  if (written) CheckAllModes(path, size);
  std::remove(name.c_str());
  return 0;
}
