#include "sfxpack/download_request.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "archive/embedded_items.h"
#include "archive/format.h"
#include "archive/installer_writer.h"

namespace sfxpack {

const char kDefaultUrlTags[] = "ERID,EAPT";

namespace {

// The two items that configure and key the installed product, with what messages call them.
const std::pair<const char*, const char*> kNeverFromUrl[] = {
    {tzk::archive::item::kBusinessConfigTag, "a business configuration"},
    {tzk::archive::item::kBusinessKeyTag, "a business public key"}};

const char* neverFromUrl(const std::string& tag) {
  for (const auto& [name, what] : kNeverFromUrl) {
    if (tag == name) return what;
  }
  return nullptr;
}

// What the client sent, for a reason line: printable ASCII as it is, anything else as %XX, and
// no more than 40 bytes of it.
std::string quoted(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "'";
  for (std::size_t i = 0; i < text.size() && i < 40; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\'' && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + (text.size() > 40 ? "...'" : "'");
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes text; '+' becomes a space where plusIsSpace (a query). False on a '%' that is
// not followed by two hex digits.
bool decode(std::string_view text, bool plusIsSpace, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      const int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
      const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
      if (low < 0) return false;
      out->push_back(static_cast<char>(high << 4 | low));
      i += 2;
    } else {
      out->push_back(plusIsSpace && text[i] == '+' ? ' ' : text[i]);
    }
  }
  return true;
}

std::string tagList(const std::vector<std::string>& tags) {
  std::string list;
  for (const std::string& t : tags) list += (list.empty() ? "" : ", ") + t;
  return list;
}

// The reason a URL may not set `key`, or empty when it may.
std::string refusedTag(const std::string& key, const std::vector<std::string>& tags) {
  if (std::find(tags.begin(), tags.end(), key) != tags.end()) return std::string();
  if (const char* what = neverFromUrl(key)) return "a URL never sets " + key + " (" + what + ")";
  tzk::archive::ItemStorage storage;
  if (tzk::archive::FindItemStorage(key, &storage)) return "this server does not let a URL set " + key;
  return "unknown tag " + quoted(key) + " (a URL here sets " + tagList(tags) + ")";
}

bool parseItem(std::string_view pair, const std::vector<std::string>& tags, DownloadTarget* out,
               std::string* reason) {
  const std::size_t eq = pair.find('=');
  std::string key, value;
  if (!decode(pair.substr(0, eq), true, &key)) {
    *reason = "bad percent-encoding in the query's tag " + quoted(pair.substr(0, eq));
    return false;
  }
  *reason = refusedTag(key, tags);
  if (!reason->empty()) return false;
  if (eq == std::string_view::npos) {
    *reason = key + " has no value (" + key + "=VALUE)";
    return false;
  }
  if (!decode(pair.substr(eq + 1), true, &value)) {
    *reason = "bad percent-encoding in the value of " + key;
    return false;
  }
  for (const EmbeddedItem& item : out->items) {
    if (item.tag == key) {
      *reason = key + " is given twice";
      return false;
    }
  }
  EmbeddedItem item;
  if (!tzk::archive::PrepareEmbeddedItem(key, Bytes(value.begin(), value.end()), &item, reason)) return false;
  out->items.push_back(std::move(item));
  return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char want, char got) { return std::tolower(static_cast<unsigned char>(got)) == want; });
}

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// Decimal digits as a number, saturated at the largest one; false when there are none or
// anything else is there.
bool number(std::string_view digits, std::uint64_t* value) {
  if (digits.empty()) return false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  *value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const unsigned d = static_cast<unsigned>(c - '0');
    *value = *value > (kMax - d) / 10 ? kMax : *value * 10 + d;
  }
  return true;
}

}  // namespace

bool ParseUrlTags(const std::string& list, std::vector<std::string>* tags, std::string* error) {
  tags->clear();
  for (std::size_t at = 0; at <= list.size();) {
    const std::size_t comma = std::min(list.find(',', at), list.size());
    const std::string tag = list.substr(at, comma - at);
    at = comma + 1;
    tzk::archive::ItemStorage storage;
    if (const char* what = neverFromUrl(tag)) {
      *error = "a URL may never set " + tag + " (" + what + "): whoever sets it enrols the installed product";
      return false;
    }
    if (!tzk::archive::FindItemStorage(tag, &storage)) {
      *error = "'" + tag + "' is not a tag the stub reads from the tail block (ERID, EAPT, ECFG)";
      return false;
    }
    if (std::find(tags->begin(), tags->end(), tag) == tags->end()) tags->push_back(tag);
  }
  return true;
}

bool ParseDownloadTarget(std::string_view target, const std::vector<std::string>& tags, DownloadTarget* out,
                         std::string* reason) {
  *out = DownloadTarget();
  for (std::string_view scheme : {"http://", "https://"}) {
    if (!startsWithNoCase(target, scheme)) continue;
    const std::size_t path = target.find('/', scheme.size());
    target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
  }
  if (target.empty() || target.front() != '/') {
    *reason = "the request target " + quoted(target) + " is not a path";
    return false;
  }
  const std::size_t question = target.find('?');
  if (!decode(target.substr(1, question == std::string_view::npos ? std::string_view::npos : question - 1), false,
              &out->name)) {
    *reason = "bad percent-encoding in the path " + quoted(target.substr(0, question));
    return false;
  }
  if (question == std::string_view::npos) return true;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (!pair.empty() && !parseItem(pair, tags, out, reason)) return false;
  }
  return true;
}

RangeRequest ParseRange(std::string_view header, std::uint64_t size, std::uint64_t* first, std::uint64_t* last) {
  header = trimmed(header);
  if (!startsWithNoCase(header, "bytes=")) return RangeRequest::kWhole;
  const std::string_view bounds = trimmed(header.substr(6));
  const std::size_t dash = bounds.find('-');
  if (bounds.find(',') != std::string_view::npos || dash == std::string_view::npos) return RangeRequest::kWhole;
  std::uint64_t from = 0, to = 0;
  const bool hasFrom = number(bounds.substr(0, dash), &from), hasTo = number(bounds.substr(dash + 1), &to);
  if ((!hasFrom && dash != 0) || (!hasTo && dash + 1 != bounds.size()) || (!hasFrom && !hasTo)) return RangeRequest::kWhole;
  if (!hasFrom) {  // the last `to` bytes
    if (to == 0 || size == 0) return RangeRequest::kUnsatisfiable;
    *first = size - std::min(to, size);
    *last = size - 1;
    return RangeRequest::kPart;
  }
  if (hasTo && to < from) return RangeRequest::kWhole;
  if (from >= size) return RangeRequest::kUnsatisfiable;
  *first = from;
  *last = hasTo ? std::min(to, size - 1) : size - 1;
  return RangeRequest::kPart;
}

bool NoneMatchHits(std::string_view header, std::string_view etag) {
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    std::string_view candidate = trimmed(header.substr(0, comma));
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    if (candidate == "*") return true;
    if (candidate.substr(0, 2) == "W/") candidate.remove_prefix(2);
    if (candidate == etag) return true;
  }
  return false;
}

bool IfRangeHolds(std::string_view header, std::string_view etag) { return trimmed(header) == etag; }

}  // namespace sfxpack
