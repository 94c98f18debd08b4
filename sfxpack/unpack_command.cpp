// sfxpack unpack: a file package back into its content, read by the stub's own loader.
#include <cstdio>
#include <memory>
#include <string>

#include "vocabulary/text.h"
#include "packers/file.h"
#include "packers/file_package.h"
#include "sfxpack/cli.h"

namespace sfxpack {
namespace {

constexpr const char* kName = "unpack";

std::string loadFailure(tzk::Result code) {
  char text[160];
  if (code == tzk::code::kPackageCorrupt) {
    std::snprintf(text, sizeof text, "not a file package, or its packed data is damaged (error 0x%lx)",
                  static_cast<unsigned long>(code));
  } else {
    std::snprintf(text, sizeof text,
                  "the package's sizes do not fit the file or memory, or it cannot be read (error %lu)",
                  static_cast<unsigned long>(code));
  }
  return text;
}

int run(const Args& args) {
  const ParsedArgs parsed = ParseArgs(args, {}, {});
  if (!parsed.error.empty()) return UsageError(kName, parsed.error);
  if (parsed.positional.size() != 2) return UsageError(kName, "expected IN and OUT");
  const std::string& inPath = parsed.positional[0];
  const std::string& outPath = parsed.positional[1];

  tzk::packers::CUFile in;
  if (!in.OpenRead(tzk::vocabulary::fromUtf8(inPath).c_str())) {
    return FileError(kName, inPath, "cannot open for reading (" + CodeText(in.LastError()) + ")", kExitBadInput);
  }
  std::uint32_t size = 0;
  std::unique_ptr<std::uint8_t[]> content;
  const tzk::Result loaded = tzk::packers::LoadFilePackage(in, &size, &content);
  if (loaded != tzk::code::kSuccess) return FileError(kName, inPath, loadFailure(loaded), kExitBadInput);
  in.Close();

  return WriteOutputFile(kName, outPath, content.get(), size);
}

const CommandRegistration kUnpack({
    kName,
    "unpack a file package into its content",
    "usage: sfxpack unpack IN OUT\n\n"
    "Reads the file package IN the way the stub does and writes its content to OUT.\n\n"
    "exit codes: 0 unpacked, 2 usage error, 3 IN missing, unreadable, not a file package\n"
    "            or damaged, 4 OUT could not be written\n",
    run,
});

}  // namespace
}  // namespace sfxpack
