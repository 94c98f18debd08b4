// sfxpack's command framework: each command lives in its own *_command.cpp and registers
// itself; main() dispatches, answers --help and maps failures to meaningful exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "signature/signing/signing.h"
#include "vocabulary/result.h"
#include "sfxpack/file_io.h"

namespace sfxpack {

// Exit codes shared by every command; a pipeline acts on them, so each failure has exactly one.
enum Exit : int {
  kExitOk = 0,
  kExitCheckFailed = 1,  // the stub would refuse the file: signature type, keys, signature
  kExitUsage = 2,        // the command line is wrong
  kExitBadInput = 3,     // an input is missing, unreadable or malformed (the loader's code and text)
  kExitOutputError = 4,  // an output could not be written
};

// The contract as --help and the README state it.
extern const char kExitCodeHelp[];

using Args = std::vector<std::string>;  // UTF-8, without the program and command names

struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* help;     // the full text of `sfxpack NAME --help`
  int (*run)(const Args& args);
};

// A static CommandRegistration in a command's file adds it to the table.
struct CommandRegistration {
  explicit CommandRegistration(const Command& command);
};

// "sfxpack NAME: message" and a hint on stderr; returns kExitUsage.
int UsageError(const char* command, const std::string& message);
// "sfxpack NAME: FILE: reason" on stderr; returns code.
int FileError(const char* command, const std::string& file, const std::string& reason, int code);
// For commands with --json: the one object on stdout, with "ok" and, when code is not 0,
// "error": {"code", "message"}; the message is also the one line on stderr.
// Every object carries "formatVersion"; it goes up when a field is removed or changes meaning
// (new fields leave it alone), so a pipeline can refuse output it would misread.
constexpr int kJsonFormatVersion = 1;
bool WantsJson(const Args& args);
int FinishJson(const char* command, nlohmann::json d, int code, const std::string& file, const std::string& message);
int UsageErrorJson(const char* command, const std::string& message, bool json);
// "error N", for a Windows or C-runtime code inside such a reason.
std::string CodeText(tzk::Result code);
// Writes size bytes to path, staged and renamed into place when complete; kExitOk, or
// kExitOutputError after reporting it.
int WriteOutputFile(const char* command, const std::string& path, const std::uint8_t* data, std::uint32_t size);

// Splits args into options (--name or --name=value / --name value for listed names) and
// positional arguments. Unknown options are usage errors reported by the caller.
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> positional;
  std::string error;  // non-empty when the command line could not be parsed
  bool has(const std::string& name) const;
  std::string value(const std::string& name) const;  // last value given, or empty
  std::vector<std::string> values(const std::string& name) const;
};
ParsedArgs ParseArgs(const Args& args, const std::vector<std::string>& flags,
                     const std::vector<std::string>& valued);

// Two lists of option names as one, for a command that takes options of another module too.
std::vector<std::string> Joined(std::vector<std::string> names, const std::vector<std::string>& more);

// --keys DIR as every command that checks a file takes it: the keys to check with instead of
// those of the stub's own key table.
struct KeysOption {
  std::string folder;  // as given; empty without --keys
  bool given = false;
  tzk::signature::LoadedKeys loaded;
  tzk::signature::KeySet set{};
  // The keys to check with, or null for the stub's own.
  const tzk::signature::KeySet* keys() const { return given ? &set : nullptr; }
};
// Loads the folder of --keys when it is given; false with the reason (exit code 3).
bool ReadKeysOption(const ParsedArgs& args, KeysOption* out, std::string* error);

// The files that options name, as inputs for IsNoInput: the value of each option given,
// and for --keys the key files of its folder.
std::vector<NamedInput> OptionInputs(const ParsedArgs& args, const std::vector<std::string>& options);

}  // namespace sfxpack
