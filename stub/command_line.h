// The one representation of both the process command line and the archive's stored one: a
// program path, an ordered option map and positional arguments.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tzk::stub {

class CommandLine {
 public:
  CommandLine() = default;
  // Parses text with the first token taken as the program path.
  explicit CommandLine(const std::wstring& text);

  // Clears everything, then fills program, options and arguments from text. Never fails.
  void Parse(const std::wstring& text, bool firstIsProgram);
  bool Has(const std::wstring& key) const;
  void Set(const std::wstring& key, const std::wstring& value);
  // Inserts an empty value for a missing key, like the map it wraps; test Has() first.
  std::wstring& Value(const std::wstring& key);
  std::wstring Format() const;

  const std::wstring& program() const { return program_; }
  // Keys compare as code-unit sequences: ordinal and case-sensitive.
  const std::map<std::wstring, std::wstring>& options() const { return options_; }
  const std::vector<std::wstring>& arguments() const { return arguments_; }

 private:
  std::wstring program_;
  std::map<std::wstring, std::wstring> options_;
  std::vector<std::wstring> arguments_;
};

// Splits text into tokens: whitespace runs separate, "" is a literal quote, " toggles quoting.
std::vector<std::wstring> TokenizeCommandLine(const std::wstring& text);

// The child's argument text: the formatted option set, then one space and the stub's own raw
// argument text when that is not empty.
std::wstring BuildChildArguments(const CommandLine& options, const std::wstring& rawArguments);

}  // namespace tzk::stub
