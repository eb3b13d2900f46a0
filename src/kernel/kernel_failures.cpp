#include "kernel/kernel_failures.h"

#include <Standard_Failure.hxx>
#include <Standard_OutOfMemory.hxx>
#include <new>
#include <stdexcept>
#include <string>

#include "core/error.h"
#include "platform/fault_trap.h"

void RunStepKernelWork(const std::string_view& stage, const std::function<void()>& work) {
  bool finished = false;
  try {
    finished = RunTrappingFaults(work, PlFaultReport{&stage, "step_occt_failure",
                                                     "Open CASCADE failed while importing STEP"});
  } catch (const Standard_OutOfMemory&) {
    throw PlCadPrepError("memory_limit_exceeded",
                         "Open CASCADE exhausted memory while importing STEP", std::string(stage));
  } catch (const Standard_Failure&) {
    throw PlCadPrepError("step_occt_failure", "Open CASCADE failed while importing STEP",
                         std::string(stage));
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP import allocation failed",
                         std::string(stage));
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP import allocation failed",
                         std::string(stage));
  }
  // A fault inside the kernel leaves its state unusable; the run ends here.
  if (!finished) {
    throw PlCadPrepError("step_occt_failure", "Open CASCADE failed while importing STEP",
                         std::string(stage));
  }
}
