#include "crashguard/structured_exception.h"

#include <atomic>
#include <exception>

namespace {

// What the unwinder's own lookup returns its bases in; only the pointer result is used.
struct DwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};

// The copies of faults that translators' pointers refer to. The dispatcher's record and context
// live on the stack below the faulting frame and are gone once unwinding starts, so the
// exception and the dump it leads to read a copy instead. Each fault takes a copy of its own,
// claimed without a lock or an allocation since it happens inside the dispatch: two lanes may
// fault at once, and a fault in the clean-up after another must not rewrite the first one's
// record. The pool covers both lanes with faults nested in each other's handling.
constexpr int kFaultCopies = 8;
struct FaultCopy {
  std::atomic<long> holds;
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
};
FaultCopy g_faults[kFaultCopies];

const DWORD g_translatorSlot = ::TlsAlloc();
// The innermost TranslationFrame of each thread.
const DWORD g_frameSlot = ::TlsAlloc();
// The copy of the fault that the thread's thunk is about to raise.
const DWORD g_faultSlot = ::TlsAlloc();

bool isHardwareFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

tzk::CrashGuard::TranslationFrame* innermostFrame() {
  if (g_frameSlot == TLS_OUT_OF_INDEXES) return nullptr;
  return static_cast<tzk::CrashGuard::TranslationFrame*>(::TlsGetValue(g_frameSlot));
}

void setInnermostFrame(const tzk::CrashGuard::TranslationFrame* frame) {
  if (g_frameSlot != TLS_OUT_OF_INDEXES) ::TlsSetValue(g_frameSlot, const_cast<tzk::CrashGuard::TranslationFrame*>(frame));
}

tzk::CrashGuard::SeTranslator currentTranslator() {
  if (g_translatorSlot == TLS_OUT_OF_INDEXES) return nullptr;
  return reinterpret_cast<tzk::CrashGuard::SeTranslator>(::TlsGetValue(g_translatorSlot));
}

FaultCopy* copyOf(const EXCEPTION_POINTERS* pointers) {
  for (FaultCopy& copy : g_faults) {
    if (&copy.pointers == pointers) return &copy;
  }
  return nullptr;
}

// A free copy filled with the fault, and where the faulting thread's registers went, for the
// thunk to find; null when every copy belongs to a fault still in flight, or the slot is missing.
FaultCopy* claimCopy(const EXCEPTION_RECORD* record, const CONTEXT* context) {
  if (g_faultSlot == TLS_OUT_OF_INDEXES) return nullptr;
  for (FaultCopy& copy : g_faults) {
    long unheld = 0;
    if (!copy.holds.compare_exchange_strong(unheld, 1)) continue;
    copy.record = *record;
    copy.record.ExceptionRecord = nullptr;  // a nested record would not outlive the dispatch
    copy.context = *context;
    copy.pointers = {&copy.record, &copy.context};
    ::TlsSetValue(g_faultSlot, &copy);
    return &copy;
  }
  return nullptr;
}

// Hands over the dispatcher's own record and context: no copy is needed (they stay valid while
// the callback runs), and a copy taken here might be one that a translation needs.
void reportUntranslatable(const tzk::CrashGuard::TranslationFrame& frame, EXCEPTION_RECORD* record, CONTEXT* context) {
  EXCEPTION_POINTERS pointers{record, context};
  if (frame.onUntranslatable() != nullptr) frame.onUntranslatable()(frame.context(), &pointers);
}

// The translation's own hold on its copy, let go once the translator's exception has left.
struct TranslationHold {
  explicit TranslationHold(FaultCopy* copy) : copy(copy) {}
  ~TranslationHold() { copy->holds.fetch_sub(1); }
  TranslationHold(const TranslationHold&) = delete;
  TranslationHold& operator=(const TranslationHold&) = delete;
  FaultCopy* copy;
};

}  // namespace

extern "C" {
void tzkTranslatedFaultThunk();

// Entered from the thunk on the faulting thread, with the dispatch over. Only the thunk's
// assembly calls it, which link-time optimisation cannot see: `used` keeps it.
[[noreturn]] __attribute__((used)) void tzkRaiseTranslatedFault() {
  const TranslationHold hold(static_cast<FaultCopy*>(::TlsGetValue(g_faultSlot)));
  const tzk::CrashGuard::SeTranslator translator = currentTranslator();
  if (translator != nullptr) translator(hold.copy->record.ExceptionCode, &hold.copy->pointers);
  // A translator that returns leaves nowhere to resume: the faulting instruction would fault again.
  std::terminate();
}
}

#if defined(__i386__)
namespace {
// The thread's own information block, whose first field heads its handler chain. (The header's
// NtCurrentTeb trips GCC's array-bounds check.)
NT_TIB* threadInformationBlock() {
  NT_TIB* tib;
  asm("movl %%fs:0x18, %0" : "=r"(tib));
  return tib;
}

}  // namespace

extern "C" const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases);

// The faulting thread resumes here with the faulting address in EAX and every other register
// as it was at the fault. Pushing that address makes the fault look like a call from the
// faulting instruction; the frame is marked as a signal frame so that the unwinder takes the
// address as the exact faulting instruction rather than a return address, which also keeps a
// fault on a function's first instruction inside that function.
asm(R"(
    .text
    .globl _tzkTranslatedFaultThunk
    .def _tzkTranslatedFaultThunk; .scl 2; .type 32; .endef
_tzkTranslatedFaultThunk:
    pushl %eax
    .cfi_startproc
    .cfi_signal_frame
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    call _tzkRaiseTranslatedFault
    ud2
    .cfi_endproc
)");

#endif  // __i386__

namespace tzk::CrashGuard {

void holdFaultCopy(const EXCEPTION_POINTERS* pointers) {
  if (FaultCopy* copy = copyOf(pointers)) copy->holds.fetch_add(1);
}

void releaseFaultCopy(const EXCEPTION_POINTERS* pointers) {
  if (FaultCopy* copy = copyOf(pointers)) copy->holds.fetch_sub(1);
}

SeTranslator setSeTranslator(SeTranslator translator) {
  const SeTranslator previous = currentTranslator();
  if (g_translatorSlot != TLS_OUT_OF_INDEXES) {
    ::TlsSetValue(g_translatorSlot, reinterpret_cast<void*>(translator));
  }
  return previous;
}

#if defined(__i386__)
TranslationFrame::TranslationFrame(UntranslatableFault onUntranslatable, void* context)
    : registration_{}, onUntranslatable_(onUntranslatable), context_(context), outer_(innermostFrame()) {
  setInnermostFrame(this);
  NT_TIB* tib = threadInformationBlock();
  registration_.Next = tib->ExceptionList;
  registration_.Handler = &TranslationFrame::handle;
  tib->ExceptionList = &registration_;
}

TranslationFrame::~TranslationFrame() {
  // Frames are unlinked in the reverse order of linking; nothing between here and the fault
  // registers frames of its own that outlive their function.
  threadInformationBlock()->ExceptionList = registration_.Next;
  setInnermostFrame(outer_);
}

EXCEPTION_DISPOSITION NTAPI TranslationFrame::handle(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                     void*) {
  constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
  if ((record->ExceptionFlags & (kUnwinding | EXCEPTION_NONCONTINUABLE)) != 0) return ExceptionContinueSearch;
  if (!isHardwareFault(record->ExceptionCode) || currentTranslator() == nullptr) return ExceptionContinueSearch;

  // Throwing needs stack, and unwinding needs unwind data for the faulting code: code of system
  // libraries has none. Such faults are reported here, with the stack still intact.
  DwarfEhBases bases;
  if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW ||
      _Unwind_Find_FDE(reinterpret_cast<void*>(context->Eip), &bases) == nullptr ||
      claimCopy(record, context) == nullptr) {
    reportUntranslatable(*static_cast<TranslationFrame*>(frame), record, context);
    return ExceptionContinueSearch;
  }

  context->Eax = context->Eip;
  context->Eip = reinterpret_cast<DWORD>(&tzkTranslatedFaultThunk);
  return ExceptionContinueExecution;
}
#else
namespace {

// What filtered faults before the first frame put the guard's filter in place.
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

// Only code of this image has the unwind data and cleanups the translation relies on; a fault
// inside a system library is reported where it happened, as the 32-bit build does.
bool insideThisImage(DWORD64 address) {
  void* faulting = nullptr;
  void* own = nullptr;
  ::RtlPcToFileHeader(reinterpret_cast<void*>(address), &faulting);
  ::RtlPcToFileHeader(reinterpret_cast<void*>(&tzkTranslatedFaultThunk), &own);
  return faulting != nullptr && faulting == own;
}

}  // namespace

// The faulting thread resumes at the entry with the faulting address (plus one) in RAX and every
// other register as it was. The push makes that address the return address of the thunk's frame;
// the thunk proper begins after it, so its unwind data describes a frame whose caller is the
// faulting instruction, and the C++ unwinder walks on from there.
asm(R"(
    .text
    .globl tzkTranslatedFaultEntry
    .def tzkTranslatedFaultEntry; .scl 2; .type 32; .endef
tzkTranslatedFaultEntry:
    pushq %rax
    .globl tzkTranslatedFaultThunk
    .def tzkTranslatedFaultThunk; .scl 2; .type 32; .endef
    .seh_proc tzkTranslatedFaultThunk
tzkTranslatedFaultThunk:
    pushq %rbp
    .seh_pushreg %rbp
    subq $32, %rsp
    .seh_stackalloc 32
    leaq 32(%rsp), %rbp
    .seh_setframe %rbp, 32
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call tzkRaiseTranslatedFault
    ud2
    .seh_endproc
)");

extern "C" void tzkTranslatedFaultEntry();

// A 64-bit thread has no handler chain on its stack: the guard takes the faults that no handler
// nearer to them took through the process's unhandled-exception filter, while its frame lives.
TranslationFrame::TranslationFrame(UntranslatableFault onUntranslatable, void* context)
    : onUntranslatable_(onUntranslatable), context_(context), outer_(innermostFrame()) {
  setInnermostFrame(this);
  // The filter is the process's: only the frame that put it in place takes it out again.
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = ::SetUnhandledExceptionFilter(&TranslationFrame::filter);
  installedFilter_ = previous != &TranslationFrame::filter;
  if (installedFilter_) g_previousFilter = previous;
}

TranslationFrame::~TranslationFrame() {
  if (installedFilter_) ::SetUnhandledExceptionFilter(g_previousFilter);
  setInnermostFrame(outer_);
}

LONG WINAPI TranslationFrame::filter(EXCEPTION_POINTERS* pointers) {
  const TranslationFrame* self = innermostFrame();
  EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  CONTEXT* context = pointers->ContextRecord;
  if (self == nullptr || (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0 ||
      !isHardwareFault(record->ExceptionCode) || currentTranslator() == nullptr) {
    // Another thread's fault, or not ours to translate: whoever filtered before us decides.
    return self != nullptr && g_previousFilter != nullptr ? g_previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  }
  if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW || !insideThisImage(context->Rip) ||
      claimCopy(record, context) == nullptr) {
    reportUntranslatable(*self, record, context);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // The C++ unwinder looks a caller's frame up at its return address less one; handing it the
  // faulting address plus one makes it find the faulting instruction itself.
  context->Rax = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&tzkTranslatedFaultEntry);
  return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

InheritedGuard::InheritedGuard() : translator_(currentTranslator()) {
  if (const TranslationFrame* frame = innermostFrame()) {
    onUntranslatable_ = frame->onUntranslatable();
    context_ = frame->context();
  }
}

void InheritedGuard::run(const std::function<void()>& routine) const {
  if (translator_ == nullptr) {
    routine();
    return;
  }
  struct Translator {
    explicit Translator(SeTranslator translator) : previous(setSeTranslator(translator)) {}
    ~Translator() { setSeTranslator(previous); }
    SeTranslator previous;
  } const translator(translator_);
  const TranslationFrame frame(onUntranslatable_, context_);
  routine();
}

}  // namespace tzk::CrashGuard
