#include "root/held_files.h"

#include <windows.h>

#include <atomic>

namespace tzk::root {
namespace {

constexpr int kAttempts = 10;
constexpr std::uint32_t kPauseMs = 200;

void sleepMilliseconds(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

// Both extraction lanes may retry at once.
std::atomic<RetrySleep> g_sleep{&sleepMilliseconds};

}  // namespace

bool RetryWhileHeld(const std::function<bool()>& attempt, const std::function<bool()>& worthRetrying) {
  for (int i = 0; i < kAttempts; ++i) {
    if (attempt()) return true;
    g_sleep.load()(kPauseMs);
    if (worthRetrying && !worthRetrying()) break;
  }
  return false;
}

RetrySleep SetRetrySleep(RetrySleep sleep) { return g_sleep.exchange(sleep != nullptr ? sleep : &sleepMilliseconds); }

}  // namespace tzk::root
