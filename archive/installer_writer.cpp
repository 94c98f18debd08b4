#include "archive/installer_writer.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include "archive/embedded_items.h"
#include "archive/format.h"
#include "archive/sfx_archive.h"
#include "log/vocabulary/little_endian.h"
#include "log/vocabulary/text.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"

namespace tzk::archive {
namespace {

void appendUint32(Bytes* out, std::uint32_t v) {
  std::uint8_t bytes[4];
  root::WriteLe32(bytes, v);
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
  if (!IsContainedName(root::fromUtf8(name))) {
    *error = std::string(what) + " '" + name + "' would be written outside the target folder";
    return false;
  }
  return true;
}

bool package(std::uint32_t kind, const Bytes& data, Bytes* out, std::string* error) {
  if (data.size() > kFormatLimit) {
    *error = "content of " + std::to_string(data.size()) + " bytes is beyond the format's 2 GiB limit";
    return false;
  }
  const Result r = packers::BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), out);
  if (r != code::kSuccess) {
    *error = "cannot pack data (code " + std::to_string(r) + ")";
    return false;
  }
  return true;
}

// Appends stored bytes to the archive data and returns their absolute offset.
bool store(Bytes* out, const Bytes& data, std::uint32_t* offset, std::string* error) {
  if (out->size() + data.size() > kFormatLimit) {
    *error = "the installer would exceed the format's 2 GiB limit";
    return false;
  }
  *offset = static_cast<std::uint32_t>(out->size());
  appendBytes(out, data);
  return true;
}

// Each file's data goes into the content, its record into the list.
bool storeFiles(const std::vector<FileEntryPlan>& files, Bytes* content, Bytes* list, std::string* error) {
  for (const FileEntryPlan& file : files) {
    if (!checkName(file.name, "entry name", error)) return false;
    if (!file.extractionName.empty() && !checkName(file.extractionName, "extraction name", error)) return false;
    Bytes stored;
    if (!file.extractionName.empty() && !package(file.packer, file.data, &stored, error)) return false;
    std::uint32_t offset = 0;
    if (!store(content, file.extractionName.empty() ? file.data : stored, &offset, error)) return false;
    Bytes entry;
    AppendRecord(&entry, record::kName, TextBody(file.name));
    const auto size = static_cast<std::uint32_t>(file.extractionName.empty() ? file.data.size() : stored.size());
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
  CryptoPP::Weak::MD5().CalculateDigest(digest, out->data(), kTailDigestOffset);
  out->insert(out->end(), digest, digest + sizeof(digest));
  return true;
}

bool BuildInstaller(const InstallerPlan& plan, const Signer& sign, Bytes* out, Layout* layout, std::string* error) {
  for (const EmbeddedItem& item : plan.embedded) {
    if (item.tag.size() != 4) {
      *error = "embedded item tag '" + item.tag + "' must have four characters";
      return false;
    }
  }
  Bytes content = plan.stub;
  Bytes list;
  if (!storeFiles(plan.files, &content, &list, error)) return false;
  Bytes installer;
  std::uint32_t installerOffset = 0;
  if (!package(plan.installerPacker, plan.installer, &installer, error) ||
      !store(&content, installer, &installerOffset, error)) {
    return false;
  }
  Bytes mapPackage;
  const Bytes map = mapBlock(plan, installerOffset, static_cast<std::uint32_t>(installer.size()), list);
  if (!package(packers::kPackerZlib, map, &mapPackage, error)) return false;
  Layout where;
  if (!store(&content, mapPackage, &where.mapOffset, error)) return false;
  where.locatorOffset = static_cast<std::uint32_t>(content.size());
  appendUint32(&content, where.mapOffset);
  content.insert(content.end(), kLocatorMagic, kLocatorMagic + kLocatorMagicSize);
  if (!plan.embedded.empty()) appendBytes(&content, EmbeddedDataBlock(plan.embedded));
  if (content.size() > kFormatLimit) {
    *error = "the installer would exceed the format's 2 GiB limit";
    return false;
  }
  where.contentLength = static_cast<std::uint32_t>(content.size());
  // The reader takes the content of a text signature to end two bytes before it.
  if (plan.signatureType == 2) content.insert(content.end(), {'\r', '\n'});
  if (!sign(&content, error)) return false;
  if (layout != nullptr) *layout = where;
  *out = std::move(content);
  return true;
}

}  // namespace tzk::archive
