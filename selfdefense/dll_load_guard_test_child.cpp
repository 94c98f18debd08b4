// Runs the DLL load guard in a process of its own, for tests that need the self-defense
// driver to be present when the process starts (the start-up devices are opened before main).
// Installs the guard, then loads every argument through it as the windowing library would
// (a full path with LOAD_WITH_ALTERED_SEARCH_PATH) and prints one line per argument:
// "loaded" or "refused <error>". Only to standard output: the test gives it no standard error,
// which the desktop's process it may start would keep (see runChild).
#include <windows.h>

#include <cstdio>

#include "selfdefense/dll_load_guard.h"

int wmain(int argc, wchar_t** argv) {
  tzk::selfdefense::InstallDllLoadGuard();
  for (int i = 1; i < argc; ++i) {
    const HMODULE module = tzk::selfdefense::GuardedLoadLibraryExW(argv[i], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module != nullptr) {
      std::printf("loaded\n");
    } else {
      std::printf("refused %lu\n", ::GetLastError());
    }
  }
  return 0;
}
