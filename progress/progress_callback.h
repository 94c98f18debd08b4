// The progress hub: work that takes time reports positions to one ProgressCallback, which turns
// them into percentages and passes every change to its listeners (the registry value, the
// progress window). Portable: the same code runs on the host and in the stub.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "vocabulary/recursive_lock.h"

namespace tzk::progress {

class ProgressCallback;

// A listener. The slots are called with the callback's lock held, on the reporting thread;
// each does nothing unless a listener overrides it. The callback never owns or deletes its
// listeners, so the destructor is not part of the interface.
class ProgressInterface {
 public:
  virtual void onProgress(ProgressCallback& callback, std::uint32_t stepPercent, std::uint32_t shownPercent) {}

 protected:
  ProgressInterface() = default;
  ProgressInterface(const ProgressInterface&) = default;
  ProgressInterface& operator=(const ProgressInterface&) = default;
  ~ProgressInterface() = default;
};

// The two levels of a report: the whole job, and the step within it.
enum class Level : int { kOverall = 0, kStep = 1 };

class ProgressCallback {
 public:
  ProgressCallback() = default;
  virtual ~ProgressCallback() = default;
  ProgressCallback(const ProgressCallback&) = delete;
  ProgressCallback& operator=(const ProgressCallback&) = delete;

  // Listeners are called in the order they were added; a listener is listed at most once.
  virtual bool addListener(ProgressInterface* listener);

  // Every operation below returns the cancel flag: true once a cancel was requested.
  virtual std::uint64_t position(Level level);
  virtual bool setPosition(Level level, std::uint64_t value);
  virtual bool advance(Level level, std::uint64_t delta);
  // A total of 0 is ignored; a new total restarts the level at 0 and makes its next position
  // report notify. Notifies no one by itself.
  virtual bool setTotal(Level level, std::uint64_t total);

  // Sticky: once requested, every later report returns true. Safe from any thread.
  void requestCancel();
  bool cancelRequested() const;

 private:
  struct ProgressLevel {
    bool dirty = false;
    std::uint64_t total = 0;
    std::uint64_t position = 0;
    std::uint32_t lastPercent = 0;
  };

  void report(Level level, std::uint64_t newPosition);
  ProgressLevel& at(Level level) { return levels_[static_cast<int>(level)]; }

  vocabulary::RecursiveLock lock_;
  std::vector<ProgressInterface*> listeners_;
  std::atomic<std::uint32_t> cancel_{0};
  ProgressLevel levels_[2];
};

// floor(position * 100 / total) for position <= total, exact for every 64-bit value; 0 when
// there is no total.
std::uint32_t percentOf(std::uint64_t position, std::uint64_t total);

}  // namespace tzk::progress
