// Linked into the lane-faulting test build of the stub only. The linker routes extraction's
// call that stamps a written file's time here (--wrap): on the second extraction lane it writes
// through a null pointer, so the build faults on a thread the main sequence started, with no
// line of test code in the stub. The main thread's calls wait a moment first, so that the other
// lane takes an entry of its own.
#include <windows.h>

#include <cstdint>
#include <string>

namespace {
int* volatile g_nowhere = nullptr;
// Static initialisation runs on the main thread.
const DWORD g_mainThread = ::GetCurrentThreadId();
}  // namespace

extern "C" {
bool __real__ZN3tzk7archive16SetEntryFileTimeERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEx(
    const std::wstring& path, std::int64_t unixSeconds);

bool __wrap__ZN3tzk7archive16SetEntryFileTimeERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEx(
    const std::wstring& path, std::int64_t unixSeconds) {
  if (::GetCurrentThreadId() != g_mainThread) *g_nowhere = 1;
  ::Sleep(500);
  return __real__ZN3tzk7archive16SetEntryFileTimeERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEx(
      path, unixSeconds);
}
}
