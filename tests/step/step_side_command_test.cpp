#include "step/step_side_command.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/file_system.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class StepRecordFile : public TempDirTest {
 protected:
  void Write(const std::filesystem::path& path, std::uint64_t maxOutputBytes = 1'000'000) {
    PlCadPrepRequest request;
    request.maxOutputBytes = maxOutputBytes;
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
    WritePlCadPrepStepRecordFile(path, "{\"a\":1}", context, "lost");
    EXPECT_EQ(context.ledger->outputReserved, 0U);
  }

  void ExpectWriteFailure(const std::filesystem::path& path) {
    ExpectPlCadPrepError([&] { Write(path); }, "record_write_failed", "publish", "lost");
  }

  NeverCancelled cancellation;
};

TEST_F(StepRecordFile, WritesTheTextWithinTheOutputLimit) {
  ExpectPlCadPrepError([&] { Write(dir / "r.json", 6); }, "output_limit_exceeded", "publish",
                       "preparation exceeds maxOutputBytes");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.json"));
  Write(dir / "r.json", 7);
  EXPECT_EQ(ReadFile(dir / "r.json"), "{\"a\":1}");
}

TEST_F(StepRecordFile, NeverReplacesAnythingAndLeavesNothingOnFailure) {
  const std::filesystem::path taken = WriteFile("r.json", "mine");
  ExpectWriteFailure(taken);
  EXPECT_EQ(ReadFile(taken), "mine");
  // A dangling link is a taken name too: nothing is created where it points.
  std::filesystem::create_symlink(dir / "elsewhere.json", dir / "link.json");
  ExpectWriteFailure(dir / "link.json");
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.json"));

  for (const PlFileSystemFaults faults :
       {PlFileSystemFaults{.writeErrno = EIO}, PlFileSystemFaults{.writeZero = true},
        PlFileSystemFaults{.syncErrno = EIO}, PlFileSystemFaults{.closeErrno = EIO}}) {
    {
      const ScopedPlFileSystemFaults installed(faults);
      ExpectWriteFailure(dir / "new.json");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "new.json"));
  }
}

}  // namespace
