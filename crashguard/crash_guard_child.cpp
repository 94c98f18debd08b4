// A process for the crash guard's tests: runs one routine under the guard in the current
// directory and leaves "report.txt" there with what it saw. The exit code says how the run
// ended: the routine's result, kCaught when the fault left the entry routine as SEException.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "crashguard/crash_guard.h"
#include "log/logger.h"

namespace {

using tzk::Result;
namespace CrashGuard = tzk::CrashGuard;

constexpr int kCaught = 0x5E;
constexpr int kUsage = 64;

bool g_unwound = false;

struct UnwindWitness {
  ~UnwindWitness() { g_unwound = true; }
};

void report(const wchar_t* key, unsigned long value) {
  FILE* file = _wfopen(L"report.txt", L"a");
  if (file == nullptr) return;
  std::fwprintf(file, L"%ls=%lu\n", key, value);
  std::fclose(file);
}

int* volatile g_nowhere = nullptr;
volatile int g_zero = 0;
// Called through a pointer so that the compiler cannot copy inline.
void* (*volatile g_copy)(void*, const void*, size_t) = &std::memcpy;

Result writeThroughNull(HINSTANCE, const wchar_t*) {
  UnwindWitness witness;
  *g_nowhere = 1;
  return 1;
}

Result divideByZero(HINSTANCE, const wchar_t*) {
  UnwindWitness witness;
  return static_cast<Result>(100 / g_zero);
}

// The fault happens inside the system's C runtime, which the unwinder knows nothing about.
Result copyFromNull(HINSTANCE, const wchar_t*) {
  char target[16];
  g_copy(target, g_nowhere, sizeof(target));
  return target[0];
}

// A probe that the system function guards itself: the fault must stay its business.
Result probeInsideSystem(HINSTANCE, const wchar_t*) {
  void* reserved = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  const Result result = reserved != nullptr && ::IsBadReadPtr(reserved, 4) ? 7 : 1;
  if (reserved != nullptr) ::VirtualFree(reserved, 0, MEM_RELEASE);
  return result;
}

// Guarded code that catches a fault and goes on, then faults for good.
Result surviveThenFault(HINSTANCE instance, const wchar_t* arguments) {
  try {
    divideByZero(instance, arguments);
  } catch (...) {
  }
  return writeThroughNull(instance, arguments);
}

Result finishNormally(HINSTANCE, const wchar_t*) {
  return 7;
}

CrashGuard::GuardedRoutine routineFor(const wchar_t* mode) {
  if (std::wcscmp(mode, L"access") == 0 || std::wcscmp(mode, L"escape") == 0) return &writeThroughNull;
  if (std::wcscmp(mode, L"divide") == 0) return &divideByZero;
  if (std::wcscmp(mode, L"system") == 0) return &copyFromNull;
  if (std::wcscmp(mode, L"probe") == 0) return &probeInsideSystem;
  if (std::wcscmp(mode, L"survived") == 0) return &surviveThenFault;
  return nullptr;
}

unsigned long guardRecords() {
  unsigned long count = 0;
  for (const tzk::log::LogRecord& record : tzk::log::theLogger().history()) {
    if (std::wcscmp(record.component, L"crashguard") == 0) ++count;
  }
  return count;
}

int run(const wchar_t* mode) {
  const CrashGuard::GuardedRoutine routine = routineFor(mode);
  if (routine == nullptr) return kUsage;
  report(L"guarded", ::GetCurrentThreadId());
  CrashGuard::GuardState state{};
  if (std::wcscmp(mode, L"escape") == 0) return static_cast<int>(CrashGuard::runGuarded(state, routine, nullptr, L""));
  try {
    // A state that has seen a finished run must still give a fault its dump.
    CrashGuard::runGuarded(state, &finishNormally, nullptr, L"");
    return static_cast<int>(CrashGuard::runGuarded(state, routine, nullptr, L""));
  } catch (const CrashGuard::SEException& fault) {
    report(L"thread", fault.threadId);
    report(L"code", fault.exceptionPointers->ExceptionRecord->ExceptionCode);
    report(L"writer", CrashGuard::testing::lastDumpWriterThreadId());
    report(L"unwound", g_unwound ? 1 : 0);
    report(L"records", guardRecords());
    return kCaught;
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  return argc == 2 ? run(argv[1]) : kUsage;
}
