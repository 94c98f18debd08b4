// Turns hardware faults into C++ exceptions on a GCC (DWARF unwinding) build, where the
// runtime has no translator of its own.
//
// A TranslationFrame links a frame-based handler into the thread's structured-exception chain
// (32-bit; a 64-bit build has no such chain and uses the unhandled-exception filter instead).
// The system calls it only when no handler nearer the fault took the exception, so faults that
// code deeper in the stack expects (probing reads inside system functions and the like) stay
// untouched, and so do other threads, breakpoints and C++ exceptions, which never enter the
// chain. For a fault it copies the exception record and context into storage that outlives the
// unwinding (one copy per fault, so that faults on two threads at once, or one inside the
// handling of another, keep apart), then resumes the faulting thread in a thunk that looks, to the DWARF unwinder, as
// if the faulting instruction had called it; the thunk calls the thread's translator, which
// throws. Everything that a fault may leave must therefore be compiled with
// -fnon-call-exceptions (the win32 build does so for all code).
#pragma once

#include <windows.h>

#include <functional>

namespace tzk::CrashGuard {

// Called on the faulting thread, outside the exception dispatch; it must throw.
using SeTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Sets the calling thread's translator and returns the one it replaces.
SeTranslator setSeTranslator(SeTranslator translator);

// A translated fault's copy lives while it is held. The translation holds it until the
// translator's exception has left the thunk; whatever keeps the translator's pointers longer
// (the exception it throws) holds the copy as well. Pointers to anything else are left alone.
void holdFaultCopy(const EXCEPTION_POINTERS* pointers);
void releaseFaultCopy(const EXCEPTION_POINTERS* pointers);

// Lives on the stack of the function that guards its callees; it must be destroyed on every
// way out of that function (it is: destructors run during unwinding), or the chain would point
// into a dead frame.
class TranslationFrame {
 public:
  // A fault the unwinder cannot leave (no unwind data for the faulting code, no stack left), or
  // one that finds every copy taken by faults still in flight, is handed to this callback with
  // the dispatcher's own record and context, still inside the dispatch, and then passed on
  // untranslated.
  using UntranslatableFault = void (*)(void* context, EXCEPTION_POINTERS* pointers);

  TranslationFrame(UntranslatableFault onUntranslatable, void* context);
  ~TranslationFrame();
  TranslationFrame(const TranslationFrame&) = delete;
  TranslationFrame& operator=(const TranslationFrame&) = delete;

  UntranslatableFault onUntranslatable() const { return onUntranslatable_; }
  void* context() const { return context_; }

 private:
#if defined(__i386__)
  static EXCEPTION_DISPOSITION NTAPI handle(EXCEPTION_RECORD* record, void* frame, CONTEXT* context, void*);

  EXCEPTION_REGISTRATION_RECORD registration_;  // first: the chain points at it
#else
  static LONG WINAPI filter(EXCEPTION_POINTERS* pointers);

  bool installedFilter_ = false;
#endif
  UntranslatableFault onUntranslatable_;
  void* context_;
  const TranslationFrame* outer_;
};

// What guards a thread: its translator and its innermost frame's report of faults it cannot
// translate. A thread that works for a guarded one takes the guard along, so that a fault there
// is dumped from where it happened and leaves as SEException, as on the guarded thread.
class InheritedGuard {
 public:
  // The calling thread's guard; none where it has no translator.
  InheritedGuard();
  // Runs routine on the calling thread under the guard taken over.
  void run(const std::function<void()>& routine) const;

 private:
  SeTranslator translator_;
  TranslationFrame::UntranslatableFault onUntranslatable_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace tzk::CrashGuard
