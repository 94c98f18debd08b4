#include <windows.h>

#include <exception>
#include <utility>

#include "crashguard/beside_task.h"
#include "crashguard/structured_exception.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::CrashGuard {

// The thread works for the caller, under its crash guard: a fault there is dumped where it
// happened and ends the run as it would on the caller's thread.
struct BesideTask::State {
  std::function<void()> routine;
  InheritedGuard guard;
  std::exception_ptr failure;
  vocabulary::ScopedKernelHandle thread;
  void run() {
    try {
      guard.run(routine);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  static DWORD WINAPI entry(void* state) {
    static_cast<State*>(state)->run();
    return 0;
  }
};

BesideTask::BesideTask(std::function<void()> routine)
    : state_(new State{std::move(routine), InheritedGuard(), nullptr, {}}) {
  state_->thread.reset(::CreateThread(nullptr, 0, &State::entry, state_.get(), 0, nullptr));
  if (!state_->thread) state_->run();
}

BesideTask::~BesideTask() {
  if (state_->thread) ::WaitForSingleObject(state_->thread.get(), INFINITE);
}

void BesideTask::wait() {
  if (state_->thread) ::WaitForSingleObject(state_->thread.get(), INFINITE);
  state_->thread.reset();
  if (state_->failure) std::rethrow_exception(std::exchange(state_->failure, nullptr));
}

}  // namespace tzk::CrashGuard
