#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/file_system.h"
#include "vocabulary/text.h"

namespace tzk::archive {

bool SetEntryFileTime(const std::wstring& path, std::int64_t unixSeconds) {
  const timespec times[2] = {{static_cast<time_t>(unixSeconds), 0}, {static_cast<time_t>(unixSeconds), 0}};
  return ::utimensat(AT_FDCWD, vocabulary::toHostPath(path).c_str(), times, 0) == 0;
}

bool DeleteEntryFile(const std::wstring& path) { return ::unlink(vocabulary::toHostPath(path).c_str()) == 0; }

bool ReplaceEntryFile(const std::wstring& from, const std::wstring& to) {
  return ::rename(vocabulary::toHostPath(from).c_str(), vocabulary::toHostPath(to).c_str()) == 0;
}

std::wstring ExtendedLengthPath(const std::wstring& path) { return path; }

bool RunsUnderWow64() { return false; }
Result DisableRedirection(void** previous) {
  *previous = nullptr;
  return code::kSuccess;
}
Result RevertRedirection(void*) { return code::kSuccess; }

std::FILE* OpenScratchFile() { return std::tmpfile(); }

std::FILE* OpenUtf8File(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

}  // namespace tzk::archive
