// A scratch folder of real files for the tests, on whichever system runs them.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace tzk::packers {

class ScratchFolder {
 public:
  ScratchFolder() {
    static int serial = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("packers_test_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "_" + std::to_string(++serial));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::filesystem::path Path(const char* name) const { return path_ / name; }
  std::wstring WidePath(const char* name) const { return Path(name).wstring(); }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tzk::packers
