#include "platform/threads/thread_pool.hpp"

#include <algorithm>
#include <system_error>

namespace folium::platform {

void ThreadPool::Job::runIfUnclaimed() noexcept {
  {
    std::lock_guard lock(mutex);
    if (claimed) return;
    claimed = true;
  }
  try {
    work();
  } catch (...) {
    // A thread entry point: nothing may escape it. The work answers its own failures.
  }
  // The work's captures (handlers, observers, clients) go before it counts as done, so a
  // waiter that returns finds nothing of it still alive.
  try {
    work = nullptr;
  } catch (...) {
  }
  std::lock_guard lock(mutex);
  done = true;
  finished.notify_all();
}

void ThreadPool::Job::runHereOrWait() noexcept {
  runIfUnclaimed();
  std::unique_lock lock(mutex);
  finished.wait(lock, [this] { return done; });
}

ThreadPool::ThreadPool(std::size_t threads) {
  threads = std::max<std::size_t>(threads, 1);
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { workerLoop(); });
    } catch (const std::system_error&) {
      if (threads_.empty()) throw;
      break;
    }
  }
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::submit(std::function<void()> work) {
  enqueue(std::make_shared<Job>(std::move(work)));
}

void ThreadPool::enqueue(std::shared_ptr<Job> job) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
}

void ThreadPool::workerLoop() noexcept {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      // Stopping still drains the queue: every piece queued gets its run.
      if (queue_.empty()) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    // A piece that a waiter already ran is skipped here.
    job->runIfUnclaimed();
  }
}

}  // namespace folium::platform
