#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "crashguard/beside_task.h"

namespace tzk::CrashGuard {

struct BesideTask::State {
  std::function<void()> routine;
  std::exception_ptr failure;
  std::thread thread;
  void run() {
    try {
      routine();
    } catch (...) {
      failure = std::current_exception();
    }
  }
};

BesideTask::BesideTask(std::function<void()> routine) : state_(new State{std::move(routine), nullptr, {}}) {
  try {
    state_->thread = std::thread([state = state_.get()] { state->run(); });
  } catch (const std::system_error&) {
    state_->run();
  }
}

BesideTask::~BesideTask() {
  if (state_->thread.joinable()) state_->thread.join();
}

void BesideTask::wait() {
  if (state_->thread.joinable()) state_->thread.join();
  if (state_->failure) std::rethrow_exception(std::exchange(state_->failure, nullptr));
}

}  // namespace tzk::CrashGuard
