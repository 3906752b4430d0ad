#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace folium::platform {

// Time as the drive sees it: what time it is, and work to run later (polls, retries with
// back-off, grace periods, eviction). Production code takes a Clock& so that tests move
// time with FakeClock instead of sleeping.
//
// Threading: every method may be called from any thread. Scheduled work never runs on the
// thread that scheduled it, nor under a lock of the clock's, so it may schedule or cancel
// other work.
class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;
  using TimerId = std::uint64_t;

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // Monotonic time, for intervals and deadlines.
  [[nodiscard]] virtual TimePoint now() const = 0;
  // Calendar time, for what the user reads (names of conflict copies, status lines).
  [[nodiscard]] virtual std::chrono::system_clock::time_point wallNow() const = 0;

  // Runs `work` once, when `delay` has passed. `work` must not throw.
  virtual TimerId schedule(Duration delay, std::function<void()> work) = 0;
  // Drops scheduled work that has not started; true when it was still waiting.
  virtual bool cancel(TimerId timer) = 0;
};

// The real clock: one thread of its own runs the scheduled work in time order. Work still
// waiting when the clock is destroyed is dropped; the destructor waits for work that has
// started.
class SystemClock final : public Clock {
 public:
  SystemClock();
  ~SystemClock() override;

  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  std::chrono::system_clock::time_point wallNow() const override {
    return std::chrono::system_clock::now();
  }
  TimerId schedule(Duration delay, std::function<void()> work) override;
  bool cancel(TimerId timer) override;

 private:
  void run();

  std::mutex mutex_;  // guards timers_, nextId_, stopping_
  std::condition_variable changed_;
  std::multimap<TimePoint, std::pair<TimerId, std::function<void()>>> timers_;
  TimerId nextId_ = 1;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

// A clock that stands still until a test moves it. advance() runs the work that falls due,
// in time order, on the thread that calls advance() (so a test sees its effects when
// advance() returns); work scheduled by that work for a time already reached runs too.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::chrono::system_clock::time_point wallStart =
                         std::chrono::system_clock::time_point(std::chrono::hours(24 * 20000)));

  TimePoint now() const override;
  std::chrono::system_clock::time_point wallNow() const override;
  TimerId schedule(Duration delay, std::function<void()> work) override;
  bool cancel(TimerId timer) override;

  void advance(Duration by);
  // How many pieces of work wait to run.
  [[nodiscard]] std::size_t pending() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  Duration elapsed_{};
  std::chrono::system_clock::time_point wallStart_;
  std::multimap<TimePoint, std::pair<TimerId, std::function<void()>>> timers_;
  TimerId nextId_ = 1;
};

}  // namespace folium::platform
