#include "crashguard/crash_guard.h"

#include <dbghelp.h>
#include <stdlib.h>

#include <atomic>
#include <utility>

#include "log/logger.h"
#include "root/system_library.h"

namespace tzk::CrashGuard {
namespace {

const log::ComponentTag kTag(L"crashguard");

// Enough for dbghelp writing the dump; reserved now so that a fault that has eaten the
// faulting thread's stack or the address space still gets its dump.
constexpr SIZE_T kDumpThreadStackSize = 65536;
constexpr UINT kErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

testing::ThreadCreator g_threadCreator = nullptr;
std::atomic<DWORD> g_lastDumpWriter{0};
// Set once a dump with a fault's context exists, so that the termination that usually follows
// the fault does not replace it with a dump that says less.
std::atomic<bool> g_faultDumpWritten{false};
// The SEException objects alive: each is a fault still on its way out.
std::atomic<std::uint32_t> g_faultsInFlight{0};

// Serialises the use of the dump thread (resumed, waited for, replaced) and the choice of the
// fault that gets the dump: the extraction lanes fault on threads of their own and share the
// guarded thread's state.
struct DumpLock {
  DumpLock() { ::InitializeCriticalSection(&section); }
  CRITICAL_SECTION section;
} g_dumpLock;

class DumpLockHeld {
 public:
  DumpLockHeld() { ::EnterCriticalSection(&g_dumpLock.section); }
  ~DumpLockHeld() { ::LeaveCriticalSection(&g_dumpLock.section); }
  DumpLockHeld(const DumpLockHeld&) = delete;
  DumpLockHeld& operator=(const DumpLockHeld&) = delete;
};

Result lastError() {
  const DWORD error = ::GetLastError();
  return error != 0 ? error : code::kInternalError;
}

void logUndumpedFault(const EXCEPTION_POINTERS* pointers, DWORD threadId) {
  log::theLogger().write(log::level::kError, kTag,
                         L"Fault 0x%08lx on thread %lu while an earlier fault is handled; the dump stays the "
                         L"earlier one's",
                         pointers->ExceptionRecord->ExceptionCode, threadId);
}

DWORD WINAPI dumpThreadMain(void* parameter) {
  if (parameter == nullptr) return code::kBadArguments;
  const GuardState& state = *static_cast<const GuardState*>(parameter);
  if (state.dumpTask == DumpTask::kNone) return code::kSuccess;
  if (state.dumpTask == DumpTask::kLogOnly) {
    logUndumpedFault(state.exceptionPointers, state.faultingThreadId);
    return code::kSuccess;
  }
  const Result result = writeMiniDump(state.exceptionPointers, state.faultingThreadId);
  if (result == code::kSuccess && state.exceptionPointers != nullptr) g_faultDumpWritten = true;
  return result;
}

// A suspended thread with its own stack, ready to write the next fault's dump.
void prepareDumpThread(GuardState& state) {
  const testing::ThreadCreator create = g_threadCreator != nullptr ? g_threadCreator : &::CreateThread;
  state.dumpThread.reset(create(nullptr, kDumpThreadStackSize, &dumpThreadMain, &state, CREATE_SUSPENDED, nullptr));
  if (!state.dumpThread) {
    log::theLogger().write(log::level::kError, kTag, L"Failed to create a new thread with error 0x%08lx!",
                           ::GetLastError());
  }
}

// Lets the prepared thread do its task for a fault while the faulting thread waits; under the
// dump lock.
void runDumpThread(GuardState& state, DumpTask task, EXCEPTION_POINTERS* pointers, DWORD threadId) {
  state.dumpTask = task;
  state.faultingThreadId = threadId;
  state.exceptionPointers = pointers;
  if (!state.dumpThread) return;
  log::Logger& logger = log::theLogger();
  // Waiting for a thread that was never resumed would never end.
  if (::ResumeThread(state.dumpThread.get()) == static_cast<DWORD>(-1)) {
    logger.write(log::level::kError, kTag, L"Unable to resume thread with error 0x%08lx", ::GetLastError());
  } else if (::WaitForSingleObject(state.dumpThread.get(), INFINITE) == WAIT_FAILED) {
    logger.write(log::level::kError, kTag, L"The call to WaitForSingleObject failed with error 0x%08lx",
                 ::GetLastError());
  }
}

// The guard whose routine runs now; its fault is dumped where the translator first sees it.
GuardState* g_guarded = nullptr;

// Counts the fault in flight in the same step, under the dump lock, in which it learns whether
// an earlier one is: of two faults at once exactly one gets the dump. Guarded code may catch the
// exception and go on (the logger's and the DLL guard's catch-alls do), so a fresh dump thread
// then waits for the next fault: a later crash replaces the dump of one that was survived.
SEException admitFault(EXCEPTION_POINTERS* pointers, DWORD threadId, bool* earlierInFlight) {
  const DumpLockHeld held;
  *earlierInFlight = g_faultsInFlight > 0;
  SEException fault(pointers, threadId);
  fault.dumpSettled = true;
  if (!*earlierInFlight && g_guarded != nullptr) {
    runDumpThread(*g_guarded, DumpTask::kDump, pointers, threadId);
    if (g_guarded->dumpThread) prepareDumpThread(*g_guarded);
  }
  return fault;
}

// Runs on the faulting thread before the exception unwinds anything: the dump then holds the
// faulting function's frame and its caller's return address, which are gone by the catch.
void translateFault(unsigned int, EXCEPTION_POINTERS* pointers) {
  const DWORD threadId = ::GetCurrentThreadId();
  bool earlierInFlight = false;
  SEException fault = admitFault(pointers, threadId, &earlierInFlight);
  // Outside the dump lock: a lane that faulted inside the logger holds the logger's lock and
  // waits for the dump lock.
  if (earlierInFlight) logUndumpedFault(pointers, threadId);
  throw fault;
}

void onTerminate() {
  if (!g_faultDumpWritten) writeMiniDump(nullptr, 0);
}


void installHandlers(GuardState& state) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  state.previousTerminate = std::set_terminate(&onTerminate);
  state.previousUnexpected = std::set_unexpected(&std::terminate);
#pragma GCC diagnostic pop
  state.previousPureCall = ::_set_purecall_handler(&std::terminate);
  state.previousTranslator = setSeTranslator(&translateFault);
  state.previousErrorMode = ::SetErrorMode(kErrorMode);
}

void restoreHandlers(const GuardState& state) {
  ::SetErrorMode(state.previousErrorMode);
  setSeTranslator(state.previousTranslator);
  ::_set_purecall_handler(state.previousPureCall);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  std::set_unexpected(state.previousUnexpected);
#pragma GCC diagnostic pop
  std::set_terminate(state.previousTerminate);
}

void createDumpThread(GuardState& state) {
  // A task left by an earlier run would turn this run's fault into a silent release.
  state.dumpTask = DumpTask::kDump;
  state.exceptionPointers = nullptr;
  prepareDumpThread(state);
}

// Makes state the running guard for its lifetime.
struct ActiveGuard {
  explicit ActiveGuard(GuardState* state) : outer(std::exchange(g_guarded, state)) {}
  ~ActiveGuard() { g_guarded = outer; }
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;
  GuardState* outer;
};

// Inside the dispatch, where the faulting thread may have no stack left and may hold the heap's
// lock: the dump thread also writes the record when an earlier fault keeps the dump. Such a
// fault never counts as in flight itself; it is passed on and ends the run.
void dumpUntranslatableFault(void* state, EXCEPTION_POINTERS* pointers) {
  const DumpLockHeld held;
  const DumpTask task = g_faultsInFlight > 0 ? DumpTask::kLogOnly : DumpTask::kDump;
  runDumpThread(*static_cast<GuardState*>(state), task, pointers, ::GetCurrentThreadId());
}

// For an SEException that the guard's translator never saw: thrown by hand, or by another one.
void settleFault(GuardState& state, SEException& fault) {
  bool earlierInFlight = false;
  {
    const DumpLockHeld held;
    earlierInFlight = g_faultsInFlight > 1;
    if (!earlierInFlight) runDumpThread(state, DumpTask::kDump, fault.exceptionPointers, fault.threadId);
  }
  fault.dumpSettled = true;
  if (earlierInFlight) logUndumpedFault(fault.exceptionPointers, fault.threadId);
}

}  // namespace

Result runGuarded(GuardState& state, const GuardedRoutine& routine, HINSTANCE instance, const wchar_t* rawArguments) {
  installHandlers(state);
  finishDumpThread(state);
  createDumpThread(state);
  Result result = code::kSuccess;
  try {
    const ActiveGuard active(&state);
    const TranslationFrame frame(&dumpUntranslatableFault, &state);
    result = routine(instance, rawArguments);
  } catch (SEException& fault) {
    // Settled by the translator, unless the fault reached here some other way: a fault it left
    // undumped must not replace the dump an earlier one keeps.
    if (!fault.dumpSettled) settleFault(state, fault);
    throw;
  }
  finishDumpThread(state);
  restoreHandlers(state);
  return result;
}

void finishDumpThread(GuardState& state) {
  const DumpLockHeld held;
  if (!state.dumpThread) return;
  log::Logger& logger = log::theLogger();
  state.dumpTask = DumpTask::kNone;
  // Waiting for a thread that was never resumed would never end.
  if (::ResumeThread(state.dumpThread.get()) == static_cast<DWORD>(-1)) {
    logger.write(log::level::kWarning, kTag, L"Unable to resume thread with error 0x%08lx!", ::GetLastError());
  } else if (::WaitForSingleObject(state.dumpThread.get(), INFINITE) == WAIT_FAILED) {
    logger.write(log::level::kWarning, kTag, L"The call to WaitForSingleObject failed with error 0x%08lx!",
                 ::GetLastError());
  }
  if (!state.dumpThread.reset()) {
    logger.write(log::level::kWarning, kTag, L"Failed to close the handle to the dump thread with error 0x%08lx!",
                 ::GetLastError());
  }
}

Result writeMiniDump(EXCEPTION_POINTERS* exceptionPointers, DWORD threadId) {
  // Never by bare name: a planted dbghelp.dll beside the stub must not be found first.
  const vocabulary::ScopedModule library(root::LoadSystemLibrary(L"dbghelp.dll"));
  if (!library) return lastError();
  // Through void (*)(), the one function type that converts to any other without a warning.
  const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), "MiniDumpWriteDump")));
  if (writeDump == nullptr) return lastError();
  const vocabulary::ScopedFileHandle file(
      ::CreateFileW(L"MiniDump.dmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return lastError();

  g_lastDumpWriter = ::GetCurrentThreadId();
  MINIDUMP_EXCEPTION_INFORMATION exception{threadId, exceptionPointers, FALSE};
  const BOOL written = writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpWithHandleData,
                                 exceptionPointers != nullptr ? &exception : nullptr, nullptr, nullptr);
  return written ? code::kSuccess : lastError();
}

SEException::SEException(EXCEPTION_POINTERS* exceptionPointers, DWORD threadId)
    : exceptionPointers(exceptionPointers), threadId(threadId), held_(exceptionPointers) {
  holdFaultCopy(held_);
  ++g_faultsInFlight;
}

SEException::SEException(const SEException& other)
    : exceptionPointers(other.exceptionPointers), threadId(other.threadId), dumpSettled(other.dumpSettled),
      held_(other.held_) {
  holdFaultCopy(held_);
  ++g_faultsInFlight;
}

SEException::~SEException() {
  --g_faultsInFlight;
  releaseFaultCopy(held_);
}

namespace testing {
void setThreadCreator(ThreadCreator creator) {
  g_threadCreator = creator;
}
DWORD lastDumpWriterThreadId() {
  return g_lastDumpWriter;
}
}  // namespace testing

}  // namespace tzk::CrashGuard

// The runtime's default terminate handler names the exception's type on stderr, through a
// demangler of 46 KB; a GUI program has no stderr, and the guard's own handler takes over at
// the start of the run anyway. Termination stays what it was: abort.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
