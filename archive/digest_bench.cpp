// The digests of the signed content over 64 MiB, the size of a large installer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "archive/signature_digest.h"

namespace {

const std::vector<std::uint8_t>& Content() {
  static const std::vector<std::uint8_t> content = [] {
    std::vector<std::uint8_t> bytes(64u << 20);
    std::uint32_t seed = 1;
    for (std::uint8_t& b : bytes) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
  }();
  return content;
}

template <typename Digest>
void Run(benchmark::State& state, Digest digest) {
  const std::vector<std::uint8_t>& content = Content();
  const tzk::archive::ByteView view{content.data(), content.size()};
  for (auto _ : state) benchmark::DoNotOptimize(digest(view));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(content.size()));
}

void BM_Md5(benchmark::State& state) { Run(state, tzk::archive::Md5Of); }
void BM_Md5Text(benchmark::State& state) { Run(state, tzk::archive::Md5OfText); }
void BM_Sha256(benchmark::State& state) { Run(state, tzk::archive::Sha256WithoutPeChecksum); }

BENCHMARK(BM_Md5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5Text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
