// The run's first action: one anonymous analytics hit over plain HTTP. Silent whatever happens;
// the visitor identifier it draws always reaches the caller.
#pragma once

#include <cstdint>
#include <string>

#include "ping/analytics_request.h"

namespace tzk::ping {

// Sends the hit to the endpoint settings name (the stub's: compiledAnalyticsSettings()).
std::uint64_t sendAnalyticsPing(const AnalyticsSettings& settings);

// One GET of path from host (port 0: the default); waits for the response headers, reads
// nothing of the answer and reports no failure.
void sendHttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path);

}  // namespace tzk::ping
