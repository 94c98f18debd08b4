// sfxpack serve: per-download tags at download scale. Each download of a base in the served
// folder is stamped with the URL's items as it is sent, in work proportional to the tail block.
#include <cstdio>
#include <string>

#ifndef _WIN32
#include <sys/resource.h>

#include <algorithm>
#include <thread>

#include "sfxpack/base_catalog.h"
#include "sfxpack/download_server.h"
#endif
#include "sfxpack/cli.h"
#include "sfxpack/download_request.h"
#include "sfxpack_version.h"

namespace sfxpack {
namespace {

constexpr char kName[] = "serve";
constexpr unsigned kMaxThreads = 64;

const std::string kHelp = std::string(
    "usage: sfxpack serve FOLDER [--listen ADDRESS:PORT] [--tags LIST] [--threads N]\n"
    "                     [--max-connections N] [--keys DIR]\n"
    "       sfxpack serve --version\n\n"
    "Serves the installers in FOLDER over HTTP/1.1, each download stamped with its own tail items:\n"
    "GET /NAME.exe?ERID=...&EAPT=... sends NAME.exe with those items in its tail block, the bytes\n"
    "`sfxpack tag` would write, without writing anything. Values are percent-encoded bytes ('+' is\n"
    "a space); without items the tail room is zero-filled, as released. HEAD, one Range, ETag,\n"
    "If-None-Match and If-Range are understood. Refused, with one line saying why: 400 an unknown\n"
    "tag, a tag the URL may not set, a bad encoding or items too large for the tail block; 404 a\n"
    "name that is not a served base; 405 a method other than GET or HEAD; 413 a request with a\n"
    "body; 416 a range beyond the file; 431 a header over " + std::to_string(kRequestHeaderLimit / 1024) +
    " KiB.\n\n"
    "The served names are the regular *.exe files directly in FOLDER that tag could write items\n"
    "into (the stub accepts them, they are code-signed with tail room, and they have no\n"
    "embedded-data block); the others are named on stderr with the reason. No URL reaches the file\n"
    "system otherwise. The folder is scanned again every second: replace a base by renaming its\n"
    "new file over the name, and downloads under way finish on the old file.\n\n"
    "One line per request goes to stdout in the common log format, the scan's lines to stderr.\n"
    "SIGINT or SIGTERM stops it (exit 0) once the responses under way are sent, within 30 s.\n"
    "Not in the Windows build.\n\n"
    "options:\n"
    "  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6; port 0\n"
    "                         lets the system choose, and the line \"listening on\" names it)\n"
    "  --tags LIST            the tags a URL may set, comma-separated (default ERID,EAPT; ECFG may\n"
    "                         be added; EBCF and EBPK never)\n"
    "  --threads N            threads that serve connections (default: the CPUs; at most 64)\n"
    "  --max-connections N    connections served at once, each holding at most " +
    std::to_string((kConnectionBytes + 1023) / 1024) + " KiB (default\n"
    "                         512); more wait to be accepted\n"
    "  --keys DIR             check the bases against key1.pub.pem ... key7.pub.pem in DIR instead\n"
    "                         of their stubs' own\n"
    "  --version              print the version and exit\n\n") +
    kExitCodeHelp;

#ifdef _WIN32

int run(const Args&) {
  return FileError(kName, "sfxpack.exe", "not available in this build: serve with the Linux build", kExitOutputError);
}

#else

// A whole decimal number in [1, max]; false otherwise.
bool count(const std::string& text, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoul(text);
  return *value >= 1 && *value <= max;
}

bool parseListen(const std::string& text, ServeOptions* options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = text.substr(colon + 1);
  if (host.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long number = std::stoul(port);
  if (number > 65535) return false;
  options->address = host;
  options->port = static_cast<unsigned short>(number);
  return true;
}

// Every connection and every served base holds a descriptor; the soft limit is raised to the
// hard one when that is needed. False with the reason when even that is too few.
bool enoughDescriptors(std::size_t connections, std::string* error) {
  const rlim_t needed = connections + BaseCatalog::kMaxBases + 64;
  rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return true;
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
    limit.rlim_cur = needed;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return true;
  }
  *error = "--max-connections " + std::to_string(connections) + " needs " + std::to_string(needed) +
           " descriptors, more than the limit of " + std::to_string(limit.rlim_max) + " (ulimit -n)";
  return false;
}

bool readOptions(const ParsedArgs& a, ServeOptions* options, std::string* error) {
  if (a.positional.size() != 1) {
    *error = "needs one FOLDER";
    return false;
  }
  if (a.has("--listen") && !parseListen(a.value("--listen"), options)) {
    *error = "--listen wants ADDRESS:PORT, not '" + a.value("--listen") + "'";
    return false;
  }
  std::string tagError;
  if (!ParseUrlTags(a.has("--tags") ? a.value("--tags") : kDefaultUrlTags, &options->tags, &tagError)) {
    *error = "--tags: " + tagError;
    return false;
  }
  unsigned long n = 0;
  options->threads = std::max(1u, std::min(kMaxThreads, std::thread::hardware_concurrency()));
  if (a.has("--threads")) {
    if (!count(a.value("--threads"), kMaxThreads, &n)) {
      *error = "--threads wants a number from 1 to " + std::to_string(kMaxThreads);
      return false;
    }
    options->threads = static_cast<unsigned>(n);
  }
  if (a.has("--max-connections")) {
    if (!count(a.value("--max-connections"), 1000000, &n)) {
      *error = "--max-connections wants a number from 1 to 1000000";
      return false;
    }
    options->maxConnections = n;
  }
  return enoughDescriptors(options->maxConnections, error);
}

int run(const Args& args) {
  const ParsedArgs a = ParseArgs(args, {"--version"}, {"--listen", "--tags", "--threads", "--max-connections", "--keys"});
  if (!a.error.empty()) return UsageError(kName, a.error);
  if (a.has("--version")) {
    std::printf("sfxpack %s (%s)\n", SFXPACK_VERSION, SFXPACK_REVISION);
    return kExitOk;
  }
  ServeOptions options;
  std::string error;
  if (!readOptions(a, &options, &error)) return UsageError(kName, error);
  KeysOption keys;
  if (!ReadKeysOption(a, &keys, &error)) return FileError(kName, keys.folder, error, kExitBadInput);
  const std::string& folder = a.positional[0];
  BaseCatalog catalog(folder, keys.keys(), keys.folder, [](const std::string& line) {
    std::fprintf(stderr, "sfxpack serve: %s\n", line.c_str());
    std::fflush(stderr);
  });
  if (!catalog.Scan(&error)) return FileError(kName, folder, error, kExitBadInput);
  const int exit = RunDownloadServer(options, catalog, &error);
  return exit == kExitOk ? exit : FileError(kName, folder, error, exit);
}

#endif

const CommandRegistration kServe({kName, "serve downloads, each stamped with the URL's tail items", kHelp.c_str(), run});

}  // namespace
}  // namespace sfxpack
