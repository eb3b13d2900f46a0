#pragma once
// The seat command: measures a STEP source without tessellating it and writes
// the seat record, 24 candidate ways to seat the mold on the mounting plate
// (Y up, plate at y = 0) with the bounds each one leaves it in.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/step_side_requests.h"

inline constexpr std::string_view kPlCadPrepStepSeatRecordSchema = "pelto.geometry.seat.v2";
inline constexpr std::size_t kPlCadPrepStepMountCount = 24;

enum class PlCadPrepStepPlateFace : std::uint32_t {
  bottom = 0,
  top = 1,
  front = 2,
  back = 3,
  left = 4,
  right = 5,
};

// "bottom", "top", "front", "back", "left", "right"; "unknown" outside the enumeration.
std::string_view PlCadPrepStepPlateFaceName(PlCadPrepStepPlateFace face);

struct PlCadPrepStepBox {
  PlPoint3 min = {0.0, 0.0, 0.0};
  PlPoint3 max = {0.0, 0.0, 0.0};
};

struct PlCadPrepStepMountCandidate {
  PlCadPrepStepPlateFace plateFace = PlCadPrepStepPlateFace::bottom;
  std::int32_t quarterTurns = 0;
  std::array<double, 16> sourceToMount = {};  // row-major
  PlCadPrepStepBox seatedBounds;
};

using PlCadPrepStepMounts = std::array<PlCadPrepStepMountCandidate, kPlCadPrepStepMountCount>;

// What the record says about the measured source besides its mounts.
struct PlCadPrepStepSeatMeasurement {
  std::string sourceSha256;
  double targetLinearDeflectionMm = 0.0;  // also the mount lift
  PlCadPrepStepBox sourceBounds;          // the whole transferred shape
  PlCadPrepStepBox moldBounds;            // its solids only
  std::uint64_t solidOccurrenceCount = 0;
  std::uint64_t freeShellOccurrenceCount = 0;
};

// The 24 candidates for a mold box, index 4 * face + quarter turns. Computes
// only; the finiteness and plate checks belong to the record writer.
std::array<PlCadPrepStepMountCandidate, kPlCadPrepStepMountCount> ComputePlCadPrepStepMounts(
    const PlCadPrepStepBox& moldBox, double liftMm);

// Throws "step_bounds_unbounded" or "step_seat_below_mount_plane" (stage
// "publish") for the first candidate that is not a finite transform or would
// leave the mold below the plate.
void CheckPlCadPrepStepMounts(const PlCadPrepStepMounts& mounts);

// The record text, without whitespace; candidate 0 is the default mount.
// Throws std::logic_error when a number is not finite, which the checks before
// it rule out.
std::string ComposePlCadPrepStepSeatRecord(const PlCadPrepStepSeatMeasurement& measurement,
                                           const PlCadPrepStepMounts& mounts);

// Runs the seat command for a request that has been read: validates it,
// imports the source bounds-only and writes the record to its outputPath.
// Throws PlCadPrepError; nothing is written unless every check passed.
void WritePlCadPrepStepSeatRecord(const PlCadPrepStepSeatRequest& request,
                                  const PlCadPrepCancellation& cancellation,
                                  const ProgressCallback& progress);
