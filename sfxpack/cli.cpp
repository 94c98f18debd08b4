// The command framework's shared plumbing, which the core's own modules use too (argument
// parsing, the one-line errors, --json's object, staged output): everything of cli.h but the
// command table, which main.cpp holds.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sfxpack/cli.h"
#include "sfxpack/keys.h"

namespace sfxpack {

const char kExitCodeHelp[] =
    "exit codes, the same for every command:\n"
    "  0  success (verify: the stub accepts the file)\n"
    "  1  the check failed: the stub would refuse the file (signature type, keys, signature)\n"
    "  2  usage error: the command line is wrong\n"
    "  3  an input is missing, unreadable or malformed (for an archive the stub's loader\n"
    "     refuses: the loader's code and text)\n"
    "  4  an output could not be written\n"
    "Each error is one line on stderr, \"sfxpack COMMAND: FILE: reason\".\n";

int UsageError(const char* command, const std::string& message) {
  std::fprintf(stderr, "sfxpack %s: %s (see 'sfxpack %s --help')\n", command, message.c_str(), command);
  return kExitUsage;
}

int FileError(const char* command, const std::string& file, const std::string& reason, int code) {
  std::fprintf(stderr, "sfxpack %s: %s: %s\n", command, file.c_str(), reason.c_str());
  return code;
}

bool WantsJson(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--json") return true;
  }
  return false;
}

int FinishJson(const char* command, nlohmann::json d, int code, const std::string& file, const std::string& message) {
  d["formatVersion"] = kJsonFormatVersion;
  d["ok"] = code == kExitOk;
  if (code != kExitOk) d["error"] = {{"code", code}, {"message", message}};
  // Text that JSON cannot carry (a name that is not UTF-8) throws here, before anything is
  // written, so that the run still ends in one line.
  const std::string text = d.dump(2);
  if (code != kExitOk) {
    if (file.empty()) std::fprintf(stderr, "sfxpack %s: %s\n", command, message.c_str());
    else FileError(command, file, message, code);
  }
  std::printf("%s\n", text.c_str());
  return code;
}

int UsageErrorJson(const char* command, const std::string& message, bool json) {
  if (!json) return UsageError(command, message);
  const nlohmann::json d = {{"formatVersion", kJsonFormatVersion},
                            {"ok", false},
                            {"error", {{"code", kExitUsage}, {"message", message}}}};
  const std::string text = d.dump(2);  // first, as in FinishJson
  UsageError(command, message);
  std::printf("%s\n", text.c_str());
  return kExitUsage;
}

std::string CodeText(tzk::Result code) {
  char text[32];
  std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
  return text;
}

int WriteOutputFile(const char* command, const std::string& path, const std::uint8_t* data, std::uint32_t size) {
  std::string error;
  if (!WriteWholeFile(path, Bytes(data, data + size), &error)) return FileError(command, path, error, kExitOutputError);
  return kExitOk;
}

bool ParsedArgs::has(const std::string& name) const {
  for (const auto& o : options) {
    if (o.first == name) return true;
  }
  return false;
}

std::string ParsedArgs::value(const std::string& name) const {
  std::string v;
  for (const auto& o : options) {
    if (o.first == name) v = o.second;
  }
  return v;
}

std::vector<std::string> ParsedArgs::values(const std::string& name) const {
  std::vector<std::string> v;
  for (const auto& o : options) {
    if (o.first == name) v.push_back(o.second);
  }
  return v;
}

ParsedArgs ParseArgs(const Args& args, const std::vector<std::string>& flags,
                     const std::vector<std::string>& valued) {
  ParsedArgs parsed;
  auto listed = [](const std::vector<std::string>& names, const std::string& n) {
    for (const auto& x : names) {
      if (x == n) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      parsed.positional.insert(parsed.positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (a.size() < 2 || a[0] != '-' || (a[1] != '-' && a.size() != 2)) {
      parsed.positional.push_back(a);
      continue;
    }
    std::string name = a;
    std::string value;
    const std::size_t eq = a.find('=');
    const bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
    }
    if (listed(flags, name) && !inlineValue) {
      parsed.options.emplace_back(name, "");
    } else if (listed(valued, name)) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          parsed.error = "option " + name + " needs a value";
          return parsed;
        }
        value = args[++i];
      }
      parsed.options.emplace_back(name, value);
    } else {
      parsed.error = "unknown option " + name;
      return parsed;
    }
  }
  return parsed;
}

std::vector<std::string> Joined(std::vector<std::string> names, const std::vector<std::string>& more) {
  names.insert(names.end(), more.begin(), more.end());
  return names;
}

bool ReadKeysOption(const ParsedArgs& args, KeysOption* out, std::string* error) {
  out->folder = args.value("--keys");
  out->given = args.has("--keys");
  if (!out->given) return true;
  if (!LoadKeyFolder(out->folder, &out->loaded, error)) return false;
  out->set = out->loaded.keys();
  return true;
}

std::vector<NamedInput> OptionInputs(const ParsedArgs& args, const std::vector<std::string>& options) {
  std::vector<NamedInput> inputs;
  for (const auto& o : args.options) {
    if (std::find(options.begin(), options.end(), o.first) == options.end()) continue;
    if (o.first != "--keys") {
      inputs.push_back({o.second, "given with " + o.first});
      continue;
    }
    for (int index : {1, 2, 3, 5, 6, 7}) {
      inputs.push_back({o.second + "/key" + std::to_string(index) + ".pub.pem", "a key of --keys"});
    }
  }
  return inputs;
}

}  // namespace sfxpack
