// The error of the Windows call that just failed, as every module reports it.
#pragma once

#include <windows.h>

#include "vocabulary/result.h"

namespace tzk::root {

// Never 0: a failed call that set no error (a function looked up and not found, a stand-in a
// test handed in) would otherwise be reported as success.
inline Result LastFailure() {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : code::kInternalError;
}

}  // namespace tzk::root
