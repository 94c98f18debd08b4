// The stub with its analytics ping sent to a server of the test's own on the loopback address,
// at the port E2E_ANALYTICS_PORT names (the test's server takes one the system picks).
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "stub/entry_point.h"

namespace {

tzk::ping::AnalyticsSettings loopbackSettings() {
  const wchar_t* port = _wgetenv(L"E2E_ANALYTICS_PORT");
  return {L"127.0.0.1", static_cast<std::uint16_t>(port != nullptr ? std::wcstoul(port, nullptr, 10) : 0),
          L"ZA-1234567-8", L"e2e"};
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawArguments, int) {
  tzk::stub::SequenceSteps steps;
  steps.analyticsSettings = &loopbackSettings;
  return static_cast<int>(tzk::stub::runEntryPoint(instance, rawArguments, steps));
}
