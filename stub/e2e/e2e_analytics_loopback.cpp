// Points the stub's analytics ping at a server of the test's own on the loopback address: the
// linker routes the ping's lookup of the compiled-in endpoint here (--wrap).
#include "ping/analytics_request.h"

extern "C" tzk::ping::AnalyticsSettings __wrap__ZN3tzk4ping25compiledAnalyticsSettingsEv() {
  return {L"127.0.0.1", SFX_E2E_ANALYTICS_PORT, L"ZA-1234567-8", L"e2e"};
}
