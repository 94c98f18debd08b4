/* A service that only runs until it is stopped: it stands in for a product service left
   running by a damaged installation. */
#include <windows.h>

static SERVICE_STATUS_HANDLE g_status;
static HANDLE g_stop;

static void report(DWORD state) {
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof(status));
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_status, &status);
}

static DWORD WINAPI control(DWORD code, DWORD type, void* data, void* context) {
  (void)type, (void)data, (void)context;
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

static void WINAPI serviceMain(DWORD argc, wchar_t** argv) {
  (void)argc;
  g_status = RegisterServiceCtrlHandlerExW(argv[0], control, NULL);
  g_stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  report(SERVICE_STOPPED);
}

int wmain(void) {
  wchar_t name[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
