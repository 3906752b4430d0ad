#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace folium::fp {

// Runs the plug-in's asynchronous work, each piece on a thread of its own, and lets the
// owner wait until all of it has ended (a host must not exit under a running request).
// Thread-safe. Copies share the same set of tasks.
class TaskGroup {
 public:
  TaskGroup();

  // Starts `work` on a new thread and returns at once. When no thread can be started, runs
  // `work` on the calling thread instead, so that its answer still comes. `work` should not
  // throw; whatever it throws is dropped.
  void start(std::function<void()> work) const;

  // Blocks until every task started so far (and any they start) has ended.
  void wait() const;
  // Same, for at most `timeout`; true when no task is left.
  bool waitFor(std::chrono::milliseconds timeout) const;
  std::size_t running() const;

 private:
  struct State {
    mutable std::mutex mutex;  // guards running
    std::condition_variable ended;
    std::size_t running = 0;
  };
  std::shared_ptr<State> state_;
};

// Calls a completion handler at most once: a task that fails after answering must not
// answer again. Not thread-safe: one task owns it.
template <typename... Args>
class OnceHandler {
 public:
  explicit OnceHandler(std::function<void(Args...)> handler) : handler_(std::move(handler)) {}

  bool called() const { return called_; }
  void operator()(Args... args) {
    if (called_) return;
    // Marked first: a handler that throws has still been called.
    called_ = true;
    if (handler_) handler_(std::move(args)...);
  }

 private:
  std::function<void(Args...)> handler_;
  bool called_ = false;
};

}  // namespace folium::fp
