/* The installer/updater of the stub benchmark (tools/bench_stub.sh). Its first act is to read
   the performance counter, which is one clock for every process of the machine, and to leave
   the 8 bytes in the file that SFX_BENCH_CHILD_RECORD names; then it ends. Everything before
   that read is the stub's time. It has no C runtime and is its own entry point, so that no
   start-up code of its own is counted against the stub, and no console, which Wine would have
   to make for it. */
#include <windows.h>

void __cdecl benchChildEntry(void) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"SFX_BENCH_CHILD_RECORD", path, MAX_PATH);
  UINT code = 1;
  if (length > 0 && length < MAX_PATH) {
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      if (WriteFile(file, &now, sizeof(now), &written, NULL) && written == sizeof(now)) code = 0;
      CloseHandle(file);
    }
  }
  ExitProcess(code);
}
