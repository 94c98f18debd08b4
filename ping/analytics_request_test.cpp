#include "ping/analytics_request.h"

#include <gtest/gtest.h>

namespace tzk::ping {
namespace {

// The seed of Marsaglia's paper; the first five outputs as it publishes them, then three more.
constexpr RandomSeed kPaperSeed = {123456789, 362436069, 521288629, 88675123};
constexpr std::uint32_t kPaperOutputs[] = {3701687786u, 458299110u, 2500872618u, 3633119408u,
                                           516391518u,  2377269574u, 2599949379u, 717229868u};

const AnalyticsSettings kSettings = {L"127.0.0.1", 8080, L"ZA-1234567-8", L"pro"};

TEST(XorShift128, MatchesThePublishedSequenceAndSeedsOnlyOnce) {
  XorShift128 random;
  EXPECT_EQ(random.nextRandom(kPaperSeed.x, kPaperSeed.y, kPaperSeed.z, kPaperSeed.w), kPaperOutputs[0]);
  // Arguments after the first call are ignored: the sequence goes on as if none were given.
  EXPECT_EQ(random.nextRandom(1, 2, 3, 4), kPaperOutputs[1]);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(random.nextRandom(), kPaperOutputs[i]);
}

TEST(AnalyticsHit, DrawsVisitorIdentifierAndUtmnAfterOneDiscardedStep) {
  XorShift128 random;
  const AnalyticsHit hit = drawAnalyticsHit(random, kPaperSeed, kSettings);
  EXPECT_EQ(hit.visitorId, (std::uint64_t{kPaperOutputs[2]} << 32) | kPaperOutputs[1]);
  EXPECT_EQ(hit.path, composeRequestPath(kSettings, kPaperOutputs[1], kPaperOutputs[2], kPaperOutputs[3]));
  EXPECT_NE(hit.path.find(L"?utmn=1485635760&"), std::wstring::npos);
  EXPECT_NE(hit.path.find(L"&utmvid=0x951049aa1b5116e6&"), std::wstring::npos);

  // A second hit continues the sequence instead of reseeding.
  const AnalyticsHit next = drawAnalyticsHit(random, kPaperSeed, kSettings);
  EXPECT_EQ(next.visitorId, visitorIdOf(kPaperOutputs[5], kPaperOutputs[6]));
}

TEST(AnalyticsHit, PathHoldsEveryFieldInOrder) {
  EXPECT_EQ(composeRequestPath(kSettings, 0x0000002A, 0x00000001, 0xFFFFFFFF),
            L"/__utm.gif?utmn=2147483647&utmac=ZA-1234567-8&utmwv=4.4sh&utmp=view/pro-2015/envelope"
            L"&utmcc=__utma=999.999.999.999.999.1;&utmvid=0x000000010000002a&utmr=-");
  const std::wstring zeroUtmn = composeRequestPath(kSettings, 0, 0, 0x80000000);
  EXPECT_EQ(zeroUtmn.rfind(L"/__utm.gif?utmn=0&utmac=", 0), 0u);
}

TEST(AnalyticsHit, VisitorIdentifierTextIsHighHalfFirstInLowerCase) {
  EXPECT_EQ(formatVisitorId(visitorIdOf(0x0000002A, 0x00000001)), L"0x000000010000002a");
  EXPECT_EQ(formatVisitorId(0xFEDCBA9876543210ull), L"0xfedcba9876543210");
  EXPECT_EQ(formatVisitorId(0), L"0x0000000000000000");
}

TEST(AnalyticsSettings, CompiledEndpointUsesTheDefaultPort) {
  const AnalyticsSettings settings = compiledAnalyticsSettings();
  EXPECT_FALSE(settings.host.empty());
  EXPECT_EQ(settings.port, 0);
  EXPECT_FALSE(settings.account.empty());
  EXPECT_FALSE(settings.edition.empty());
}

}  // namespace
}  // namespace tzk::ping
