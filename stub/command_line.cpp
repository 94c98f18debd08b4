#include "stub/command_line.h"

namespace tzk::stub {
namespace {

bool isSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring doubleQuotes(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    out.push_back(c);
    if (c == L'"') out.push_back(L'"');
  }
  return out;
}

bool needsQuotes(const std::wstring& text) { return text.find_first_of(L" \"") != std::wstring::npos; }

}  // namespace

std::vector<std::wstring> TokenizeCommandLine(const std::wstring& text) {
  std::vector<std::wstring> tokens;
  bool inQuotes = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (!inQuotes && isSpace(c)) {
      while (i < text.size() && isSpace(text[i])) ++i;
      tokens.emplace_back();
      continue;
    }
    if (c == L'"') {
      if (i + 1 < text.size() && text[i + 1] == L'"') {
        if (tokens.empty()) tokens.emplace_back();
        tokens.back().push_back(L'"');
        i += 2;
        continue;
      }
      inQuotes = !inQuotes;
      ++i;
      continue;
    }
    if (tokens.empty()) tokens.emplace_back();
    tokens.back().push_back(c);
    ++i;
  }
  return tokens;
}

CommandLine::CommandLine(const std::wstring& text) { Parse(text, true); }

void CommandLine::Parse(const std::wstring& text, bool firstIsProgram) {
  program_.clear();
  options_.clear();
  arguments_.clear();
  const std::vector<std::wstring> tokens = TokenizeCommandLine(text);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::wstring& token = tokens[i];
    if (i == 0 && firstIsProgram) {
      program_ = token;
    } else if (token.empty()) {
      continue;
    } else if (token[0] == L'/') {
      const std::size_t colon = token.find(L':');
      if (colon == std::wstring::npos) {
        options_[token.substr(1)] = std::wstring();
      } else {
        options_[token.substr(1, colon - 1)] = token.substr(colon + 1);
      }
    } else {
      arguments_.push_back(token);
    }
  }
}

bool CommandLine::Has(const std::wstring& key) const { return options_.count(key) != 0; }

void CommandLine::Set(const std::wstring& key, const std::wstring& value) { options_[key] = value; }

std::wstring& CommandLine::Value(const std::wstring& key) { return options_[key]; }

std::wstring CommandLine::Format() const {
  std::wstring out;
  if (!program_.empty()) out += L'"' + doubleQuotes(program_) + L'"';
  for (const auto& [key, value] : options_) {
    const bool quoted = needsQuotes(key) || needsQuotes(value);
    out += L' ';
    if (quoted) out += L'"';
    out += L'/' + doubleQuotes(key);
    if (!value.empty()) out += L':' + doubleQuotes(value);
    if (quoted) out += L'"';
  }
  for (const std::wstring& argument : arguments_) out += L" \"" + doubleQuotes(argument) + L'"';
  return out;
}

std::wstring BuildChildArguments(const CommandLine& options, const std::wstring& rawArguments) {
  std::wstring text = options.Format();
  if (!rawArguments.empty()) text += L' ' + rawArguments;
  return text;
}

}  // namespace tzk::stub
