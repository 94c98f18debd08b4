// The process-wide log: severity-tagged, printf-formatted records kept in memory for the whole
// run and sent as UTF-16 lines to the setup log file and, on request, to the debugger.
#pragma once

#include <boost/shared_ptr.hpp>

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "log/log_platform.h"
#include "vocabulary/recursive_lock.h"
#include "vocabulary/result.h"

namespace tzk::log {

using LogLevel = std::int32_t;
namespace level {
constexpr LogLevel kTrace = 0, kDebug = 1, kInfo = 2, kNotice = 3, kWarning = 4, kError = 5, kFatal = 6;
}

LogLevel parseLevel(const wchar_t* name);
const wchar_t* levelName(LogLevel level);

// A module's tag: its name cut to 15 units and lower-cased, filled once at start-up.
struct ComponentTag {
  explicit ComponentTag(const wchar_t* name);
  wchar_t text[16];
};

// Rendered texts: allocated ones own their array, the fallback constants are not freed.
using LogText = boost::shared_ptr<const wchar_t>;

struct LogRecord {
  LogLevel level = 0;
  wchar_t component[16] = {};
  std::wstring message;
  std::uint64_t time = 0;  // UTC file time
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;

  LogText format() const;
  LogText formatTimestamp() const;
};

class Logger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void write(LogLevel level, const ComponentTag& component, const wchar_t* format, ...);
  void writeV(LogLevel level, const ComponentTag& component, const wchar_t* format, va_list args);

  void configure(const char* settingsPath, const wchar_t* logFilePath);
  Result openFile(const wchar_t* path);
  Result loadSettings(const char* path);

  bool isLevelEnabled(const ComponentTag& component, LogLevel level) const;
  bool isDebuggerEnabled(const ComponentTag& component) const;

  // A copy of every record accepted so far, oldest first.
  std::deque<LogRecord> history() const;

 private:
  using Section = std::map<std::wstring, std::wstring>;
  const std::wstring* lookUp(const ComponentTag& component, const wchar_t* key) const;
  void flushHistory();

  mutable vocabulary::RecursiveLock lock_;
  std::map<std::wstring, Section> settings_;
  std::deque<LogRecord> history_;
  LogFile file_;
};

// The one logger of the process, built during static initialisation.
Logger& theLogger();

}  // namespace tzk::log
