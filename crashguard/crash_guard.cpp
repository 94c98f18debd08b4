#include "crashguard/crash_guard.h"

#include <dbghelp.h>
#include <stdlib.h>

#include <atomic>
#include <cwchar>
#include <utility>

#include "log/logger.h"
#include "root/last_failure.h"
#include "root/system_library.h"
#include "vocabulary/path.h"
#include "vocabulary/recursive_lock.h"

namespace tzk::CrashGuard {
namespace {

const log::ComponentTag kTag(L"crashguard");

// Enough for dbghelp writing the dump; reserved now so that a fault that has eaten the
// faulting thread's stack or the address space still gets its dump.
constexpr SIZE_T kDumpThreadStackSize = 65536;
constexpr UINT kErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
// How long a faulting thread waits for the dump thread. A dump of this process (the threads'
// stacks, the modules, the handles) takes well under a second on Windows; Wine's dbghelp reads
// every module's debug information first and has taken 3 to 15 seconds on a loaded two-core
// machine. A minute leaves a slow dump room to finish. A dump thread that needs a lock the
// faulting thread holds never finishes: the loader's, which every new thread takes once to
// start, or the heap's, which dbghelp allocates from. The run must end all the same, with the
// clean-up the fault sets off.
constexpr DWORD kDumpWaitMilliseconds = 60000;

constexpr wchar_t kDumpName[] = L"MiniDump.dmp";
constexpr std::size_t kDumpPathUnits = 2 * MAX_PATH;

using MiniDumpWriteDumpFunction = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                PMINIDUMP_EXCEPTION_INFORMATION,
                                                PMINIDUMP_USER_STREAM_INFORMATION,
                                                PMINIDUMP_CALLBACK_INFORMATION);

testing::ThreadCreator g_threadCreator = nullptr;
std::atomic<DWORD> g_dumpWaitMilliseconds{kDumpWaitMilliseconds};
std::atomic<DWORD> g_lastDumpWriter{0};
// Set once a dump with a fault's context exists, so that the termination that usually follows
// the fault does not replace it with a dump that says less.
std::atomic<bool> g_faultDumpWritten{false};
// The SEException objects alive: each is a fault still on its way out.
std::atomic<std::uint32_t> g_faultsInFlight{0};

// What a dump needs is made ready before any fault, when a guard is armed: at the fault the
// faulting thread may hold the loader's lock, which loading a library takes, or the heap's,
// which building a path takes. The library stays loaded for the process's life: the terminate
// handler may dump after the guarded routine has gone.
std::atomic<MiniDumpWriteDumpFunction> g_writeDump{nullptr};
// Where the dumps go. Each is written under a name of this process's own, created new, then
// moved over the dump's name: a rename replaces whatever had that name as itself, a link
// included, where deleting it first might follow the link (Wine's deletion does). Nothing that
// was there is written through, and no dump shows half written.
struct DumpPaths {
  wchar_t dump[kDumpPathUnits];
  wchar_t partial[kDumpPathUnits];
};
DumpPaths g_pathsInCurrentDirectory;
DumpPaths g_pathsInFolder;
// Null until a guard is armed or a folder is named, and after a folder that leaves no room.
std::atomic<const DumpPaths*> g_dumpPaths{nullptr};
// Set by SetDumpFolder; until then an armed guard sends the dumps to the current directory.
std::atomic<bool> g_dumpPlaceNamed{false};
// dbghelp serves one thread at a time, and a dump thread given up on may still be writing.
std::atomic<bool> g_dumpBeingWritten{false};
// Set once a faulting thread stopped waiting for a dump thread. That thread may still start
// later and read its task from the guard's state, so nothing writes a task there again and no
// other dump thread is made: the process's later faults go without a dump.
std::atomic<bool> g_dumpThreadGivenUp{false};

// Serialises the hand-over of the dump thread (taken for a fault, replaced, released) and the
// choice of the fault that gets the dump: the extraction lanes fault on threads of their own and
// share the guarded thread's state. Never held while anything logs or waits: a lane that faulted
// inside the logger holds the logger's lock and waits for this one.
// Never destroyed: a lane may fault while the process is being torn down.
vocabulary::RecursiveLock* const g_dumpLock = new vocabulary::RecursiveLock;

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

// Loads dbghelp from the system folder, never by bare name: a planted dbghelp.dll beside the
// stub must not be found first. Without it there is no dump, and nothing says so.
void armDumpWriter() {
  if (!g_dumpPlaceNamed) SetDumpFolder(std::wstring());
  if (g_writeDump != nullptr) return;
  vocabulary::ScopedModule library(root::LoadSystemLibrary(L"dbghelp.dll"));
  if (!library) return;
  // Through void (*)(), the one function type that converts to any other without a warning.
  const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
      reinterpret_cast<void (*)()>(::GetProcAddress(library.get(), "MiniDumpWriteDump")));
  if (writeDump == nullptr) return;
  g_writeDump = writeDump;
  library.release();
}

// A suspended thread with its own stack, ready to do the next fault's task.
vocabulary::ScopedKernelHandle makeDumpThread(GuardState& state) {
  const testing::ThreadCreator create = g_threadCreator != nullptr ? g_threadCreator : &::CreateThread;
  vocabulary::ScopedKernelHandle thread(
      create(nullptr, kDumpThreadStackSize, &dumpThreadMain, &state, CREATE_SUSPENDED, nullptr));
  if (!thread) {
    log::theLogger().write(log::level::kError, kTag, L"Failed to create a new thread with error 0x%08lx!",
                           ::GetLastError());
  }
  return thread;
}

// Under the dump lock: the prepared thread, with the task it is to do for this fault, taken
// out of the state, so that it is waited for with no lock held; a fault meanwhile finds none.
vocabulary::ScopedKernelHandle takeDumpThread(GuardState& state, DumpTask task, EXCEPTION_POINTERS* pointers,
                                              DWORD threadId) {
  if (!state.dumpThread || g_dumpThreadGivenUp) return {};
  state.dumpTask = task;
  state.faultingThreadId = threadId;
  state.exceptionPointers = pointers;
  return std::move(state.dumpThread);
}

struct DumpWait {
  enum Outcome { kFinished, kNotResumed, kWaitFailed, kTimedOut } outcome;
  DWORD error;
  DWORD bound;
};

// Lets the taken thread do its task while the faulting thread waits, for a bounded time.
DumpWait runDumpThread(const vocabulary::ScopedKernelHandle& thread) {
  const DWORD bound = g_dumpWaitMilliseconds;
  // Waiting for a thread that was never resumed would only wait out the bound.
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    return {DumpWait::kNotResumed, ::GetLastError(), bound};
  }
  const DWORD waited = ::WaitForSingleObject(thread.get(), bound);
  if (waited == WAIT_OBJECT_0) return {DumpWait::kFinished, 0, bound};
  const DumpWait wait{waited == WAIT_TIMEOUT ? DumpWait::kTimedOut : DumpWait::kWaitFailed, ::GetLastError(), bound};
  g_dumpThreadGivenUp = true;
  return wait;
}

// Only where the faulting thread is out of the dispatch, and with the dump lock left.
void logDumpWait(const DumpWait& wait) {
  log::Logger& logger = log::theLogger();
  switch (wait.outcome) {
    case DumpWait::kFinished:
      return;
    case DumpWait::kNotResumed:
      logger.write(log::level::kError, kTag, L"Unable to resume thread with error 0x%08lx", wait.error);
      return;
    case DumpWait::kWaitFailed:
      logger.write(log::level::kError, kTag, L"The call to WaitForSingleObject failed with error 0x%08lx",
                   wait.error);
      return;
    case DumpWait::kTimedOut:
      logger.write(log::level::kError, kTag,
                   L"The dump thread did not finish within %lu ms; the run goes on, and no later fault is dumped",
                   wait.bound);
      return;
  }
}

// A fresh thread for the next fault once the last one has done its task: guarded code may catch
// the exception and go on (the logger's and the DLL guard's catch-alls do), so a later crash
// replaces the dump of one that was survived.
void replaceDumpThread(GuardState& state) {
  if (g_dumpThreadGivenUp) return;
  vocabulary::ScopedKernelHandle fresh = makeDumpThread(state);
  const vocabulary::Locked held(*g_dumpLock);
  if (!state.dumpThread && !g_dumpThreadGivenUp) state.dumpThread = std::move(fresh);
}

// The guard whose routine runs now; its fault is dumped where the translator first sees it.
GuardState* g_guarded = nullptr;

// What admitting a fault hands the faulting thread: the dump thread to run, and whose it is.
struct Admitted {
  vocabulary::ScopedKernelHandle dumpThread;
  GuardState* guard = nullptr;
  bool earlierInFlight = false;
};

// Counts the fault in flight in the same step, under the dump lock, in which it learns whether
// an earlier one is: of two faults at once exactly one gets the dump.
SEException admitFault(EXCEPTION_POINTERS* pointers, DWORD threadId, Admitted* admitted) {
  const vocabulary::Locked held(*g_dumpLock);
  admitted->earlierInFlight = g_faultsInFlight > 0;
  SEException fault(pointers, threadId);
  fault.dumpSettled = true;
  if (!admitted->earlierInFlight && g_guarded != nullptr) {
    admitted->guard = g_guarded;
    admitted->dumpThread = takeDumpThread(*g_guarded, DumpTask::kDump, pointers, threadId);
  }
  return fault;
}

// Runs on the faulting thread before the exception unwinds anything: the dump then holds the
// faulting function's frame and its caller's return address, which are gone by the catch.
void translateFault(unsigned int, EXCEPTION_POINTERS* pointers) {
  const DWORD threadId = ::GetCurrentThreadId();
  Admitted admitted;
  SEException fault = admitFault(pointers, threadId, &admitted);
  if (admitted.earlierInFlight) logUndumpedFault(pointers, threadId);
  if (admitted.dumpThread) {
    logDumpWait(runDumpThread(admitted.dumpThread));
    replaceDumpThread(*admitted.guard);
  }
  throw fault;
}

void onTerminate() {
  if (!g_faultDumpWritten && !g_dumpThreadGivenUp) writeMiniDump(nullptr, 0);
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
  if (g_dumpThreadGivenUp) return;
  // A task left by an earlier run would turn this run's fault into a silent release.
  state.dumpTask = DumpTask::kDump;
  state.exceptionPointers = nullptr;
  state.dumpThread = makeDumpThread(state);
}

// Makes state the running guard for its lifetime.
struct ActiveGuard {
  explicit ActiveGuard(GuardState* state) : outer(std::exchange(g_guarded, state)) {}
  ~ActiveGuard() { g_guarded = outer; }
  ActiveGuard(const ActiveGuard&) = delete;
  ActiveGuard& operator=(const ActiveGuard&) = delete;
  GuardState* outer;
};

// Inside the dispatch, where the faulting thread may have no stack left and may hold the
// loader's, the heap's or the logger's lock: it logs nothing itself (the dump thread writes the
// record when an earlier fault keeps the dump), and waits for the dump thread only so long.
// Such a fault never counts as in flight itself; it is passed on and ends the run.
void dumpUntranslatableFault(void* state, EXCEPTION_POINTERS* pointers) {
  vocabulary::ScopedKernelHandle dumpThread;
  {
    const vocabulary::Locked held(*g_dumpLock);
    const DumpTask task = g_faultsInFlight > 0 ? DumpTask::kLogOnly : DumpTask::kDump;
    dumpThread = takeDumpThread(*static_cast<GuardState*>(state), task, pointers, ::GetCurrentThreadId());
  }
  if (dumpThread) runDumpThread(dumpThread);
}

// For an SEException that the guard's translator never saw: thrown by hand, or by another one.
void settleFault(GuardState& state, SEException& fault) {
  bool earlierInFlight = false;
  vocabulary::ScopedKernelHandle dumpThread;
  {
    const vocabulary::Locked held(*g_dumpLock);
    earlierInFlight = g_faultsInFlight > 1;
    if (!earlierInFlight) dumpThread = takeDumpThread(state, DumpTask::kDump, fault.exceptionPointers, fault.threadId);
  }
  fault.dumpSettled = true;
  if (earlierInFlight) logUndumpedFault(fault.exceptionPointers, fault.threadId);
  if (dumpThread) logDumpWait(runDumpThread(dumpThread));
}

// The dump's name in folder (the current directory when empty), and its partial file's.
bool fillPaths(const std::wstring& folder, DumpPaths* paths) {
  const std::wstring dump = vocabulary::JoinPath(folder, kDumpName);
  const std::wstring partial = dump + L"." + std::to_wstring(::GetCurrentProcessId());
  if (partial.size() >= kDumpPathUnits) return false;
  std::wmemcpy(paths->dump, dump.c_str(), dump.size() + 1);
  std::wmemcpy(paths->partial, partial.c_str(), partial.size() + 1);
  return true;
}

// Writes the dump into its partial file and moves it into place; the partial file goes again
// when either fails (the process made it, so its name holds no link).
Result writeDumpFile(const DumpPaths& paths, MiniDumpWriteDumpFunction writeDump, EXCEPTION_POINTERS* exceptionPointers,
                     DWORD threadId) {
  vocabulary::ScopedFileHandle file(::CreateFileW(paths.partial, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return root::LastFailure();
  g_lastDumpWriter = ::GetCurrentThreadId();
  MINIDUMP_EXCEPTION_INFORMATION exception{threadId, exceptionPointers, FALSE};
  const BOOL written = writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), MiniDumpWithHandleData,
                                 exceptionPointers != nullptr ? &exception : nullptr, nullptr, nullptr);
  Result result = written ? code::kSuccess : root::LastFailure();
  if (!file.reset() && result == code::kSuccess) result = root::LastFailure();
  if (result == code::kSuccess && !::MoveFileExW(paths.partial, paths.dump, MOVEFILE_REPLACE_EXISTING)) {
    result = root::LastFailure();
  }
  if (result != code::kSuccess) ::DeleteFileW(paths.partial);
  return result;
}

// Holds dbghelp for one dump.
class DumpWriterClaim {
 public:
  DumpWriterClaim() : claimed_(!g_dumpBeingWritten.exchange(true)) {}
  ~DumpWriterClaim() {
    if (claimed_) g_dumpBeingWritten = false;
  }
  DumpWriterClaim(const DumpWriterClaim&) = delete;
  DumpWriterClaim& operator=(const DumpWriterClaim&) = delete;
  bool claimed() const { return claimed_; }

 private:
  bool claimed_;
};

}  // namespace

Result runGuarded(GuardState& state, const GuardedRoutine& routine, HINSTANCE instance, const wchar_t* rawArguments) {
  installHandlers(state);
  armDumpWriter();
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
  vocabulary::ScopedKernelHandle thread;
  {
    const vocabulary::Locked held(*g_dumpLock);
    if (!state.dumpThread) return;
    thread = std::move(state.dumpThread);
    // A thread given up on may yet read its task from the state: this one stays suspended until
    // the process ends.
    if (g_dumpThreadGivenUp) return;
    state.dumpTask = DumpTask::kNone;
  }
  log::Logger& logger = log::theLogger();
  // Without a fault the thread only starts and ends, and the thread waiting for it here holds no
  // lock it could need. Waiting for a thread that was never resumed would never end.
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    logger.write(log::level::kWarning, kTag, L"Unable to resume thread with error 0x%08lx!", ::GetLastError());
  } else if (::WaitForSingleObject(thread.get(), INFINITE) == WAIT_FAILED) {
    logger.write(log::level::kWarning, kTag, L"The call to WaitForSingleObject failed with error 0x%08lx!",
                 ::GetLastError());
  }
  if (!thread.reset()) {
    logger.write(log::level::kWarning, kTag, L"Failed to close the handle to the dump thread with error 0x%08lx!",
                 ::GetLastError());
  }
}

Result SetDumpFolder(const std::wstring& folder) {
  g_dumpPlaceNamed = true;
  DumpPaths* const paths = folder.empty() ? &g_pathsInCurrentDirectory : &g_pathsInFolder;
  g_dumpPaths = nullptr;
  // Never the current directory instead of a folder that leaves no room: an elevated run's
  // launcher chooses that.
  if (!fillPaths(folder, paths)) return code::kFilenameTooLong;
  g_dumpPaths = paths;
  return code::kSuccess;
}

void SetNoDumpPlace() {
  g_dumpPlaceNamed = true;
  g_dumpPaths = nullptr;
}

Result writeMiniDump(EXCEPTION_POINTERS* exceptionPointers, DWORD threadId) {
  const MiniDumpWriteDumpFunction writeDump = g_writeDump;
  const DumpPaths* const paths = g_dumpPaths;
  if (writeDump == nullptr || paths == nullptr) return code::kFileNotFound;
  const DumpWriterClaim claim;
  if (!claim.claimed()) return code::kOpenFailed;
  return writeDumpFile(*paths, writeDump, exceptionPointers, threadId);
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
void setDumpWaitBound(DWORD milliseconds) {
  g_dumpWaitMilliseconds = milliseconds != 0 ? milliseconds : kDumpWaitMilliseconds;
}
}  // namespace testing

}  // namespace tzk::CrashGuard

// The runtime's default terminate handler names the exception's type on stderr, through a
// demangler of 46 KB; a GUI program has no stderr, and the guard's own handler takes over at
// the start of the run anyway. Termination stays what it was: abort.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
