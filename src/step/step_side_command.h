#pragma once
// What the three STEP review commands share: the limits they run under, the
// import settings they measure with, and the exclusive write of the small
// record files they produce.
#include <array>
#include <filesystem>
#include <string_view>

#include "context/operation_context.h"
#include "request/step_side_requests.h"
#include "step/step_import_settings.h"

// Every review command tessellates with this angular deflection.
inline constexpr double kPlCadPrepStepSideAngularDeflectionRadians = 0.5;

// The five limits of a side request, for its operation context.
PlCadPrepLimits PlCadPrepStepSideLimits(const PlCadPrepStepSideRequest& request);

// The operation context a review command runs in: the request's limits and `cancellation`.
PlCadPrepOperationContext PlCadPrepStepSideContext(const PlCadPrepStepSideRequest& request,
                                                   const PlCadPrepCancellation& cancellation);

// Import settings for a review command: the request's input and linear
// deflection, the fixed angular deflection, and `sourceToMount` (the identity
// unless the command places the source).
PlCadPrepStepImportSettings PlCadPrepStepSideImportSettings(
    const PlCadPrepStepSideRequest& request,
    const std::array<double, 16>& sourceToMount = PlCadPrepStepImportSettings().sourceToMount);

// Reserves `text.size()` output bytes (stage "publish"), then creates `path`
// exclusively (never replacing anything), writes the text, flushes it to the
// device and closes it. Any failure after the reservation removes what was
// created and throws "record_write_failed" with `failureMessage` (stage "publish").
void WritePlCadPrepStepRecordFile(const std::filesystem::path& path, std::string_view text,
                                  const PlCadPrepOperationContext& context,
                                  std::string_view failureMessage);
