// The address-space limit, set in a forked child so that the test process
// itself stays unlimited: allocations within the limit succeed, one past it
// fails as std::bad_alloc.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "platform/process_limits.h"

namespace {

constexpr std::uint64_t kMiB = 1'048'576;

// 0 when allocating `bytes` succeeded under the limit,
// 1 when it failed with std::bad_alloc, -1 when the child did not report.
int AllocateInLimitedChild(std::uint64_t maxMemoryBytes, std::uint64_t bytes) {
  const pid_t pid = fork();
  if (pid == 0) {
    LimitPlCadPrepProcessAddressSpace(maxMemoryBytes);
    try {
      ::operator delete(::operator new(bytes));
      _exit(0);
    } catch (const std::bad_alloc&) {
      _exit(1);
    }
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ProcessLimits, AllocationsPastMaxMemoryAndHeadroomFail) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the limit is not applied under a sanitizer that reserves address space";
#endif
  struct Case {
    std::uint64_t bytes;
    int expected;
  };
  const Case cases[] = {
      {64 * kMiB, 0},
      {kPlCadPrepAddressSpaceHeadroomBytes / 2, 0},
      {64 * kMiB + kPlCadPrepAddressSpaceHeadroomBytes, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(AllocateInLimitedChild(64 * kMiB, c.bytes), c.expected);
  }
}

}  // namespace
