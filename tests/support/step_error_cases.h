#pragma once
// Rows of table-driven STEP refusal tests: a step that must fail, with the
// code, stage and message of its failure.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/expect_error.h"

struct StepErrorCase {
  std::function<void()> run;
  const char* code;
  const char* stage;
  const char* message;
};

inline void ExpectStepErrors(const std::vector<StepErrorCase>& cases) {
  for (const StepErrorCase& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectPlCadPrepError(c.run, c.code, c.stage, c.message);
  }
}
