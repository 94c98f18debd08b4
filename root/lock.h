// The library's lock objects. CLock is the abstract lock the library hands out; CLockCS is the
// one kind it makes, a critical section taken from the process heap.
#pragma once

#include <windows.h>

#include <cstdint>

#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::root {

class CLock {
 public:
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  // The argument is for kinds of lock that wait with a bound; a critical section ignores it.
  virtual Result Lock(std::uint32_t timeout) = 0;
  virtual Result Unlock() = 0;
  virtual ~CLock() = default;

 protected:
  CLock() = default;
};

class CLockCS final : public CLock {
 public:
  CLockCS() noexcept;
  ~CLockCS() override;

  // False when the section could not be allocated; Lock and Unlock then answer 160.
  bool valid() const noexcept { return section_ != nullptr; }
  Result Lock(std::uint32_t timeout) override;
  Result Unlock() override;

 private:
  vocabulary::ScopedHeapMemory memory_;
  CRITICAL_SECTION* section_ = nullptr;
};

// Holds a lock for one scope; a lock that could not be taken is not released.
class ScopedLock {
 public:
  explicit ScopedLock(CLock& lock) noexcept : lock_(lock), result_(lock.Lock(0)) {}
  ~ScopedLock() {
    if (result_ == code::kSuccess) lock_.Unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  Result result() const noexcept { return result_; }

 private:
  CLock& lock_;
  Result result_;
};

}  // namespace tzk::root
