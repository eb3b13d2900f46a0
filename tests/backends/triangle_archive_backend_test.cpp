#include "backends/triangle_archive_backend.h"

#include <gtest/gtest.h>

#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class TriangleArchiveBackend : public TempDirTest {};

// The source does not exist: opening it would fail differently.
TEST_F(TriangleArchiveBackend, ChecksCancellationBeforeOpeningTheSource) {
  SwitchCancellation cancellation;
  cancellation.cancelled = true;
  PlCadPrepRequest request;
  request.inputPath = dir / "missing.obj";
  request.sourceFormat = PlCadPrepSourceFormat::obj;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
  PlCadPrepArchiveBackend backend{ImportPlCadPrepMeshSource};
  ExpectPlCadPrepError([&] { backend.Prepare(request, dir / "staged", context, {}); }, "cancelled",
                       "preflight", "preparation was cancelled");
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
}

}  // namespace
