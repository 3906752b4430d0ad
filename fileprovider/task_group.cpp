#include "fileprovider/task_group.hpp"

#include <utility>

namespace folium::fp {

TaskGroup::TaskGroup(platform::ThreadPool& pool)
    : pool_(&pool), state_(std::make_shared<State>()) {}

void TaskGroup::start(std::function<void()> work) const {
  {
    std::lock_guard lock(state_->mutex);
    ++state_->running;
  }
  // Ends the count once the work and its captures (handlers, observers, clients) are gone,
  // so a waiter that returns finds nothing of the task still alive.
  struct Ending {
    explicit Ending(std::shared_ptr<State> state) : state(std::move(state)) {}
    Ending(const Ending&) = delete;
    Ending& operator=(const Ending&) = delete;
    ~Ending() {
      std::lock_guard lock(state->mutex);
      --state->running;
      state->ended.notify_all();
    }
    std::shared_ptr<State> state;
  };
  // When queueing fails, the dropped `ending` undoes the count.
  pool_->submit([work = std::move(work), ending = std::make_shared<Ending>(state_)]() mutable {
    try {
      work();
    } catch (...) {
      // The work answers its own failures.
    }
    work = nullptr;
  });
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
