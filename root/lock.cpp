#include "root/lock.h"

namespace tzk::root {

CLockCS::CLockCS() noexcept : memory_(::HeapAlloc(::GetProcessHeap(), 0, sizeof(CRITICAL_SECTION))) {
  if (!memory_) return;
  section_ = static_cast<CRITICAL_SECTION*>(memory_.get());
  ::InitializeCriticalSection(section_);
}

CLockCS::~CLockCS() {
  if (section_ != nullptr) ::DeleteCriticalSection(section_);
}

Result CLockCS::Lock(std::uint32_t) {
  if (section_ == nullptr) return code::kBadArguments;
  ::EnterCriticalSection(section_);
  return code::kSuccess;
}

Result CLockCS::Unlock() {
  if (section_ == nullptr) return code::kBadArguments;
  ::LeaveCriticalSection(section_);
  return code::kSuccess;
}

}  // namespace tzk::root
