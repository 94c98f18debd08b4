#include "log/logger.h"

#include <boost/core/null_deleter.hpp>
#include <boost/smart_ptr/make_shared_array.hpp>

#include <cstdio>
#include <cwctype>
#include <memory>
#include <new>
#include <vector>

#include "log/wide_format.h"

namespace tzk::log {
namespace {

constexpr const wchar_t* kLevelNames[] = {L"trace", L"debug", L"info", L"notice", L"warning", L"error", L"fatal"};
constexpr const wchar_t kFallbackTimestamp[] = L"0000-00-00 00:00:00";
constexpr const wchar_t kFallbackLine[] = L"[0000-00-00 00:00:00] [none   ] [               ] [     :     ]";
const ComponentTag kLoggerTag(L"logger");

bool equalsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

LogText constantText(const wchar_t* text) { return LogText(text, boost::null_deleter()); }

// Sizes the text with a counting call, then formats into exactly that many units; a length
// that differs between the two passes means the text cannot be trusted.
LogText renderCounted(const wchar_t* fallback, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list counting;
  va_copy(counting, args);
  const int count = countFormatted(format, counting);
  va_end(counting);
  LogText result = constantText(fallback);
  if (count > 0) {
    try {
      boost::shared_ptr<wchar_t[]> buffer(new wchar_t[static_cast<std::size_t>(count) + 1]);
      if (formatInto(buffer.get(), static_cast<std::size_t>(count) + 1, format, args) == count) {
        result = LogText(buffer, buffer.get());
      }
    } catch (const std::bad_alloc&) {
    }
  }
  va_end(args);
  return result;
}

// One line without its line feed; false at the end of the file.
bool ReadLine(std::FILE* in, std::string* line) {
  line->clear();
  char chunk[256];
  while (std::fgets(chunk, sizeof(chunk), in) != nullptr) {
    line->append(chunk);
    if (!line->empty() && line->back() == '\n') {
      line->pop_back();
      return true;
    }
  }
  return !line->empty();
}

}  // namespace

LogLevel parseLevel(const wchar_t* name) {
  if (name == nullptr) return level::kInfo;
  for (LogLevel i = 0; i < 7; ++i) {
    if (equalsIgnoringCase(kLevelNames[i], name)) return i;
  }
  return level::kInfo;
}

const wchar_t* levelName(LogLevel level) {
  return level < 0 || level > 6 ? L"none" : kLevelNames[level];
}

ComponentTag::ComponentTag(const wchar_t* name) : text{} {
  for (std::size_t i = 0; i < 15 && name != nullptr && name[i] != L'\0'; ++i) {
    text[i] = static_cast<wchar_t>(std::towlower(name[i]));
  }
}

LogText LogRecord::formatTimestamp() const {
  CalendarTime t;
  if (!fileTimeToCalendar(time, &t)) t = CalendarTime{};
  return renderCounted(kFallbackTimestamp, L"%04hu-%02hu-%02hu %02hu:%02hu:%02hu", t.year, t.month, t.day,
                       t.hour, t.minute, t.second);
}

LogText LogRecord::format() const {
  const LogText stamp = formatTimestamp();
  return renderCounted(kFallbackLine, L"[%s] [%-7s] [%-15s] [%5lu:%5lu] %s", stamp.get(), levelName(level),
                       component, processId, threadId, message.c_str());
}

void Logger::write(LogLevel level, const ComponentTag& component, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  writeV(level, component, format, args);
  va_end(args);
}

void Logger::writeV(LogLevel level, const ComponentTag& component, const wchar_t* format, va_list args) {
  try {
    std::wstring line;
    bool toDebugger = false;
    LogFile::Handle file;
    {
      vocabulary::Locked guard(lock_);
      if (!isLevelEnabled(component, level)) return;
      LogRecord record;
      record.level = level;
      std::copy(component.text, component.text + 15, record.component);
      if (format != nullptr) record.message = formatStringV(format, args);
      record.time = currentFileTime();
      record.processId = currentProcessId();
      record.threadId = currentThreadId();
      history_.push_back(std::move(record));
      line = history_.back().format().get();
      line += L"\r\n";
      toDebugger = isDebuggerEnabled(component);
      file = file_.handle();
    }
    // The sinks are written outside the lock so that a slow disk never blocks other threads.
    if (toDebugger) sendToDebugger(line.c_str());
    if (LogFile::isValid(file) && !LogFile::writeUtf16(file, line.data(), line.size()) && !toDebugger) {
      sendToDebugger(line.c_str());
    }
  } catch (...) {
    // A record that cannot be built or stored is dropped; logging never fails its caller.
  }
}

const std::wstring* Logger::lookUp(const ComponentTag& component, const wchar_t* key) const {
  for (const wchar_t* section : {static_cast<const wchar_t*>(component.text), L"default"}) {
    const auto s = settings_.find(section);
    if (s == settings_.end()) continue;
    const auto v = s->second.find(key);
    if (v != s->second.end()) return &v->second;
  }
  return nullptr;
}

bool Logger::isLevelEnabled(const ComponentTag& component, LogLevel level) const {
  vocabulary::Locked guard(lock_);
  const std::wstring* value = lookUp(component, L"level");
  return parseLevel(value != nullptr ? value->c_str() : L"") <= level;
}

bool Logger::isDebuggerEnabled(const ComponentTag& component) const {
  vocabulary::Locked guard(lock_);
  const std::wstring* value = lookUp(component, L"debugger");
  return value != nullptr && equalsIgnoringCase(*value, L"true");
}

void Logger::configure(const char* settingsPath, const wchar_t* logFilePath) {
  try {
    vocabulary::Locked guard(lock_);
    Section& defaults = settings_[L"default"];
    if (logFilePath != nullptr) defaults[L"file"] = logFilePath;
    defaults[L"debugger"] = L"false";
    defaults[L"level"] = L"info";
    if (settingsPath != nullptr) loadSettings(settingsPath);
    const Section& merged = settings_[L"default"];
    const auto file = merged.find(L"file");
    if (file != merged.end()) {
      const std::wstring path = file->second;
      openFile(path.c_str());
    }
  } catch (...) {
  }
}

Result Logger::openFile(const wchar_t* path) {
  if (path == nullptr) return code::kBadArguments;
  vocabulary::Locked guard(lock_);
  bool created = false;
  const Result opened = file_.open(path, &created);
  if (opened != code::kSuccess) {
    // The lock is recursive, so this record may be written from inside configure().
    write(level::kError, kLoggerTag, L"Failed to open the log file \"%s\" with error 0x%08lx!", path, opened);
    return opened;
  }
  if (created) {
    file_.requestCompression(path);
    const wchar_t bom = 0xFEFF;
    LogFile::writeUtf16(file_.handle(), &bom, 1);
  }
  flushHistory();
  return code::kSuccess;
}

void Logger::flushHistory() {
  for (const LogRecord& record : history_) {
    std::wstring line = record.format().get();
    line += L"\r\n";
    LogFile::writeUtf16(file_.handle(), line.data(), line.size());
  }
}

Result Logger::loadSettings(const char* path) {
  if (path == nullptr) return code::kBadArguments;
  try {
    vocabulary::Locked guard(lock_);
    // C stdio rather than a file stream keeps the locale machinery out of the stub. Text
    // mode: CR LF arrives as LF on Windows.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path, "r"), &std::fclose);
    if (!in) return code::kOpenFailed;
    std::wstring section;
    std::string raw;
    while (ReadLine(in.get(), &raw)) {
#ifndef _WIN32
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();  // what text mode does on Windows
#endif
      std::wstring line;
      for (char c : raw) line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
      if (line.empty() || line[0] == L';' || line[0] == L'#') continue;
      if (line.size() >= 2 && line.front() == L'[' && line.back() == L']') {
        section = line.substr(1, line.size() - 2);
        continue;
      }
      const std::size_t eq = line.find(L'=');
      if (eq == std::wstring::npos) continue;
      settings_[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return code::kSuccess;
  } catch (const std::bad_alloc&) {
    return code::kNotEnoughMemory;
  } catch (...) {
    return code::kInternalError;
  }
}

std::deque<LogRecord> Logger::history() const {
  vocabulary::Locked guard(lock_);
  return history_;
}

Logger& theLogger() {
  static Logger logger;
  return logger;
}

namespace {
// Built before the entry routine runs, so every record from then on is kept.
[[maybe_unused]] Logger& kBuiltAtStartUp = theLogger();
}  // namespace

}  // namespace tzk::log
