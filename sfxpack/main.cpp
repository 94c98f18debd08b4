// sfxpack: packs, signs, tags, inspects, verifies and extracts installers of the SFX stub.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "vocabulary/text.h"
#include "sfxpack/cli.h"
#include "sfxpack/manifest.h"
#include "sfxpack_version.h"

namespace sfxpack {
namespace {

std::vector<Command>& table() {
  static std::vector<Command> commands;
  return commands;
}

void printOverview(FILE* out) {
  std::fprintf(out,
               "usage: sfxpack COMMAND [OPTIONS] [ARGS]\n"
               "       sfxpack COMMAND --help\n"
               "       sfxpack --version\n\n"
               "Makes and checks self-extracting installers of the SFX stub.\n\ncommands:\n");
  for (const Command& c : table()) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out, "\n%s", kExitCodeHelp);
}

const Command* find(const std::string& name) {
  for (const Command& c : table()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

int dispatch(const std::vector<std::string>& argv) {
  if (argv.size() < 2 || argv[1] == "--help" || argv[1] == "-h" || argv[1] == "help") {
    if (argv.size() >= 3 && argv[1] == "help") {
      if (const Command* c = find(argv[2])) {
        std::fputs(c->help, stdout);
        return kExitOk;
      }
      return UsageError("help", "unknown command '" + argv[2] + "'");
    }
    printOverview(argv.size() < 2 ? stderr : stdout);
    return argv.size() < 2 ? kExitUsage : kExitOk;
  }
  if (argv[1] == "--version") {
    std::printf("sfxpack %s (%s)\n", SFXPACK_VERSION, SFXPACK_REVISION);
    return kExitOk;
  }
  const Command* command = find(argv[1]);
  if (command == nullptr) {
    std::fprintf(stderr, "sfxpack: unknown command '%s' (see 'sfxpack --help')\n", argv[1].c_str());
    return kExitUsage;
  }
  Args args(argv.begin() + 2, argv.end());
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(command->help, stdout);
      return kExitOk;
    }
  }
  return command->run(args);
}

// The one line for a run that an exception ended; nothing here may throw again.
int stopped(const std::vector<std::string>& argv, const char* reason, int code) {
  const Command* command = argv.size() > 1 ? find(argv[1]) : nullptr;
  std::fprintf(stderr, "sfxpack%s%s: %.*s\n", command != nullptr ? " " : "", command != nullptr ? command->name : "",
               static_cast<int>(std::strcspn(reason, "\r\n")), reason);
  return code;
}

// Every way out ends in a code of the contract and one line, and unwinding here lets each
// StagedOutput remove its staged file; an exception that left main would abort without either.
// The arguments are made inside, since making them allocates too.
template <typename MakeArguments>
int guarded(MakeArguments makeArguments) {
  std::vector<std::string> argv;
  try {
    argv = makeArguments();
    return dispatch(argv);
  } catch (const std::bad_alloc&) {
    // Inputs that do not fit are refused with their name where they are read; what runs out
    // later is memory for what is made of them (packages, the installer), so the inputs are
    // still too large for this process to hold: 3, as for an input over the format's limit.
    return stopped(argv, "out of memory: the inputs and what is made of them do not fit in this process",
                   kExitBadInput);
  } catch (const std::exception& e) {
    // Nothing was written (staged outputs are gone) and the inputs were not found wanting: 4,
    // no result, rather than 3, which would send a pipeline to blame an input.
    return stopped(argv, e.what(), kExitOutputError);
  } catch (...) {
    return stopped(argv, "stopped by an unexpected failure", kExitOutputError);
  }
}

}  // namespace

const char kExitCodeHelp[] =
    "exit codes, the same for every command:\n"
    "  0  success (verify: the stub accepts the file)\n"
    "  1  the check failed: the stub would refuse the file (signature type, keys, signature)\n"
    "  2  usage error: the command line is wrong\n"
    "  3  an input is missing, unreadable or malformed (for an archive the stub's loader\n"
    "     refuses: the loader's code and text)\n"
    "  4  an output could not be written\n"
    "Each error is one line on stderr, \"sfxpack COMMAND: FILE: reason\".\n";

CommandRegistration::CommandRegistration(const Command& command) { table().push_back(command); }

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

#ifdef _WIN32
// Windows hands us UTF-16; every command works on UTF-8.
int wmain(int argc, wchar_t** argv) {
  return sfxpack::guarded([argc, argv] {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
      const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
      std::string s(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
      if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &s[0], n, nullptr, nullptr);
      args.push_back(s);
    }
    return args;
  });
}
#else
int main(int argc, char** argv) {
  return sfxpack::guarded([argc, argv] { return std::vector<std::string>(argv, argv + argc); });
}
#endif
