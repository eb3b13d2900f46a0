#include "driver/preparation_event.h"

#include <gtest/gtest.h>

#include "support/driver_runs.h"
#include "support/expect_error.h"

namespace {

// The lines the runs write are pinned by the end-to-end tests; these are the rest.
TEST(PreparationEvent, FormatsEveryStageAndOmitsEmptyFields) {
  for (const char* stage :
       {"preflight", "import", "heal", "mesh", "validate", "voxel", "package", "publish"}) {
    EXPECT_EQ(FormatPreparationEvent("r1", "progress", stage, "", "", UINT64_MAX, 0),
              ProgressLine("r1", stage, UINT64_MAX, 0));
  }
  EXPECT_EQ(FormatPreparationEvent("a\"b", "warning", "", "c", "", 7, 9),
            EventLine("a\\\"b", R"("event":"warning","code":"c")"));
}

// The kind is checked before the stage.
TEST(PreparationEvent, RejectsUnknownKindsAndStages) {
  ExpectPlCadPrepError(
      [] { (void)FormatPreparationEvent("r1", "finished", "analysis", "", "", 0, 0); },
      "invalid_event", "preflight", "unsupported preparation event");
  ExpectPlCadPrepError(
      [] { (void)FormatPreparationEvent("r1", "progress", "Import", "", "", 0, 0); },
      "invalid_event_stage", "import", "unsupported preparation event stage");
}

}  // namespace
