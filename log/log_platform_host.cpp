#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "log/log_platform.h"
#include "vocabulary/text.h"

namespace tzk::log {

std::uint64_t currentFileTime() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  constexpr std::uint64_t kEpochDelta = 11644473600ULL;  // 1601-01-01 to 1970-01-01, seconds
  return (static_cast<std::uint64_t>(ts.tv_sec) + kEpochDelta) * 10000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

bool fileTimeToCalendar(std::uint64_t fileTime, CalendarTime* out) {
  constexpr std::uint64_t kEpochDelta = 11644473600ULL;
  const std::uint64_t seconds = fileTime / 10000000ULL;
  if (seconds < kEpochDelta) return false;
  const std::time_t t = static_cast<std::time_t>(seconds - kEpochDelta);
  std::tm tm{};
  if (::gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 30827) return false;
  *out = {static_cast<std::uint16_t>(tm.tm_year + 1900), static_cast<std::uint16_t>(tm.tm_mon + 1),
          static_cast<std::uint16_t>(tm.tm_mday), static_cast<std::uint16_t>(tm.tm_hour),
          static_cast<std::uint16_t>(tm.tm_min), static_cast<std::uint16_t>(tm.tm_sec)};
  return true;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }
std::uint32_t currentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

void sendToDebugger(const wchar_t* line) { std::fputws(line, stderr); }

LogFile::Handle LogFile::invalidHandle() { return -1; }

LogFile::~LogFile() { close(); }

Result LogFile::open(const wchar_t* path, bool* created) {
  close();
  const std::string narrow = tzk::vocabulary::toHostPath(path);
  int fd = ::open(narrow.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(narrow.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? code::kPathNotFound : errno == EACCES ? code::kAccessDenied : code::kOpenFailed;
  handle_ = fd;
  return code::kSuccess;
}

void LogFile::requestCompression(const wchar_t*) {}  // no transparent compression here

void LogFile::close() {
  if (isOpen()) ::close(static_cast<int>(handle_));
  handle_ = invalidHandle();
}

bool LogFile::isOpen() const { return isValid(handle_); }
bool LogFile::isValid(Handle handle) { return handle >= 0; }

bool LogFile::writeUtf16(Handle handle, const wchar_t* text, std::size_t units) {
  // The file is UTF-16LE like the stub's; host wide characters are UTF-32.
  std::string bytes;
  bytes.reserve(units * 2);
  auto put = [&bytes](unsigned unit) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const auto c = static_cast<std::uint32_t>(text[i]);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c > 0xFFFF ? 0xFFFD : c);
    }
  }
  return ::write(static_cast<int>(handle), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace tzk::log
