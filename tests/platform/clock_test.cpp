#include "platform/time/clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace folium::platform {
namespace {
using namespace std::chrono_literals;

// The clock's thread waits for the earliest timer; cancelling that timer and scheduling
// another wakes it. It must neither touch the cancelled timer (the sanitizers watch) nor run
// it, and later work still runs.
TEST(SystemClock, CancellingTheAwaitedTimerIsSafe) {
  SystemClock clock;
  for (int round = 0; round < 20; ++round) {
    const auto awaited = clock.schedule(1h, [] { ADD_FAILURE() << "a cancelled timer ran"; });
    std::this_thread::sleep_for(1ms);  // lets the clock's thread start waiting for it
    EXPECT_TRUE(clock.cancel(awaited));
    clock.schedule(1h, [] {});
  }
  std::promise<void> ran;
  clock.schedule(0s, [&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(30s), std::future_status::ready);
}

}  // namespace
}  // namespace folium::platform
