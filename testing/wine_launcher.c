/* Starts the command line it was given with this console's standard handles, waits for it and
   prints "exit=N" with the child's full 32-bit exit code. Wine hands the Unix side only the low
   8 bits of an exit code, and 0 for a program that crashed: read here, on the Windows side, a
   crash is its exception code. The launcher's own exit code is 0 when the child's was, else 1. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include "command_tail.h"

int wmain(void) {
  wchar_t* line = CommandTail();

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    printf("start failed %lu\n", GetLastError());
    return 1;
  }
  DWORD code = 0;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  fflush(stdout);
  printf("exit=%lu\n", code);
  /* NTSTATUS errors (0xC...) are how a crash ends a process. */
  if (code >= 0xC0000000u) printf("crashed: exception 0x%08lX\n", code);
  return code == 0 ? 0 : 1;
}
