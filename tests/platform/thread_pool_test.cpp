#include "platform/threads/thread_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace folium::platform {
namespace {

TEST(ThreadPool, ATaskWaitingForWorkQueuedBehindItRunsThatWorkItself) {
  // One thread, busy with the outer task: the inner pieces can only run if the waiter runs
  // them. Parking the thread to wait would hang here.
  ThreadPool pool(1);
  auto outer = pool.async([&pool] {
    auto value = pool.async([] { return std::string("documents"); });
    auto failure = pool.async([]() -> int { throw std::runtime_error("listing failed"); });
    std::string seen = value.get();
    try {
      failure.get();
      seen += " and no failure";
    } catch (const std::runtime_error& error) {
      seen += std::string(" then ") + error.what();
    }
    return seen;
  });
  EXPECT_EQ(outer.get(), "documents then listing failed");
}

TEST(ThreadPool, DestructionRunsEverythingQueuedThenJoins) {
  std::atomic<int> ran = 0;
  std::atomic<bool> ranOnAPoolThread = true;
  const auto caller = std::this_thread::get_id();
  {
    ThreadPool pool(2);
    for (int i = 0; i < 50; ++i) {
      pool.submit([&] {
        if (std::this_thread::get_id() == caller) ranOnAPoolThread = false;
        // Work queued by work while the pool is going away still runs.
        if (++ran == 1) pool.submit([&] { ++ran; });
      });
    }
    pool.submit([] { throw std::runtime_error("dropped, without taking the thread down"); });
  }
  EXPECT_EQ(ran, 51);
  EXPECT_TRUE(ranOnAPoolThread);
}

}  // namespace
}  // namespace folium::platform
