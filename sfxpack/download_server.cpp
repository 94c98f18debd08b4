#include "sfxpack/download_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "sfxpack/cli.h"
#include "sfxpack/download_request.h"

namespace sfxpack {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// How often a connection looks at its clock: the timeouts are kept to within this.
constexpr auto kSweep = std::chrono::seconds(2);
// How long a connection that is closed after its answer goes on reading what the client still sends.
constexpr auto kLinger = std::chrono::seconds(2);
// After the system ran out of descriptors, accepting waits this long before it tries again.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

std::string utcTime(const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm tm {};
  ::gmtime_r(&now, &tm);
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, format, &tm));
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

std::string hex(const Sha256& digest, std::size_t bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

const char* phrase(unsigned status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    default: return "Internal Server Error";
  }
}

// What the client sent, as a log line may show it: no quote, backslash or byte outside printable
// ASCII as it is, so that no request can end a line or a field of the log.
std::string logText(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// One line per request on stdout, whole: several threads write, and a reader of the log (a
// shipper, a test) must never see half of one.
class AccessLog {
 public:
  void Write(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

 private:
  std::mutex mutex_;
};

// A part of a response still to send: bytes in memory, or a range of the base's file.
struct Piece {
  const std::uint8_t* data = nullptr;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool fromBase = false;
  bool body = true;  // counts in the log's size
};

class Session;

// Each thread runs an io_context of its own, and each connection lives in one of them: its
// handlers run one after another on that thread, with no strand, and the thread that meets
// sendfile's EAGAIN is the one whose reactor then sees the socket become writable. Two threads
// sharing one io_context served half the requests per second of one thread at 64 connections
// (1 MiB installer), their time going to the shared reactor and scheduler rather than to sending.
class Server {
 public:
  Server(BaseCatalog& catalog, const ServeOptions& options);
  // The acceptor and the timers go before their io_context; then each io_context, whose
  // connections end as it goes, while what they report to is still here.
  ~Server();

  bool Listen(std::string* error);
  void Accept() {
    asio::post(acceptor_->get_executor(), [this] { acceptOne(); });
  }
  // Runs every io_context, one on this thread, until Stop has let the connections end.
  void Run();
  void Stop();
  // Ends every io_context's run now: the grace is over, or a second signal came.
  void StopNow();
  void Left(Session* session);

  asio::io_context& first() { return *contexts_.front(); }
  BaseCatalog& catalog() { return catalog_; }
  const ServeOptions& options() const { return options_; }
  AccessLog& log() { return log_; }

 private:
  void acceptOne();
  void accepted(const boost::system::error_code& ec, tcp::socket socket);

  BaseCatalog& catalog_;
  const ServeOptions options_;
  AccessLog log_;
  std::mutex mutex_;
  std::map<Session*, std::weak_ptr<Session>> sessions_;
  bool accepting_ = true;
  bool stopping_ = false;
  std::size_t next_ = 0;  // the io_context the next connection goes to
  std::vector<std::unique_ptr<asio::io_context>> contexts_;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> busy_;
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> retry_;
  std::optional<asio::steady_timer> grace_;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, Server& server)
      : socket_(std::move(socket)), server_(server), sweep_(socket_.get_executor()),
        buffer_(2 * kRequestHeaderLimit) {}
  ~Session() { server_.Left(this); }

  asio::any_io_executor executor() { return socket_.get_executor(); }
  void Start();
  // The server stops: a connection waiting for a request closes now, one sending ends after it.
  void Stopping();

 private:
  void readRequest();
  void onHeader(const beast::error_code& ec);
  void answer(const http::request<http::empty_body>& request);
  void answerStamped(const http::request<http::empty_body>& request);
  void refuse(unsigned status, const std::string& reason, bool close, const std::string& extra = std::string());
  std::string head(unsigned status, const std::string& fields, std::uint64_t length, bool hasLength) const;
  void send(std::string head, std::uint64_t first, std::uint64_t last, unsigned status);
  void cork(bool on);
  void pump();
  ssize_t sendMemory(int out);
  void advance(std::uint64_t done);
  void finished();
  void watch();
  void linger();
  void drain();
  void close();

  tcp::socket socket_;
  Server& server_;
  asio::steady_timer sweep_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  std::string peer_ = "-";
  Clock::time_point progress_ = Clock::now();
  bool reading_ = false, closed_ = false, stopping_ = false, keepAlive_ = false, headOnly_ = false;
  std::optional<Clock::time_point> lingerEnd_;
  unsigned version_ = 11;
  // The response under way, and what its log line says.
  std::shared_ptr<const ServedBase> base_;
  Stamp stamp_;
  std::string head_, body_, requestLine_;
  std::vector<Piece> pieces_;
  std::size_t next_ = 0;
  unsigned status_ = 0;
  std::uint64_t sent_ = 0;
};

void Session::Start() {
  beast::error_code ec;
  const tcp::endpoint peer = socket_.remote_endpoint(ec);
  if (!ec) peer_ = peer.address().to_string();
  socket_.set_option(tcp::no_delay(true), ec);
  socket_.native_non_blocking(true, ec);
  watch();
  readRequest();
}

void Session::Stopping() {
  stopping_ = true;
  keepAlive_ = false;
  if (reading_) close();
}

void Session::close() {
  if (closed_) return;
  closed_ = true;
  beast::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_both, ec);
  socket_.close(ec);
  sweep_.cancel();
}

void Session::watch() {
  sweep_.expires_after(kSweep);
  sweep_.async_wait([self = shared_from_this()](const beast::error_code& ec) {
    if (ec || self->closed_) return;
    const auto now = Clock::now();
    const auto quiet = now - self->progress_;
    if (self->lingerEnd_ ? now > *self->lingerEnd_
                         : quiet > std::chrono::seconds(self->reading_ ? kIdleSeconds : kSendSeconds)) {
      return self->close();
    }
    self->watch();
  });
}

void Session::readRequest() {
  reading_ = true;
  progress_ = Clock::now();
  parser_.emplace();
  parser_->header_limit(kRequestHeaderLimit);
  http::async_read_header(socket_, buffer_, *parser_,
                          [self = shared_from_this()](const beast::error_code& ec, std::size_t) { self->onHeader(ec); });
}

void Session::onHeader(const beast::error_code& ec) {
  if (closed_) return;
  reading_ = false;
  headOnly_ = false;
  version_ = 11;
  progress_ = Clock::now();
  requestLine_ = "-";
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    return refuse(431, "the request's header is larger than " + std::to_string(kRequestHeaderLimit) + " bytes", true);
  }
  const bool httpError = &ec.category() == &http::make_error_code(http::error::end_of_stream).category();
  if ((ec && !httpError) || ec == http::error::end_of_stream || ec == http::error::partial_message) {
    return close();  // the client left (or the connection broke) before a whole header came
  }
  if (ec) return refuse(400, "the request is not HTTP/1.1 this server reads (" + ec.message() + ")", true);
  answer(parser_->get());
}

void Session::answer(const http::request<http::empty_body>& request) {
  requestLine_ = logText(view(request.method_string())) + " " + logText(view(request.target())) +
                 (request.version() == 11 ? " HTTP/1.1" : " HTTP/1.0");
  version_ = request.version();
  keepAlive_ = request.keep_alive() && !stopping_;
  headOnly_ = request.method() == http::verb::head;
  if (!parser_->is_done()) return refuse(413, "a download request carries no body", true);
  if (request.method() != http::verb::get && !headOnly_) {
    return refuse(405, "a download is asked for with GET or HEAD", false, "Allow: GET, HEAD\r\n");
  }
  if (request.version() >= 11 && request.find(http::field::host) == request.end()) {
    return refuse(400, "an HTTP/1.1 request names its Host", false);
  }
  answerStamped(request);
}

void Session::answerStamped(const http::request<http::empty_body>& request) {
  DownloadTarget target;
  std::string reason;
  if (!ParseDownloadTarget(view(request.target()), server_.options().tags, &target, &reason)) {
    return refuse(400, reason, false);
  }
  base_ = server_.catalog().Find(target.name);
  if (base_ == nullptr) return refuse(404, "there is no download of that name here", false);
  if (!base_->stamper.StampItems(target.items, &stamp_, &reason)) return refuse(400, reason, false);
  const std::string etag = "\"" + hex(base_->stamper.Identify(stamp_), 16) + "\"";
  const std::string tagged = "ETag: " + etag + "\r\nAccept-Ranges: bytes\r\n";
  const auto noneMatch = request.find(http::field::if_none_match);
  if (noneMatch != request.end() && NoneMatchHits(view(noneMatch->value()), etag)) {
    return send(head(304, tagged, 0, false), 1, 0, 304);
  }
  const std::uint64_t size = stamp_.size;
  std::uint64_t first = 0, last = size - 1;
  const auto range = request.find(http::field::range), ifRange = request.find(http::field::if_range);
  RangeRequest asked = RangeRequest::kWhole;
  if (range != request.end() && (ifRange == request.end() || IfRangeHolds(view(ifRange->value()), etag))) {
    asked = ParseRange(view(range->value()), size, &first, &last);
  }
  if (asked == RangeRequest::kUnsatisfiable) {
    return refuse(416, "the range lies beyond the download's " + std::to_string(size) + " bytes", false,
                  "Content-Range: bytes */" + std::to_string(size) + "\r\n" + tagged);
  }
  if (asked == RangeRequest::kWhole) {
    return send(head(200, "Content-Type: application/octet-stream\r\n" + tagged, size, true), first, last, 200);
  }
  const std::string part = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                           std::to_string(size) + "\r\n";
  send(head(206, "Content-Type: application/octet-stream\r\n" + tagged + part, last - first + 1, true), first, last,
       206);
}

std::string Session::head(unsigned status, const std::string& fields, std::uint64_t length, bool hasLength) const {
  std::string h = "HTTP/1.1 " + std::to_string(status) + " " + phrase(status) + "\r\n" +
                  utcTime("Date: %a, %d %b %Y %H:%M:%S GMT\r\n") + "Server: sfxpack\r\n" + fields +
                  "X-Content-Type-Options: nosniff\r\n";
  if (hasLength) h += "Content-Length: " + std::to_string(length) + "\r\n";
  h += keepAlive_ ? (version_ < 11 ? "Connection: keep-alive\r\n" : "") : "Connection: close\r\n";
  return h + "\r\n";
}

void Session::refuse(unsigned status, const std::string& reason, bool close, const std::string& extra) {
  if (close) keepAlive_ = false;
  base_.reset();
  body_ = std::to_string(status) + " " + phrase(status) + ": " + reason + "\n";
  head_ = head(status, "Content-Type: text/plain; charset=utf-8\r\n" + extra, body_.size(), true);
  pieces_ = {{reinterpret_cast<const std::uint8_t*>(head_.data()), 0, head_.size(), false, false}};
  if (!headOnly_) pieces_.push_back({reinterpret_cast<const std::uint8_t*>(body_.data()), 0, body_.size(), false, true});
  next_ = 0;
  status_ = status;
  sent_ = 0;
  cork(true);
  pump();
}

// The head, then [first, last] of the stamped file (nothing when first > last): the stamp's
// patches from memory, the rest from the base's descriptor.
void Session::send(std::string head, std::uint64_t first, std::uint64_t last, unsigned status) {
  head_ = std::move(head);
  pieces_ = {{reinterpret_cast<const std::uint8_t*>(head_.data()), 0, head_.size(), false, false}};
  for (const StampRange& r : stamp_.ranges) {
    if (headOnly_ || first > last) break;
    const std::uint64_t from = std::max(first, r.offset), to = std::min(last + 1, r.offset + r.size);
    if (from >= to) continue;
    const bool headers = !r.patched && to <= base_->head.size();
    const std::uint8_t* data = r.patched ? stamp_.patch.data() + r.patchAt + (from - r.offset)
                               : headers  ? base_->head.data() + from
                                          : nullptr;
    pieces_.push_back({data, from, to - from, data == nullptr, true});
  }
  next_ = 0;
  status_ = status;
  sent_ = 0;
  cork(true);
  pump();
}

// The head, the first bytes of the base, the checksum and so on leave in full segments, not a
// small packet each, and the last one leaves when the response is whole (nginx's tcp_nopush).
void Session::cork(bool on) {
  const int value = on ? 1 : 0;
  ::setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

// Sends what the socket takes now and waits for it to take more: the base's ranges go by
// sendfile from its descriptor, so its bytes never pass through this process.
void Session::pump() {
  const int out = socket_.native_handle();
  while (next_ < pieces_.size() && !closed_) {
    ssize_t n = 0;
    if (pieces_[next_].fromBase) {
      // A base rewritten in place under its descriptor would mix two files in one response.
      if (!base_->Unchanged()) return close();
      off_t at = static_cast<off_t>(pieces_[next_].offset);
      n = ::sendfile(out, base_->file.get(), &at,
                     static_cast<std::size_t>(std::min<std::uint64_t>(pieces_[next_].size, 1u << 30)));
      if (n == 0) return close();  // the file is shorter than when it was prepared
    } else {
      n = sendMemory(out);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return close();
      socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](const beast::error_code& ec) {
        if (!ec) self->pump();
      });
      return;
    }
    progress_ = Clock::now();
    advance(static_cast<std::uint64_t>(n));
  }
  finished();
}

// The pieces in memory from the next one up to a range of the base, in one call: the head, the
// base's first bytes and the new checksum leave as one write, not one small write each, which
// split the segments that follow (measured: a fifth fewer responses per second at 64
// connections).
ssize_t Session::sendMemory(int out) {
  constexpr std::size_t kGather = 8;
  iovec parts[kGather];
  std::size_t count = 0;
  for (std::size_t i = next_; i < pieces_.size() && !pieces_[i].fromBase && count < kGather; ++i) {
    parts[count++] = {const_cast<std::uint8_t*>(pieces_[i].data), static_cast<std::size_t>(pieces_[i].size)};
  }
  msghdr message {};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  return ::sendmsg(out, &message, MSG_NOSIGNAL);
}

void Session::advance(std::uint64_t done) {
  for (; next_ < pieces_.size(); ++next_) {
    Piece& piece = pieces_[next_];
    const std::uint64_t taken = std::min(done, piece.size);
    if (piece.body) sent_ += taken;
    piece.size -= taken;
    piece.offset += taken;
    if (piece.data != nullptr) piece.data += taken;
    done -= taken;
    if (piece.size > 0) break;
  }
}

void Session::finished() {
  cork(false);
  server_.log().Write(peer_ + " - - " + utcTime("[%d/%b/%Y:%H:%M:%S +0000]") + " \"" + requestLine_ + "\" " +
                       std::to_string(status_) + " " + (sent_ > 0 ? std::to_string(sent_) : "-") + "\n");
  base_.reset();
  if (closed_) return;
  if (!keepAlive_) return linger();
  readRequest();
}

// A client still sending when its connection is closed (a header too large, a body) would get a
// reset for the bytes left unread, which may take the answer with it before it is read: the
// sending side is shut after the answer, and what still comes is read and dropped for a while.
void Session::linger() {
  beast::error_code ec;
  socket_.shutdown(tcp::socket::shutdown_send, ec);
  lingerEnd_ = Clock::now() + kLinger;
  buffer_.clear();
  drain();
}

void Session::drain() {
  socket_.async_read_some(buffer_.prepare(4096), [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
    if (ec) return self->close();
    self->drain();
  });
}

Server::Server(BaseCatalog& catalog, const ServeOptions& options) : catalog_(catalog), options_(options) {
  for (unsigned i = 0; i < options.threads; ++i) {
    contexts_.push_back(std::make_unique<asio::io_context>(1));
    busy_.push_back(asio::make_work_guard(*contexts_.back()));
  }
  acceptor_.emplace(first());
  retry_.emplace(first());
  grace_.emplace(first());
}

Server::~Server() {
  acceptor_.reset();
  retry_.reset();
  grace_.reset();
  busy_.clear();
  // Taken out first: a connection that ends as its io_context goes must find none to stop.
  std::vector<std::unique_ptr<asio::io_context>> contexts = std::move(contexts_);
  contexts.clear();
}

bool Server::Listen(std::string* error) {
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(options_.address, ec);
  if (ec) {
    *error = "'" + options_.address + "' is not an IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  acceptor_->open(endpoint.protocol(), ec);
  if (!ec) acceptor_->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_->bind(endpoint, ec);
  if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " + ec.message();
    return false;
  }
  const tcp::endpoint bound = acceptor_->local_endpoint(ec);
  const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]" : bound.address().to_string();
  std::fprintf(stderr, "sfxpack serve: listening on %s:%u\n", host.c_str(), static_cast<unsigned>(bound.port()));
  std::fflush(stderr);
  return true;
}

void Server::Run() {
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < contexts_.size(); ++i) threads.emplace_back([this, i] { contexts_[i]->run(); });
  first().run();
  for (std::thread& t : threads) t.join();
}

void Server::acceptOne() {
  asio::io_context& home = *contexts_[next_++ % contexts_.size()];
  acceptor_->async_accept(home, [this](const boost::system::error_code& ec, tcp::socket socket) {
    accepted(ec, std::move(socket));
  });
}

void Server::accepted(const boost::system::error_code& ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !acceptor_->is_open()) return;
  if (ec) {
    // Out of descriptors, or a connection that was gone before it was taken: try again soon.
    retry_->expires_after(kAcceptRetry);
    retry_->async_wait([this](const boost::system::error_code& e) {
      if (!e) acceptOne();
    });
    return;
  }
  auto session = std::make_shared<Session>(std::move(socket), *this);
  bool more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    sessions_.emplace(session.get(), session);
    more = sessions_.size() < options_.maxConnections;
    accepting_ = more;
  }
  asio::post(session->executor(), [session] { session->Start(); });
  if (more) acceptOne();
}

void Server::StopNow() {
  for (const auto& context : contexts_) context->stop();
}

void Server::Left(Session* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(session);
  if (stopping_) {
    if (sessions_.empty()) StopNow();
    return;
  }
  if (!accepting_) {
    accepting_ = true;
    Accept();
  }
}

void Server::Stop() {
  std::vector<std::shared_ptr<Session>> open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    for (const auto& entry : sessions_) {
      if (auto session = entry.second.lock()) open.push_back(std::move(session));
    }
    if (sessions_.empty()) StopNow();
  }
  asio::post(acceptor_->get_executor(), [this] {
    boost::system::error_code ec;
    acceptor_->close(ec);
    retry_->cancel();
  });
  for (const auto& session : open) asio::post(session->executor(), [session] { session->Stopping(); });
  // Responses under way get as long to finish as an idle connection gets to ask.
  grace_->expires_after(std::chrono::seconds(kIdleSeconds));
  grace_->async_wait([this](const boost::system::error_code& ec) {
    if (!ec) StopNow();
  });
}

}  // namespace

int RunDownloadServer(const ServeOptions& options, BaseCatalog& catalog, std::string* error) {
  // A client that goes away makes sendfile raise SIGPIPE, which would end the process.
  ::signal(SIGPIPE, SIG_IGN);
  Server server(catalog, options);
  if (!server.Listen(error)) return kExitOutputError;
  asio::signal_set signals(server.first(), SIGINT, SIGTERM);
  // The first signal lets the responses under way finish; a second one ends at once.
  signals.async_wait([&server, &signals](const boost::system::error_code& ec, int) {
    if (ec) return;
    server.Stop();
    signals.async_wait([&server](const boost::system::error_code& again, int) {
      if (!again) server.StopNow();
    });
  });
  server.Accept();
  catalog.Watch();
  server.Run();
  catalog.Stop();
  return kExitOk;
}

}  // namespace sfxpack
