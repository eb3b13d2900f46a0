#include "platform/interrupt_cleanup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include "platform/file_system.h"
#include "support/temp_dir.h"

namespace {

class InterruptCleanup : public TempDirTest {
 protected:
  // Runs `work` in a child that has the handlers installed and returns its wait status.
  template <typename Work>
  static int InChild(Work&& work) {
    const pid_t child = fork();
    if (child == 0) {
      InstallInterruptCleanup();
      work();
      _exit(0);
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return status;
  }

  PlFile Create(const char* name) const {
    PlCreateOutcome outcome = PlCreateOutcome::failed;
    PlFile file = PlFile::CreateExclusive(dir / name, outcome);
    EXPECT_EQ(outcome, PlCreateOutcome::created) << name;
    return file;
  }
};

TEST_F(InterruptCleanup, RemovesUnfinishedFilesOnlyAndEndsByTheSignal) {
  // Someone else's file at a name the run then fails to create is not the run's.
  WriteFile("foreign", "kept");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    const int status = InChild([&] {
      PlFile unfinished = Create("unfinished");
      PlFile finished = Create("finished");
      KeepCreatedFile(dir / "finished");
      PlFile removed = Create("removed");
      std::error_code error;
      if (!RemovePath(dir / "removed", error)) _exit(10);
      // The same name made again by someone else after the run removed it.
      WriteFile("removed", "later");
      PlCreateOutcome outcome = PlCreateOutcome::failed;
      (void)PlFile::CreateExclusive(dir / "foreign", outcome);
      if (outcome != PlCreateOutcome::exists) _exit(11);
      (void)raise(signal);
      _exit(12);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_FALSE(std::filesystem::exists(dir / "unfinished"));
    EXPECT_TRUE(std::filesystem::exists(dir / "finished"));
    EXPECT_EQ(ReadFile(dir / "removed"), "later");
    EXPECT_EQ(ReadFile(dir / "foreign"), "kept");
    std::filesystem::remove(dir / "finished");
    std::filesystem::remove(dir / "removed");
  }
}

}  // namespace
