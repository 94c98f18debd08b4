// sfxpack's file I/O: inputs read whole or streamed, measured first against the format's limit,
// and outputs that take their final name only when complete.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/installer_writer.h"

namespace sfxpack {

using tzk::archive::Bytes;
using tzk::archive::Sink;

// A file a command reads and how it was named, "given with --stub" or "files[0] in M.json".
struct NamedInput {
  std::string path;
  std::string named;
};

// Whether an output is none of the inputs, which writing it would replace; false with the reason.
// Compared as the file system sees them: the same file (device and inode, or its ID on Windows)
// when both exist, else the same normalised path.
bool IsNoInput(const std::string& output, const std::vector<NamedInput>& inputs, std::string* why);

// "N bytes, over the format's limit of L bytes", for a size that no installer can hold.
std::string OverLimit(std::uint64_t size);

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
