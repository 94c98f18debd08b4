// Unpacking speed of both package kinds for 64 MiB of installer-like data. With
// `--export DIR` the same packed streams are also written in the containers of the reference
// tools (sample.gz, sample.lzma) beside the payload (sample.bin), for tools/bench_packers.sh.
// `--pack zlib|lzma IN OUT` packs one file as the producer does, writes the stream in its
// tool's container and prints how much memory the packer took, for the packing rows.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

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

// Read into a buffer of the file's size: a growing one would raise the process's peak before
// the packer runs and hide part of what the packer takes.
bool ReadFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  const bool sized = std::fseek(in, 0, SEEK_END) == 0;
  const long size = std::ftell(in);
  bool read = sized && size >= 0 && std::fseek(in, 0, SEEK_SET) == 0;
  if (read) {
    bytes->resize(static_cast<std::size_t>(size));
    read = std::fread(bytes->data(), 1, bytes->size(), in) == bytes->size();
  }
  std::fclose(in);
  return read;
}

std::uint64_t PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss);
}

// The packer's memory is the growth of the process's peak over what the input and the
// destination, both already touched, hold before it runs.
int Pack(const std::string& kindName, const std::string& inPath, const std::string& outPath) {
  const std::uint32_t kind = kindName == "zlib"   ? std::uint32_t{kPackerZlib}
                             : kindName == "lzma" ? std::uint32_t{kPackerLzma}
                                                  : 0;
  std::vector<std::uint8_t> payload;
  if (kind == 0 || !ReadFile(inPath, &payload) || payload.size() >= 0xFFFFFFFFu) {
    std::fprintf(stderr, "packers_bench: --pack zlib|lzma IN OUT: cannot pack %s\n", inPath.c_str());
    return 1;
  }
  const auto size = static_cast<std::uint32_t>(payload.size());
  std::unique_ptr<DataPacker> packer = CreateDataPacker(kind);
  // The containers skip a package header, so the stream is placed behind room for one.
  std::vector<std::uint8_t> package(kPackageHeaderSize + std::uint64_t{packer->MaxCompressedSize(size)});
  std::uint32_t packed = static_cast<std::uint32_t>(package.size() - kPackageHeaderSize);
  const std::uint64_t before = PeakResidentKiB();
  const std::int32_t result = packer->Compress(payload.data(), size, package.data() + kPackageHeaderSize, &packed);
  const std::uint64_t peak = PeakResidentKiB();
  if (result != 0) {
    std::fprintf(stderr, "packers_bench: packing %s failed with %d\n", inPath.c_str(), static_cast<int>(result));
    return 1;
  }
  package.resize(kPackageHeaderSize + std::size_t{packed});
  const bool written = WriteFile(outPath, kind == kPackerZlib ? GzipContainer(package, payload.data(), size)
                                                              : LzmaAloneContainer(package, size));
  if (!written) {
    std::fprintf(stderr, "packers_bench: cannot write %s\n", outPath.c_str());
    return 1;
  }
  std::printf("packed %u bytes into %u, packer peak %llu KiB\n", size, packed,
              static_cast<unsigned long long>(peak - before));
  return 0;
}

}  // namespace
}  // namespace tzk::packers

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--pack") == 0) return tzk::packers::Pack(argv[2], argv[3], argv[4]);
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
