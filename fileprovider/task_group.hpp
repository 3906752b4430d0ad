#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/threads/thread_pool.hpp"

namespace folium::fp {

// The plug-in's asynchronous work, run on the host's thread pool, counted so that the owner
// can wait until all of it has ended (a host must not exit under a running request).
// Thread-safe. Copies share the same count; the pool must outlive every copy and every task.
class TaskGroup {
 public:
  explicit TaskGroup(platform::ThreadPool& pool);

  // Queues `work` on the pool and returns at once. `work` should not throw; whatever it
  // throws is dropped.
  void start(std::function<void()> work) const;

  // Queues a piece whose result a running task waits for (see ThreadPool::Future): when no
  // pool thread has taken it by then, the waiting task runs it itself. Not counted: the
  // task that waits for it is.
  template <typename F>
  auto async(F work) const {
    return pool_->async(std::move(work));
  }

  // Blocks until every task started so far (and any they start) has ended. Never call it
  // from a task of the group: it would wait for itself.
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
  platform::ThreadPool* pool_;
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
