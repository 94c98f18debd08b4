#include "progress/progress_callback.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

namespace tzk::progress {
namespace {

using Reports = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // (step, shown)

class Recorder : public ProgressInterface {
 public:
  void onProgress(ProgressCallback&, std::uint32_t stepPercent, std::uint32_t shownPercent) override {
    reports.emplace_back(stepPercent, shownPercent);
  }

  std::vector<std::uint32_t> shown() const {
    std::vector<std::uint32_t> out;
    for (const auto& r : reports) out.push_back(r.second);
    return out;
  }

  Reports reports;
};

// What the extraction does: a total of files, position 0, one advance per file.
std::vector<bool> extract(ProgressCallback& callback, std::uint64_t files, std::uint64_t advances) {
  std::vector<bool> returned;
  returned.push_back(callback.setTotal(Level::kOverall, files));
  returned.push_back(callback.setPosition(Level::kOverall, 0));
  for (std::uint64_t i = 0; i < advances; ++i) returned.push_back(callback.advance(Level::kOverall, 1));
  return returned;
}

TEST(ProgressCallback, FilesBecomeTruncatedPercentagesOncePerChangeForEveryListener) {
  ProgressCallback callback;
  Recorder first, second;
  ASSERT_TRUE(callback.addListener(&first));
  ASSERT_TRUE(callback.addListener(&second));

  const std::vector<bool> returned = extract(callback, 4, 4);
  const Reports quarters = {{0, 0}, {0, 25}, {0, 50}, {0, 75}, {0, 100}};
  EXPECT_EQ(first.reports, quarters);
  EXPECT_EQ(second.reports, quarters);
  EXPECT_EQ(returned, std::vector<bool>(6, false));
  EXPECT_EQ(callback.position(Level::kOverall), 4u);

  ProgressCallback thirds;
  Recorder third;
  thirds.addListener(&third);
  extract(thirds, 3, 3);
  EXPECT_EQ(third.shown(), (std::vector<std::uint32_t>{0, 33, 66, 100}));
}

TEST(ProgressCallback, AdvancingPastTheTotalReportsHundredOnceAndStopsAtTheTotal) {
  ProgressCallback callback;
  Recorder r;
  callback.addListener(&r);
  extract(callback, 2, 5);
  EXPECT_EQ(r.shown(), (std::vector<std::uint32_t>{0, 50, 100}));
  EXPECT_EQ(callback.position(Level::kOverall), 2u);

  // A delta that would wrap the 64-bit position still lands on the total.
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  ProgressCallback huge;
  Recorder h;
  huge.addListener(&h);
  huge.setTotal(Level::kOverall, max);
  huge.setPosition(Level::kOverall, max / 2);
  huge.advance(Level::kOverall, max);
  EXPECT_EQ(huge.position(Level::kOverall), max);
  EXPECT_EQ(h.shown(), (std::vector<std::uint32_t>{49, 100}));
}

TEST(ProgressCallback, PercentagesAreExactForEveryTotal) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(percentOf(0, 0), 0u);
  EXPECT_EQ(percentOf(1, 3), 33u);
  EXPECT_EQ(percentOf(max, max), 100u);
  EXPECT_EQ(percentOf(max - 1, max), 99u);
  EXPECT_EQ(percentOf(max / 100 + 1, max), 1u);
  EXPECT_EQ(percentOf(max / 4 * 3, max), 74u);  // a hair under 75
  EXPECT_EQ(percentOf(1ull << 62, 1ull << 63), 50u);
}

TEST(ProgressCallback, TotalsRestartTheLevelOnlyWhenTheyChange) {
  ProgressCallback callback;
  Recorder r;
  callback.addListener(&r);
  extract(callback, 4, 2);  // 0, 25, 50

  callback.setTotal(Level::kOverall, 4);  // same total: nothing moves, nothing is sent
  EXPECT_EQ(callback.position(Level::kOverall), 2u);
  callback.setPosition(Level::kOverall, 2);
  EXPECT_EQ(r.shown(), (std::vector<std::uint32_t>{0, 25, 50}));

  callback.setTotal(Level::kOverall, 0);  // ignored: the old total stays
  callback.advance(Level::kOverall, 1);
  EXPECT_EQ(r.shown().back(), 75u);

  r.reports.clear();
  callback.setTotal(Level::kOverall, 10);  // restarts at 0 without telling anyone...
  EXPECT_TRUE(r.reports.empty());
  EXPECT_EQ(callback.position(Level::kOverall), 0u);
  callback.setPosition(Level::kOverall, 0);  // ...and the next report is sent although it is 0 again
  callback.setPosition(Level::kOverall, 0);
  EXPECT_EQ(r.shown(), (std::vector<std::uint32_t>{0}));
}

TEST(ProgressCallback, ReportsWithoutATotalAreSentAsZero) {
  ProgressCallback callback;
  Recorder r;
  callback.addListener(&r);
  callback.setTotal(Level::kOverall, 0);
  EXPECT_FALSE(callback.setPosition(Level::kOverall, 0));
  EXPECT_FALSE(callback.advance(Level::kOverall, 7));
  EXPECT_EQ(r.shown(), (std::vector<std::uint32_t>{0, 0}));
  EXPECT_EQ(callback.position(Level::kOverall), 0u);
}

TEST(ProgressCallback, ListenersAreListedOnceAndCalledInOrder) {
  ProgressCallback callback;
  Recorder a, b;
  EXPECT_FALSE(callback.addListener(nullptr));
  EXPECT_TRUE(callback.addListener(&a));
  EXPECT_FALSE(callback.addListener(&a));
  EXPECT_TRUE(callback.addListener(&b));
  extract(callback, 1, 1);
  EXPECT_EQ(a.shown(), (std::vector<std::uint32_t>{0, 100}));
  EXPECT_EQ(b.reports, a.reports);
}

TEST(ProgressCallback, StepLevelIsResetByEveryOverallChange) {
  ProgressCallback callback;
  Recorder r;
  callback.addListener(&r);
  callback.setTotal(Level::kStep, 10);
  callback.setPosition(Level::kStep, 5);
  callback.setTotal(Level::kOverall, 2);
  callback.setPosition(Level::kOverall, 1);  // resets the step level to 0 of 100
  EXPECT_EQ(callback.position(Level::kStep), 0u);
  callback.advance(Level::kStep, 30);
  EXPECT_EQ(r.reports, (Reports{{50, 0}, {0, 50}, {30, 50}}));
}

// What the window's listener does: it hands a pending cancel request to the callback.
class Canceller : public ProgressInterface {
 public:
  void onProgress(ProgressCallback& callback, std::uint32_t, std::uint32_t shown) override {
    if (shown >= 50) callback.requestCancel();
  }
};

TEST(ProgressCallback, CancelRequestedByAListenerIsReturnedAndStaysSet) {
  ProgressCallback callback;
  Canceller canceller;
  callback.addListener(&canceller);
  EXPECT_EQ(extract(callback, 4, 4), (std::vector<bool>{false, false, false, true, true, true}));
  EXPECT_TRUE(callback.setTotal(Level::kOverall, 9));
  EXPECT_TRUE(callback.advance(Level::kStep, 0));
  EXPECT_TRUE(callback.cancelRequested());
}

// A listener that reports to the same callback from inside a notification: the lock is recursive.
class Nested : public ProgressInterface {
 public:
  void onProgress(ProgressCallback& callback, std::uint32_t step, std::uint32_t) override {
    if (step == 0) callback.setPosition(Level::kStep, 50);
    seen.push_back(step);
  }
  std::vector<std::uint32_t> seen;
};

TEST(ProgressCallback, ListenersMayReportFromInsideANotification) {
  ProgressCallback callback;
  Nested nested;
  callback.addListener(&nested);
  callback.setTotal(Level::kOverall, 2);
  callback.setPosition(Level::kOverall, 1);
  EXPECT_EQ(nested.seen, (std::vector<std::uint32_t>{50, 0}));
  EXPECT_EQ(callback.position(Level::kStep), 50u);
}

#ifdef _WIN32
DWORD WINAPI runFunction(void* f) {
  (*static_cast<const std::function<void()>*>(f))();
  return 0;
}
#endif

void runTogether(const std::function<void()>& a, const std::function<void()>& b) {
#ifdef _WIN32
  HANDLE threads[2] = {::CreateThread(nullptr, 0, runFunction, const_cast<std::function<void()>*>(&a), 0, nullptr),
                       ::CreateThread(nullptr, 0, runFunction, const_cast<std::function<void()>*>(&b), 0, nullptr)};
  ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  ::CloseHandle(threads[0]);
  ::CloseHandle(threads[1]);
#else
  std::thread ta(a), tb(b);
  ta.join();
  tb.join();
#endif
}

TEST(ProgressCallback, ConcurrentReportersSendEveryPercentageOnce) {
  ProgressCallback callback;
  Recorder r;
  callback.addListener(&r);
  callback.setTotal(Level::kOverall, 2000);
  const auto worker = [&] {
    for (int i = 0; i < 1000; ++i) callback.advance(Level::kOverall, 1);
  };
  runTogether(worker, worker);
  EXPECT_EQ(callback.position(Level::kOverall), 2000u);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t p = 0; p <= 100; ++p) expected.push_back(p);
  // The first advance moves from 0 to 1 of 2000, still 0 % but sent because the total is new.
  EXPECT_EQ(r.shown(), expected);
}

}  // namespace
}  // namespace tzk::progress
