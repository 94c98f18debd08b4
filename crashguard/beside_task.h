// Work beside the calling thread: the extraction lanes, the producer's packing jobs and the
// stub's archive check while it asks the user. On Windows the thread runs under the caller's
// crash guard; on the host, where the producer runs, under none.
#pragma once

#include <functional>
#include <memory>

namespace tzk::CrashGuard {

// Runs a routine on a thread of its own from its construction until wait(); without a thread,
// the constructor runs it. wait() throws again what left the routine; destruction only waits,
// so a task outlives no frame.
class BesideTask {
 public:
  explicit BesideTask(std::function<void()> routine);
  ~BesideTask();
  BesideTask(const BesideTask&) = delete;
  BesideTask& operator=(const BesideTask&) = delete;
  void wait();

 private:
  struct State;  // the platform's thread
  std::unique_ptr<State> state_;
};

// Runs beside on a thread of its own while the caller runs here, and returns when both are
// done; without a thread, both run here, one after the other. An exception that leaves beside
// is thrown again in the caller, unless one left here: that one goes on, once beside is done.
inline void RunBeside(const std::function<void()>& beside, const std::function<void()>& here) {
  BesideTask task(beside);
  here();
  task.wait();
}

}  // namespace tzk::CrashGuard
