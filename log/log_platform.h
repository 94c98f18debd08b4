// What the logger needs from the system: the clock, ids, the debugger sink and an append-only
// file. One implementation for Windows and one for the host, with identical line text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vocabulary/result.h"

namespace tzk::log {

struct CalendarTime {
  std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

std::uint64_t currentFileTime();  // 100-ns units since 1601-01-01 UTC
bool fileTimeToCalendar(std::uint64_t fileTime, CalendarTime* out);
std::uint32_t currentProcessId();
std::uint32_t currentThreadId();
void sendToDebugger(const wchar_t* line);

// The setup log file: appended to only, so concurrent writers never interleave within a line.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens or creates the file for appending; *created tells whether this open made it.
  Result open(const wchar_t* path, bool* created);
  void close();
  bool isOpen() const;
  // Asks the file system to compress the file; best effort.
  void requestCompression(const wchar_t* path);

  // Writes UTF-16LE; the handle copy lets callers write outside the logger's lock.
  using Handle = std::intptr_t;
  Handle handle() const { return handle_; }
  static bool isValid(Handle handle);
  static bool writeUtf16(Handle handle, const wchar_t* text, std::size_t units);

 private:
  Handle handle_ = invalidHandle();
  static Handle invalidHandle();
};

}  // namespace tzk::log
