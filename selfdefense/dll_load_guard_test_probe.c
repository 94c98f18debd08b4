/* A module that imports LoadLibraryExW from kernel32.dll the way the windowing library does on
 * the systems the guard was made for, so the guard's tests can replace that import and watch
 * loads made through it. */
#include <windows.h>

__declspec(dllexport) HMODULE WINAPI ProbeLoadLibraryExW(const wchar_t* name, HANDLE file, DWORD flags) {
  return LoadLibraryExW(name, file, flags);
}

/* The import entry the loader bound, for the tests to compare with what they expect. */
__declspec(dllexport) FARPROC WINAPI ProbeBoundLoadLibraryExW(void) {
  return (FARPROC)(void*)&LoadLibraryExW;
}
