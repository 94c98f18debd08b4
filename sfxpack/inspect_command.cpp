// sfxpack inspect: what an installer holds and whether its signature verifies.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

#include "archive/sfx_archive.h"
#include "signature/signature.h"
#include "signature/signing/signing.h"
#include "vocabulary/path.h"
#include "vocabulary/text.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/authenticode.h"
#include "sfxpack/cli.h"

namespace sfxpack {
namespace {

using nlohmann::json;

constexpr char kHelp[] =
    "usage: sfxpack inspect SETUP.exe [--json] [--keys DIR]\n\n"
    "Shows whether the stub accepts the file (as `sfxpack verify` decides it, with the keys of the\n"
    "stub inside the file), the signature (type, offset, key), the content and embedded-data\n"
    "lengths, the map records, every file entry (name, offset, size, time, extraction name),\n"
    "the installer entry, the embedded items, the tail items and which of those blocks the stub\n"
    "reads (\"embedded\", \"tail\" or \"none\": it reads the tail block only when the installer has\n"
    "no valid embedded-data block); the archive is shown even when its signature does not verify.\n"
    "The Authenticode side is reported as `sfxpack verify` reports it (chain trust is\n"
    "osslsigncode's job: osslsigncode verify -CAfile CA.pem -in FILE).\n\n"
    "options:\n"
    "  --json      print one JSON object: \"ok\", \"accepted\", what is shown, \"error\" {code, message}\n"
    "  --keys DIR  check against key1.pub.pem ... key7.pub.pem in DIR instead of the stub's keys\n\n"
    "exit codes: as for verify: 0 accepted, 1 refused for its signature type, keys or signature,\n"
    "2 usage error, 3 missing, unreadable or no installer the stub's loader can read\n";

std::vector<json>* g_items = nullptr;

// Lists items instead of writing them.
tzk::Result collectItem(const std::wstring& path, const std::uint8_t*, std::uint32_t size) {
  g_items->push_back({{"file", tzk::vocabulary::toUtf8(tzk::vocabulary::FileNameOf(path))}, {"size", size}});
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
    files.push_back({{"name", tzk::vocabulary::toUtf8(e.name)}, {"offset", e.offset}, {"size", e.size},
                     {"time", e.time}, {"timeUtc", isoTime(e.time)},
                     {"extractionName", tzk::vocabulary::toUtf8(e.extractionName)}});
  }
  return files;
}

void printText(const json& d) {
  std::printf("file: %s\n", d["file"].get<std::string>().c_str());
  std::printf("accepted by the stub: %s\n", d.value("accepted", false) ? "yes" : "NO");
  if (d.contains("error")) std::printf("reason: %s\n", d["error"]["message"].get<std::string>().c_str());
  if (!d.contains("signatureType")) return;
  std::printf("signature: type %d at offset %llu", d["signatureType"].get<int>(),
              static_cast<unsigned long long>(d["signatureOffset"].get<std::uint64_t>()));
  if (d.contains("keyIndex")) std::printf(", verified with key %d", d["keyIndex"].get<int>());
  const std::string table = d["certificateTable"].get<std::string>();
  std::printf("%s\n", table == "present"    ? ", before an Authenticode certificate table"
                      : table == "reserved" ? ", before room reserved for an Authenticode certificate table"
                                            : "");
  if (d.contains("keySource")) std::printf("keys: %s\n", d["keySource"].get<std::string>().c_str());
  std::printf("content length: %llu\n", static_cast<unsigned long long>(d["contentLength"].get<std::uint64_t>()));
  if (d.contains("archiveError")) {
    std::printf("archive: %s\n", d["archiveError"].get<std::string>().c_str());
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
  std::printf("items block the stub reads: %s\n", d["itemsBlock"].get<std::string>().c_str());
}

int run(const Args& args) {
  const bool wantJson = WantsJson(args);
  const ParsedArgs a = ParseArgs(args, {"--json"}, {"--keys"});
  if (!a.error.empty()) return UsageErrorJson("inspect", a.error, wantJson);
  if (a.positional.size() != 1) return UsageErrorJson("inspect", "needs one SETUP.exe", wantJson);
  const std::string& file = a.positional[0];
  const std::wstring path = tzk::vocabulary::fromUtf8(file);
  KeysOption keys;
  if (std::string error; !ReadKeysOption(a, &keys, &error)) {
    return wantJson ? FinishJson("inspect", {{"file", file}}, kExitBadInput, keys.folder, error)
                    : FileError("inspect", keys.folder, error, kExitBadInput);
  }

  tzk::archive::SfxArchive archive;
  const StubVerdict v = CheckAsStub(file, &archive, keys.keys(), keys.folder);
  json d = VerdictJson(v);
  d["file"] = file;
  if (v.type) {
    // An archive whose signature fails is still shown: its container is read without the check.
    const tzk::Result read = v.containerRead()
                                 ? v.loaderCode
                                 : archive.ReadContainer(path.c_str(), *v.type, v.signatureOffset).code;
    if (read != tzk::code::kSuccess) {
      d["archiveError"] = "cannot read the archive (code " + std::to_string(read) + ")";
    } else {
      d["embeddedDataLength"] = archive.embeddedDataLength();
      d["commandLine"] = tzk::vocabulary::toUtf8(archive.commandLine());
      d["sfxName"] = tzk::vocabulary::toUtf8(archive.sfxName());
      d["installer"] = {{"offset", archive.installerEntry().offset}, {"size", archive.installerEntry().size}};
      d["files"] = describeEntries(archive);
      std::vector<json> items;
      g_items = &items;
      archive.ExtractEmbeddedItems(L"", collectItem);
      d["embeddedItems"] = items;
      items.clear();
      archive.ExtractTailItems(L"", collectItem);
      d["tailItems"] = items;
      d["itemsBlock"] = ItemsBlockName(StubItemsBlock(archive));
    }
  }
  const CodeSignatureReport code = v.readable ? InspectCodeSignatureOf(archive, file) : CodeSignatureReport{};
  if (code.readable) d["codeSignature"] = CodeSignatureJson(code);
  const std::string message = v.accepted() ? "" : v.message();
  if (wantJson) return FinishJson("inspect", d, v.exit, file, message);
  d["ok"] = v.accepted();
  if (!v.accepted()) d["error"] = {{"code", v.exit}, {"message", message}};
  printText(d);
  if (code.readable) std::fputs(CodeSignatureText(code).c_str(), stdout);
  if (!v.accepted()) FileError("inspect", file, message, v.exit);
  return v.exit;
}

const CommandRegistration kInspect({"inspect", "show what an installer holds and whether it verifies", kHelp, run});

}  // namespace
}  // namespace sfxpack
