/* Starts the command line it was given (an installer and its options) for the stub benchmark
   and prints, one "key=value" a line:
     child_start_ms   from just before CreateProcess to the counter reading that the
                      installer/updater left in the file SFX_BENCH_CHILD_RECORD names
                      (stub/e2e/bench_child.c); absent when there is no reading
     exit_ms          from the same start until the started process ended
     peak_working_set the process's peak working set in bytes: the reading taken once it ended
                      (peak_read=exit), or else the last of those taken every 10 ms while it
                      ran (peak_read=sampled). Wine answers the query for an ended process only
                      until its Unix process is gone, then with zeroes, which are no reading; a
                      peak only grows, so the last sample misses at most the last 10 ms.
                      Absent without any reading.
     exit             the process's whole exit code
   The launcher's own exit code is 0 when the process ended with 0 and the reading was left. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

#include "testing/command_tail.h"

static double millisecondsBetween(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
  return (double)(to.QuadPart - from.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

static BOOL peakOf(HANDLE process, SIZE_T* peak) {
  PROCESS_MEMORY_COUNTERS counters;
  ZeroMemory(&counters, sizeof(counters));
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, &counters, sizeof(counters)) || counters.PeakWorkingSetSize == 0) return FALSE;
  if (counters.PeakWorkingSetSize > *peak) *peak = counters.PeakWorkingSetSize;
  return TRUE;
}

static BOOL readRecord(const wchar_t* path, LARGE_INTEGER* counter) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD read = 0;
  const BOOL whole = ReadFile(file, counter, sizeof(*counter), &read, NULL) && read == sizeof(*counter);
  CloseHandle(file);
  return whole;
}

int wmain(void) {
  wchar_t* line = CommandTail();

  wchar_t record[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"SFX_BENCH_CHILD_RECORD", record, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    printf("SFX_BENCH_CHILD_RECORD names no file\n");
    return 1;
  }
  /* A reading left by an earlier run must not pass for this one's. */
  DeleteFileW(record);

  LARGE_INTEGER frequency, start, end, childStart;
  QueryPerformanceFrequency(&frequency);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    printf("start failed %lu\n", GetLastError());
    return 1;
  }
  CloseHandle(process.hThread);
  SIZE_T peak = 0;
  BOOL sampled = FALSE;
  while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) sampled |= peakOf(process.hProcess, &peak);
  QueryPerformanceCounter(&end);
  const BOOL atExit = peakOf(process.hProcess, &peak);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);

  const BOOL started = readRecord(record, &childStart);
  if (started) printf("child_start_ms=%.3f\n", millisecondsBetween(start, childStart, frequency));
  printf("exit_ms=%.3f\n", millisecondsBetween(start, end, frequency));
  if (atExit || sampled) {
    printf("peak_working_set=%lu\npeak_read=%s\n", (unsigned long)peak, atExit ? "exit" : "sampled");
  }
  printf("exit=%lu\n", code);
  return code == 0 && started ? 0 : 1;
}
