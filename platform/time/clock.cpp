#include "platform/time/clock.hpp"

#include <utility>

namespace folium::platform {

namespace {

// Drops the timer with that id from a clock's queue; true when it was there.
template <typename Timers>
bool eraseTimer(Timers& timers, Clock::TimerId timer) {
  for (auto it = timers.begin(); it != timers.end(); ++it) {
    if (it->second.first == timer) {
      timers.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace

SystemClock::SystemClock() : thread_([this] { run(); }) {}

SystemClock::~SystemClock() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    timers_.clear();
  }
  changed_.notify_all();
  thread_.join();
}

Clock::TimerId SystemClock::schedule(Duration delay, std::function<void()> work) {
  std::lock_guard lock(mutex_);
  TimerId id = nextId_++;
  timers_.emplace(now() + delay, std::make_pair(id, std::move(work)));
  changed_.notify_all();
  return id;
}

bool SystemClock::cancel(TimerId timer) {
  std::lock_guard lock(mutex_);
  return eraseTimer(timers_, timer);
}

void SystemClock::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (timers_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = timers_.begin();
    if (first->first > now()) {
      // A copy: cancel() may erase the timer while this waits.
      const TimePoint due = first->first;
      changed_.wait_until(lock, due);
      continue;
    }
    std::function<void()> work = std::move(first->second.second);
    timers_.erase(first);
    lock.unlock();
    try {
      work();
    } catch (...) {
      // A thread entry point: scheduled work answers its own failures.
    }
    work = nullptr;  // its captures go before the lock is taken again
    lock.lock();
  }
}

FakeClock::FakeClock(std::chrono::system_clock::time_point wallStart) : wallStart_(wallStart) {}

Clock::TimePoint FakeClock::now() const {
  std::lock_guard lock(mutex_);
  return TimePoint(elapsed_);
}

std::chrono::system_clock::time_point FakeClock::wallNow() const {
  std::lock_guard lock(mutex_);
  return wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed_);
}

Clock::TimerId FakeClock::schedule(Duration delay, std::function<void()> work) {
  std::lock_guard lock(mutex_);
  TimerId id = nextId_++;
  timers_.emplace(TimePoint(elapsed_ + delay), std::make_pair(id, std::move(work)));
  return id;
}

bool FakeClock::cancel(TimerId timer) {
  std::lock_guard lock(mutex_);
  return eraseTimer(timers_, timer);
}

void FakeClock::advance(Duration by) {
  std::unique_lock lock(mutex_);
  const TimePoint target = TimePoint(elapsed_ + by);
  while (!timers_.empty() && timers_.begin()->first <= target) {
    auto first = timers_.begin();
    if (TimePoint(elapsed_) < first->first) elapsed_ = first->first.time_since_epoch();
    std::function<void()> work = std::move(first->second.second);
    timers_.erase(first);
    lock.unlock();
    work();
    work = nullptr;
    lock.lock();
  }
  elapsed_ = target.time_since_epoch();
}

std::size_t FakeClock::pending() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace folium::platform
