#include "step/step_side_command.h"

#include <span>
#include <string>
#include <system_error>

#include "core/error.h"
#include "platform/file_system.h"
#include "platform/interrupt_cleanup.h"

namespace {

// Removes what this run created; a failed removal cannot be reported better
// than the write failure that is already on its way.
void RemoveCreated(const std::filesystem::path& path) {
  std::error_code ignored;
  (void)RemovePath(path, ignored);
}

bool WriteAll(PlFile& file, std::string_view text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  std::span<const std::uint8_t> rest(data, text.size());
  while (!rest.empty()) {
    const std::int64_t written = file.Write(rest);
    if (written <= 0) return false;
    rest = rest.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

PlCadPrepLimits PlCadPrepStepSideLimits(const PlCadPrepStepSideRequest& request) {
  return PlCadPrepLimits{request.maxInputBytes, request.maxTriangles, request.maxElapsedMs,
                         request.maxMemoryBytes, request.maxOutputBytes};
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
  const std::string message(failureMessage);
  PlCreateOutcome outcome = PlCreateOutcome::failed;
  PlFile file = PlFile::CreateExclusive(path, outcome);
  // A taken name is someone else's file: it is neither written nor removed.
  if (outcome != PlCreateOutcome::created || !file.IsOpen()) {
    throw PlCadPrepError("record_write_failed", message, "publish");
  }
  const bool written = WriteAll(file, text) && file.Sync();
  if (!file.Close() || !written) {
    RemoveCreated(path);
    throw PlCadPrepError("record_write_failed", message, "publish");
  }
  KeepCreatedFile(path);
}
