#pragma once
// What the three STEP review commands share: the import options they measure
// with, and the exclusive write of the small record files they produce.
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "context/operation_context.h"
#include "step/step_import.h"

// Every review command tessellates with this angular deflection.
inline constexpr double kPlCadPrepStepSideAngularDeflectionRadians = 0.5;

// Import options for a review command: the given linear deflection, the fixed
// angular deflection and face scope, no key lists and no strict proof.
// `boundsOnly` measures the source without tessellating it (scope must be 0 then).
PlCadPrepStepImportOptions PlCadPrepStepSideImportOptions(double targetLinearDeflectionMm,
                                                          std::uint32_t faceScope, bool boundsOnly);

// Reserves `text.size()` output bytes (stage "publish"), then creates `path`
// exclusively (never replacing anything), writes the text, flushes it to the
// device and closes it. Any failure after the reservation removes what was
// created and throws "record_write_failed" with `failureMessage` (stage "publish").
void WritePlCadPrepStepRecordFile(const std::filesystem::path& path, std::string_view text,
                                  const PlCadPrepOperationContext& context,
                                  std::string_view failureMessage);
