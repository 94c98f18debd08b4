#include "archive/installer_writer.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archive/embedded_items.h"
#include "archive/file_system.h"
#include "crashguard/beside_task.h"
#include "archive/format.h"
#include "archive/sfx_archive.h"
#include "vocabulary/little_endian.h"
#include "vocabulary/text.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "packers/package_stream.h"

namespace tzk::archive {

using signature::SignatureType;
namespace {

void appendUint32(Bytes* out, std::uint32_t v) {
  std::uint8_t bytes[kFieldSize];
  vocabulary::WriteLe32(bytes, v);
  out->insert(out->end(), bytes, bytes + sizeof bytes);
}

void appendBytes(Bytes* out, const Bytes& data) { out->insert(out->end(), data.begin(), data.end()); }

bool isPlainAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

bool checkName(const std::string& name, const char* what, std::string* error) {
  if (name.empty() || !isPlainAscii(name)) {
    *error = std::string(what) + " '" + name + "' must be non-empty printable ASCII";
    return false;
  }
  if (!IsContainedName(vocabulary::fromUtf8(name))) {
    *error = std::string(what) + " '" + name + "' would be written outside the target folder";
    return false;
  }
  return true;
}

// The map is the one package still made in memory: it holds only records.
bool package(std::uint32_t kind, const Bytes& data, Bytes* out, std::string* error) {
  const Result r = packers::BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), out);
  if (r != code::kSuccess) {
    *error = "cannot pack data (code " + std::to_string(r) + ")";
    return false;
  }
  return true;
}

constexpr std::size_t kPiece = 1 << 20;
// What the spools of all packages together may keep in memory; the rest goes to scratch files.
constexpr std::uint64_t kSpoolMemory = 16 << 20;

// An input's bytes in order, from memory or read from its file a piece at a time.
class Input {
 public:
  Input(const Bytes& data, const std::string& path, std::uint64_t size) : data_(data), path_(path), size_(size) {}

  std::uint64_t size() const { return path_.empty() ? data_.size() : size_; }

  bool open(std::string* error) {
    if (path_.empty()) return true;
    file_.reset(OpenUtf8File(path_, "rb"));
    if (!file_) *error = path_ + ": cannot open for reading: " + std::strerror(errno);
    return file_ != nullptr;
  }

  // Exactly size bytes; a file that shrank since it was measured fails.
  bool read(std::uint8_t* buffer, std::size_t size, std::string* error) {
    if (path_.empty()) {
      std::memcpy(buffer, data_.data() + at_, size);
      at_ += size;
      return true;
    }
    if (std::fread(buffer, 1, size, file_.get()) == size) return true;
    *error = path_ + (std::ferror(file_.get()) ? std::string(": cannot read: ") + std::strerror(errno)
                                                : std::string(": shrank while it was read"));
    return false;
  }

 private:
  const Bytes& data_;
  const std::string& path_;
  std::uint64_t size_;
  std::size_t at_ = 0;
  OpenFile file_;
};

// A package's packed bytes until their turn: in memory while the shared allowance lasts, then
// in a scratch file.
class Spool {
 public:
  explicit Spool(std::atomic<std::uint64_t>* allowance) : allowance_(allowance) {}
  ~Spool() { *allowance_ += memory_.size(); }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  std::uint64_t size() const { return size_; }

  bool append(const std::uint8_t* data, std::size_t size, std::string* error) {
    size_ += size;
    if (!file_ && take(size)) {
      memory_.insert(memory_.end(), data, data + size);
      return true;
    }
    if (!file_ && !spill(error)) return false;
    if (std::fwrite(data, 1, size, file_.get()) == size) return true;
    *error = std::string("cannot write a scratch file: ") + std::strerror(errno);
    return false;
  }

  bool copyTo(const std::function<bool(const std::uint8_t*, std::size_t)>& put, std::string* error) {
    if (!memory_.empty() && !put(memory_.data(), memory_.size())) return false;
    if (!file_) return true;
    std::rewind(file_.get());
    std::vector<std::uint8_t> piece(kPiece);
    std::size_t n = 0;
    while ((n = std::fread(piece.data(), 1, piece.size(), file_.get())) > 0) {
      if (!put(piece.data(), n)) return false;
    }
    if (!std::ferror(file_.get())) return true;
    *error = std::string("cannot read a scratch file back: ") + std::strerror(errno);
    return false;
  }

 private:
  bool take(std::size_t size) {
    std::uint64_t left = allowance_->load();
    while (left >= size && !allowance_->compare_exchange_weak(left, left - size)) {
    }
    return left >= size;
  }

  bool spill(std::string* error) {
    file_.reset(OpenScratchFile());
    if (!file_) {
      *error = std::string("cannot make a scratch file: ") + std::strerror(errno);
      return false;
    }
    if (!memory_.empty() && std::fwrite(memory_.data(), 1, memory_.size(), file_.get()) != memory_.size()) {
      *error = std::string("cannot write a scratch file: ") + std::strerror(errno);
      return false;
    }
    *allowance_ += memory_.size();
    memory_.clear();
    memory_.shrink_to_fit();
    return true;
  }

  std::atomic<std::uint64_t>* allowance_;
  Bytes memory_;
  OpenFile file_;
  std::uint64_t size_ = 0;
};

// Input bytes handled, for the progress a caller shows; added to from both packing threads.
class Tally {
 public:
  Tally(const WriteProgress& progress, std::uint64_t total) : progress_(progress), total_(total) {}
  void add(std::uint64_t bytes) {
    const std::uint64_t done = done_ += bytes;
    if (progress_) progress_(done, total_);
  }

 private:
  const WriteProgress& progress_;
  std::uint64_t total_;
  std::atomic<std::uint64_t> done_{0};
};

// One package to make: an entry with an extraction name, or the installer/updater.
struct PackJob {
  PackJob(const Bytes& data, const std::string& path, std::uint64_t size, std::uint32_t kind,
          std::atomic<std::uint64_t>* allowance)
      : input(data, path, size), kind(kind), spool(allowance) {}
  Input input;
  std::uint32_t kind;
  Spool spool;
  bool ok = false;
  std::string error;
};

void pack(PackJob& job, Tally& tally) {
  if (job.input.size() > kFormatLimit) {
    job.error = "content of " + std::to_string(job.input.size()) + " bytes is beyond the format's 2 GiB limit";
    return;
  }
  if (!job.input.open(&job.error)) return;
  std::uint64_t reported = 0, packed = 0;
  const Result r = packers::PackStream(
      job.kind, job.input.size(),
      [&job](std::uint8_t* buffer, std::size_t size) { return job.input.read(buffer, size, &job.error); },
      [&job](const std::uint8_t* data, std::size_t size) { return job.spool.append(data, size, &job.error); },
      [&tally, &reported](std::uint64_t done) {
        tally.add(done - reported);
        reported = done;
      },
      &packed);
  if (r != code::kSuccess && job.error.empty()) job.error = "cannot pack data (code " + std::to_string(r) + ")";
  job.ok = r == code::kSuccess;
}

// Two at a time, each thread taking the next job not yet taken.
void packAll(std::vector<std::unique_ptr<PackJob>>& jobs, Tally& tally) {
  std::atomic<std::size_t> next{0};
  const std::function<void()> work = [&] {
    for (std::size_t i; (i = next++) < jobs.size();) pack(*jobs[i], tally);
  };
  if (jobs.size() > 1) CrashGuard::RunBeside(work, work);
  else work();
}

// The content as it goes to the sink: its length so far, held below the format's limit.
class Content {
 public:
  explicit Content(const Sink& sink) : sink_(sink) {}
  std::uint64_t size() const { return size_; }

  bool put(const std::uint8_t* data, std::size_t size, std::string* error) {
    if (size_ + size > kFormatLimit) {
      *error = "the installer would exceed the format's 2 GiB limit";
      return false;
    }
    size_ += size;
    return size == 0 || sink_(data, size, error);
  }
  bool put(const Bytes& data, std::string* error) { return put(data.data(), data.size(), error); }

 private:
  const Sink& sink_;
  std::uint64_t size_ = 0;
};

bool copyInput(Input& input, Content& content, Tally& tally, std::string* error) {
  if (!input.open(error)) return false;
  std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, input.size())));
  for (std::uint64_t left = input.size(); left != 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), left));
    if (!input.read(piece.data(), n, error) || !content.put(piece.data(), n, error)) return false;
    left -= n;
    tally.add(n);
  }
  return true;
}

// A package's header and its spooled bytes, at the content's end; its offset and length.
bool storePackage(PackJob& job, Content& content, std::uint32_t* offset, std::uint32_t* size, std::string* error) {
  if (!job.ok) {
    *error = job.error;
    return false;
  }
  if (content.size() + packers::kPackageHeaderSize + job.spool.size() > kFormatLimit) {
    *error = "the installer would exceed the format's 2 GiB limit";
    return false;
  }
  *offset = static_cast<std::uint32_t>(content.size());
  *size = static_cast<std::uint32_t>(packers::kPackageHeaderSize + job.spool.size());
  std::uint8_t header[packers::kPackageHeaderSize];
  packers::WritePackageHeader(job.kind, static_cast<std::uint32_t>(job.input.size()),
                              static_cast<std::uint32_t>(job.spool.size()), header);
  return content.put(header, sizeof header, error) &&
         job.spool.copyTo([&](const std::uint8_t* data, std::size_t n) { return content.put(data, n, error); }, error);
}

bool checkNames(const std::vector<FileEntryPlan>& files, std::string* error) {
  for (const FileEntryPlan& file : files) {
    if (!checkName(file.name, "entry name", error)) return false;
    if (!file.extractionName.empty() && !checkName(file.extractionName, "extraction name", error)) return false;
  }
  return true;
}

// Each file's bytes go into the content in the plan's order, its record into the list; the
// packages were made beforehand, jobs[i] for the i-th file with an extraction name.
bool storeFiles(const std::vector<FileEntryPlan>& files, std::vector<std::unique_ptr<PackJob>>& jobs, Content& content,
                Tally& tally, Bytes* list, std::string* error) {
  std::size_t job = 0;
  for (const FileEntryPlan& file : files) {
    std::uint32_t offset = static_cast<std::uint32_t>(content.size()), size = 0;
    if (file.extractionName.empty()) {
      Input input(file.data, file.path, file.size);
      size = static_cast<std::uint32_t>(input.size());
      if (!copyInput(input, content, tally, error)) return false;
    } else if (!storePackage(*jobs[job++], content, &offset, &size, error)) {
      return false;
    }
    Bytes entry;
    AppendRecord(&entry, record::kName, TextBody(file.name));
    AppendRecord(&entry, record::kPointer, Uint32Body({offset, size, file.time}));
    if (!file.extractionName.empty()) AppendRecord(&entry, record::kExtractionName, TextBody(file.extractionName));
    AppendRecord(list, record::kFile, entry);
  }
  return true;
}

Bytes mapBlock(const InstallerPlan& plan, std::uint32_t installerOffset, std::uint32_t installerSize,
               const Bytes& list) {
  Bytes map;
  AppendRecord(&map, record::kMode, TextBody("extract"));
  if (!plan.commandLine.empty()) AppendRecord(&map, record::kCommandLine, TextBody(plan.commandLine));
  if (!plan.sfxName.empty()) AppendRecord(&map, record::kSfxName, TextBody(plan.sfxName));
  AppendRecord(&map, record::kInstaller, Uint32Body({installerOffset, installerSize}));
  AppendRecord(&map, record::kList, list);
  return map;
}

// The MD5 of a tail block's first kTailDigestOffset bytes, the first `zeros` of them zero. Those
// zeros in front of the items are most of the block, and their digest is the same in every
// block: the hash's state after each whole 64-byte run of them is kept, so that a block costs
// the digest of its items, not of 16 KiB (a server stamps one per download).
void tailDigest(const Bytes& block, std::size_t zeros, std::uint8_t* digest) {
  constexpr std::size_t kRun = CryptoPP::Weak::MD5::BLOCKSIZE;
  static const std::vector<CryptoPP::Weak::MD5> afterZeros = [] {
    std::vector<CryptoPP::Weak::MD5> states(kTailDigestOffset / kRun + 1);
    const std::uint8_t run[kRun] = {};
    for (std::size_t i = 1; i < states.size(); ++i) {
      states[i] = states[i - 1];
      states[i].Update(run, kRun);
    }
    return states;
  }();
  CryptoPP::Weak::MD5 md5 = afterZeros[zeros / kRun];
  const std::size_t from = zeros / kRun * kRun;
  md5.Update(block.data() + from, kTailDigestOffset - from);
  md5.Final(digest);
}

}  // namespace

bool PrepareEmbeddedItem(const std::string& tag, const Bytes& raw, EmbeddedItem* out, std::string* error) {
  out->tag = tag;
  ItemStorage storage = ItemStorage::kRaw;
  if (!FindItemStorage(tag, &storage)) {
    *error = "item tag '" + tag + "' is not one of ERID, EAPT, EBCF, ECFG, EBPK";
    return false;
  }
  if (storage == ItemStorage::kRaw) {
    out->data = raw;
    return true;
  }
  auto packer = packers::CreateDataPacker(packers::kPackerZlib);
  out->data.resize(packer->MaxCompressedSize(static_cast<std::uint32_t>(raw.size())));
  std::uint32_t size = static_cast<std::uint32_t>(out->data.size());
  if (raw.size() > kFormatLimit ||
      packer->Compress(raw.data(), static_cast<std::uint32_t>(raw.size()), out->data.data(), &size) != 0) {
    *error = "cannot compress the " + tag + " item";
    return false;
  }
  out->data.resize(size);
  return true;
}

void AppendRecord(Bytes* out, std::uint32_t tag, const Bytes& body) {
  appendUint32(out, tag);
  appendUint32(out, static_cast<std::uint32_t>(body.size()));
  appendBytes(out, body);
}

Bytes TextBody(const std::string& text) {
  Bytes body(text.begin(), text.end());
  body.push_back(0);
  return body;
}

Bytes Uint32Body(std::initializer_list<std::uint32_t> values) {
  Bytes body;
  for (std::uint32_t v : values) appendUint32(&body, v);
  return body;
}

Bytes EmbeddedDataBlock(const std::vector<EmbeddedItem>& items) {
  Bytes block;
  for (const EmbeddedItem& item : items) {
    appendBytes(&block, item.data);
    appendUint32(&block, static_cast<std::uint32_t>(item.data.size()));
    block.insert(block.end(), item.tag.begin(), item.tag.end());
  }
  appendUint32(&block, static_cast<std::uint32_t>(block.size()));
  appendUint32(&block, kEmbeddedDataTag);
  return block;
}

bool TailBlock(const std::vector<EmbeddedItem>& items, Bytes* out, std::string* error) {
  const Bytes block = EmbeddedDataBlock(items);
  if (block.size() > kTailDigestOffset) {
    *error = "tail items of " + std::to_string(block.size()) + " bytes do not fit the " +
             std::to_string(kTailDigestOffset) + " bytes of a tail block";
    return false;
  }
  out->assign(kTailDigestOffset - block.size(), 0);
  appendBytes(out, block);
  std::uint8_t digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  tailDigest(*out, kTailDigestOffset - block.size(), digest);
  out->insert(out->end(), digest, digest + sizeof(digest));
  return true;
}

std::uint64_t inputTotal(const InstallerPlan& plan) {
  std::uint64_t total = plan.installerPath.empty() ? plan.installer.size() : plan.installerSize;
  for (const FileEntryPlan& file : plan.files) total += file.path.empty() ? file.data.size() : file.size;
  return total;
}

bool WriteInstallerContent(const InstallerPlan& plan, const Sink& sink, const WriteProgress& progress, Layout* layout,
                           std::string* error) {
  for (const EmbeddedItem& item : plan.embedded) {
    if (item.tag.size() != kTagSize) {
      *error = "embedded item tag '" + item.tag + "' must have four characters";
      return false;
    }
  }
  if (!checkNames(plan.files, error)) return false;
  std::atomic<std::uint64_t> allowance{kSpoolMemory};
  std::vector<std::unique_ptr<PackJob>> jobs;
  for (const FileEntryPlan& file : plan.files) {
    if (!file.extractionName.empty()) {
      jobs.push_back(std::make_unique<PackJob>(file.data, file.path, file.size, file.packer, &allowance));
    }
  }
  jobs.push_back(std::make_unique<PackJob>(plan.installer, plan.installerPath, plan.installerSize,
                                           plan.installerPacker, &allowance));
  Tally tally(progress, inputTotal(plan));
  packAll(jobs, tally);

  Content content(sink);
  Bytes list;
  std::uint32_t installerOffset = 0, installerSize = 0;
  if (!content.put(plan.stub, error) || !storeFiles(plan.files, jobs, content, tally, &list, error) ||
      !storePackage(*jobs.back(), content, &installerOffset, &installerSize, error)) {
    return false;
  }
  Bytes mapPackage;
  const Bytes map = mapBlock(plan, installerOffset, installerSize, list);
  if (!package(packers::kPackerZlib, map, &mapPackage, error)) return false;
  Layout where;
  where.mapOffset = static_cast<std::uint32_t>(content.size());
  if (!content.put(mapPackage, error)) return false;
  where.locatorOffset = static_cast<std::uint32_t>(content.size());
  Bytes locator;
  appendUint32(&locator, where.mapOffset);
  locator.insert(locator.end(), kLocatorMagic, kLocatorMagic + kLocatorMagicSize);
  if (!plan.embedded.empty()) appendBytes(&locator, EmbeddedDataBlock(plan.embedded));
  if (!content.put(locator, error)) return false;
  where.contentLength = static_cast<std::uint32_t>(content.size());
  // The reader takes the content of a text signature to end two bytes before it.
  const std::uint8_t lineBreak[] = {'\r', '\n'};
  if (plan.signatureType == SignatureType::kTextMd5 && !sink(lineBreak, sizeof lineBreak, error)) return false;
  if (layout != nullptr) *layout = where;
  return true;
}

bool BuildInstaller(const InstallerPlan& plan, const Signer& sign, Bytes* out, Layout* layout, std::string* error) {
  Bytes content;
  const Sink toMemory = [&content](const std::uint8_t* data, std::size_t size, std::string*) {
    content.insert(content.end(), data, data + size);
    return true;
  };
  Layout where;
  if (!WriteInstallerContent(plan, toMemory, nullptr, &where, error) || !sign(&content, error)) return false;
  if (layout != nullptr) *layout = where;
  *out = std::move(content);
  return true;
}

}  // namespace tzk::archive
