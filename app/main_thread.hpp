#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace folium::app {

// Hands work to the thread that owns the view state (the Qt event loop's thread in the tray
// application, the command's own thread in foliumctl, the test's thread in tests).
//
// Threading: post() may be called from any thread; the task runs later on the main thread,
// never inside post(). Tasks run in the order they were posted.
class MainThreadPoster {
 public:
  MainThreadPoster() = default;
  MainThreadPoster(const MainThreadPoster&) = delete;
  MainThreadPoster& operator=(const MainThreadPoster&) = delete;
  virtual ~MainThreadPoster() = default;

  virtual void post(std::function<void()> task) = 0;
};

// A main queue for programs without an event loop of their own (foliumctl, tests): tasks
// wait until the owning thread runs them.
class MainQueue final : public MainThreadPoster {
 public:
  void post(std::function<void()> task) override;

  // Owning thread only. Runs the tasks queued now and those they post, until the queue is
  // empty; returns how many ran.
  std::size_t runPending();
  // Owning thread only. Runs tasks as they arrive until `done()` holds (checked before
  // waiting and after every task). False when `limit` passed first: a safety net so that a
  // lost completion ends a command or a test instead of hanging it, not a timing promise.
  bool runUntil(const std::function<bool()>& done,
                std::chrono::steady_clock::duration limit = std::chrono::seconds(120));

 private:
  std::mutex mutex_;  // guards tasks_
  std::condition_variable arrived_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace folium::app
