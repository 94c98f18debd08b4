// sfxpack pack: one file into a file package, the form in which installers carry their data.
#include <string>
#include <vector>

#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "sfxpack/cli.h"
#include "sfxpack/manifest.h"

namespace sfxpack {
namespace {

constexpr const char* kName = "pack";

int run(const Args& args) {
  const ParsedArgs parsed = ParseArgs(args, {"--zlib", "--lzma"}, {});
  if (!parsed.error.empty()) return UsageError(kName, parsed.error);
  if (parsed.has("--zlib") == parsed.has("--lzma")) return UsageError(kName, "give exactly one of --zlib and --lzma");
  if (parsed.positional.size() != 2) return UsageError(kName, "expected IN and OUT");
  const std::string& inPath = parsed.positional[0];
  const std::string& outPath = parsed.positional[1];

  Bytes data;
  std::string error;
  if (!IsNoInput(outPath, {{inPath, "IN"}}, &error)) return UsageError(kName, error);
  if (!ReadWholeFile(inPath, &data, &error)) return FileError(kName, inPath, error, kExitBadInput);

  std::vector<std::uint8_t> package;
  const std::uint32_t kind = parsed.has("--zlib") ? tzk::packers::kPackerZlib : tzk::packers::kPackerLzma;
  const tzk::Result built =
      tzk::packers::BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), &package);
  if (built != tzk::code::kSuccess) {
    const std::string reason =
        built == tzk::code::kNotEnoughMemory ? "its package does not fit in this process's memory" : "cannot pack";
    return FileError(kName, inPath, reason + " (" + CodeText(built) + ")", kExitBadInput);
  }

  return WriteOutputFile(kName, outPath, package.data(), static_cast<std::uint32_t>(package.size()));
}

const std::string kHelp = std::string(
    "usage: sfxpack pack --zlib|--lzma IN OUT\n\n"
    "Packs the file IN into the file package OUT: a 16-byte magic naming the packer, the\n"
    "unpacked and packed sizes, then the packed bytes.\n\n"
    "options:\n"
    "  --zlib   a zlib stream at level 9 (magic \"") + tzk::packers::kZlibPackageMagic + "\")\n"
    "  --lzma   an LZMA stream, level 5 settings (magic \"" + tzk::packers::kLzmaPackageMagic + "\")\n\n"
    "IN may hold at most 2 GiB - 1 bytes.\n"
    "exit codes: 0 packed, 2 usage error (OUT the same file as IN too), 3 IN missing,\n"
    "            unreadable or too large,\n"
    "            4 OUT could not be written\n";

const CommandRegistration kPack({kName, "pack a file into a file package (zlib or LZMA)", kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
