// The base installers `sfxpack serve` stamps: the regular *.exe files directly in its folder that
// the stub accepts and that can be stamped, each checked and prepared once and then read only
// through the descriptor it was checked through. The names the catalog holds are the only names
// a URL can reach; nothing a client sends ever becomes a path.
//
// A thread of its own scans the folder again every second. A base whose file is new or changed
// (another inode, size or modification time) is checked and prepared again beside the one being
// served, which goes on serving until the new one is ready; a response that started on a base
// keeps that base, and its descriptor, to its end. A release that renames its new file over the
// old name therefore never mixes two files in one response. A file rewritten in place under the
// descriptor cannot be kept apart that way: a response that finds its base's size or time
// changed stops there (the client sees a short download and asks again).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "signature/signature_file.h"
#include "sfxpack/tail_stamper.h"

namespace sfxpack {

// What tells a file apart from the one it was, as the scan and a response see it.
struct FileIdentity {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && modifiedSeconds == o.modifiedSeconds &&
           modifiedNanoseconds == o.modifiedNanoseconds;
  }
  bool operator!=(const FileIdentity& o) const { return !(*this == o); }
};

// Held as const by whatever serves it: what was checked is never changed.
struct ServedBase {
  std::string name;
  tzk::signature::FileOwner file;  // the descriptor it was checked through
  FileIdentity identity;
  TailStamper stamper;
  // Its first bytes, the image's headers: every stamp's first range of the base lies in them,
  // and it is sent from here with the response's head.
  Bytes head;
  // Whether the file under the descriptor is still the one prepared (not rewritten in place).
  bool Unchanged() const;
};

// Checks `name` in `folder` as tag checks a file it writes items into (with the keys given, or the
// stub's own when null), and prepares it. `seen` is what the scan found at the name: the file
// opened must be that one, and stay it while it is read. False with the reason; *retry when the
// file changed while it was read, so the next scan should look again.
bool PrepareBase(const std::string& folder, const std::string& name, const FileIdentity& seen,
                 const tzk::signature::KeySet* keys, const std::string& keySource,
                 std::shared_ptr<const ServedBase>* out, std::string* reason, bool* retry);

class BaseCatalog {
 public:
  // Each change the scan makes is told as one line ("setup.exe: served, 1048576 bytes").
  using Report = std::function<void(const std::string& line)>;
  BaseCatalog(std::string folder, const tzk::signature::KeySet* keys, std::string keySource, Report report);
  ~BaseCatalog();
  BaseCatalog(const BaseCatalog&) = delete;
  BaseCatalog& operator=(const BaseCatalog&) = delete;

  // One scan now; false with the reason when the folder cannot be read.
  bool Scan(std::string* error);
  // Scans every second on a thread of its own until Stop (or destruction).
  void Watch();
  void Stop();
  // The base served under `name`, or null.
  std::shared_ptr<const ServedBase> Find(const std::string& name) const;

  // At most this many bases are served: each holds a descriptor for as long as it is served.
  static constexpr std::size_t kMaxBases = 256;

 private:
  struct Entry {
    FileIdentity identity;
    std::shared_ptr<const ServedBase> base;  // null when refused
  };
  using Served = std::map<std::string, std::shared_ptr<const ServedBase>>;
  // Carries the entry over when the file is the one seen before, else checks and prepares it.
  void look(const std::string& name, const FileIdentity& identity, std::map<std::string, Entry>* next,
            std::size_t* served);

  const std::string folder_;
  const tzk::signature::KeySet* const keys_;
  const std::string keySource_;
  const Report report_;
  std::map<std::string, Entry> entries_;  // the scan's own, touched by one scan at a time
  mutable std::mutex mutex_;
  std::shared_ptr<const Served> served_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace sfxpack
