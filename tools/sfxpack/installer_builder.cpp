#include "tools/sfxpack/installer_builder.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>

#include "archive/sfx_archive.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "log/vocabulary/text.h"

namespace sfxpack {
namespace {

constexpr std::uint64_t kFormatLimit = 0x7FFFFFFF;  // 32-bit signed positions in the stub's reader
constexpr char kLocatorMagic[] = "TZKsetupSelfExt2";

void appendUint32(Bytes* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
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
  if (!tzk::archive::IsContainedName(tzk::root::fromUtf8(name))) {
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
  const tzk::Result r = tzk::packers::BuildFilePackage(kind, data.data(), static_cast<std::uint32_t>(data.size()), out);
  if (r != tzk::code::kSuccess) {
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

}  // namespace

bool PrepareEmbeddedItem(const std::string& tag, const Bytes& raw, EmbeddedItem* out, std::string* error) {
  out->tag = tag;
  if (tag == "ERID" || tag == "EAPT") {
    out->data = raw;
    return true;
  }
  if (tag != "EBCF" && tag != "ECFG" && tag != "EBPK") {
    *error = "item tag '" + tag + "' is not one of ERID, EAPT, EBCF, ECFG, EBPK";
    return false;
  }
  auto packer = tzk::packers::CreateDataPacker(tzk::packers::kPackerZlib);
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

void AppendRecord(Bytes* out, const char (&tag)[5], const Bytes& body) {
  out->insert(out->end(), tag, tag + 4);
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
  const auto length = static_cast<std::uint32_t>(block.size());
  appendUint32(&block, length);
  block.insert(block.end(), {'E', 'D', 'A', 'T'});
  return block;
}

bool TailBlock(const std::vector<EmbeddedItem>& items, Bytes* out, std::string* error) {
  const Bytes block = EmbeddedDataBlock(items);
  constexpr std::size_t kDigestOffset = 16368;
  if (block.size() > kDigestOffset) {
    *error = "tail items of " + std::to_string(block.size()) + " bytes do not fit the 16368 bytes of a tail block";
    return false;
  }
  out->assign(kDigestOffset - block.size(), 0);
  appendBytes(out, block);
  std::uint8_t digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  CryptoPP::Weak::MD5().CalculateDigest(digest, out->data(), kDigestOffset);
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
  for (const FileEntryPlan& file : plan.files) {
    if (!checkName(file.name, "entry name", error)) return false;
    if (!file.extractionName.empty() && !checkName(file.extractionName, "extraction name", error)) return false;
    Bytes stored;
    if (!file.extractionName.empty() && !package(file.packer, file.data, &stored, error)) return false;
    std::uint32_t offset = 0;
    if (!store(&content, file.extractionName.empty() ? file.data : stored, &offset, error)) return false;
    Bytes record;
    AppendRecord(&record, "NAME", TextBody(file.name));
    const auto size = static_cast<std::uint32_t>(file.extractionName.empty() ? file.data.size() : stored.size());
    AppendRecord(&record, "PTRL", Uint32Body({offset, size, file.time}));
    if (!file.extractionName.empty()) AppendRecord(&record, "XNAM", TextBody(file.extractionName));
    AppendRecord(&list, "FILE", record);
  }
  Bytes installer;
  std::uint32_t installerOffset = 0;
  if (!package(plan.installerPacker, plan.installer, &installer, error) ||
      !store(&content, installer, &installerOffset, error)) {
    return false;
  }

  Bytes map;
  AppendRecord(&map, "MODE", TextBody("extract"));
  if (!plan.commandLine.empty()) AppendRecord(&map, "CMDL", TextBody(plan.commandLine));
  if (!plan.sfxName.empty()) AppendRecord(&map, "SFXN", TextBody(plan.sfxName));
  AppendRecord(&map, "CMDP", Uint32Body({installerOffset, static_cast<std::uint32_t>(installer.size())}));
  AppendRecord(&map, "LIST", list);
  Bytes mapPackage;
  if (!package(tzk::packers::kPackerZlib, map, &mapPackage, error)) return false;
  Layout where;
  if (!store(&content, mapPackage, &where.mapOffset, error)) return false;
  where.locatorOffset = static_cast<std::uint32_t>(content.size());
  appendUint32(&content, where.mapOffset);
  content.insert(content.end(), kLocatorMagic, kLocatorMagic + 16);
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

}  // namespace sfxpack
