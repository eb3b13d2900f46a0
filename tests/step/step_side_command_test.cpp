#include "step/step_side_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "context/operation_context.h"
#include "platform/file_system.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class StepRecordFile : public TempDirTest {
 protected:
  PlCadPrepOperationContext Context(std::uint64_t maxOutputBytes = 1'000'000) const {
    PlCadPrepRequest request;
    request.maxOutputBytes = maxOutputBytes;
    return MakePlCadPrepOperationContext(request, cancellation);
  }

  void ExpectWriteFailure(const std::filesystem::path& path,
                          const PlCadPrepOperationContext& context) const {
    ExpectPlCadPrepError([&] { WritePlCadPrepStepRecordFile(path, "{\"a\":1}", context, "lost"); },
                         "record_write_failed", "publish", "lost");
  }

  NeverCancelled cancellation;
};

TEST_F(StepRecordFile, WritesTheTextAndGivesTheReservationBack) {
  const PlCadPrepOperationContext context = Context();
  WritePlCadPrepStepRecordFile(dir / "r.json", "{\"a\":1}", context, "lost");
  EXPECT_EQ(ReadFile(dir / "r.json"), "{\"a\":1}");
  EXPECT_EQ(context.ledger->outputReserved, 0U);
}

TEST_F(StepRecordFile, NeverReplacesAnExistingName) {
  const std::filesystem::path taken = WriteFile("r.json", "mine");
  ExpectWriteFailure(taken, Context());
  EXPECT_EQ(ReadFile(taken), "mine");

  std::filesystem::create_symlink(dir / "elsewhere.json", dir / "link.json");
  ExpectWriteFailure(dir / "link.json", Context());
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.json"));
}

TEST_F(StepRecordFile, FailedWritesLeaveNothingBehind) {
  for (const PlFileSystemFaults faults :
       {PlFileSystemFaults{.writeErrno = EIO}, PlFileSystemFaults{.writeZero = true},
        PlFileSystemFaults{.syncErrno = EIO}, PlFileSystemFaults{.closeErrno = EIO}}) {
    {
      const ScopedPlFileSystemFaults installed(faults);
      ExpectWriteFailure(dir / "r.json", Context());
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "r.json"));
  }
}

TEST_F(StepRecordFile, OutputLimitIsCheckedBeforeTheFileExists) {
  ExpectPlCadPrepError(
      [&] { WritePlCadPrepStepRecordFile(dir / "r.json", "{\"a\":1}", Context(6), "lost"); },
      "output_limit_exceeded", "publish", "preparation exceeds maxOutputBytes");
  EXPECT_FALSE(std::filesystem::exists(dir / "r.json"));
}

}  // namespace
