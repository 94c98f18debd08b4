// The JSON manifest that describes an installer for `sfxpack build`.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "archive/installer_writer.h"

namespace sfxpack {

// A manifest is read into the installer writer's plan.
using tzk::archive::Bytes;
using tzk::archive::EmbeddedItem;
using tzk::archive::FileEntryPlan;
using tzk::archive::InstallerPlan;
using tzk::archive::Sink;
using tzk::archive::Signer;

struct ManifestSignature {
  tzk::archive::SignatureType type = tzk::archive::SignatureType::kRawMd5Dsa;
  std::string key;         // private key PEM path; empty for type 2
  std::string typeSource;  // where the type was chosen, for messages about the key
};

// A file a command reads and how it was named, "given with --stub" or "files[0] in M.json".
struct NamedInput {
  std::string path;
  std::string named;
};

struct Manifest {
  InstallerPlan plan;  // everything read and resolved
  ManifestSignature signature;
  std::vector<NamedInput> inputs;  // the manifest and every file it names, the signing key too
};

// Reads the manifest at path; relative paths in it are taken from the manifest's folder.
// Entry times come from the manifest or, where it has none, from SOURCE_DATE_EPOCH; never
// from the clock, so the same inputs always give the same installer. Each override that is not
// empty replaces the manifest's own: a build can swap the stub, the installer/updater or the key
// without a manifest of its own. Every file it names is measured before any is read: one over the
// format's limit, or a stub and inputs stored as they are that together are, is refused unread.
// The stub must be the stub (IsStub: keysGiven when --keys names the keys the result is checked
// with) and the installer/updater a program (IsProgram).
struct ManifestOverrides {
  std::string stub;
  std::string installer;
  std::string key;
  bool keysGiven = false;
};
bool LoadManifest(const std::string& path, const ManifestOverrides& overrides, Manifest* out, std::string* error);

// Whether an output is none of the inputs, which writing it would replace; false with the reason.
// Compared as the file system sees them: the same file (device and inode, or its ID on Windows)
// when both exist, else the same normalised path.
bool IsNoInput(const std::string& output, const std::vector<NamedInput>& inputs, std::string* why);

// A file's whole content; false with a reason (which does not repeat the path). A file over the
// format's limit is refused on its size, before anything is read.
bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error);
// Whether ReadWholeFile would take it on: it opens and is within the format's limit. Nothing is
// read; false with the same reason.
bool MeasureFile(const std::string& path, std::uint64_t* size, std::string* error);
// The same handed to sink a megabyte at a time, progress told the bytes done and the file's
// measured size (it may be empty).
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;
bool StreamWholeFile(const std::string& path, const Sink& sink, const Progress& progress, std::string* error);
// Writes through a StagedOutput and commits at once.
bool WriteWholeFile(const std::string& path, const Bytes& data, std::string* error);

// An output written beside its final path and renamed onto it only when complete (and, for the
// commands that check their result, accepted): a failed or refused write never leaves a partial
// or wrong file under the final name, and a file that is replaced keeps its permissions. The
// staged file goes when SIGINT or SIGTERM ends the process too (not on Windows, see stage()).
class StagedOutput {
 public:
  explicit StagedOutput(std::string path);
  ~StagedOutput();  // removes the staged file unless it was committed
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  bool Write(const Bytes& data, std::string* error);
  // Writes what produce hands to its sink, in order, without holding it: false with the reason,
  // and outputFailed telling whether the file could not be written or produce failed (with its
  // own reason).
  using Producer = std::function<bool(const Sink& sink, std::string* error)>;
  bool WriteWith(const Producer& produce, std::string* error, bool* outputFailed);
  const std::string& stagedPath() const { return staged_; }
  bool Commit(std::string* error);

 private:
  std::string path_;
  std::string staged_;
  bool pending_ = false;
};

}  // namespace sfxpack
