// The stub executable: the entry point only forwards; everything else lives in the libraries.
#include <windows.h>

#include "stub/entry_point.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawArguments, int) {
  return static_cast<int>(tzk::stub::runEntryPoint(instance, rawArguments));
}
