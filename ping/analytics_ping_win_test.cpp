#include "ping/analytics_ping.h"

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "vocabulary/scoped_handle.h"
#include "vocabulary/text.h"

namespace tzk::ping {
namespace {

// Taken during start-up, before any ping: an import of WinHTTP would have loaded it by now.
const bool kWinHttpLoadedAtStart = ::GetModuleHandleW(L"winhttp.dll") != nullptr;

struct SocketTraits {
  using Handle = SOCKET;
  static Handle invalid() noexcept { return INVALID_SOCKET; }
  static bool close(Handle s) noexcept { return ::closesocket(s) == 0; }
};
using ScopedSocket = vocabulary::ScopedHandle<SocketTraits>;

// A listening socket on 127.0.0.1 with a port the system picked; invalid on failure.
ScopedSocket listenOnLoopback(std::uint16_t* port) {
  ScopedSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return ScopedSocket();
  }
  *port = ntohs(address.sin_port);
  return listener;
}

// Answers one request with an empty 200 and keeps the request's head.
class OneRequestServer {
 public:
  OneRequestServer() : listener_(listenOnLoopback(&port_)) {
    if (listener_) thread_.reset(::CreateThread(nullptr, 0, serve, this, 0, nullptr));
  }
  ~OneRequestServer() { finish(); }
  bool ready() const { return thread_.valid(); }
  std::uint16_t port() const { return port_; }
  const std::string& request() {
    finish();
    return request_;
  }

 private:
  static DWORD WINAPI serve(void* self) {
    static_cast<OneRequestServer*>(self)->serveOne();
    return 0;
  }
  void serveOne() {
    fd_set waiting;
    FD_ZERO(&waiting);
    FD_SET(listener_.get(), &waiting);
    timeval limit = {20, 0};
    if (::select(0, &waiting, nullptr, nullptr, &limit) != 1) return;
    const ScopedSocket client(::accept(listener_.get(), nullptr, nullptr));
    char buffer[2048];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      const int received = ::recv(client.get(), buffer, sizeof(buffer), 0);
      if (received <= 0) return;
      request_.append(buffer, received);
    }
    static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    ::send(client.get(), kAnswer, sizeof(kAnswer) - 1, 0);
  }
  void finish() {
    if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
  }

  std::uint16_t port_ = 0;
  ScopedSocket listener_;
  std::string request_;
  vocabulary::ScopedKernelHandle thread_;
};

class AnalyticsPing : public ::testing::Test {
 protected:
  void SetUp() override {
    // With a proxy configured the request would leave the machine instead of reaching loopback.
    wchar_t proxy[8];
    ASSERT_EQ(::GetEnvironmentVariableW(L"http_proxy", proxy, 8), 0u) << "unset http_proxy for this test";
    ASSERT_EQ(::GetEnvironmentVariableW(L"HTTP_PROXY", proxy, 8), 0u) << "unset HTTP_PROXY for this test";
    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { ::WSACleanup(); }

  static AnalyticsSettings loopback(std::uint16_t port) { return {L"127.0.0.1", port, L"ZA-1234567-8", L"pro"}; }
};

TEST_F(AnalyticsPing, WinHttpIsNotImported) { EXPECT_FALSE(kWinHttpLoadedAtStart); }

TEST_F(AnalyticsPing, SendsOneGetWithTheHitInItsQuery) {
  OneRequestServer server;
  ASSERT_TRUE(server.ready());
  const std::uint64_t visitorId = sendAnalyticsPing(loopback(server.port()));
  const std::string& request = server.request();
  ASSERT_FALSE(request.empty()) << "no request reached the loopback server";

  EXPECT_NE(request.find("\r\nUser-Agent: Zanti SFX/1.0\r\n"), std::string::npos) << request;
  // Every field in its place, values unencoded; utmn a non-negative 32-bit number.
  const std::regex expected(
      R"(GET /__utm\.gif\?utmn=(\d{1,10})&utmac=ZA-1234567-8&utmwv=4\.4sh&utmp=view/pro-2015/envelope)"
      R"(&utmcc=__utma=999\.999\.999\.999\.999\.1;&utmvid=(0x[0-9a-f]{16})&utmr=- HTTP/1\.1)");
  std::smatch match;
  const std::string requestLine = request.substr(0, request.find("\r\n"));
  ASSERT_TRUE(std::regex_match(requestLine, match, expected)) << requestLine;
  EXPECT_LE(std::stoull(match[1].str()), 2147483647ull);
  EXPECT_EQ(match[2].str(), vocabulary::toUtf8(formatVisitorId(visitorId)));
}

TEST_F(AnalyticsPing, NothingListeningStillGivesTheVisitorIdentifierPromptly) {
  std::uint16_t port = 0;
  ASSERT_TRUE(listenOnLoopback(&port).valid());  // closed again at once: nothing listens there

  const DWORD start = ::GetTickCount();
  const std::uint64_t first = sendAnalyticsPing(loopback(port));
  const std::uint64_t second = sendAnalyticsPing(loopback(port));
  EXPECT_LT(::GetTickCount() - start, 10000u);
  // Drawn from one sequence that is not reseeded: two pings, two identifiers.
  EXPECT_NE(first, second);
  EXPECT_EQ(::GetModuleHandleW(L"winhttp.dll"), nullptr) << "WinHTTP stays loaded after the ping";
}

}  // namespace
}  // namespace tzk::ping
