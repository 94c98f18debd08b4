/* What follows a program's own name on its command line, quoted or not: the command line a
   launcher hands on. */
#pragma once

#include <windows.h>
#include <wchar.h>

static inline wchar_t* CommandTail(void) {
  wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    line = wcschr(line + 1, L'"');
    line = line != NULL ? line + 1 : L"";
  } else {
    while (*line != L'\0' && *line != L' ') ++line;
  }
  while (*line == L' ') ++line;
  return line;
}
