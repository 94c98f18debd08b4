#include "crashguard/crash_guard.h"

namespace tzk::CrashGuard {

Result runGuarded(GuardState& state, GuardedRoutine routine, HINSTANCE instance, const wchar_t* rawArguments) {
  return routine(instance, rawArguments);
}

}  // namespace tzk::CrashGuard
