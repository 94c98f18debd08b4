// sfxpack: packs, signs, tags, inspects, verifies and extracts installers of the SFX stub.
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

CommandRegistration::CommandRegistration(const Command& command) { table().push_back(command); }

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
