// The address-space limit, set in a forked child so that the test process itself stays
// unlimited: allocations within maxMemoryBytes plus the headroom succeed, one past it fails.
#include "platform/process_limits.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

TEST(ProcessLimits, AllocationsPastMaxMemoryAndHeadroomFail) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the limit is not applied under a sanitizer that reserves address space";
#endif
  constexpr std::uint64_t kLimit = 64 * 1'048'576;
  for (const auto& [bytes, failed] :
       {std::pair{kLimit, 0}, {kLimit + kPlCadPrepAddressSpaceHeadroomBytes, 1}}) {
    SCOPED_TRACE(bytes);
    const pid_t pid = fork();
    if (pid == 0) {
      LimitPlCadPrepProcessAddressSpace(kLimit);
      try {
        ::operator delete(::operator new(bytes));
        _exit(0);
      } catch (const std::bad_alloc&) {
        _exit(1);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), failed);
  }
}
