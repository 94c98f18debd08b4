// A process for the crash guard's tests: runs one routine under the guard in the current
// directory and leaves "report.txt" there with what it saw, and "guard.log" with the log records
// (which outlive a process that a fault ends). The exit code says how the run ended: the
// routine's result, kCaught when the fault left the entry routine as SEException. A second
// argument names the folder the dumps go to.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>

#include "crashguard/crash_guard.h"
#include "log/logger.h"

namespace {

using tzk::Result;
namespace CrashGuard = tzk::CrashGuard;

constexpr int kCaught = 0x5E;
constexpr int kUsage = 64;
// How long a dump thread that cannot finish is waited for here, instead of the real minute.
constexpr DWORD kHungDumpWait = 2000;

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

// Faults while the handling of an earlier one has not finished, the way a fault in the clean-up
// after a crash comes: one is survived and the first goes on, one leaves in the first one's place,
// one in system code ends the process.
Result surviveAFaultWhileHandlingOne(HINSTANCE instance, const wchar_t* arguments) {
  try {
    return writeThroughNull(instance, arguments);
  } catch (const CrashGuard::SEException&) {
    try {
      divideByZero(instance, arguments);
    } catch (...) {
    }
    throw;
  }
}

Result faultOutOfTheHandlingOfAFault(HINSTANCE instance, const wchar_t* arguments) {
  try {
    return writeThroughNull(instance, arguments);
  } catch (const CrashGuard::SEException&) {
    return divideByZero(instance, arguments);
  }
}

Result faultInSystemCodeWhileHandlingAFault(HINSTANCE instance, const wchar_t* arguments) {
  try {
    return divideByZero(instance, arguments);
  } catch (const CrashGuard::SEException&) {
    return copyFromNull(instance, arguments);
  }
}

// Two threads under the guard, the way the extraction lanes run, fault at once: each waits for
// the other before its fault, and stays in its handler until the other has faulted too, so that
// both faults are in flight together. The guarded thread writes through null, the other one
// divides by zero.
struct Lanes {
  tzk::vocabulary::ScopedKernelHandle ready[2];
  tzk::vocabulary::ScopedKernelHandle handling[2];
};

void faultTogether(const Lanes& lanes, int lane) {
  try {
    ::SetEvent(lanes.ready[lane].get());
    ::WaitForSingleObject(lanes.ready[1 - lane].get(), INFINITE);
    if (lane == 0) {
      writeThroughNull(nullptr, L"");
    } else {
      divideByZero(nullptr, L"");
    }
  } catch (const CrashGuard::SEException&) {
    ::SetEvent(lanes.handling[lane].get());
    ::WaitForSingleObject(lanes.handling[1 - lane].get(), INFINITE);
    throw;
  }
}

struct OtherLane {
  const Lanes& lanes;
  CrashGuard::InheritedGuard guard;
  std::exception_ptr failure;
};

DWORD WINAPI otherLaneMain(void* parameter) {
  auto* other = static_cast<OtherLane*>(parameter);
  report(L"lane", ::GetCurrentThreadId());
  try {
    other->guard.run([other] { faultTogether(other->lanes, 1); });
  } catch (...) {
    other->failure = std::current_exception();
  }
  return 0;
}

tzk::vocabulary::ScopedKernelHandle manualEvent() {
  return tzk::vocabulary::ScopedKernelHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

Result faultOnTwoThreadsAtOnce(HINSTANCE, const wchar_t*) {
  const Lanes lanes{{manualEvent(), manualEvent()}, {manualEvent(), manualEvent()}};
  OtherLane other{lanes, CrashGuard::InheritedGuard(), nullptr};
  const tzk::vocabulary::ScopedKernelHandle thread(::CreateThread(nullptr, 0, &otherLaneMain, &other, 0, nullptr));
  if (!thread) return kUsage;
  std::exception_ptr failure;
  try {
    faultTogether(lanes, 0);
  } catch (...) {
    failure = std::current_exception();
  }
  ::WaitForSingleObject(thread.get(), INFINITE);
  std::rethrow_exception(failure);
}

// A fault while the thread holds the heap's lock, which the dump thread needs to start and
// dbghelp to write; unwinding the fault lets it go again. The dump thread is waited for only as
// long as tests wait for a hung one (kHungDumpWait).
struct HeapHeld {
  HeapHeld() { ::HeapLock(::GetProcessHeap()); }
  ~HeapHeld() { ::HeapUnlock(::GetProcessHeap()); }
  HeapHeld(const HeapHeld&) = delete;
  HeapHeld& operator=(const HeapHeld&) = delete;
};

Result faultHoldingTheHeap(HINSTANCE instance, const wchar_t* arguments) {
  CrashGuard::testing::setDumpWaitBound(kHungDumpWait);
  const HeapHeld held;
  return writeThroughNull(instance, arguments);
}

// Memory that every read faults on.
const wchar_t* const g_unreadable =
    static_cast<const wchar_t*>(::VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS));

// A record whose text argument points at nothing, in the clean-up after a fault: the system's
// formatter faults while the logger holds its lock. The first fault's dump has the real bound.
Result faultInsideTheLoggerWhileHandlingAFault(HINSTANCE instance, const wchar_t* arguments) {
  try {
    return divideByZero(instance, arguments);
  } catch (const CrashGuard::SEException&) {
    CrashGuard::testing::setDumpWaitBound(kHungDumpWait);
    const tzk::log::ComponentTag tag(L"child");
    tzk::log::theLogger().write(tzk::log::level::kError, tag, L"Cleaning up after '%s'", g_unreadable);
    throw;
  }
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
  if (std::wcscmp(mode, L"nested-survived") == 0) return &surviveAFaultWhileHandlingOne;
  if (std::wcscmp(mode, L"nested-escaping") == 0) return &faultOutOfTheHandlingOfAFault;
  if (std::wcscmp(mode, L"nested-system") == 0) return &faultInSystemCodeWhileHandlingAFault;
  if (std::wcscmp(mode, L"two-threads") == 0) return &faultOnTwoThreadsAtOnce;
  if (std::wcscmp(mode, L"holding-heap") == 0) return &faultHoldingTheHeap;
  if (std::wcscmp(mode, L"nested-system-in-logger") == 0) return &faultInsideTheLoggerWhileHandlingAFault;
  return nullptr;
}

unsigned long guardRecords() {
  unsigned long count = 0;
  for (const tzk::log::LogRecord& record : tzk::log::theLogger().history()) {
    if (std::wcscmp(record.component, L"crashguard") == 0) ++count;
  }
  return count;
}

int run(const wchar_t* mode, const wchar_t* dumpFolder) {
  const CrashGuard::GuardedRoutine routine = routineFor(mode);
  if (routine == nullptr || CrashGuard::SetDumpFolder(dumpFolder) != tzk::code::kSuccess) return kUsage;
  report(L"guarded", ::GetCurrentThreadId());
  tzk::log::theLogger().openFile(L"guard.log");
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
  return argc == 2 || argc == 3 ? run(argv[1], argc == 3 ? argv[2] : L"") : kUsage;
}
