// sfxpack tag: per-download items in the tail block, without signing again.
#include <algorithm>
#include <cstdio>

#include "archive/embedded_items.h"
#include "signature/signature.h"
#include "vocabulary/text.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"
#include "sfxpack/manifest.h"
#include "sfxpack/tail_stamper.h"

namespace sfxpack {
namespace {

const std::string kHelp =
    "usage: sfxpack tag SETUP.exe --item TAG=FILE [--item TAG=FILE ...] [--keys DIR]\n"
    "       sfxpack tag SETUP.exe --remove [--keys DIR]\n\n"
    "Writes or replaces the tail block: the last " + std::to_string(tzk::archive::kTailBlockSize) +
    " bytes of the file, holding the items,\n"
    "their length, \"" + std::string(tzk::archive::kEmbeddedDataMagic) +
    "\" and an MD5 of the block. The archive's signature is not touched.\n"
    "TAG is ERID or EAPT (stored as they are) or EBCF, ECFG, EBPK (compressed here).\n\n"
    "In a code-signed installer made by build or sign with --cert (or --prepare, signed and\n"
    "sealed) the tail block lives in room reserved inside the Authenticode signature: it is\n"
    "written, replaced and removed (zero-filled) in place, and the file's size and both\n"
    "signatures stay as they are. A code-signed file without that room is refused and left as it\n"
    "was: a tail block behind its certificate table would make every Authenticode check find no\n"
    "signature. A file without a certificate table is refused too: there the tail block would\n"
    "hide the archive signature. So is one with an embedded-data block: the stub reads its items\n"
    "from that block and never reads the tail block behind it. The tagged file is checked as\n"
    "`sfxpack verify` checks it and replaces SETUP.exe (keeping its mode) only when the stub\n"
    "accepts it.\n\n"
    "options:\n"
    "  --item TAG=FILE   an item to store (repeatable; the order is kept)\n"
    "  --remove          take the tail block off\n"
    "  --keys DIR        check against key1.pub.pem ... key7.pub.pem in DIR instead of the stub's\n\n" +
    kExitCodeHelp;

bool hasTailBlock(const FileSource& file) {
  Bytes tail(tzk::archive::kTailBlockSize);
  return file.size >= tail.size() && file.read(file.size - tail.size(), tail.data(), tail.size()) &&
         tzk::archive::IsTailBlock(tail.data());
}

// Reads the items; false with the file at fault in *where and the reason.
bool readItems(const std::vector<std::string>& itemArguments, std::vector<EmbeddedItem>* items, std::string* where,
               std::string* error) {
  for (const std::string& argument : itemArguments) {
    EmbeddedItem item{argument.substr(0, 4), {}};
    Bytes raw;
    *where = argument.substr(5);
    if (!ReadWholeFile(*where, &raw, error) || !tzk::archive::PrepareEmbeddedItem(item.tag, raw, &item, error)) return false;
    items->push_back(std::move(item));
  }
  return true;
}

// Not an exit code: the tagged copy is staged and waits for the check.
constexpr int kTagWritten = -1;

// Writes the tagged copy of the archive's file to out, reading the file where it lies: only its
// certificate table and tail are held. Items go into the tail room through the stamp that serve
// sends downloads with; --remove zero-fills the room, or takes off a tail block that was appended
// behind everything. kTagWritten, or the exit code once it has said why not (an exit of 0 when
// there was nothing to do).
int writeTagged(tzk::archive::SfxArchive& archive, const ParsedArgs& a, const CodeSignatureReport& code,
                StagedOutput* out, bool* tagged, std::size_t* itemCount) {
  const std::string& file = a.positional[0];
  std::string error;
  tzk::signature::SignatureFile in;
  if (!in.Borrow(archive.archiveFile().Descriptor())) return FileError("tag", file, "cannot read it", kExitBadInput);
  const FileSource content = SourceOf(in);
  *tagged = hasTailBlock(content);
  std::vector<EmbeddedItem> items;
  Bytes tail(tzk::archive::kTailBlockSize, 0);
  if (!a.has("--remove")) {
    std::string where;
    if (!readItems(a.values("--item"), &items, &where, &error)) return FileError("tag", where, error, kExitBadInput);
    if (!tzk::archive::TailBlock(items, &tail, &error)) return FileError("tag", file, error, kExitBadInput);
  } else if (!*tagged) {
    std::printf("%s: no tail block\n", file.c_str());
    return kExitOk;
  }
  *itemCount = items.size();
  if (code.table && !code.available) {
    return FileError("tag", file,
                     code.problem + ", so whether its code signature has room for the tail block is not checked: "
                                    "tag it with the 32-bit Windows or the Linux build",
                     kExitOutputError);
  }
  TailStamper stamper;
  Stamp stamp;
  FileSource result;
  if (code.tailRoom) {
    // In place: only bytes inside the signature's unauthenticated room change, and the checksum.
    if (!stamper.Prepare(content, code, &error)) return FileError("tag", file, error, kExitBadInput);
    stamper.StampTail(tail.data(), &stamp);
    result = Stamped(content, stamp);
  } else {
    // Items were refused without room (CheckStampable): this takes off a block appended behind everything.
    result = Patched(content, FilePatch{content.size - tzk::archive::kTailBlockSize, {}});
  }
  bool outputFailed = false;
  const StagedOutput::Producer copy = [&result](const Sink& sink, std::string* why) { return CopyOut(result, sink, why); };
  if (!out->WriteWith(copy, &error, &outputFailed)) {
    return FileError("tag", file, error, outputFailed ? kExitOutputError : kExitBadInput);
  }
  return kTagWritten;
}

int run(const Args& args) {
  const ParsedArgs a = ParseArgs(args, {"--remove"}, {"--item", "--keys"});
  if (!a.error.empty()) return UsageError("tag", a.error);
  if (a.positional.size() != 1) return UsageError("tag", "needs one SETUP.exe");
  if (a.has("--remove") == !a.values("--item").empty()) return UsageError("tag", "give --item TAG=FILE or --remove");
  for (const std::string& item : a.values("--item")) {
    if (item.find('=') != 4 || item.size() == 5) {
      return UsageError("tag", "--item wants TAG=FILE with a four-letter tag, not '" + item + "'");
    }
  }
  const std::string& file = a.positional[0];
  std::string error;
  KeysOption keys;
  if (!ReadKeysOption(a, &keys, &error)) return FileError("tag", keys.folder, error, kExitBadInput);

  // The file as it is must be one the stub accepts; then the result must be, too.
  tzk::archive::SfxArchive archive;
  const StubVerdict before = CheckAsStub(file, &archive, keys.keys(), keys.folder);
  if (!before.accepted()) {
    return FileError("tag", file, before.readable ? "not accepted as it is: " + before.reason : before.reason, before.exit);
  }
  const CodeSignatureReport code = InspectCodeSignatureOf(archive, file);
  if (!a.has("--remove")) {
    std::string refusal;
    const int exit = CheckStampable(before, StubItemsBlock(archive), code, &refusal);
    if (exit != kExitOk) return FileError("tag", file, refusal, exit);
  }
  StagedOutput out(file);
  bool tagged = false;
  std::size_t itemCount = 0;
  const int written = writeTagged(archive, a, code, &out, &tagged, &itemCount);
  // The result takes the file's place: Windows moves nothing onto a file still open.
  archive.archiveFile().Close();
  if (written != kTagWritten) return written;
  std::string refusal;
  const StubVerdict v = CheckWritten(out.stagedPath(), keys.keys(), keys.folder, nullptr, "", &refusal);
  if (!v.accepted()) return FileError("tag", file, refusal, kExitCheckFailed);
  if (!out.Commit(&error)) return FileError("tag", file, error, kExitOutputError);
  if (a.has("--remove")) std::printf("%s: tail block removed\n", file.c_str());
  else std::printf("%s: %s tail block with %zu item(s)\n", file.c_str(), tagged ? "replaced the" : "added a", itemCount);
  return kExitOk;
}

const CommandRegistration kTag({"tag", "write, replace or remove the tail block of items", kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
