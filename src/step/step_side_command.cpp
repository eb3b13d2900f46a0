#include "step/step_side_command.h"

#include <span>
#include <string>

#include "core/error.h"
#include "platform/file_system.h"
#include "platform/interrupt_cleanup.h"

PlCadPrepLimits PlCadPrepStepSideLimits(const PlCadPrepStepSideRequest& request) {
  return PlCadPrepLimits{request.maxInputBytes, request.maxTriangles, request.maxElapsedMs,
                         request.maxMemoryBytes, request.maxOutputBytes};
}

PlCadPrepOperationContext PlCadPrepStepSideContext(const PlCadPrepStepSideRequest& request,
                                                   const PlCadPrepCancellation& cancellation) {
  return MakePlCadPrepOperationContext(PlCadPrepStepSideLimits(request), cancellation);
}

PlCadPrepStepImportSettings PlCadPrepStepSideImportSettings(
    const PlCadPrepStepSideRequest& request, const std::array<double, 16>& sourceToMount) {
  PlCadPrepStepImportSettings settings;
  settings.sourcePath = request.inputPath;
  settings.sourceToMount = sourceToMount;
  settings.targetLinearDeflectionMm = request.targetLinearDeflectionMm;
  settings.angularDeflectionRadians = kPlCadPrepStepSideAngularDeflectionRadians;
  return settings;
}

void WritePlCadPrepStepRecordFile(const std::filesystem::path& path, std::string_view text,
                                  const PlCadPrepOperationContext& context,
                                  std::string_view failureMessage) {
  const PlCadPrepOutputReservation output = ReserveOutput(context, text.size(), "publish");
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  // A taken name is someone else's file: it is neither written nor removed. Any
  // other failure has removed what the write created.
  if (WriteFileExclusive(path, std::span<const std::uint8_t>(data, text.size())) !=
      PlExclusiveWriteOutcome::written) {
    throw PlCadPrepError("record_write_failed", std::string(failureMessage), "publish");
  }
  KeepCreatedFile(path);
}
