#pragma once
// A cancellation the test switches on and off.
#include "context/operation_context.h"

class SwitchCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};
