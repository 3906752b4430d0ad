#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace folium::platform {

// A fixed number of threads that run queued work in the order it was queued. The host
// process owns one and hands it to what runs work in the background (the plug-in, its
// enumerators), so that a burst of requests queues instead of starting a thread each.
//
// A piece of work that needs the result of another one queued behind it must not park its
// thread waiting (with every thread doing that, nothing would run): it asks through
// async(), whose get() runs the other piece on the waiting thread when no pool thread has
// taken it yet.
//
// Threading: every method may be called from any thread, work included. The destructor
// runs what is still queued (each piece may hold a completion handler that must be
// answered), then joins the threads; it must not be called from a pool thread.
class ThreadPool {
 public:
  // Starts `threads` threads (at least one). Throws std::system_error when none can start;
  // fewer than asked is accepted.
  explicit ThreadPool(std::size_t threads);
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  std::size_t threadCount() const { return threads_.size(); }

  // Queues `work` and returns at once. Whatever `work` throws is dropped: work answers its
  // own failures.
  void submit(std::function<void()> work);

 private:
  // One queued piece. Exactly one thread runs it: a pool thread or a waiter, whichever
  // claims it first.
  struct Job {
    explicit Job(std::function<void()> work) : work(std::move(work)) {}
    // Runs the work unless another thread has claimed it.
    void runIfUnclaimed() noexcept;
    // Runs the work here when no thread has claimed it, else waits until it has run.
    void runHereOrWait() noexcept;

    std::function<void()> work;
    std::mutex mutex;  // guards claimed and done
    std::condition_variable finished;
    bool claimed = false;
    bool done = false;
  };

 public:
  // The result of a piece of work queued with async().
  template <typename T>
  class Future {
   public:
    // The piece's result, or what it threw. When no thread has started the piece, the
    // calling thread runs it; else this waits for the thread running it.
    T get() {
      job_->runHereOrWait();
      return future_.get();
    }
    // Same wait, without taking the result.
    void wait() { job_->runHereOrWait(); }

   private:
    friend class ThreadPool;
    Future(std::shared_ptr<Job> job, std::future<T> future)
        : job_(std::move(job)), future_(std::move(future)) {}
    std::shared_ptr<Job> job_;
    std::future<T> future_;
  };

  // Queues `work` and returns a handle to its result (see Future).
  template <typename F>
  Future<std::invoke_result_t<F&>> async(F work) {
    using T = std::invoke_result_t<F&>;
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(work));
    std::future<T> future = task->get_future();
    auto job = std::make_shared<Job>([task] { (*task)(); });
    enqueue(job);
    return Future<T>(std::move(job), std::move(future));
  }

 private:
  void enqueue(std::shared_ptr<Job> job);
  void workerLoop() noexcept;

  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable queued_;
  std::deque<std::shared_ptr<Job>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;  // set in the constructor only
};

}  // namespace folium::platform
