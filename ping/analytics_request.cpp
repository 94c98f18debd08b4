#include "ping/analytics_request.h"

#include "ping/analytics_defaults.h"

namespace tzk::ping {
namespace {

void appendHex8(std::wstring& out, std::uint32_t value) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(value >> shift) & 0xF]);
}

// Not std::to_wstring: it would bring the C runtime's whole printf into the stub.
void appendDecimal(std::wstring& out, std::uint32_t value) {
  wchar_t digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

}  // namespace

std::uint32_t XorShift128::nextRandom(std::uint32_t x, std::uint32_t y, std::uint32_t z, std::uint32_t w) {
  if (!seeded_) {
    x_ = x;
    y_ = y;
    z_ = z;
    w_ = w;
    seeded_ = true;
  }
  const std::uint32_t t = x_ ^ (x_ << 11);
  x_ = y_;
  y_ = z_;
  z_ = w_;
  w_ = w_ ^ (w_ >> 19) ^ t ^ (t >> 8);
  return w_;
}

XorShift128& processRandom() {
  static XorShift128 random;
  return random;
}

AnalyticsSettings compiledAnalyticsSettings() {
  return {SFX_ANALYTICS_HOST, 0, SFX_ANALYTICS_ACCOUNT, SFX_ANALYTICS_EDITION};
}

AnalyticsHit drawAnalyticsHit(XorShift128& random, const RandomSeed& seed, const AnalyticsSettings& settings) {
  random.nextRandom(seed.x, seed.y, seed.z, seed.w);
  const std::uint32_t r1 = random.nextRandom();
  const std::uint32_t r2 = random.nextRandom();
  const std::uint32_t r3 = random.nextRandom();
  return {visitorIdOf(r1, r2), composeRequestPath(settings, r1, r2, r3)};
}

std::uint64_t visitorIdOf(std::uint32_t r1, std::uint32_t r2) { return (std::uint64_t{r2} << 32) | r1; }

std::wstring formatVisitorId(std::uint64_t visitorId) {
  std::wstring text = L"0x";
  appendHex8(text, static_cast<std::uint32_t>(visitorId >> 32));
  appendHex8(text, static_cast<std::uint32_t>(visitorId));
  return text;
}

std::wstring composeRequestPath(const AnalyticsSettings& settings, std::uint32_t r1, std::uint32_t r2,
                                std::uint32_t r3) {
  std::wstring path = L"/__utm.gif";
  path += L"?utmn=";
  appendDecimal(path, r3 & 0x7FFFFFFF);
  path += L"&utmac=" + settings.account;
  path += L"&utmwv=4.4sh";
  path += L"&utmp=view/" + settings.edition + L"-2015/envelope";
  path += L"&utmcc=__utma=999.999.999.999.999.1;";
  path += L"&utmvid=" + formatVisitorId(visitorIdOf(r1, r2));
  path += L"&utmr=-";
  return path;
}

}  // namespace tzk::ping
