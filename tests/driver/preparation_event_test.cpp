#include "driver/preparation_event.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"

namespace {

TEST(PreparationEvent, RejectsUnknownKinds) {
  ExpectPlCadPrepError(
      [] { (void)FormatPreparationEvent("r1", "finished", "analysis", "", "", 0, 0); },
      "invalid_event", "preflight", "unsupported preparation event");
}

}  // namespace
