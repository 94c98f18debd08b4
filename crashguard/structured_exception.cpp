#include "crashguard/structured_exception.h"

#include <exception>

namespace {

// What the unwinder's own lookup returns its bases in; only the pointer result is used.
struct DwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};

// The copy of the fault that the translator's pointers refer to. The dispatcher's record and
// context live on the stack below the faulting frame and are gone once unwinding starts, so the
// exception and the dump it leads to read this copy instead. One fault is in flight at a time:
// a second one replaces the first.
struct FaultCopy {
  EXCEPTION_RECORD record;
  CONTEXT context;
  EXCEPTION_POINTERS pointers;
};
FaultCopy g_fault;

const DWORD g_translatorSlot = ::TlsAlloc();

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

tzk::CrashGuard::SeTranslator currentTranslator() {
  if (g_translatorSlot == TLS_OUT_OF_INDEXES) return nullptr;
  return reinterpret_cast<tzk::CrashGuard::SeTranslator>(::TlsGetValue(g_translatorSlot));
}

}  // namespace

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

extern "C" {
const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases);

void tzkTranslatedFaultThunk();

// Entered from the thunk on the faulting thread, with the dispatch over.
[[noreturn]] void tzkRaiseTranslatedFault() {
  const tzk::CrashGuard::SeTranslator translator = currentTranslator();
  if (translator != nullptr) translator(g_fault.record.ExceptionCode, &g_fault.pointers);
  // A translator that returns leaves nowhere to resume: the faulting instruction would fault again.
  std::terminate();
}
}

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

SeTranslator setSeTranslator(SeTranslator translator) {
  const SeTranslator previous = currentTranslator();
  if (g_translatorSlot != TLS_OUT_OF_INDEXES) {
    ::TlsSetValue(g_translatorSlot, reinterpret_cast<void*>(translator));
  }
  return previous;
}

#if defined(__i386__)
TranslationFrame::TranslationFrame(UntranslatableFault onUntranslatable, void* context)
    : registration_{}, onUntranslatable_(onUntranslatable), context_(context) {
  NT_TIB* tib = threadInformationBlock();
  registration_.Next = tib->ExceptionList;
  registration_.Handler = &TranslationFrame::handle;
  tib->ExceptionList = &registration_;
}

TranslationFrame::~TranslationFrame() {
  // Frames are unlinked in the reverse order of linking; nothing between here and the fault
  // registers frames of its own that outlive their function.
  threadInformationBlock()->ExceptionList = registration_.Next;
}

EXCEPTION_DISPOSITION NTAPI TranslationFrame::handle(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                     void*) {
  constexpr DWORD kUnwinding = 0x2 | 0x4;  // EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND
  if ((record->ExceptionFlags & (kUnwinding | EXCEPTION_NONCONTINUABLE)) != 0) return ExceptionContinueSearch;
  if (!isHardwareFault(record->ExceptionCode) || currentTranslator() == nullptr) return ExceptionContinueSearch;

  g_fault.record = *record;
  g_fault.record.ExceptionRecord = nullptr;  // a nested record would not outlive the dispatch
  g_fault.context = *context;
  g_fault.pointers = {&g_fault.record, &g_fault.context};

  // Throwing needs stack, and unwinding needs unwind data for the faulting code: code of system
  // libraries has none. Such faults are reported here, with the stack still intact.
  DwarfEhBases bases;
  if (record->ExceptionCode == EXCEPTION_STACK_OVERFLOW ||
      _Unwind_Find_FDE(reinterpret_cast<void*>(context->Eip), &bases) == nullptr) {
    auto* self = static_cast<TranslationFrame*>(frame);
    if (self->onUntranslatable_ != nullptr) self->onUntranslatable_(self->context_, &g_fault.pointers);
    return ExceptionContinueSearch;
  }

  context->Eax = context->Eip;
  context->Eip = reinterpret_cast<DWORD>(&tzkTranslatedFaultThunk);
  return ExceptionContinueExecution;
}
#else
// The 64-bit build exists only to run the Windows tests where the kernel runs no 32-bit
// programs. Its handlers live in unwind tables, not in a chain on the stack, so it translates
// nothing: faults there end the process as they would without a guard.
TranslationFrame::TranslationFrame(UntranslatableFault onUntranslatable, void* context)
    : registration_{}, onUntranslatable_(onUntranslatable), context_(context) {}

TranslationFrame::~TranslationFrame() = default;
#endif

}  // namespace tzk::CrashGuard
