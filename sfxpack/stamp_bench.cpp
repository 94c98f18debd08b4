// One download's stamp of a prepared base (STAMP_BENCH_FILE, a code-signed installer with tail
// room): what `sfxpack serve` does for each request besides sending, with the URL's own ERID each
// time. Its query parsed into items, the tail block made and its MD5 taken, the checksum completed
// from the block's words, the ranges laid out, and the digest that names the bytes for the ETag.
// tools/bench_serve.sh holds it against `sfxpack tag` of the same file.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "sfxpack/base_catalog.h"
#include "sfxpack/download_request.h"

namespace sfxpack {
namespace {

// The base, checked and prepared once, as the folder's scan prepares it.
const ServedBase& Base() {
  static const std::shared_ptr<const ServedBase> base = [] {
    const char* file = std::getenv("STAMP_BENCH_FILE");
    if (file == nullptr) throw std::runtime_error("STAMP_BENCH_FILE names no installer");
    const std::string path = file;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error(path + " cannot be read");
    const FileIdentity seen{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                            static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                            static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
    std::shared_ptr<const ServedBase> prepared;
    std::string reason;
    bool retry = false;
    if (!PrepareBase(folder, name, seen, nullptr, "", &prepared, &reason, &retry)) {
      throw std::runtime_error(path + ": " + reason);
    }
    return prepared;
  }();
  return *base;
}

void BM_StampOneDownload(benchmark::State& state) {
  const ServedBase& base = Base();
  const std::vector<std::string> tags = {"ERID", "EAPT"};
  std::uint64_t n = 0;
  for (auto _ : state) {
    DownloadTarget target;
    std::string reason;
    if (!ParseDownloadTarget("/setup.exe?ERID=recommendation-" + std::to_string(++n), tags, &target, &reason)) {
      state.SkipWithError(reason.c_str());
      break;
    }
    Stamp stamp;
    if (!base.stamper.StampItems(target.items, &stamp, &reason)) {
      state.SkipWithError(reason.c_str());
      break;
    }
    benchmark::DoNotOptimize(base.stamper.Identify(stamp));
  }
  state.counters["fileBytes"] = static_cast<double>(base.stamper.size());
}
BENCHMARK(BM_StampOneDownload)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace sfxpack

BENCHMARK_MAIN();
