// Real folders and files for tests, on whichever system runs them (Linux or Wine).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tzk::testing {

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::wstring& path() const { return path_; }
  // The folder joined with name by the system's separator.
  std::wstring file(const std::wstring& name) const;

 private:
  std::wstring path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
bool FileExists(const std::wstring& path);
// The names of what a folder holds, sorted; empty when it cannot be read.
std::vector<std::wstring> ListFolder(const std::wstring& path);
// Modification time in seconds since 1970, or -1.
std::int64_t FileModificationTime(const std::wstring& path);
// A folder of the source tree as this test process must name it (Wine sees it through Z:).
std::wstring SourcePath(const std::wstring& relative);

}  // namespace tzk::testing
