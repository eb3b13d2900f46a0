#include "kernel/occt_progress.h"

#include <cmath>
#include <utility>

PlCadPrepOcctProgress::PlCadPrepOcctProgress(const PlCadPrepOperationContext& runContext,
                                             ProgressCallback listener, std::string stageName,
                                             std::uint64_t startStep, std::uint64_t spanSteps,
                                             std::uint64_t totalSteps)
    : context(runContext),
      progress(std::move(listener)),
      stage(std::move(stageName)),
      start(startStep),
      span(spanSteps),
      total(totalSteps) {}

void PlCadPrepOcctProgress::Show(const Message_ProgressScope& /*scope*/,
                                 const Standard_Boolean /*isForce*/) {
  // Rounding in the kernel's scopes can leave the position a hair outside [0, 1].
  double position = GetPosition();
  if (!(position >= 0.0)) position = 0.0;
  if (position > 1.0) position = 1.0;
  const std::uint64_t completed =
      start + static_cast<std::uint64_t>(std::floor(static_cast<double>(span) * position));
  if (lastReported == completed) return;
  lastReported = completed;
  if (progress) progress(stage, completed, total);
}

Standard_Boolean PlCadPrepOcctProgress::UserBreak() {
  // Open CASCADE cannot carry our exception through its own frames, so the
  // context's verdict becomes a break request here. Nothing is lost:
  // cancellation and elapsed time only move forward, so the checkpoint the
  // caller runs right after the kernel returns raises the same failure.
  try {
    CheckpointStage(context, stage);
  } catch (const PlCadPrepError&) {
    return Standard_True;
  }
  return Standard_False;
}
