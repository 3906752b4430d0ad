#include "fileprovider/task_group.hpp"

#include <system_error>
#include <thread>
#include <utility>

namespace folium::fp {
namespace {

void runGuarded(std::function<void()>& work) noexcept {
  try {
    work();
  } catch (...) {
    // A thread entry point: nothing may escape it. The work answers its own failures.
  }
  // The work's captures (handlers, observers, clients) go now, before the task counts as
  // ended, so a waiter that returns finds nothing of it still alive.
  try {
    work = nullptr;
  } catch (...) {
  }
}

}  // namespace

TaskGroup::TaskGroup() : state_(std::make_shared<State>()) {}

void TaskGroup::start(std::function<void()> work) const {
  {
    std::lock_guard lock(state_->mutex);
    ++state_->running;
  }
  auto shared = std::make_shared<std::function<void()>>(std::move(work));
  auto finish = [](const std::shared_ptr<State>& state) {
    std::lock_guard lock(state->mutex);
    --state->running;
    state->ended.notify_all();
  };
  try {
    std::thread([state = state_, shared, finish] {
      runGuarded(*shared);
      finish(state);
    }).detach();
  } catch (const std::system_error&) {
    runGuarded(*shared);
    finish(state_);
  }
}

void TaskGroup::wait() const {
  std::unique_lock lock(state_->mutex);
  state_->ended.wait(lock, [this] { return state_->running == 0; });
}

bool TaskGroup::waitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->ended.wait_for(lock, timeout, [this] { return state_->running == 0; });
}

std::size_t TaskGroup::running() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

}  // namespace folium::fp
