// The HTTP/1.1 side of `sfxpack serve`, on Boost.Asio and Boost.Beast's request parser: each
// GET or HEAD of a base is answered with the base stamped with the URL's items, the base's bytes
// sent by sendfile(2) straight from the descriptor the base was checked through and only the
// stamp's two patches from memory. So a download costs what the plain file costs a static server,
// plus its tail block.
//
// Bounded: at most `maxConnections` connections (beyond them, new ones wait in the listen queue),
// `threads` threads, and kConnectionBytes per connection (download_request.h). A connection that sends no complete header in kIdleSeconds,
// or takes no byte of a response in kSendSeconds, is closed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sfxpack/base_catalog.h"

namespace sfxpack {

struct ServeOptions {
  std::string address = "127.0.0.1";
  unsigned short port = 8080;
  unsigned threads = 2;
  std::size_t maxConnections = 512;
  std::vector<std::string> tags;  // what a URL may set (ParseUrlTags)
};

constexpr int kIdleSeconds = 30;
constexpr int kSendSeconds = 60;

// Serves until SIGINT or SIGTERM, then lets the responses under way finish (for at most
// kIdleSeconds) and returns kExitOk. One line per request goes to stdout in the common log
// format; "listening on ADDRESS:PORT" (the port the system chose for port 0) and the catalog's
// lines go to stderr. kExitOutputError with the reason when it cannot listen: the socket is what
// it writes to.
int RunDownloadServer(const ServeOptions& options, BaseCatalog& catalog, std::string* error);

}  // namespace sfxpack
