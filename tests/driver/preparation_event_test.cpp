#include "driver/preparation_event.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"

namespace {

TEST(PreparationEvent, RejectsUnknownKindsAndStages) {
  ExpectPlCadPrepError(
      [] { (void)FormatPreparationEvent("r1", "finished", "analysis", "", "", 0, 0); },
      "invalid_event", "preflight", "unsupported preparation event");
  ExpectPlCadPrepError(
      [] { (void)FormatPreparationEvent("r1", "progress", "analysis", "", "", 0, 0); },
      "invalid_event_stage", "import", "unsupported preparation event stage");
}

}  // namespace
