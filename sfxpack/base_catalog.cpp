#include "sfxpack/base_catalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "sfxpack/acceptance.h"

namespace sfxpack {
namespace {

FileIdentity identityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
          static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

bool identityOf(int descriptor, FileIdentity* out) {
  struct stat st {};
  if (::fstat(descriptor, &st) != 0) return false;
  *out = identityOf(st);
  return true;
}

// A name the scan looks at: "*.exe" in any case, not hidden. The tools that write a file beside
// its name and rename it into place (sfxpack's own staged outputs, rsync, install) give the
// staged file a name that is neither.
bool servable(const std::string& name) {
  if (name.size() <= 4 || name[0] == '.') return false;
  std::string suffix = name.substr(name.size() - 4);
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".exe";
}

// A page holds the headers of any image the stub takes.
constexpr std::uint64_t kHeadBytes = 4096;

}  // namespace

bool ServedBase::Unchanged() const {
  FileIdentity now;
  return identityOf(file.get(), &now) && now == identity;
}

bool PrepareBase(const std::string& folder, const std::string& name, const FileIdentity& seen,
                 const tzk::signature::KeySet* keys, const std::string& keySource,
                 std::shared_ptr<const ServedBase>* out, std::string* reason, bool* retry) {
  *retry = false;
  const std::string path = folder + "/" + name;
  tzk::archive::SfxArchive archive;
  const StubVerdict verdict = CheckAsStub(path, &archive, keys, keySource);
  if (!verdict.accepted()) {
    *reason = verdict.message();
    return false;
  }
  FileIdentity opened;
  const int checked = archive.archiveFile().Descriptor();
  if (!identityOf(checked, &opened) || opened != seen) {
    *retry = true;
    *reason = "it changed while it was checked";
    return false;
  }
  const CodeSignatureReport code = InspectCodeSignatureOf(archive, path);
  if (CheckStampable(verdict, StubItemsBlock(archive), code, reason) != kExitOk) return false;
  auto base = std::make_shared<ServedBase>();
  base->name = name;
  base->identity = seen;
  base->file.reset(::fcntl(checked, F_DUPFD_CLOEXEC, 0));
  tzk::signature::SignatureFile file;
  if (base->file.get() < 0 || !file.Borrow(base->file.get())) {
    *reason = std::string("cannot keep it open: ") + std::strerror(errno);
    return false;
  }
  if (!base->stamper.Prepare(SourceOf(file), code, reason)) return false;
  base->head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(seen.size, kHeadBytes)));
  if (!file.ReadAt(0, base->head.data(), base->head.size())) {
    *reason = "it cannot be read";
    return false;
  }
  if (!base->Unchanged()) {
    *retry = true;
    *reason = "it changed while it was read";
    return false;
  }
  *out = std::move(base);
  return true;
}

BaseCatalog::BaseCatalog(std::string folder, const tzk::signature::KeySet* keys, std::string keySource, Report report)
    : folder_(std::move(folder)), keys_(keys), keySource_(std::move(keySource)), report_(std::move(report)),
      served_(std::make_shared<const Served>()) {}

BaseCatalog::~BaseCatalog() { Stop(); }

void BaseCatalog::look(const std::string& name, const FileIdentity& identity, std::map<std::string, Entry>* next,
                       std::size_t* served) {
  const auto known = entries_.find(name);
  if (known != entries_.end() && known->second.identity == identity) {
    *served += known->second.base != nullptr;
    next->emplace(name, known->second);
    return;
  }
  Entry entry{identity, nullptr};
  std::string reason;
  bool retry = false;
  if (*served >= kMaxBases) {
    reason = "more than " + std::to_string(kMaxBases) + " bases in the folder";
    retry = true;
  } else if (PrepareBase(folder_, name, identity, keys_, keySource_, &entry.base, &reason, &retry)) {
    report_(name + ": served, " + std::to_string(identity.size) + " bytes");
    ++*served;
  }
  if (entry.base == nullptr) report_(name + ": not served: " + reason);
  // A file that changed while it was read is looked at again by the next scan.
  if (!retry) next->emplace(name, std::move(entry));
}

bool BaseCatalog::Scan(std::string* error) {
  DIR* folder = ::opendir(folder_.c_str());
  if (folder == nullptr) {
    *error = std::string("cannot read the folder: ") + std::strerror(errno);
    return false;
  }
  std::map<std::string, FileIdentity> found;
  std::vector<std::string> refused;
  while (const dirent* d = ::readdir(folder)) {
    const std::string name = d->d_name;
    struct stat st {};
    if (!servable(name) || ::fstatat(::dirfd(folder), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // A link could lead anywhere the server may read; what is served is what the folder holds.
    if (S_ISREG(st.st_mode)) found.emplace(name, identityOf(st));
    else refused.push_back(name);
  }
  ::closedir(folder);

  std::map<std::string, Entry> next;
  std::size_t served = 0;
  for (const auto& [name, identity] : found) look(name, identity, &next, &served);
  for (const std::string& name : refused) {
    const auto known = entries_.find(name);
    if (known == entries_.end() || known->second.base != nullptr) report_(name + ": not served: not a regular file");
    next.emplace(name, Entry{});
  }
  for (const auto& [name, entry] : entries_) {
    if (entry.base != nullptr && next.count(name) == 0 && found.count(name) == 0) report_(name + ": no longer served");
  }
  auto bases = std::make_shared<Served>();
  for (const auto& [name, entry] : next) {
    if (entry.base != nullptr) bases->emplace(name, entry.base);
  }
  entries_ = std::move(next);
  std::lock_guard<std::mutex> lock(mutex_);
  served_ = std::move(bases);
  return true;
}

void BaseCatalog::Watch() {
  watcher_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
      lock.unlock();
      std::string error;
      if (!Scan(&error)) report_(folder_ + ": " + error);
      lock.lock();
    }
  });
}

void BaseCatalog::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

std::shared_ptr<const ServedBase> BaseCatalog::Find(const std::string& name) const {
  std::shared_ptr<const Served> served;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    served = served_;
  }
  const auto it = served->find(name);
  return it == served->end() ? nullptr : it->second;
}

}  // namespace sfxpack
