/* Starts the command line it was given, waits for it and prints "exit=N" with the full 32-bit
   exit code, which the Unix side of Wine would cut to 8 bits. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(void) {
  wchar_t* line = GetCommandLineW();
  /* Skip this program's own name, quoted or not. */
  if (*line == L'"') {
    line = wcschr(line + 1, L'"');
    line = line != NULL ? line + 1 : L"";
  } else {
    while (*line != L'\0' && *line != L' ') ++line;
  }
  while (*line == L' ') ++line;

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    printf("start failed %lu\n", GetLastError());
    return 1;
  }
  DWORD code = 0;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  printf("exit=%lu\n", code);
  return 0;
}
