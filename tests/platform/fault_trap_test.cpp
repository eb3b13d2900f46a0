#include "platform/fault_trap.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <stdexcept>

namespace {

TEST(FaultTrap, FaultsEndTheWorkAndLeaveNoHandlerBehind) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &before), 0);
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    SCOPED_TRACE(signal);
    bool pastTheFault = false;
    EXPECT_FALSE(RunTrappingFaults([&] {
      (void)raise(signal);
      pastTheFault = true;
    }));
    EXPECT_FALSE(pastTheFault);
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(FaultTrap, FinishedWorkAndExceptionsPassThrough) {
  int runs = 0;
  EXPECT_TRUE(RunTrappingFaults([&] { ++runs; }));
  EXPECT_EQ(runs, 1);
  EXPECT_THROW((void)RunTrappingFaults([] { throw std::runtime_error("kernel said no"); }),
               std::runtime_error);
  // The trap of the thrown work is gone: a later fault lands in the new one.
  EXPECT_FALSE(RunTrappingFaults([] { (void)raise(SIGSEGV); }));
}

TEST(FaultTrap, AnInnerFaultEndsOnlyTheInnerWork) {
  bool inner = true;
  bool outerFinished = false;
  EXPECT_TRUE(RunTrappingFaults([&] {
    inner = RunTrappingFaults([] { (void)raise(SIGSEGV); });
    outerFinished = true;
  }));
  EXPECT_FALSE(inner);
  EXPECT_TRUE(outerFinished);
}

}  // namespace
