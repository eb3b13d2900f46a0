#include "step/step_side_command.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/file_system.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

using StepRecordFile = TempDirTest;

TEST_F(StepRecordFile, WritesWithinTheOutputLimitNeverReplacesAndLeavesNothingOnFailure) {
  NeverCancelled never;
  const auto write = [&](const char* name, std::uint64_t maxOutputBytes = 7) {
    PlCadPrepRequest request;
    request.maxOutputBytes = maxOutputBytes;
    WritePlCadPrepStepRecordFile(dir / name, "{\"a\":1}",
                                 MakePlCadPrepOperationContext(request, never), "lost");
  };
  ExpectPlCadPrepError([&] { write("r.json", 6); }, "output_limit_exceeded", "publish",
                       "preparation exceeds maxOutputBytes");
  write("r.json");
  // A dangling link is a taken name too: nothing is created where it points.
  std::filesystem::create_symlink(dir / "elsewhere.json", dir / "link.json");
  for (const char* taken : {"r.json", "link.json"}) {
    ExpectPlCadPrepError([&] { write(taken); }, "record_write_failed", "publish", "lost");
  }
  for (const PlFileSystemFaults faults :
       {PlFileSystemFaults{.writeErrno = EIO}, PlFileSystemFaults{.writeZero = true},
        PlFileSystemFaults{.syncErrno = EIO}, PlFileSystemFaults{.closeErrno = EIO}}) {
    const ScopedPlFileSystemFaults installed(faults);
    ExpectPlCadPrepError([&] { write("new.json"); }, "record_write_failed", "publish", "lost");
  }
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"link.json", "r.json"}));
  EXPECT_EQ(ReadFile(dir / "r.json"), "{\"a\":1}");
}

}  // namespace
