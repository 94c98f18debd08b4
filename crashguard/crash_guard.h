// Runs the main installation sequence on the calling thread under the crash guard: a hardware
// fault in it becomes a CrashGuard::SEException, and a prepared dump thread writes
// "MiniDump.dmp" (into the current directory, or the folder SetDumpFolder names) before the
// exception goes on. The faulting thread waits for the dump a bounded time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "crashguard/structured_exception.h"
#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::CrashGuard {

using GuardedRoutine = std::function<Result(HINSTANCE instance, const wchar_t* rawArguments)>;

// A hardware fault on a guarded thread. The pointers refer to a copy of the fault's record and
// context that stays valid as long as the exception lives, after it has been caught too.
//
// A fault is in flight while its exception lives: being unwound, kept in a std::exception_ptr or
// handled in a catch block that has not finished. The first fault in flight keeps its dump; a
// fault while one is (in the clean-up that the first runs, or on the other lane) is logged
// instead, so that the dump shows what went wrong first.
class SEException {
 public:
  SEException(EXCEPTION_POINTERS* exceptionPointers, DWORD threadId);
  SEException(const SEException& other);
  SEException& operator=(const SEException&) = delete;
  ~SEException();

  EXCEPTION_POINTERS* exceptionPointers;
  DWORD threadId;
  // Set once the guard has written the fault's dump or logged the fault instead.
  bool dumpSettled = false;

 private:
  const EXCEPTION_POINTERS* held_;
};

using PureCallHandler = void(__cdecl*)();

// What the dump thread does once resumed.
enum class DumpTask : std::uint8_t {
  kDump,       // write the fault's dump
  kLogOnly,    // an earlier fault in flight keeps its dump: log this one (for a fault the
               // faulting thread cannot log itself, inside the dispatch)
  kNone,       // released without a fault
};

// Zero-filled by the entry routine before the run; the guard keeps what it replaced here.
struct GuardState {
  SeTranslator previousTranslator;
  std::terminate_handler previousTerminate;
  void (*previousUnexpected)();
  PureCallHandler previousPureCall;
  std::uint32_t previousErrorMode;
  vocabulary::ScopedKernelHandle dumpThread;
  DumpTask dumpTask;
  std::uint32_t faultingThreadId;
  EXCEPTION_POINTERS* exceptionPointers;
};

// Runs routine(instance, rawArguments) and returns its result. A fault in it leaves as
// SEException after the dump; the guard's handlers then stay installed.
Result runGuarded(GuardState& state, const GuardedRoutine& routine, HINSTANCE instance, const wchar_t* rawArguments);

// Releases an idle dump thread without a dump and closes it.
void finishDumpThread(GuardState& state);

// Where the dumps go from now on: "MiniDump.dmp" in folder, or in the current directory when
// folder is empty. The elevated run names its Logs folder once only administrators can change
// anything there: the current directory is the launcher's choice. A folder whose path leaves no
// room for the name turns the dump off (kFilenameTooLong).
Result SetDumpFolder(const std::wstring& folder);
// No dump from now on: an elevated run whose Logs folder others could change has no place where
// its memory may be written.
void SetNoDumpPlace();

// Writes the dump where SetDumpFolder says, with the dbghelp that arming a guard loaded (none
// before: no dump); pointers may be null. The dump is created new under a name of its own and
// then takes the dump's name: whatever had it, a link included, is replaced as itself, never
// written through. Returns a Win32 code.
Result writeMiniDump(EXCEPTION_POINTERS* exceptionPointers, DWORD threadId);

namespace testing {
using ThreadCreator = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*);
// Replaces CreateThread for the dump thread; null restores it.
void setThreadCreator(ThreadCreator creator);
// The thread that wrote the last dump, 0 before any.
DWORD lastDumpWriterThreadId();
// How long a faulting thread waits for the dump thread from now on; 0 restores the real bound.
void setDumpWaitBound(DWORD milliseconds);
}  // namespace testing

}  // namespace tzk::CrashGuard
