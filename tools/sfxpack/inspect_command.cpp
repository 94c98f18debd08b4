// sfxpack inspect: what an installer holds and whether its signature verifies.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

#include "archive/sfx_archive.h"
#include "archive/signature.h"
#include "archive/signing.h"
#include "root/text.h"
#include "tools/sfxpack/cli.h"

namespace sfxpack {
namespace {

using nlohmann::json;

constexpr char kHelp[] =
    "usage: sfxpack inspect SETUP.exe [--json] [--keys DIR]\n\n"
    "Shows the signature (type, key index, whether it verifies), the content and embedded-data\n"
    "lengths, the map records, every file entry (name, offset, size, time, extraction name),\n"
    "the installer entry, the embedded items and the tail items. Exit code 0 when the signature\n"
    "verifies and the archive reads, 1 when it does not verify, 3 when the file is unreadable\n"
    "or holds no archive.\n\n"
    "options:\n"
    "  --json      print one JSON object instead of text\n"
    "  --keys DIR  check against key1.pub.pem ... key7.pub.pem in DIR instead of the built-in keys\n";

std::vector<json>* g_items = nullptr;

// Lists items instead of writing them.
tzk::Result collectItem(const std::wstring& path, const std::uint8_t*, std::uint32_t size) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  g_items->push_back({{"file", tzk::root::toUtf8(name)}, {"size", size}});
  return tzk::code::kSuccess;
}

std::string isoTime(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

json describeEntries(const tzk::archive::SfxArchive& archive) {
  json files = json::array();
  for (const auto& e : archive.fileEntries()) {
    files.push_back({{"name", tzk::root::toUtf8(e.name)}, {"offset", e.offset}, {"size", e.size},
                     {"time", e.time}, {"timeUtc", isoTime(e.time)},
                     {"extractionName", tzk::root::toUtf8(e.extractionName)}});
  }
  return files;
}

void printText(const json& d) {
  std::printf("file: %s\n", d["file"].get<std::string>().c_str());
  if (!d.contains("signatureType")) {
    std::printf("signature: none found\n");
    return;
  }
  const int key = d["keyIndex"].get<int>();
  std::printf("signature: type %d, %s", d["signatureType"].get<int>(), d["verifies"].get<bool>() ? "verifies" : "DOES NOT VERIFY");
  if (d["verifies"].get<bool>() && key != 0) std::printf(" with key %d", key);
  std::printf("\ncontent length: %u\n", d["contentLength"].get<std::uint32_t>());
  if (d.contains("error")) {
    std::printf("archive: %s\n", d["error"].get<std::string>().c_str());
    return;
  }
  std::printf("embedded-data length: %u\n", d["embeddedDataLength"].get<std::uint32_t>());
  std::printf("command line: %s\nsfx name: %s\n", d["commandLine"].get<std::string>().c_str(),
              d["sfxName"].get<std::string>().c_str());
  std::printf("installer: offset %u, size %u\n", d["installer"]["offset"].get<std::uint32_t>(),
              d["installer"]["size"].get<std::uint32_t>());
  std::printf("files (%zu):\n", d["files"].size());
  for (const auto& f : d["files"]) {
    std::printf("  %-32s offset %10u size %10u %s", f["name"].get<std::string>().c_str(), f["offset"].get<std::uint32_t>(),
                f["size"].get<std::uint32_t>(), f["timeUtc"].get<std::string>().c_str());
    if (!f["extractionName"].get<std::string>().empty()) std::printf(" -> %s", f["extractionName"].get<std::string>().c_str());
    std::printf("\n");
  }
  for (const char* list : {"embeddedItems", "tailItems"}) {
    std::printf("%s:%s\n", list[0] == 'e' ? "embedded items" : "tail items", d[list].empty() ? " none" : "");
    for (const auto& i : d[list]) std::printf("  %-24s %u bytes\n", i["file"].get<std::string>().c_str(), i["size"].get<std::uint32_t>());
  }
}

int run(const Args& args) {
  const ParsedArgs a = parseArgs(args, {"--json"}, {"--keys"});
  if (!a.error.empty()) return usageError("inspect", a.error);
  if (a.positional.size() != 1) return usageError("inspect", "needs one SETUP.exe");
  const std::string& file = a.positional[0];
  const std::wstring path = tzk::root::fromUtf8(file);
  tzk::archive::LoadedKeys loaded;
  if (a.has("--keys") && loaded.LoadFolder(tzk::root::fromUtf8(a.value("--keys"))) != tzk::code::kSuccess) {
    return fileError("inspect", a.value("--keys"), "no usable key1.pub.pem ... key7.pub.pem there", kExitBadInput);
  }

  json d = {{"file", file}};
  int type = 0;
  std::uint64_t offset = 0;
  int exit = kExitOk;
  if (tzk::archive::LocateSignature(path.c_str(), tzk::archive::signature_mode::kArchive, nullptr, &type, &offset)) {
    int key = 0;
    const int mode = tzk::archive::VerifyModeForType(type);
    const bool verifies = a.has("--keys") ? tzk::archive::VerifySignatureWithKeys(path.c_str(), mode, loaded.keys(), &key)
                                          : tzk::archive::VerifySignature(path.c_str(), mode, &key);
    d["signatureType"] = type;
    d["keyIndex"] = verifies ? key : 0;
    d["verifies"] = verifies;
    d["contentLength"] = offset;
    if (!verifies) exit = kExitCheckFailed;

    tzk::archive::SfxArchive archive;
    const tzk::Result read = archive.ReadContainer(path.c_str(), type, offset);
    if (read != tzk::code::kSuccess) {
      d["error"] = "cannot read the archive (code " + std::to_string(read) + ")";
      exit = kExitBadInput;
    } else {
      d["contentLength"] = archive.contentLength();
      d["embeddedDataLength"] = archive.embeddedDataLength();
      d["commandLine"] = tzk::root::toUtf8(archive.commandLine());
      d["sfxName"] = tzk::root::toUtf8(archive.sfxName());
      d["installer"] = {{"offset", archive.installerEntry().offset}, {"size", archive.installerEntry().size}};
      d["files"] = describeEntries(archive);
      std::vector<json> items;
      g_items = &items;
      archive.ExtractEmbeddedItems(L"", collectItem);
      d["embeddedItems"] = items;
      items.clear();
      archive.ExtractTailItems(L"", collectItem);
      d["tailItems"] = items;
    }
  } else {
    exit = tzk::root::toUtf8(path).empty() ? kExitUsage : kExitBadInput;
  }
  if (a.has("--json")) std::printf("%s\n", d.dump(2).c_str());
  else printText(d);
  return exit;
}

const CommandRegistration kInspect({"inspect", "show what an installer holds and whether it verifies", kHelp, run});

}  // namespace
}  // namespace sfxpack
