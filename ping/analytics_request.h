// The analytics hit: one page view described in the query of a GET of "/__utm.gif", and the
// random visitor identifier that is sent with it and later handed to the installer/updater.
#pragma once

#include <cstdint>
#include <string>

namespace tzk::ping {

// Marsaglia's xorshift128 on four 32-bit words.
class XorShift128 {
 public:
  // The first call seeds the words with its arguments, later calls ignore them. Every call,
  // the seeding one included, steps once and returns the new fourth word.
  std::uint32_t nextRandom(std::uint32_t x = 0, std::uint32_t y = 0, std::uint32_t z = 0, std::uint32_t w = 0);

 private:
  bool seeded_ = false;
  std::uint32_t x_ = 0, y_ = 0, z_ = 0, w_ = 0;
};

// The process's one generator, unlocked: only the ping uses it, once, before other threads run.
XorShift128& processRandom();

struct AnalyticsSettings {
  std::wstring host;
  std::uint16_t port = 0;  // 0: the default port of plain HTTP
  std::wstring account;    // sent as utmac
  std::wstring edition;    // the tag in the page path "view/<edition>-2015/envelope"
};

// The endpoint, account and edition this build was configured with.
AnalyticsSettings compiledAnalyticsSettings();

// Halves of the performance counter (x low, y high) and of the UTC file time (z low, w high).
struct RandomSeed {
  std::uint32_t x = 0, y = 0, z = 0, w = 0;
};

struct AnalyticsHit {
  std::uint64_t visitorId = 0;
  std::wstring path;
};

// One step that seeds on first use and is discarded, then r1 and r2 for the visitor identifier
// r2 * 2^32 + r1 and r3 for the cache-defeating utmn.
AnalyticsHit drawAnalyticsHit(XorShift128& random, const RandomSeed& seed, const AnalyticsSettings& settings);

std::uint64_t visitorIdOf(std::uint32_t r1, std::uint32_t r2);

// "0x" and 16 lower-case hexadecimal digits, high half first: utmvid and the child's "ga_code".
std::wstring formatVisitorId(std::uint64_t visitorId);

// "/__utm.gif" with the query fields utmn, utmac, utmwv, utmp, utmcc, utmvid, utmr in this
// order, unencoded beyond what the fixed texts hold.
std::wstring composeRequestPath(const AnalyticsSettings& settings, std::uint32_t r1, std::uint32_t r2,
                                std::uint32_t r3);

}  // namespace tzk::ping
