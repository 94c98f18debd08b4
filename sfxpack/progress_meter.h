// Progress of long work for a person at a terminal: bytes done of the total and the percentage
// on one line of stderr, redrawn at most a few times a second (for tests, at most once every
// SFXPACK_REDRAW_MS milliseconds). Nothing when stderr is no terminal, with -q/--quiet, or with
// --json (whose reader is a program).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sfxpack/cli.h"

namespace sfxpack {

// "-q" and "--quiet", for each command's flag list.
extern const char kQuietHelp[];
bool WantsQuiet(const ParsedArgs& args);

class ProgressMeter {
 public:
  // what names the work ("building setup.exe"); shown only on a terminal and when not quiet.
  ProgressMeter(std::string what, bool quiet);
  ~ProgressMeter();  // ends the line it drew, so what follows starts on a fresh one
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  bool shown() const { return shown_; }
  // Safe from any thread; a call while another draws is dropped, the next one catches up, and
  // so is one not past what is drawn (threads that add up their work may report out of order).
  void update(std::uint64_t done, std::uint64_t total);

 private:
  void draw(std::uint64_t done, std::uint64_t total);

  std::string what_;
  bool shown_;
  std::int64_t redrawMs_;
  bool drawn_ = false;
  std::uint64_t drawnDone_ = 0;  // read and written only by the call that draws
  std::atomic<bool> drawing_{false};
  std::atomic<std::int64_t> nextDraw_{0};
};

}  // namespace sfxpack
