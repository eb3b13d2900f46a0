#include "platform/fault_trap.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "platform/event_output.h"
#include "support/pipe_output.h"

TEST(FaultTrap, FaultsEndOnlyTheirOwnWorkAndLeaveNoHandlerBehind) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &before), 0);
  // The trap of thrown work is gone: the later faults land in their own traps.
  EXPECT_THROW((void)RunTrappingFaults([] { throw std::runtime_error("kernel said no"); }),
               std::runtime_error);
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    SCOPED_TRACE(signal);
    bool inner = true;
    bool outerFinished = false;
    EXPECT_TRUE(RunTrappingFaults([&] {
      inner = RunTrappingFaults([signal] { (void)raise(signal); });
      outerFinished = true;
    }));
    EXPECT_FALSE(inner);
    EXPECT_TRUE(outerFinished);
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// In the executable a fault never returns: the handler writes the innermost
// work's report as the last event line and ends the process with status 5.
TEST(FaultTrap, EndsTheProcessWithTheReportWhenAskedTo) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    SetFinalEventPrefix(R"({"requestId":"r1","stage":")");
    EndProcessOnTrappedFaults();
    const std::string_view outer = "heal";
    const std::string_view inner = "mesh";
    (void)RunTrappingFaults(
        [&] {
          (void)RunTrappingFaults([] { (void)raise(SIGSEGV); },
                                  PlFaultReport{&inner, "inner_failure", "the inner work faulted"});
        },
        PlFaultReport{&outer, "outer_failure", "the outer work faulted"});
    _exit(0);
  }
  const std::string output = ReadPipeToEnd(pipeEnds);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_EQ(output, R"({"requestId":"r1","stage":"mesh","code":"inner_failure",)"
                    R"("message":"the inner work faulted"})"
                    "\n");
}
