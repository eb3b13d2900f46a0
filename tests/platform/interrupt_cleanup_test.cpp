#include "platform/interrupt_cleanup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "support/temp_dir.h"

class InterruptCleanup : public TempDirTest {};

// A run removes only the files it created and has not finished or handed over, and ends by
// the signal; a name it removed and someone else took again, or could not take, stays.
TEST_F(InterruptCleanup, RemovesUnfinishedFilesOnlyAndEndsByTheSignal) {
  WriteFile("foreign", "kept");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const pid_t child = fork();
    if (child == 0) {
      InstallInterruptCleanup();
      PlCreateOutcome outcome = PlCreateOutcome::failed;
      PlFile unfinished = PlFile::CreateExclusive(dir / "unfinished", outcome);
      PlFile finished = PlFile::CreateExclusive(dir / "finished", outcome);
      KeepCreatedFile(dir / "finished");
      PlFile removed = PlFile::CreateExclusive(dir / "removed", outcome);
      std::error_code error;
      if (!RemovePath(dir / "removed", error)) _exit(10);
      WriteFile("removed", "later");
      (void)PlFile::CreateExclusive(dir / "foreign", outcome);
      (void)raise(signal);
      _exit(12);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"finished", "foreign", "removed"}));
    EXPECT_EQ(ReadFile(dir / "removed") + ReadFile(dir / "foreign"), "laterkept");
    std::filesystem::remove(dir / "finished");
    std::filesystem::remove(dir / "removed");
  }
}
