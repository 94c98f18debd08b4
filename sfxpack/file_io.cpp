// sfxpack's file I/O: every input is measured before it is read, so a file over the format's
// limit is refused unread, and every output is staged beside its final path and renamed onto it
// only when complete.
#include "sfxpack/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

#ifdef _WIN32
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "archive/file_system.h"
#include "archive/format.h"
#include "vocabulary/text.h"

namespace sfxpack {

using tzk::archive::kFormatLimit;

std::string OverLimit(std::uint64_t size) {
  return std::to_string(size) + " bytes, over the format's limit of " + std::to_string(kFormatLimit) + " bytes";
}

namespace {

using tzk::archive::OpenFile;

// Nothing larger than the format's limit can go into an installer, and a 32-bit sfxpack could
// not even hold it: such a file is refused on its size, before a byte of it is read.
bool openMeasured(const std::string& path, OpenFile* file, std::uint64_t* size, std::string* error) {
  file->reset(tzk::archive::OpenUtf8File(path, "rb"));
  if (!*file) {
    *error = std::string("cannot open for reading: ") + std::strerror(errno);
    return false;
  }
#ifdef _WIN32
  struct _stat64 info {};
  const bool measured = ::_fstat64(::_fileno(file->get()), &info) == 0;
#else
  struct stat info {};
  const bool measured = ::fstat(::fileno(file->get()), &info) == 0;
#endif
  if (!measured) {
    *error = std::string("cannot measure: ") + std::strerror(errno);
    return false;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  if (*size > kFormatLimit) {
    *error = "is " + OverLimit(*size);
    return false;
  }
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error) {
  OpenFile in;
  std::uint64_t size = 0;
  if (!openMeasured(path, &in, &size, error)) return false;
  out->clear();
  try {
    out->reserve(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    *error = "its " + std::to_string(size) + " bytes do not fit in this process's memory";
    return false;
  }
  std::uint8_t chunk[1 << 16];
  std::size_t n;
  errno = 0;
  // A pipe or a device measures 0, and a file may grow after it was measured: the limit holds
  // for what is read, too.
  while ((n = std::fread(chunk, 1, sizeof(chunk), in.get())) > 0) {
    if (out->size() + n > kFormatLimit) {
      *error = "grew while being read to at least " + OverLimit(out->size() + n);
      return false;
    }
    out->insert(out->end(), chunk, chunk + n);
  }
  if (std::ferror(in.get())) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool MeasureFile(const std::string& path, std::uint64_t* size, std::string* error) {
  OpenFile file;
  return openMeasured(path, &file, size, error);
}

bool StreamWholeFile(const std::string& path, const Sink& sink, const Progress& progress, std::string* error) {
  OpenFile in;
  std::uint64_t size = 0;
  if (!openMeasured(path, &in, &size, error)) return false;
  std::vector<std::uint8_t> piece(1 << 20);
  std::uint64_t done = 0;
  std::size_t n;
  errno = 0;
  while ((n = std::fread(piece.data(), 1, piece.size(), in.get())) > 0) {
    if (done + n > kFormatLimit) {
      *error = "grew while being read to at least " + OverLimit(done + n);
      return false;
    }
    if (!sink(piece.data(), n, error)) return false;
    done += n;
    if (progress) progress(done, size);
  }
  if (std::ferror(in.get())) {
    *error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

int processId() {
#ifdef _WIN32
  return ::_getpid();
#else
  return static_cast<int>(::getpid());
#endif
}

// The permission bits of an existing file, for the copy that replaces it.
bool modeOf(const std::string& path, unsigned* mode) {
#ifdef _WIN32
  struct _stat64 info {};
  if (::_wstat64(tzk::vocabulary::fromUtf8(path).c_str(), &info) != 0) return false;
#else
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
#endif
  *mode = static_cast<unsigned>(info.st_mode) & 07777;
  return true;
}

bool setMode(const std::string& path, unsigned mode) {
#ifdef _WIN32
  return ::_wchmod(tzk::vocabulary::fromUtf8(path).c_str(), static_cast<int>(mode & (_S_IREAD | _S_IWRITE))) == 0;
#else
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
#endif
}

bool replaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return ::MoveFileExW(tzk::vocabulary::fromUtf8(from).c_str(), tzk::vocabulary::fromUtf8(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

void removeFile(const std::string& path) {
#ifdef _WIN32
  ::_wremove(tzk::vocabulary::fromUtf8(path).c_str());
#else
  std::remove(path.c_str());
#endif
}

#ifndef _WIN32
// The staged files of this process, for SIGINT or SIGTERM to remove before the process ends: a
// signal handler may do only what is async-signal-safe, so each path is made beforehand, with
// its StagedOutput, and the handler only reads the slots and unlinks. A command stages few files
// at once; one beyond the slots is left to its StagedOutput alone.
std::atomic<const char*> g_staged[8];
static_assert(std::atomic<const char*>::is_always_lock_free, "the signal handler reads the slots");

void removeStagedAndEnd(int signal) {
  for (auto& slot : g_staged) {
    if (const char* path = slot.load()) ::unlink(path);
  }
  // Ended by the signal itself, as without the handler: a shell sees 128 + its number.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

bool removeStagedOnSignals() {
  struct sigaction action {};
  action.sa_handler = removeStagedAndEnd;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction old {};
    // A signal ignored from the start (nohup, a background job of a shell) stays ignored.
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) ::sigaction(signal, &action, nullptr);
  }
  return true;
}
#endif

// On Windows a console's Ctrl+C handler runs on a thread of its own while the staged file is held
// open without delete sharing (by the write, then by the checks of signature/), so it
// could not remove the file: there the staged file is left as it is left by a kill.
void stage([[maybe_unused]] const char* path) {
#ifndef _WIN32
  [[maybe_unused]] static const bool handled = removeStagedOnSignals();
  for (auto& slot : g_staged) {
    const char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, path)) return;
  }
#endif
}

void unstage([[maybe_unused]] const char* path) {
#ifndef _WIN32
  for (auto& slot : g_staged) {
    const char* mine = path;
    slot.compare_exchange_strong(mine, nullptr);
  }
#endif
}

}  // namespace

StagedOutput::StagedOutput(std::string path)
    : path_(std::move(path)), staged_(path_ + ".partial-" + std::to_string(processId())) {
  stage(staged_.c_str());
}

StagedOutput::~StagedOutput() {
  if (pending_) removeFile(staged_);
  unstage(staged_.c_str());
}

bool StagedOutput::Write(const Bytes& data, std::string* error) {
  bool outputFailed = false;
  const Producer all = [&data](const Sink& sink, std::string* why) {
    return data.empty() || sink(data.data(), data.size(), why);
  };
  return WriteWith(all, error, &outputFailed);
}

bool StagedOutput::WriteWith(const Producer& produce, std::string* error, bool* outputFailed) {
  pending_ = true;
  *outputFailed = true;
  OpenFile out(tzk::archive::OpenUtf8File(staged_, "wb"));
  if (!out) {
    *error = std::string("cannot create: ") + std::strerror(errno);
    return false;
  }
  int writeError = 0;
  bool refused = false;
  const Sink sink = [&out, &writeError, &refused](const std::uint8_t* data, std::size_t size, std::string*) {
    if (std::fwrite(data, 1, size, out.get()) == size) return true;
    writeError = errno;
    refused = true;
    return false;
  };
  std::string produceError;
  const bool produced = produce(sink, &produceError);
  bool ok = produced && std::fflush(out.get()) == 0;
#ifndef _WIN32
  ok = ok && ::fsync(fileno(out.get())) == 0;
#endif
  if (produced && !ok) writeError = errno;
  ok = std::fclose(out.release()) == 0 && ok;
  if (ok) return true;
  *outputFailed = produced || refused;
  *error = !*outputFailed ? produceError : std::string("cannot write: ") + std::strerror(writeError != 0 ? writeError : errno);
  return false;
}

bool StagedOutput::Commit(std::string* error) {
  unsigned mode = 0;
  if (modeOf(path_, &mode) && !setMode(staged_, mode)) {
    *error = std::string("cannot give the new file the mode of the old one: ") + std::strerror(errno);
    return false;
  }
  if (!replaceFile(staged_, path_)) {
    *error = std::string("cannot move the finished file into place: ") + std::strerror(errno);
    return false;
  }
  pending_ = false;
  unstage(staged_.c_str());
  return true;
}

bool WriteWholeFile(const std::string& path, const Bytes& data, std::string* error) {
  StagedOutput out(path);
  return out.Write(data, error) && out.Commit(error);
}

namespace {

std::filesystem::path systemPath(const std::string& path) {
#ifdef _WIN32
  return std::filesystem::path(tzk::vocabulary::fromUtf8(path));
#else
  return std::filesystem::path(path);
#endif
}

bool sameFile(const std::string& a, const std::string& b) {
  const std::filesystem::path x = systemPath(a), y = systemPath(b);
  std::error_code error;
  if (std::filesystem::exists(x, error) && std::filesystem::exists(y, error)) {
    return std::filesystem::equivalent(x, y, error);
  }
  const std::filesystem::path cx = std::filesystem::weakly_canonical(x, error);
  if (error) return false;
  return cx == std::filesystem::weakly_canonical(y, error) && !error;
}

}  // namespace

bool IsNoInput(const std::string& output, const std::vector<NamedInput>& inputs, std::string* why) {
  for (const NamedInput& input : inputs) {
    if (sameFile(output, input.path)) {
      *why = output + " is also an input (" + input.named + "): an output must not replace what is read";
      return false;
    }
  }
  return true;
}

}  // namespace sfxpack
