#include "stub/entry_point.h"

#include "crashguard/crash_guard.h"
#include "stub/dll_search.h"
#include "stub/main_sequence.h"

namespace tzk::stub {

Result runEntryPoint(HINSTANCE instance, const wchar_t* rawArguments, const SequenceSteps& steps) {
  // First of all: nothing below may load a DLL planted beside the stub or in the current directory.
  restrictDllSearch();
  log::Logger& logger = log::theLogger();
  SYSTEMTIME t;
  logger.write(log::level::kInfo, kTagQelvo, L"--");
  ::GetSystemTime(&t);
  logger.write(log::level::kInfo, kTagQelvo, L"%04hu/%02hu/%02hu %02hu:%02hu:%02hu START: Zanti SFX stub executable",
               t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);

  CrashGuard::GuardState state{};
  const Result result = CrashGuard::runGuarded(
      state, [&steps](HINSTANCE guardedInstance, const wchar_t* arguments) {
        return runMainSequence(guardedInstance, arguments, steps);
      },
      instance, rawArguments);

  ::GetSystemTime(&t);
  logger.write(log::level::kInfo, kTagQelvo,
               L"%04hu/%02hu/%02hu %02hu:%02hu:%02hu END: Zanti SFX stub executable, return code %d (0x%08lx)",
               t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, result, result);
  logger.write(log::level::kInfo, kTagQelvo, L"--");
  return result;
}

}  // namespace tzk::stub
