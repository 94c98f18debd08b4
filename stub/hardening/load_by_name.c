/* The planting test's control: an unprotected program that loads each DLL named on its command
   line by bare name, as a careless caller would. Its markers prove that the planted DLLs and
   the DLL overrides would catch a stub that searched its own folder or the current directory. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  int loaded = 0;
  for (int i = 1; i < argc; ++i) {
    if (LoadLibraryW(argv[i]) != NULL) ++loaded;
  }
  return loaded;
}
