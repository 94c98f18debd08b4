#include "tools/sfxpack/manifest.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "root/text.h"

namespace sfxpack {
namespace {

using nlohmann::json;

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool isAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads manifests strictly: a misspelt key is an error, not a silently missing setting.
class Reader {
 public:
  Reader(std::string manifestPath, std::string* error) : base_(folderOf(manifestPath)), error_(error) {}

  bool fail(const std::string& where, const std::string& what) {
    *error_ = where + ": " + what;
    return false;
  }

  bool onlyKeys(const json& object, const std::string& where, std::initializer_list<const char*> keys) {
    if (!object.is_object()) return fail(where, "must be an object");
    for (const auto& item : object.items()) {
      bool known = false;
      for (const char* k : keys) known = known || item.key() == k;
      if (!known) return fail(where, "unknown key \"" + item.key() + "\"");
    }
    return true;
  }

  bool text(const json& object, const char* key, const std::string& where, std::string* out, bool required) {
    if (!object.contains(key)) return required ? fail(where, std::string("\"") + key + "\" is missing") : true;
    if (!object[key].is_string()) return fail(where, std::string("\"") + key + "\" must be a string");
    *out = object[key].get<std::string>();
    return true;
  }

  bool file(const json& object, const char* key, const std::string& where, Bytes* out, std::string* path = nullptr) {
    std::string relative;
    if (!text(object, key, where, &relative, true)) return false;
    const std::string resolved = resolve(relative);
    if (path != nullptr) *path = resolved;
    std::string why;
    if (!ReadWholeFile(resolved, out, &why)) return fail(where, why);
    return true;
  }

  bool packer(const json& object, const std::string& where, std::uint32_t fallback, std::uint32_t* out) {
    *out = fallback;
    if (!object.contains("packer")) return true;
    const std::string kind = object["packer"].is_string() ? object["packer"].get<std::string>() : "";
    if (kind == "zlib") *out = tzk::packers::kPackerZlib;
    else if (kind == "lzma") *out = tzk::packers::kPackerLzma;
    else return fail(where, "\"packer\" must be \"zlib\" or \"lzma\"");
    return true;
  }

  bool time(const json& object, const std::string& where, std::uint32_t* out) {
    if (object.contains("time")) {
      if (!object["time"].is_number_unsigned() || object["time"].get<std::uint64_t>() > 0xFFFFFFFFu) {
        return fail(where, "\"time\" must be seconds since 1970 that fit in 32 bits");
      }
      *out = object["time"].get<std::uint32_t>();
      return true;
    }
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    char* end = nullptr;
    const unsigned long long value = epoch != nullptr ? std::strtoull(epoch, &end, 10) : 0;
    if (epoch == nullptr || *epoch == '\0' || *end != '\0' || value > 0xFFFFFFFFu) {
      return fail(where, "no \"time\": give one or set SOURCE_DATE_EPOCH (the clock is never used)");
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
  }

  std::string resolve(const std::string& path) const { return isAbsolute(path) ? path : base_ + path; }

 private:
  std::string base_;
  std::string* error_;
};

bool readFiles(Reader& r, const json& files, InstallerPlan* plan) {
  if (!files.is_array()) return r.fail("files", "must be an array");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string where = "files[" + std::to_string(i) + "]";
    const json& f = files[i];
    FileEntryPlan file;
    std::string path;
    if (!r.onlyKeys(f, where, {"path", "name", "time", "extractionName", "packer"}) ||
        !r.file(f, "path", where, &file.data, &path) || !r.text(f, "extractionName", where, &file.extractionName, false) ||
        !r.packer(f, where, tzk::packers::kPackerLzma, &file.packer) || !r.time(f, where, &file.time)) {
      return false;
    }
    file.name = baseName(path);
    if (!r.text(f, "name", where, &file.name, false)) return false;
    plan->files.push_back(std::move(file));
  }
  return true;
}

bool readSelfDefense(Reader& r, const json& modules, InstallerPlan* plan) {
  if (!modules.is_array()) return r.fail("selfDefense", "must be an array");
  for (std::size_t i = 0; i < modules.size(); ++i) {
    const std::string where = "selfDefense[" + std::to_string(i) + "]";
    const json& m = modules[i];
    std::string platform, path;
    Bytes image;
    FileEntryPlan file;
    if (!r.onlyKeys(m, where, {"path", "platform", "time"}) || !r.text(m, "platform", where, &platform, true) ||
        !r.file(m, "path", where, &image, &path) || !r.time(m, where, &file.time)) {
      return false;
    }
    if (platform != "x86" && platform != "x64") return r.fail(where, "\"platform\" must be \"x86\" or \"x64\"");
    // The stub unpacks the module itself under a name of its choosing, so the entry is stored
    // as a package without an extraction name of its own.
    const tzk::Result packed = tzk::packers::BuildFilePackage(
        tzk::packers::kPackerLzma, image.data(), static_cast<std::uint32_t>(image.size()), &file.data);
    if (packed != tzk::code::kSuccess) return r.fail(where, "cannot pack the module");
    file.name = "selfdefense_" + platform + "_" + baseName(path);
    plan->files.push_back(std::move(file));
  }
  return true;
}

bool readEmbedded(Reader& r, const json& items, InstallerPlan* plan) {
  if (!items.is_array()) return r.fail("embedded", "must be an array");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string where = "embedded[" + std::to_string(i) + "]";
    EmbeddedItem item;
    Bytes raw;
    if (!r.onlyKeys(items[i], where, {"tag", "path"}) || !r.text(items[i], "tag", where, &item.tag, true) ||
        !r.file(items[i], "path", where, &raw)) {
      return false;
    }
    std::string why;
    if (!PrepareEmbeddedItem(item.tag, raw, &item, &why)) return r.fail(where, why);
    plan->embedded.push_back(std::move(item));
  }
  return true;
}

}  // namespace

namespace {
// Paths are UTF-8 on every system; Windows wants them wide.
std::FILE* openFile(const std::string& path, const char* mode) {
#ifdef _WIN32
  return ::_wfopen(tzk::root::fromUtf8(path).c_str(), tzk::root::fromUtf8(mode).c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

bool ReadWholeFile(const std::string& path, Bytes* out, std::string* error) {
  std::unique_ptr<std::FILE, FileCloser> in(openFile(path, "rb"));
  if (!in) {
    *error = path + ": cannot open for reading: " + std::strerror(errno);
    return false;
  }
  out->clear();
  std::uint8_t chunk[1 << 16];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), in.get())) > 0) out->insert(out->end(), chunk, chunk + n);
  if (std::ferror(in.get())) {
    *error = path + ": read error: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const Bytes& data, std::string* error) {
  std::unique_ptr<std::FILE, FileCloser> out(openFile(path, "wb"));
  const bool ok = out && std::fwrite(data.data(), 1, data.size(), out.get()) == data.size() &&
                  std::fclose(out.release()) == 0;
  if (!ok) *error = path + ": cannot write: " + std::strerror(errno);
  return ok;
}

bool LoadManifest(const std::string& path, const ManifestOverrides& overrides, Manifest* out, std::string* error) {
  Bytes text;
  if (!ReadWholeFile(path, &text, error)) return false;
  json doc = json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded()) {
    *error = path + ": not valid JSON";
    return false;
  }
  Reader r(path, error);
  InstallerPlan& plan = out->plan;
  if (!r.onlyKeys(doc, path, {"stub", "commandLine", "sfxName", "installer", "files", "selfDefense", "embedded",
                              "signature"})) {
    return false;
  }
  if (!overrides.stub.empty()) {
    if (!ReadWholeFile(overrides.stub, &plan.stub, error)) return false;
  } else if (!r.file(doc, "stub", "stub", &plan.stub)) {
    return false;
  }
  if (!r.text(doc, "commandLine", "commandLine", &plan.commandLine, false) ||
      !r.text(doc, "sfxName", "sfxName", &plan.sfxName, false)) {
    return false;
  }
  if (!doc.contains("installer")) return r.fail(path, "\"installer\" is missing");
  const json& installer = doc["installer"];
  if (!r.onlyKeys(installer, "installer", {"path", "packer"}) ||
      !r.packer(installer, "installer", tzk::packers::kPackerLzma, &plan.installerPacker)) {
    return false;
  }
  if (!overrides.installer.empty()) {
    if (!ReadWholeFile(overrides.installer, &plan.installer, error)) return false;
  } else if (!r.file(installer, "path", "installer", &plan.installer)) {
    return false;
  }
  if (doc.contains("files") && !readFiles(r, doc["files"], &plan)) return false;
  if (doc.contains("selfDefense") && !readSelfDefense(r, doc["selfDefense"], &plan)) return false;
  if (doc.contains("embedded") && !readEmbedded(r, doc["embedded"], &plan)) return false;

  ManifestSignature& sig = out->signature;
  if (doc.contains("signature")) {
    const json& s = doc["signature"];
    if (!r.onlyKeys(s, "signature", {"type", "key"})) return false;
    if (s.contains("type") && !s["type"].is_number_integer()) return r.fail("signature", "\"type\" must be 1, 2 or 5");
    if (s.contains("type")) sig.type = s["type"].get<int>();
    if (!r.text(s, "key", "signature", &sig.key, false)) return false;
    if (!sig.key.empty()) sig.key = r.resolve(sig.key);
  }
  if (!overrides.key.empty()) sig.key = overrides.key;
  if (sig.type != 1 && sig.type != 2 && sig.type != 5) return r.fail("signature", "\"type\" must be 1, 2 or 5");
  if (sig.type != 2 && sig.key.empty()) return r.fail("signature", "type " + std::to_string(sig.type) + " needs a \"key\"");
  plan.signatureType = sig.type;
  return true;
}

}  // namespace sfxpack
