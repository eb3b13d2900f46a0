#include "backends/step_archive_backend.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

class StepArchiveBackend : public TempDirTest {};

// Neither the source nor a record exists: reading either would fail differently.
TEST_F(StepArchiveBackend, RefusesBeforeReadingTheSource) {
  PlCadPrepRequest request = TestStepRequest(dir / "assembly.step");
  const NeverCancelled never;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepStepSource};
  const auto prepare = [&] {
    backend.Prepare(request, dir / "staged", MakePlCadPrepOperationContext(request, never), {});
  };
  ExpectPlCadPrepError(prepare, "step_component_selection_required", "preflight",
                       "STEP publication requires the reviewed component-selection record");
  request.sourceFormat = PlCadPrepSourceFormat::stl;  // the format is refused first
  ExpectPlCadPrepError(prepare, "backend_not_implemented", "import",
                       "only STEP import is implemented by the STEP archive backend");
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
}

}  // namespace
