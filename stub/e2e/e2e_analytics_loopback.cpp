// Points the stub's analytics ping at a server of the test's own on the loopback address, at the
// port E2E_ANALYTICS_PORT names (the test's server takes one the system picks): the linker routes
// the ping's lookup of the compiled-in endpoint here (--wrap).
#include <cstdint>
#include <cstdlib>

#include "ping/analytics_request.h"

extern "C" tzk::ping::AnalyticsSettings __wrap__ZN3tzk4ping25compiledAnalyticsSettingsEv() {
  const wchar_t* port = _wgetenv(L"E2E_ANALYTICS_PORT");
  return {L"127.0.0.1", static_cast<std::uint16_t>(port != nullptr ? std::wcstoul(port, nullptr, 10) : 0), L"ZA-1234567-8",
          L"e2e"};
}
