// The faulting test build of the stub: asking whether the user is an administrator, the main
// sequence's first step, before the setup log opens, writes through a null pointer instead, so
// the build faults on the guarded thread without a line of test code in the stub.
// crash_dump_test.sh finds faultInSequence by name in the image and in the dump.
#include <windows.h>

#include "stub/entry_point.h"

namespace {
int* volatile g_nowhere = nullptr;
}  // namespace

extern "C" __attribute__((noinline)) void faultInSequence() { *g_nowhere = 1; }

namespace {
bool faultingIsUserAdmin() {
  faultInSequence();
  return true;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawArguments, int) {
  tzk::stub::SequenceSteps steps;
  steps.isUserAdmin = &faultingIsUserAdmin;
  return static_cast<int>(tzk::stub::runEntryPoint(instance, rawArguments, steps));
}
