#include "ping/analytics_ping.h"

#include <windows.h>
#include <winhttp.h>

#include "vocabulary/scoped_handle.h"
#include "root/system_library.h"

namespace tzk::ping {
namespace {

constexpr wchar_t kUserAgent[] = L"Zanti SFX/1.0";

// Set while WinHTTP is loaded, before the first of its handles exists; the handles are closed
// before the library is released.
decltype(&::WinHttpCloseHandle) g_closeInternetHandle = nullptr;

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return g_closeInternetHandle(h) != FALSE; }
};
using ScopedInternetHandle = vocabulary::ScopedHandle<InternetHandleTraits>;

template <typename Function>
bool lookUp(HMODULE module, const char* name, Function* function) {
  // Through void(*)() so that the compiler accepts the change of signature.
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
  return *function != nullptr;
}

// The stub runs elevated from a download folder, where anyone may have left a "winhttp.dll".
// So the library is not imported but loaded from the system folder by its full path.
class WinHttp {
 public:
  bool load() {
    module_.reset(root::LoadSystemLibrary(L"winhttp.dll"));
    if (!module_) return false;
    const HMODULE m = module_.get();
    return lookUp(m, "WinHttpOpen", &open) && lookUp(m, "WinHttpConnect", &connect) &&
           lookUp(m, "WinHttpOpenRequest", &openRequest) && lookUp(m, "WinHttpSendRequest", &sendRequest) &&
           lookUp(m, "WinHttpReceiveResponse", &receiveResponse) &&
           lookUp(m, "WinHttpCloseHandle", &g_closeInternetHandle);
  }

  decltype(&::WinHttpOpen) open = nullptr;
  decltype(&::WinHttpConnect) connect = nullptr;
  decltype(&::WinHttpOpenRequest) openRequest = nullptr;
  decltype(&::WinHttpSendRequest) sendRequest = nullptr;
  decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;

 private:
  vocabulary::ScopedModule module_;
};

RandomSeed currentSeed() {
  LARGE_INTEGER counter = {};
  ::QueryPerformanceCounter(&counter);
  FILETIME now = {};
  ::GetSystemTimeAsFileTime(&now);
  return {counter.LowPart, static_cast<std::uint32_t>(counter.HighPart), now.dwLowDateTime, now.dwHighDateTime};
}

}  // namespace

std::uint64_t sendAnalyticsPing(const AnalyticsSettings& settings) {
  const AnalyticsHit hit = drawAnalyticsHit(processRandom(), currentSeed(), settings);
  sendHttpGet(settings.host, settings.port, hit.path);
  return hit.visitorId;
}

// No time-outs are set: WinHTTP's own bound how long an unreachable endpoint delays the run.
void sendHttpGet(const std::wstring& host, std::uint16_t port, const std::wstring& path) {
  WinHttp http;  // declared first, so released after every handle below
  if (!http.load()) return;
  const ScopedInternetHandle session(
      http.open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return;
  const ScopedInternetHandle connection(http.connect(session.get(), host.c_str(), port, 0));
  if (!connection) return;
  const ScopedInternetHandle request(http.openRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (!request) return;
  if (http.sendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    http.receiveResponse(request.get(), nullptr);
  }
}

}  // namespace tzk::ping
