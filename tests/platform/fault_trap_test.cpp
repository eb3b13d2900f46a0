#include "platform/fault_trap.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "platform/event_output.h"
#include "support/pipe_output.h"

// A fault ends only its own work; thrown work leaves no trap and no handler behind.
TEST(FaultTrap, FaultsEndOnlyTheirOwnWorkAndLeaveNoHandlerBehind) {
  struct sigaction before {
  }, after{};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &before), 0);
  EXPECT_THROW((void)RunTrappingFaults([] { throw std::runtime_error("no"); }), std::runtime_error);
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    bool inner = true;
    EXPECT_TRUE(
        RunTrappingFaults([&] { inner = RunTrappingFaults([=] { (void)raise(signal); }); }));
    EXPECT_FALSE(inner) << signal;
  }
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
    const std::string_view outer = "heal", inner = "mesh";
    const auto fault = [&] {
      (void)RunTrappingFaults([] { (void)raise(SIGSEGV); }, {&inner, "inner_failure", "faulted"});
    };
    (void)RunTrappingFaults(fault, {&outer, "outer_failure", "the outer work faulted"});
    _exit(0);
  }
  const std::string output = ReadPipeToEnd(pipeEnds);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << status;
  EXPECT_EQ(output,
            R"({"requestId":"r1","stage":"mesh","code":"inner_failure","message":"faulted"})"
            "\n");
}
