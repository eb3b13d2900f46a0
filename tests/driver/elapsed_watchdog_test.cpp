#include "driver/elapsed_watchdog.h"

#include <gtest/gtest.h>

#include "context/operation_context.h"

namespace {

// Its firing past the deadline ends the slow runs of kernel_limits_test.
TEST(ElapsedWatchdog, DestroyedBeforeItsDeadlineItNeverCalls) {
  int calls = 0;
  (void)PlCadPrepElapsedWatchdog(SteadyNowNs() + 3'600'000'000'000, [&] { ++calls; });
  EXPECT_EQ(calls, 0);
}

}  // namespace
