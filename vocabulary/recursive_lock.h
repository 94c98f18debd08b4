// The lock of the logger and of the progress hub. Recursive, because a listener may report to
// the same callback from inside a notification, and logging may log. A critical section in the
// stub, which takes nothing from the C++ library that throws; the host has no such thing, so a
// recursive mutex with the same semantics stands in for it there.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <mutex>
#endif

namespace tzk::vocabulary {

class RecursiveLock {
 public:
#ifdef _WIN32
  RecursiveLock() { ::InitializeCriticalSection(&section_); }
  ~RecursiveLock() { ::DeleteCriticalSection(&section_); }
  void lock() { ::EnterCriticalSection(&section_); }
  void unlock() { ::LeaveCriticalSection(&section_); }
#else
  RecursiveLock() = default;
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
#endif
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  std::recursive_mutex mutex_;
#endif
};

// Holds the lock for one scope; every way out of the scope releases it.
class Locked {
 public:
  explicit Locked(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace tzk::vocabulary
