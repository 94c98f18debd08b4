#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/file_system.h"
#include "root/text.h"

namespace tzk::archive {

bool SetEntryFileTime(const std::wstring& path, std::int64_t unixSeconds) {
  const timespec times[2] = {{static_cast<time_t>(unixSeconds), 0}, {static_cast<time_t>(unixSeconds), 0}};
  return ::utimensat(AT_FDCWD, root::toHostPath(path).c_str(), times, 0) == 0;
}

bool DeleteEntryFile(const std::wstring& path) { return ::unlink(root::toHostPath(path).c_str()) == 0; }

bool RunsUnderWow64() { return false; }
Result DisableRedirection(void** previous) {
  *previous = nullptr;
  return code::kSuccess;
}
Result RevertRedirection(void*) { return code::kSuccess; }

}  // namespace tzk::archive
