// Linked into the faulting test build of the stub only. The linker routes the main sequence's
// call that opens the setup log here (--wrap), so the build faults inside the main sequence
// without a line of test code in it: the log opens as usual, then a write through a null
// pointer raises an access violation on the guarded thread.
#include "log/logger.h"

namespace {
int* volatile g_nowhere = nullptr;
}

// Member functions take `this` in ECX on this target: the wrapper must match.
extern "C" {
__attribute__((thiscall)) void __real__ZN3tzk3log6Logger9configureEPKcPKw(tzk::log::Logger* self,
                                                                          const char* settingsPath,
                                                                          const wchar_t* logFilePath);

__attribute__((thiscall)) void __wrap__ZN3tzk3log6Logger9configureEPKcPKw(tzk::log::Logger* self,
                                                                          const char* settingsPath,
                                                                          const wchar_t* logFilePath) {
  __real__ZN3tzk3log6Logger9configureEPKcPKw(self, settingsPath, logFilePath);
  *g_nowhere = 1;
}
}
