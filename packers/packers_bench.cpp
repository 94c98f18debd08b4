// Unpacking speed of both package kinds for 64 MiB of installer-like data. With
// `--export DIR` the same packed streams are also written in the containers of the reference
// tools (sample.gz, sample.lzma) beside the payload (sample.bin), for tools/bench_packers.sh.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packers/data_packer.h"
#include "packers/file.h"
#include "packers/file_package.h"
#include "packers/sample_data.h"

namespace tzk::packers {
namespace {

constexpr std::size_t kPayloadSize = 64u << 20;
constexpr std::size_t kHeaderSize = 24;

struct Packages {
  std::vector<std::uint8_t> payload, zlib, lzma;
};

const Packages& SharedPackages() {
  static const Packages packages = [] {
    Packages p;
    p.payload = MakeSampleData(kPayloadSize, 2024);
    const auto size = static_cast<std::uint32_t>(p.payload.size());
    if (BuildFilePackage(kPackerZlib, p.payload.data(), size, &p.zlib) != 0 ||
        BuildFilePackage(kPackerLzma, p.payload.data(), size, &p.lzma) != 0) {
      std::fprintf(stderr, "packing the sample failed\n");
      std::exit(1);
    }
    return p;
  }();
  return packages;
}

void Unpack(benchmark::State& state, const std::vector<std::uint8_t>& package) {
  std::vector<std::uint8_t> window = package;
  for (auto _ : state) {
    CMFile file;
    file.Attach(window.data(), static_cast<std::uint32_t>(window.size()));
    std::uint32_t size = 0;
    std::unique_ptr<std::uint8_t[]> data;
    if (LoadFilePackage(file, &size, &data) != 0 || size != kPayloadSize) state.SkipWithError("unpacking failed");
    benchmark::DoNotOptimize(data.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadSize));
}

void BM_UnpackZlib(benchmark::State& state) { Unpack(state, SharedPackages().zlib); }
void BM_UnpackLzma(benchmark::State& state) { Unpack(state, SharedPackages().lzma); }
BENCHMARK(BM_UnpackZlib)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UnpackLzma)->Unit(benchmark::kMillisecond)->UseRealTime();

void PutLittle(std::vector<std::uint8_t>* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The zlib stream's deflate data between a gzip header and trailer.
std::vector<std::uint8_t> GzipContainer(const Packages& p) {
  std::vector<std::uint8_t> out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 2, 3};
  out.insert(out.end(), p.zlib.begin() + kHeaderSize + 2, p.zlib.end() - 4);
  PutLittle(&out, ::crc32(0, p.payload.data(), static_cast<uInt>(p.payload.size())), 4);
  PutLittle(&out, p.payload.size(), 4);
  return out;
}

// The property bytes, the unpacked size as 64-bit little-endian, then the stream.
std::vector<std::uint8_t> LzmaAloneContainer(const Packages& p) {
  std::vector<std::uint8_t> out(p.lzma.begin() + kHeaderSize, p.lzma.begin() + kHeaderSize + 5);
  PutLittle(&out, p.payload.size(), 8);
  out.insert(out.end(), p.lzma.begin() + kHeaderSize + 5, p.lzma.end());
  return out;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written;
}

bool Export(const std::string& folder) {
  const Packages& p = SharedPackages();
  std::printf("payload %zu bytes, zlib package %zu, LZMA package %zu\n", p.payload.size(), p.zlib.size(),
              p.lzma.size());
  return WriteFile(folder + "/sample.bin", p.payload) && WriteFile(folder + "/sample.gz", GzipContainer(p)) &&
         WriteFile(folder + "/sample.lzma", LzmaAloneContainer(p));
}

}  // namespace
}  // namespace tzk::packers

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--export") == 0 && i + 1 < argc) {
      if (!tzk::packers::Export(argv[++i])) {
        std::fprintf(stderr, "packers_bench: cannot write the samples to %s\n", argv[i]);
        return 1;
      }
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
