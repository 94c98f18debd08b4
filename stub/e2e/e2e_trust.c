/* The second judge of a code signature beside osslsigncode: asks WinVerifyTrust, as a system
   does before it runs a program elevated, whether each file's Authenticode signature holds.
   Generic verify action, no UI, no revocation checks (the test CA has no CRL). One line per
   file: its name as given, "=", the result as 0x%08lx (0 holds; 0x80096010 a wrong image
   digest; 0x800B0100 no signature found). The exit code is 0 when every file could be asked. */
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  for (int i = 1; i < argc; ++i) {
    WINTRUST_FILE_INFO file = {0};
    WINTRUST_DATA data = {0};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = argv[i];
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    const LONG result = WinVerifyTrust(NULL, &action, &data);
    /* The verify step keeps state for the caller; it is released whatever the result. */
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(NULL, &action, &data);
    wprintf(L"%ls=0x%08lx\n", argv[i], (unsigned long)result);
  }
  fflush(stdout);
  return 0;
}
