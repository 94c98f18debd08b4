#include "sfxpack/manifest.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>

#include "archive/embedded_items.h"
#include "archive/format.h"
#include "vocabulary/path.h"
#include "vocabulary/text.h"
#include "packers/data_packer.h"
#include "packers/file_package.h"
#include "sfxpack/acceptance.h"
#include "sfxpack/file_io.h"

namespace sfxpack {
namespace {

using nlohmann::json;
using tzk::archive::kFormatLimit;

// The manifest's folder with its separator, which relative paths in it are joined onto; a
// colon is a name's own letter here, as on the producer's Linux.
std::string folderOf(const std::string& path) {
  const std::size_t length = tzk::vocabulary::FolderOf(path).size();
  const bool separated = length < path.size() && (path[length] == '/' || path[length] == '\\');
  return separated ? path.substr(0, length + 1) : std::string();
}

std::string baseName(const std::string& path) { return path.substr(folderOf(path).size()); }

// Reads manifests strictly: a misspelt key is an error, not a silently missing setting. The
// files a manifest names are only noted while it is walked: every one is measured before any is
// read, so inputs that could never make an installer cost no reading.
class Reader {
 public:
  // Hands a file's bytes to the plan once it is read; false after fail().
  using Take = std::function<bool(Bytes&& data)>;
  // Whether a file's bytes are what they must be, before they are taken; false with the reason.
  using Check = std::function<bool(const Bytes& data, std::string* why)>;
  // Takes where a file is and its measured size instead of its bytes: an entry is read only
  // while the installer is written, a piece at a time. False with the reason when the file is not
  // what it must be.
  using Note = std::function<bool(const std::string& path, std::uint64_t size, std::string* why)>;

  Reader(std::string manifestPath, std::string* error)
      : manifest_(std::move(manifestPath)), base_(folderOf(manifest_)), error_(error) {}

  // "MANIFEST: where: what"; where is empty for the document itself.
  bool fail(const std::string& where, const std::string& what) {
    *error_ = manifest_ + ": " + (where.empty() ? std::string() : where + ": ") + what;
    return false;
  }

  // A file the manifest names could not be read: that file first, then where it was named.
  bool failOn(const std::string& file, const std::string& why, const std::string& where) {
    *error_ = file + ": " + why + " (" + named(where) + ")";
    return false;
  }

  // "given with --stub" for an option, "files[0] in MANIFEST" for the manifest's own.
  std::string named(const std::string& where) const {
    return where.compare(0, 2, "--") == 0 ? "given with " + where : where + " in " + manifest_;
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

  // storedAsIs: the file's bytes go into the installer unchanged, so its size counts towards the
  // installer's before anything is packed.
  bool file(const json& object, const char* key, const std::string& where, bool storedAsIs, Take take,
            std::string* path = nullptr, Check check = nullptr) {
    std::string relative;
    if (!text(object, key, where, &relative, true)) return false;
    const std::string resolved = resolve(relative);
    if (path != nullptr) *path = resolved;
    given(resolved, where, storedAsIs, std::move(take), std::move(check));
    return true;
  }

  // A file named on the command line (where is its option) or resolved already.
  void given(const std::string& path, const std::string& where, bool storedAsIs, Take take, Check check = nullptr) {
    inputs_.push_back({path, where, storedAsIs, std::move(take), std::move(check), nullptr});
  }

  // A file named on the command line, only measured now and noted.
  void givenNoted(const std::string& path, const std::string& where, Note note) {
    inputs_.push_back({path, where, false, nullptr, nullptr, std::move(note)});
  }

  // A file that is only measured now and noted, for entries.
  bool entry(const json& object, const char* key, const std::string& where, bool storedAsIs, Note note,
             std::string* path) {
    std::string relative;
    if (!text(object, key, where, &relative, true)) return false;
    *path = resolve(relative);
    inputs_.push_back({*path, where, storedAsIs, nullptr, nullptr, std::move(note)});
    return true;
  }

  // Every file noted, as it was named.
  std::vector<NamedInput> noted() const {
    std::vector<NamedInput> files;
    for (const Input& input : inputs_) files.push_back({input.path, named(input.where)});
    return files;
  }

  bool readInputs() {
    std::uint64_t stored = 0;
    for (Input& input : inputs_) {
      std::string why;
      if (!MeasureFile(input.path, &input.size, &why)) return failOn(input.path, why, input.where);
      if (input.storedAsIs) stored += input.size;
    }
    if (stored > kFormatLimit) {
      return fail("", "the stub and the inputs stored as they are come to " + OverLimit(stored));
    }
    for (Input& input : inputs_) {
      std::string why;
      if (input.note) {
        if (!input.note(input.path, input.size, &why)) return failOn(input.path, why, input.where);
        continue;
      }
      Bytes data;
      if (!ReadWholeFile(input.path, &data, &why) || (input.check && !input.check(data, &why))) {
        return failOn(input.path, why, input.where);
      }
      if (!input.take(std::move(data))) return false;
    }
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

  std::string resolve(const std::string& path) const { return tzk::vocabulary::HasRoot(path) ? path : base_ + path; }

 private:
  struct Input {
    std::string path;
    std::string where;
    bool storedAsIs;
    Take take;
    Check check;
    Note note;
    std::uint64_t size = 0;
  };

  std::string manifest_;
  std::string base_;
  std::string* error_;
  std::vector<Input> inputs_;
};

Reader::Take into(Bytes* target) {
  return [target](Bytes&& data) {
    *target = std::move(data);
    return true;
  };
}

Reader::Check theStub(bool keysGiven) {
  return [keysGiven](const Bytes& data, std::string* why) {
    if (IsStub({data.data(), data.size()}, keysGiven, why)) return true;
    *why = "not the stub: " + *why;
    return false;
  };
}

// The stub starts the installer/updater with CreateProcess once it is extracted: a file that is
// no program would make an installer that fails only when it runs. Only its headers are read
// now; its bytes go into the package a piece at a time.
Reader::Note intoInstaller(InstallerPlan* plan) {
  return [plan](const std::string& path, std::uint64_t size, std::string* why) {
    if (!IsProgramFile(path, why)) {
      *why = "not a program the stub can start: " + *why;
      return false;
    }
    plan->installerPath = path;
    plan->installerSize = size;
    return true;
  };
}

// plan->files grows while the manifest is walked, so an entry is found by its index.
Reader::Note intoFile(InstallerPlan* plan, std::size_t index) {
  return [plan, index](const std::string& path, std::uint64_t size, std::string*) {
    plan->files[index].path = path;
    plan->files[index].size = size;
    return true;
  };
}

bool readFiles(Reader& r, const json& files, InstallerPlan* plan) {
  if (!files.is_array()) return r.fail("files", "must be an array");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string where = "files[" + std::to_string(i) + "]";
    const json& f = files[i];
    FileEntryPlan file;
    std::string path;
    if (!r.onlyKeys(f, where, {"path", "name", "time", "extractionName", "packer"}) ||
        !r.text(f, "extractionName", where, &file.extractionName, false) ||
        !r.entry(f, "path", where, file.extractionName.empty(), intoFile(plan, plan->files.size()), &path) ||
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
    FileEntryPlan file;
    // The stub unpacks the module itself under a name of its choosing, so the entry is stored
    // as a package without an extraction name of its own.
    const Reader::Take pack = [&r, plan, index = plan->files.size(), where](Bytes&& image) {
      const tzk::Result packed = tzk::packers::BuildFilePackage(
          tzk::packers::kPackerLzma, image.data(), static_cast<std::uint32_t>(image.size()), &plan->files[index].data);
      return packed == tzk::code::kSuccess || r.fail(where, "cannot pack the module");
    };
    if (!r.onlyKeys(m, where, {"path", "platform", "time"}) || !r.text(m, "platform", where, &platform, true) ||
        !r.file(m, "path", where, false, pack, &path) || !r.time(m, where, &file.time)) {
      return false;
    }
    if (platform != "x86" && platform != "x64") return r.fail(where, "\"platform\" must be \"x86\" or \"x64\"");
    const wchar_t* prefix = platform == "x64" ? tzk::archive::kModulePrefix64 : tzk::archive::kModulePrefix86;
    file.name = tzk::vocabulary::toUtf8(prefix) + baseName(path);
    plan->files.push_back(std::move(file));
  }
  return true;
}

// An item of an unknown tag is refused once read; until then it counts as compressed.
bool storedAsIs(const std::string& tag) {
  tzk::archive::ItemStorage storage = tzk::archive::ItemStorage::kZlib;
  return tzk::archive::FindItemStorage(tag, &storage) && storage == tzk::archive::ItemStorage::kRaw;
}

bool readEmbedded(Reader& r, const json& items, InstallerPlan* plan) {
  if (!items.is_array()) return r.fail("embedded", "must be an array");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string where = "embedded[" + std::to_string(i) + "]";
    EmbeddedItem item;
    if (!r.onlyKeys(items[i], where, {"tag", "path"}) || !r.text(items[i], "tag", where, &item.tag, true)) return false;
    const Reader::Take prepare = [&r, plan, index = plan->embedded.size(), tag = item.tag, where](Bytes&& raw) {
      std::string why;
      return tzk::archive::PrepareEmbeddedItem(tag, raw, &plan->embedded[index], &why) || r.fail(where, why);
    };
    if (!r.file(items[i], "path", where, storedAsIs(item.tag), prepare)) return false;
    plan->embedded.push_back(std::move(item));
  }
  return true;
}

}  // namespace

namespace {

// "MANIFEST:LINE:COLUMN: not valid JSON: what the parser expected", from the parser's byte
// position (1-based, the byte that could not be read).
std::string jsonError(const std::string& path, const Bytes& text, const json::parse_error& e) {
  std::size_t line = 1, column = 1;
  const std::size_t end = e.byte == 0 ? 0 : std::min<std::size_t>(e.byte - 1, text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  std::string what = e.what();
  const std::size_t detail = what.find(": ", what.find("parse error"));
  if (detail != std::string::npos) what = what.substr(detail + 2);
  return path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": not valid JSON: " + what;
}

// nlohmann::json keeps the last of two equal keys in an object; a manifest that gives one twice
// is refused instead. Follows the parser's events to name where the first such key lies, as the
// reader names places: "installer", "files[1]".
struct DuplicateKeys {
  std::string where, key;  // of the first key given twice; key is empty when there is none

  void see(json::parse_event_t event, const json& parsed) {
    using Event = json::parse_event_t;
    if (event == Event::key) {
      Level& level = levels_.back();
      level.key = parsed.get<std::string>();
      if (!level.keys.insert(level.key).second && key.empty()) {
        where = level.where;
        key = level.key;
      }
    } else if (event == Event::object_start || event == Event::array_start) {
      levels_.push_back({placeOfNext(), event == Event::array_start, 0, "", {}});
    } else if (event == Event::object_end || event == Event::array_end) {
      levels_.pop_back();
    } else if (!levels_.empty() && levels_.back().array) {
      ++levels_.back().items;
    }
  }

 private:
  struct Level {
    std::string where;
    bool array = false;
    std::size_t items = 0;  // of an array, so far
    std::string key;        // of an object, the last one
    std::set<std::string> keys;
  };

  std::string placeOfNext() {
    if (levels_.empty()) return "";
    Level& outer = levels_.back();
    if (outer.array) return outer.where + "[" + std::to_string(outer.items++) + "]";
    return outer.where.empty() ? outer.key : outer.where + "." + outer.key;
  }

  std::vector<Level> levels_;
};

// The stub, given with --stub or named by the manifest's "stub".
bool readStub(Reader& r, const json& doc, const ManifestOverrides& overrides, InstallerPlan* plan) {
  if (!overrides.stub.empty()) {
    r.given(overrides.stub, "--stub", true, into(&plan->stub), theStub(overrides.keysGiven));
    return true;
  }
  if (!doc.contains("stub")) return r.fail("", "no stub: give \"stub\" in the manifest or --stub STUB.exe");
  return r.file(doc, "stub", "stub", true, into(&plan->stub), nullptr, theStub(overrides.keysGiven));
}

// The installer/updater and how it is packed; the program itself may be given with --installer.
bool readInstaller(Reader& r, const json& doc, const std::string& override, InstallerPlan* plan) {
  if (!doc.contains("installer")) return r.fail("", "\"installer\" is missing");
  const json& installer = doc["installer"];
  if (!r.onlyKeys(installer, "installer", {"path", "packer"}) ||
      !r.packer(installer, "installer", tzk::packers::kPackerLzma, &plan->installerPacker)) {
    return false;
  }
  if (!override.empty()) {
    r.givenNoted(override, "--installer", intoInstaller(plan));
    return true;
  }
  std::string path;
  return r.entry(installer, "path", "installer", false, intoInstaller(plan), &path);
}

// The signature's type and key, and where the type comes from: a key of the wrong kind is
// explained by the type it was chosen for.
bool readSignature(Reader& r, const json& doc, const std::string& keyOverride, ManifestSignature* sig) {
  sig->typeSource = "the default: the manifest has no \"signature\"";
  int number = tzk::signature::Number(sig->type);
  if (doc.contains("signature")) {
    const json& s = doc["signature"];
    if (!r.onlyKeys(s, "signature", {"type", "key"})) return false;
    if (s.contains("type") && !s["type"].is_number_integer()) return r.fail("signature", "\"type\" must be 1, 2 or 5");
    if (s.contains("type")) number = s["type"].get<int>();
    sig->typeSource = s.contains("type") ? "\"type\" of " + r.named("\"signature\"")
                                         : "the default: \"signature\" gives no \"type\"";
    if (!r.text(s, "key", "signature", &sig->key, false)) return false;
    if (!sig->key.empty()) sig->key = r.resolve(sig->key);
  }
  if (!keyOverride.empty()) sig->key = keyOverride;
  if (number != 1 && number != 2 && number != 5) return r.fail("signature", "\"type\" must be 1, 2 or 5");
  sig->type = static_cast<tzk::signature::SignatureType>(number);
  if (!doc.contains("signature") && sig->key.empty()) {
    return r.fail("", "no \"signature\": give one with the type and the private key to sign with, "
                      "{\"type\": 5, \"key\": \"PRIVATE.pem\"} for a DSA 2048/256 key (type 1: DSA 1024/160)");
  }
  if (sig->type != tzk::signature::SignatureType::kTextMd5 && sig->key.empty()) {
    return r.fail("signature", "type " + std::to_string(number) + " needs a \"key\" (or --key PRIVATE.pem)");
  }
  return true;
}

}  // namespace

bool LoadManifest(const std::string& path, const ManifestOverrides& overrides, Manifest* out, std::string* error) {
  Bytes text;
  std::string why;
  if (!ReadWholeFile(path, &text, &why)) {
    *error = path + ": " + why;
    return false;
  }
  json doc;
  DuplicateKeys duplicates;
  try {
    doc = json::parse(text.begin(), text.end(), [&duplicates](int, json::parse_event_t event, json& parsed) {
      duplicates.see(event, parsed);
      return true;
    });
  } catch (const json::parse_error& e) {
    *error = jsonError(path, text, e);
    return false;
  }
  Reader r(path, error);
  if (!duplicates.key.empty()) {
    return r.fail(duplicates.where, "\"" + duplicates.key + "\" is given twice: which one is meant cannot be told");
  }
  InstallerPlan& plan = out->plan;
  if (!r.onlyKeys(doc, "", {"stub", "commandLine", "sfxName", "installer", "files", "selfDefense", "embedded",
                            "signature"})) {
    return false;
  }
  if (!readStub(r, doc, overrides, &plan) ||
      !r.text(doc, "commandLine", "commandLine", &plan.commandLine, false) ||
      !r.text(doc, "sfxName", "sfxName", &plan.sfxName, false) || !readInstaller(r, doc, overrides.installer, &plan)) {
    return false;
  }
  if (doc.contains("files") && !readFiles(r, doc["files"], &plan)) return false;
  if (doc.contains("selfDefense") && !readSelfDefense(r, doc["selfDefense"], &plan)) return false;
  if (doc.contains("embedded") && !readEmbedded(r, doc["embedded"], &plan)) return false;
  if (!readSignature(r, doc, overrides.key, &out->signature)) return false;
  plan.signatureType = out->signature.type;
  if (!r.readInputs()) return false;
  out->inputs = r.noted();
  out->inputs.insert(out->inputs.begin(), {path, "the manifest"});
  if (!out->signature.key.empty()) {
    out->inputs.push_back({out->signature.key, overrides.key.empty() ? "\"key\" of " + r.named("\"signature\"")
                                                                      : r.named("--key")});
  }
  return true;
}

}  // namespace sfxpack
