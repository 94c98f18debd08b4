#include "sfxpack/progress_meter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace sfxpack {
namespace {

constexpr std::int64_t kRedrawMs = 250;

// SFXPACK_REDRAW_MS, when it holds a number of milliseconds, replaces the interval: a test sets
// 0 to see every step of work that a fast machine finishes within one interval.
std::int64_t redrawMs() {
  const char* set = std::getenv("SFXPACK_REDRAW_MS");
  if (set == nullptr || *set == '\0') return kRedrawMs;
  char* end = nullptr;
  const long ms = std::strtol(set, &end, 10);
  return *end == '\0' && ms >= 0 ? ms : kRedrawMs;
}

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// Whether progress is drawn at all: stderr is a terminal and -q/--quiet was not given.
bool showsProgress(bool quiet) { return !quiet && isatty(fileno(stderr)) != 0; }

}  // namespace

const char kQuietHelp[] = "  -q, --quiet         no progress on stderr (shown only when stderr is a terminal)\n";

bool WantsQuiet(const ParsedArgs& args) { return args.has("-q") || args.has("--quiet"); }

ProgressMeter::ProgressMeter(std::string what, bool quiet)
    : what_(std::move(what)), shown_(showsProgress(quiet)), redrawMs_(redrawMs()) {}

ProgressMeter::~ProgressMeter() {
  if (drawn_) std::fputs("\n", stderr);
}

void ProgressMeter::update(std::uint64_t done, std::uint64_t total) {
  if (!shown_) return;
  const std::int64_t now = nowMs();
  const bool last = done >= total;
  if ((!last && now < nextDraw_.load()) || drawing_.exchange(true)) return;
  if (!drawn_ || done > drawnDone_) {
    nextDraw_ = now + redrawMs_;
    draw(done, total);
  }
  drawing_ = false;
}

void ProgressMeter::draw(std::uint64_t done, std::uint64_t total) {
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
  std::fprintf(stderr, "\r%s: %s of %s, %3u%%", what_.c_str(), mebibytes(done).c_str(), mebibytes(total).c_str(),
               percent);
  std::fflush(stderr);
  drawn_ = true;
  drawnDone_ = done;
}

}  // namespace sfxpack
