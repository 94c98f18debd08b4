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

bool ProgressCallback::removeListener(ProgressInterface* listener) {
  vocabulary::Locked hold(lock_);
  const auto found = std::find(listeners_.begin(), listeners_.end(), listener);
  if (found == listeners_.end()) return false;
  listeners_.erase(found);
  return true;
}

// Listeners may add or remove listeners from inside a call (the lock is recursive), so the
// list is walked by index and its size read afresh on every step.
template <typename Call>
bool ProgressCallback::broadcast(Call call) {
  {
    vocabulary::Locked hold(lock_);
    for (std::size_t i = 0; i < listeners_.size(); ++i) call(*listeners_[i]);
  }
  return cancelRequested();
}

bool ProgressCallback::lookUpText(std::uint32_t id, std::wstring& text) {
  vocabulary::Locked hold(lock_);
  return textSource_ != nullptr && textSource_->lookUp(id, text);
}

// An id without a text reports nothing, yet still answers whether cancellation was asked for.
bool ProgressCallback::reportLookedUp(std::uint32_t id, bool (ProgressCallback::*report)(const std::wstring&)) {
  std::wstring text;
  if (!lookUpText(id, text)) return cancelRequested();
  return (this->*report)(text);
}

bool ProgressCallback::reportTextId(std::uint32_t id) { return reportLookedUp(id, &ProgressCallback::reportText); }

bool ProgressCallback::reportText(const std::wstring& text) {
  return broadcast([&](ProgressInterface& l) { l.onText(*this, text); });
}

bool ProgressCallback::reportText2Id(std::uint32_t id) { return reportLookedUp(id, &ProgressCallback::reportText2); }

bool ProgressCallback::reportText2(const std::wstring& text) {
  return broadcast([&](ProgressInterface& l) { l.onText2(*this, text); });
}

bool ProgressCallback::notify(std::uint32_t value) {
  return broadcast([&](ProgressInterface& l) { l.onNotify(*this, value); });
}

bool ProgressCallback::notify2(std::uint32_t value1, std::uint32_t value2) {
  return broadcast([&](ProgressInterface& l) { l.onNotify2(*this, value1, value2); });
}

bool ProgressCallback::notify3(std::uint32_t value) {
  return broadcast([&](ProgressInterface& l) { l.onNotify3(*this, value); });
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
    const std::uint32_t shownPercent = at(shownLevel_).lastPercent;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      listeners_[i]->onProgress(*this, stepPercent, shownPercent);
    }
  }
}

void ProgressCallback::requestCancel() { cancel_.exchange(1); }

// A plain atomic read: reading never clears the flag, not even for a moment, so a second
// thread that reports at the same time sees the request too.
bool ProgressCallback::cancelRequested() const { return cancel_.load() != 0; }

void ProgressCallback::setTextSource(TextSource* source) {
  vocabulary::Locked hold(lock_);
  textSource_ = source;
}

void ProgressCallback::setShownLevel(Level level) {
  vocabulary::Locked hold(lock_);
  shownLevel_ = level;
}

}  // namespace tzk::progress
