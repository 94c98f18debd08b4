// The stub benchmark's inputs (tools/bench_stub.sh), made natively:
//   bench_stub_inputs sample SIZE SEED OUT      SIZE bytes of installer-like data (MakeSampleData)
//   bench_stub_inputs container PACKAGE OUT     the package's stream in the container its
//                                               reference tool reads: OUT ends in .gz for a zlib
//                                               package, .lzma for an LZMA one
// The package is unpacked first: only a stream the stub's own reader accepts is handed on.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "packers/file.h"
#include "packers/file_package.h"
#include "packers/sample_data.h"
#include "packers/tool_containers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool readFile(const char* path, Bytes* out) {
  FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return false;
  std::uint8_t chunk[1 << 16];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), in)) > 0) out->insert(out->end(), chunk, chunk + n);
  const bool whole = std::ferror(in) == 0;
  std::fclose(in);
  return whole;
}

bool writeFile(const char* path, const std::uint8_t* data, std::size_t size) {
  FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(data, 1, size, out) == size;
  return std::fclose(out) == 0 && written;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int sample(const char* size, const char* seed, const char* out) {
  const Bytes data = tzk::packers::MakeSampleData(std::strtoull(size, nullptr, 0), std::strtoull(seed, nullptr, 0));
  if (writeFile(out, data.data(), data.size())) return 0;
  std::fprintf(stderr, "bench_stub_inputs: cannot write %s\n", out);
  return 1;
}

int container(const char* packagePath, const std::string& out) {
  Bytes package;
  if (!readFile(packagePath, &package)) {
    std::fprintf(stderr, "bench_stub_inputs: cannot read %s\n", packagePath);
    return 1;
  }
  tzk::packers::CMFile file;
  std::uint32_t size = 0;
  std::unique_ptr<std::uint8_t[]> payload;
  if (package.size() < tzk::packers::kPackageHeaderSize + 6 ||
      !file.Attach(package.data(), static_cast<std::uint32_t>(package.size())) ||
      tzk::packers::LoadFilePackage(file, &size, &payload) != 0) {
    std::fprintf(stderr, "bench_stub_inputs: %s is no package the stub unpacks\n", packagePath);
    return 1;
  }
  // The stream's first byte tells the kinds apart: 0x78 opens every zlib stream this producer
  // writes, 0x5D is the LZMA properties of its level 5.
  const std::uint8_t first = package[tzk::packers::kPackageHeaderSize];
  Bytes bytes;
  if (endsWith(out, ".gz") && first == 0x78) {
    bytes = tzk::packers::GzipContainer(package, payload.get(), size);
  } else if (endsWith(out, ".lzma") && first == 0x5D) {
    bytes = tzk::packers::LzmaAloneContainer(package, size);
  } else {
    std::fprintf(stderr, "bench_stub_inputs: %s does not hold the stream %s needs\n", packagePath, out.c_str());
    return 1;
  }
  if (writeFile(out.c_str(), bytes.data(), bytes.size())) return 0;
  std::fprintf(stderr, "bench_stub_inputs: cannot write %s\n", out.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "sample") == 0) return sample(argv[2], argv[3], argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "container") == 0) return container(argv[2], argv[3]);
  std::fprintf(stderr, "usage: bench_stub_inputs sample SIZE SEED OUT | container PACKAGE OUT.gz|OUT.lzma\n");
  return 2;
}
