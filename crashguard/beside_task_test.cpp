#include "crashguard/beside_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace tzk::CrashGuard {
namespace {

// Spins until the flag is up; the other side raises it without waiting for anything.
void awaitFlag(const std::atomic<bool>& flag) {
  while (!flag.load()) std::this_thread::yield();
}

TEST(RunBeside, BothSidesRunAtOnceAndTheBesideFailureReachesTheCaller) {
  // Each side waits for the other: run one after the other, on one thread, this never ends.
  std::atomic<bool> besideStarted{false};
  std::atomic<bool> hereStarted{false};
  RunBeside(
      [&] {
        besideStarted = true;
        awaitFlag(hereStarted);
      },
      [&] {
        hereStarted = true;
        awaitFlag(besideStarted);
      });

  EXPECT_THROW(RunBeside([] { throw std::runtime_error("beside"); }, [] {}), std::runtime_error);
}

TEST(RunBeside, TheCallersOwnFailureWinsAndLeavesOnlyOnceBesideIsDone) {
  std::atomic<bool> hereFailing{false};
  std::atomic<bool> besideDone{false};
  try {
    RunBeside(
        [&] {
          awaitFlag(hereFailing);  // still running when the caller's exception leaves
          besideDone = true;
          throw std::logic_error("beside");
        },
        [&] {
          hereFailing = true;
          throw std::runtime_error("here");
        });
    ADD_FAILURE() << "nothing was thrown";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "here");
    EXPECT_TRUE(besideDone.load());
  }
}

TEST(BesideTask, WaitThrowsOnceAndDestructionWaitsWithoutWait) {
  BesideTask failing([] { throw std::runtime_error("once"); });
  EXPECT_THROW(failing.wait(), std::runtime_error);
  EXPECT_NO_THROW(failing.wait());

  std::atomic<bool> done{false};
  {
    const BesideTask task([&] {
      std::this_thread::yield();
      done = true;
    });
  }
  EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace tzk::CrashGuard
