// sfxpack tag: per-download items in the tail block, without signing again.
#include <cstdio>
#include <cstring>

#include "archive/embedded_items.h"
#include "archive/signature.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"
#include "tools/sfxpack/manifest.h"

namespace sfxpack {
namespace {

constexpr char kHelp[] =
    "usage: sfxpack tag SETUP.exe --item TAG=FILE [--item TAG=FILE ...] [--force]\n"
    "       sfxpack tag SETUP.exe --remove\n\n"
    "Writes or replaces the tail block: the last 16384 bytes of the file, holding the items,\n"
    "their length, \"EDAT\" and an MD5 of the block. The archive's signature is not touched.\n"
    "TAG is ERID or EAPT (stored as they are) or EBCF, ECFG, EBPK (compressed here).\n\n"
    "The stub finds its archive signature in front of an Authenticode certificate table; in a\n"
    "file without one, bytes after the signature hide it. tag refuses such files unless --force.\n\n"
    "options:\n"
    "  --item TAG=FILE   an item to store (repeatable; the order is kept)\n"
    "  --remove          take the tail block off\n"
    "  --force           tag even when the signature would no longer be found\n";

bool hasTailBlock(const Bytes& file) {
  if (file.size() < tzk::archive::kTailBlockSize) return false;
  const std::uint8_t* block = file.data() + file.size() - tzk::archive::kTailBlockSize;
  if (std::memcmp(block + tzk::archive::kTailBlockSize - 8, "TZKSignd", 8) == 0) return false;
  // A block is ours when its digest matches and the tag sits where the walk expects it.
  return tzk::archive::ReadLittleEndian32(block + tzk::archive::kTailDigestOffset - 4) ==
             tzk::archive::kEmbeddedDataTag &&
         tzk::archive::TailDigestMatches(block);
}

bool readItems(const std::vector<std::string>& itemArguments, std::vector<EmbeddedItem>* items, std::string* error) {
  for (const std::string& argument : itemArguments) {
    const std::size_t eq = argument.find('=');
    if (eq != 4) {
      *error = "--item wants TAG=FILE with a four-letter tag, not '" + argument + "'";
      return false;
    }
    EmbeddedItem item{argument.substr(0, 4), {}};
    Bytes raw;
    if (!ReadWholeFile(argument.substr(eq + 1), &raw, error) || !PrepareEmbeddedItem(item.tag, raw, &item, error)) {
      return false;
    }
    items->push_back(std::move(item));
  }
  return true;
}

int run(const Args& args) {
  const ParsedArgs a = parseArgs(args, {"--remove", "--force"}, {"--item"});
  if (!a.error.empty()) return usageError("tag", a.error);
  if (a.positional.size() != 1) return usageError("tag", "needs one SETUP.exe");
  if (a.has("--remove") == !a.values("--item").empty()) return usageError("tag", "give --item TAG=FILE or --remove");
  const std::string& file = a.positional[0];

  Bytes content;
  std::string error;
  if (!ReadWholeFile(file, &content, &error)) return fileError("tag", file, error, kExitBadInput);
  const bool tagged = hasTailBlock(content);
  if (tagged) content.resize(content.size() - tzk::archive::kTailBlockSize);
  if (a.has("--remove")) {
    if (!tagged) {
      std::printf("%s: no tail block\n", file.c_str());
      return kExitOk;
    }
    if (!WriteWholeFile(file, content, &error)) return fileError("tag", file, error, kExitOutputError);
    std::printf("%s: tail block removed\n", file.c_str());
    return kExitOk;
  }

  std::vector<EmbeddedItem> items;
  Bytes tail;
  if (!readItems(a.values("--item"), &items, &error) || !TailBlock(items, &tail, &error)) {
    return fileError("tag", file, error, kExitBadInput);
  }
  content.insert(content.end(), tail.begin(), tail.end());
  // Write beside the file and check the stub will still find its signature before replacing.
  const std::string staged = file + ".tagging";
  if (!WriteWholeFile(staged, content, &error)) return fileError("tag", staged, error, kExitOutputError);
  int type = 0;
  std::uint64_t offset = 0;
  const bool found = tzk::archive::LocateSignature(tzk::root::fromUtf8(staged).c_str(),
                                                   tzk::archive::signature_mode::kArchive, nullptr, &type, &offset);
  if (!found && !a.has("--force")) {
    std::remove(staged.c_str());
    return fileError("tag", file,
                     "the stub would no longer find the archive signature behind a tail block (the file has no "
                     "certificate table); use --force to tag anyway",
                     kExitBadInput);
  }
  if (std::remove(file.c_str()) != 0 || std::rename(staged.c_str(), file.c_str()) != 0) {
    return fileError("tag", file, "cannot replace the file with the tagged copy " + staged, kExitOutputError);
  }
  std::printf("%s: %s tail block with %zu item(s)\n", file.c_str(), tagged ? "replaced the" : "added a", items.size());
  return kExitOk;
}

const CommandRegistration kTag({"tag", "write, replace or remove the tail block of items", kHelp, run});

}  // namespace
}  // namespace sfxpack
