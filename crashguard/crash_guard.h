// Runs the main installation sequence on the calling thread under the crash guard.
#pragma once

#include <windows.h>

#include "root/result.h"

namespace tzk::CrashGuard {

using GuardedRoutine = Result (*)(HINSTANCE instance, const wchar_t* rawArguments);

// Zero-filled by the entry routine before the run; the guard keeps what it replaced here.
struct GuardState {};

Result runGuarded(GuardState& state, GuardedRoutine routine, HINSTANCE instance, const wchar_t* rawArguments);

}  // namespace tzk::CrashGuard
