#include "progress/progress_callback.h"

#include <algorithm>
#include <limits>

namespace tzk::progress {

namespace {
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
}

std::uint32_t percentOf(std::uint64_t position, std::uint64_t total) {
  if (total == 0) return 0;
  if (position <= kMax / 100) return static_cast<std::uint32_t>(position * 100 / total);
  // position × 100 would not fit: add the position up a hundred times modulo the total and
  // count the wraps, so no intermediate value ever exceeds the total.
  std::uint32_t percent = 0;
  std::uint64_t rest = 0;
  for (int i = 0; i < 100; ++i) {
    if (rest >= total - position) {
      rest -= total - position;
      ++percent;
    } else {
      rest += position;
    }
  }
  return percent;
}

bool ProgressCallback::addListener(ProgressInterface* listener) {
  vocabulary::Locked hold(lock_);
  if (listener == nullptr || std::find(listeners_.begin(), listeners_.end(), listener) != listeners_.end()) {
    return false;
  }
  listeners_.push_back(listener);
  return true;
}

std::uint64_t ProgressCallback::position(Level level) {
  vocabulary::Locked hold(lock_);
  return at(level).position;
}

bool ProgressCallback::setTotal(Level level, std::uint64_t total) {
  {
    vocabulary::Locked hold(lock_);
    ProgressLevel& l = at(level);
    if (total != 0 && total != l.total) {
      l.total = total;
      l.dirty = true;
      l.lastPercent = 0;
      l.position = 0;
    }
  }
  return cancelRequested();
}

bool ProgressCallback::setPosition(Level level, std::uint64_t value) {
  {
    vocabulary::Locked hold(lock_);
    report(level, value);
  }
  return cancelRequested();
}

// The sum saturates: a wrapped position would send the line back to the start.
bool ProgressCallback::advance(Level level, std::uint64_t delta) {
  {
    vocabulary::Locked hold(lock_);
    const std::uint64_t from = at(level).position;
    report(level, delta > kMax - from ? kMax : from + delta);
  }
  return cancelRequested();
}

// Called with the lock held. Without a total there is no change to compare against: every
// such report is passed on, as 0 %.
void ProgressCallback::report(Level level, std::uint64_t newPosition) {
  ProgressLevel& l = at(level);
  l.position = std::min(newPosition, l.total);
  const std::uint32_t percent = percentOf(l.position, l.total);
  if (l.dirty || percent != l.lastPercent || l.total == 0) {
    l.dirty = false;
    l.lastPercent = percent;
    if (level == Level::kOverall) {
      ProgressLevel& step = at(Level::kStep);
      step.total = 100;
      step.position = 0;
      step.lastPercent = 0;
    }
    const std::uint32_t stepPercent = at(Level::kStep).lastPercent;
    const std::uint32_t shownPercent = at(Level::kOverall).lastPercent;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      listeners_[i]->onProgress(*this, stepPercent, shownPercent);
    }
  }
}

void ProgressCallback::requestCancel() { cancel_.exchange(1); }

// A plain atomic read: reading never clears the flag, not even for a moment, so a second
// thread that reports at the same time sees the request too.
bool ProgressCallback::cancelRequested() const { return cancel_.load() != 0; }

}  // namespace tzk::progress
