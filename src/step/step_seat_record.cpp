#include "step/step_seat_record.h"

#include <cmath>
#include <cstddef>

#include "core/json_text.h"
#include "step/step_scope_import.h"
#include "step/step_side_command.h"

namespace {

using PlCadPrepStepRotation = std::array<std::array<std::int32_t, 3>, 3>;

// Face rotations in plate-face order. Integer tables keep R = Q * F exact and
// free of signed zeros, so every written matrix entry is -1, 0 or 1.
constexpr std::array<PlCadPrepStepRotation, 6> kFaceRotations = {{
    {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},    // bottom
    {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}},  // top
    {{{1, 0, 0}, {0, 0, -1}, {0, 1, 0}}},   // front
    {{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}},   // back
    {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}},   // left
    {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}},   // right
}};

// Quarter turns about the plate normal (Y).
constexpr std::array<PlCadPrepStepRotation, 4> kQuarterTurnRotations = {{
    {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},
    {{{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}},
    {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}},
    {{{0, 0, -1}, {0, 1, 0}, {1, 0, 0}}},
}};

constexpr std::size_t kQuarterTurnCount = kQuarterTurnRotations.size();

// Translations land on this grid so that seats read as round numbers.
constexpr double kMountGridMm = 0.1;
// Beyond this magnitude a grid step is below the spacing of doubles, and
// snapping would only add rounding noise.
constexpr double kMountSnapLimitMm = 1e15;

bool Snappable(double v) { return std::isfinite(v) && std::fabs(v) < kMountSnapLimitMm; }

double SnapNearest(double v) {
  return Snappable(v) ? std::round(v / kMountGridMm) * kMountGridMm : v;
}

// Rounding up keeps the clearance above the plate at least the lift.
double SnapUp(double v) { return Snappable(v) ? std::ceil(v / kMountGridMm) * kMountGridMm : v; }

PlCadPrepStepRotation Multiply(const PlCadPrepStepRotation& q, const PlCadPrepStepRotation& f) {
  PlCadPrepStepRotation r{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      r[i][j] = (q[i][0] * f[0][j]) + (q[i][1] * f[1][j]) + (q[i][2] * f[2][j]);
    }
  }
  return r;
}

// The axis-aligned box of the eight corners of `box` rotated by `r`.
PlCadPrepStepBox RotatedBox(const PlCadPrepStepBox& box, const PlCadPrepStepRotation& r) {
  PlCadPrepStepBox rotated;
  for (std::size_t corner = 0; corner < 8; ++corner) {
    const PlPoint3 p = {(corner & 1U) != 0 ? box.max[0] : box.min[0],
                        (corner & 2U) != 0 ? box.max[1] : box.min[1],
                        (corner & 4U) != 0 ? box.max[2] : box.min[2]};
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double v =
          ((static_cast<double>(r[axis][0]) * p[0]) + (static_cast<double>(r[axis][1]) * p[1])) +
          (static_cast<double>(r[axis][2]) * p[2]);
      if (corner == 0 || v < rotated.min[axis]) rotated.min[axis] = v;
      if (corner == 0 || v > rotated.max[axis]) rotated.max[axis] = v;
    }
  }
  return rotated;
}

PlCadPrepStepMountCandidate MakeCandidate(const PlCadPrepStepBox& moldBox, double liftMm,
                                          std::size_t face, std::size_t quarterTurns) {
  const PlCadPrepStepRotation r =
      Multiply(kQuarterTurnRotations[quarterTurns], kFaceRotations[face]);
  const PlCadPrepStepBox b = RotatedBox(moldBox, r);
  const double tx = SnapNearest(-(b.min[0] + ((b.max[0] - b.min[0]) * 0.5)));
  const double ty = SnapUp(liftMm - b.min[1]);
  const double tz = SnapNearest(-(b.min[2] + ((b.max[2] - b.min[2]) * 0.5)));
  const PlPoint3 t = {tx, ty, tz};

  PlCadPrepStepMountCandidate candidate;
  candidate.plateFace = static_cast<PlCadPrepStepPlateFace>(face);
  candidate.quarterTurns = static_cast<std::int32_t>(quarterTurns);
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t column = 0; column < 3; ++column) {
      candidate.sourceToMount[(4 * row) + column] = static_cast<double>(r[row][column]);
    }
    candidate.sourceToMount[(4 * row) + 3] = t[row];
  }
  candidate.sourceToMount[15] = 1.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    candidate.seatedBounds.min[axis] = b.min[axis] + t[axis];
    candidate.seatedBounds.max[axis] = b.max[axis] + t[axis];
  }
  return candidate;
}

bool IsFinite(const PlCadPrepStepMountCandidate& candidate) {
  for (const double v : candidate.sourceToMount) {
    if (!std::isfinite(v)) return false;
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!std::isfinite(candidate.seatedBounds.min[axis]) ||
        !std::isfinite(candidate.seatedBounds.max[axis])) {
      return false;
    }
  }
  return true;
}

constexpr std::array<std::string_view, 6> kPlateFaceNames = {
    "bottom", "top", "front", "back", "left", "right",
};

constexpr std::array<std::string_view, 3> kBoxMinNames = {"minXMm", "minYMm", "minZMm"};
constexpr std::array<std::string_view, 3> kBoxMaxNames = {"maxXMm", "maxYMm", "maxZMm"};

void AppendNumber(std::string& out, double v) {
  PlRequire(AppendJsonGeneral17Double(out, v), "a seat record number is not finite");
}

void WriteBox(JsonTextWriter& json, std::string_view name, const PlCadPrepStepBox& box) {
  json.BeginObject(name);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    AppendNumber(json.Key(kBoxMinNames[axis]), box.min[axis]);
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    AppendNumber(json.Key(kBoxMaxNames[axis]), box.max[axis]);
  }
  json.EndObject();
}

void WriteMatrix(JsonTextWriter& json, std::string_view name,
                 const std::array<double, 16>& matrix) {
  json.BeginArray(name);
  for (const double v : matrix) AppendNumber(json.Element(), v);
  json.EndArray();
}

}  // namespace

std::string_view PlCadPrepStepPlateFaceName(PlCadPrepStepPlateFace face) {
  const auto code = static_cast<std::size_t>(face);
  return code < kPlateFaceNames.size() ? kPlateFaceNames[code] : "unknown";
}

std::array<PlCadPrepStepMountCandidate, kPlCadPrepStepMountCount> ComputePlCadPrepStepMounts(
    const PlCadPrepStepBox& moldBox, double liftMm) {
  PlCadPrepStepMounts mounts;
  for (std::size_t face = 0; face < kFaceRotations.size(); ++face) {
    for (std::size_t turns = 0; turns < kQuarterTurnCount; ++turns) {
      mounts[(kQuarterTurnCount * face) + turns] = MakeCandidate(moldBox, liftMm, face, turns);
    }
  }
  return mounts;
}

void CheckPlCadPrepStepMounts(const PlCadPrepStepMounts& mounts) {
  for (const PlCadPrepStepMountCandidate& candidate : mounts) {
    if (!IsFinite(candidate)) {
      throw PlCadPrepError("step_bounds_unbounded", "a seated mount is not a finite transform",
                           "publish");
    }
    if (!(candidate.seatedBounds.min[1] >= 0.0)) {
      throw PlCadPrepError("step_seat_below_mount_plane",
                           "a seated mount would leave the mold below the mounting plane",
                           "publish");
    }
  }
}

std::string ComposePlCadPrepStepSeatRecord(const PlCadPrepStepSeatMeasurement& measurement,
                                           const PlCadPrepStepMounts& mounts) {
  const PlCadPrepStepMountCandidate& defaultMount = mounts[0];
  std::string out;
  JsonTextWriter json(out);
  json.BeginObject();
  json.String("schema", kPlCadPrepStepSeatRecordSchema);
  json.String("sourceSha256", measurement.sourceSha256);
  AppendNumber(json.Key("targetLinearDeflectionMm"), measurement.targetLinearDeflectionMm);
  AppendNumber(json.Key("mountLiftMm"), measurement.targetLinearDeflectionMm);
  WriteBox(json, "sourceBoundsMm", measurement.sourceBounds);
  WriteBox(json, "moldBoundsMm", measurement.moldBounds);
  WriteMatrix(json, "sourceToMount", defaultMount.sourceToMount);
  WriteBox(json, "seatedBoundsMm", defaultMount.seatedBounds);
  json.Unsigned("defaultMountIndex", 0);
  json.BeginArray("mounts");
  for (const PlCadPrepStepMountCandidate& mount : mounts) {
    json.BeginObject();
    json.String("plateFace", PlCadPrepStepPlateFaceName(mount.plateFace));
    json.Unsigned("quarterTurns", static_cast<std::uint64_t>(mount.quarterTurns));
    WriteMatrix(json, "sourceToMount", mount.sourceToMount);
    WriteBox(json, "seatedBoundsMm", mount.seatedBounds);
    json.EndObject();
  }
  json.EndArray();
  json.Unsigned("solidOccurrenceCount", measurement.solidOccurrenceCount);
  json.Unsigned("freeShellOccurrenceCount", measurement.freeShellOccurrenceCount);
  json.EndObject();
  return out;
}

void WritePlCadPrepStepSeatRecord(const PlCadPrepStepSeatRequest& request,
                                  const PlCadPrepCancellation& cancellation,
                                  const ProgressCallback& progress) {
  ValidatePlCadPrepStepSeatRequest(request);
  const PlCadPrepOperationContext context = PlCadPrepStepSideContext(request, cancellation);
  const PlCadPrepStepBoundsImport measured =
      MeasurePlCadPrepStepBounds(PlCadPrepStepSideImportSettings(request), context, progress);

  PlCadPrepStepSeatMeasurement measurement;
  measurement.sourceSha256 = measured.source.sourceSha256;
  measurement.targetLinearDeflectionMm = request.targetLinearDeflectionMm;
  measurement.sourceBounds = {measured.bounds.sourceBoundsMin, measured.bounds.sourceBoundsMax};
  measurement.moldBounds = {measured.bounds.solidBoundsMin, measured.bounds.solidBoundsMax};
  measurement.solidOccurrenceCount = measured.census.solidOccurrenceCount;
  measurement.freeShellOccurrenceCount = measured.census.freeShellCount;

  const PlCadPrepStepMounts mounts =
      ComputePlCadPrepStepMounts(measurement.moldBounds, measurement.targetLinearDeflectionMm);
  CheckPlCadPrepStepMounts(mounts);
  const std::string text = ComposePlCadPrepStepSeatRecord(measurement, mounts);
  WritePlCadPrepStepRecordFile(request.outputPath, text, context,
                               "the seat record could not be written");
}
