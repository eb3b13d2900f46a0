#pragma once
// The one boundary where the geometry kernel's exceptions and failed
// allocations of STEP work become the program's own failures.
#include <functional>
#include <string_view>

// Runs `work`. A kernel out-of-memory becomes "memory_limit_exceeded", any
// other kernel failure "step_occt_failure", and a failed allocation
// "memory_limit_exceeded", each under `stage` as it reads when the failure
// happens, so callers that advance their stage report the stage in force.
void RunStepKernelWork(const std::string_view& stage, const std::function<void()>& work);
