#include "driver/elapsed_watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "context/operation_context.h"

namespace {

TEST(ElapsedWatchdog, StepsInOnlyOncePastItsDeadline) {
  std::atomic<int> calls{0};
  {
    // Destroyed long before its deadline: it never calls, and does not wait for it.
    const PlCadPrepElapsedWatchdog early(SteadyNowNs() + 3'600'000'000'000, [&] { ++calls; });
  }
  EXPECT_EQ(calls.load(), 0);
  std::promise<void> called;
  {
    const PlCadPrepElapsedWatchdog overdue(SteadyNowNs() - 1, [&] {
      ++calls;
      called.set_value();
    });
    ASSERT_EQ(called.get_future().wait_for(std::chrono::minutes(1)), std::future_status::ready);
  }
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
