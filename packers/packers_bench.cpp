// Unpacking speed of both package kinds for 64 MiB of installer-like data. With
// `--export DIR` the same packed streams are also written in the containers of the reference
// tools (sample.gz, sample.lzma) beside the payload (sample.bin), for tools/bench_packers.sh.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packers/data_packer.h"
#include "packers/file.h"
#include "packers/file_package.h"
#include "packers/sample_data.h"
#include "packers/tool_containers.h"

namespace tzk::packers {
namespace {

constexpr std::size_t kPayloadSize = 64u << 20;

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
  return WriteFile(folder + "/sample.bin", p.payload) &&
         WriteFile(folder + "/sample.gz", GzipContainer(p.zlib, p.payload.data(), p.payload.size())) &&
         WriteFile(folder + "/sample.lzma", LzmaAloneContainer(p.lzma, p.payload.size()));
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
