#include "members/derived_members.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/checked.h"
#include "core/sha256.h"
#include "members/preview_model.h"

namespace {

constexpr std::uint32_t kQuarterTurnDeg = 90;
constexpr std::uint64_t kLevelsPerAngle = 2;
// Progress units of the collision member and the preview, ahead of the voxel work.
constexpr std::uint64_t kMeshProgressUnits = 2;
constexpr std::string_view kSearchNamePrefix = "search_50mm_";
constexpr std::string_view kRefineNamePrefix = "refine_30mm_";
constexpr std::string_view kVoxelNameSuffix = ".pvox";

void Report(const ProgressCallback& progress, std::string_view stage, std::uint64_t completed,
            std::uint64_t total) {
  if (progress) progress(stage, completed, total);
}

// Forwards the voxelizer's own count as ("voxel", offset + completed, total).
ProgressCallback VoxelProgress(const ProgressCallback& progress, std::uint64_t offset,
                               std::uint64_t total) {
  if (!progress) return {};
  return [&progress, offset, total](std::string_view, std::uint64_t completed, std::uint64_t) {
    progress("voxel", offset + completed, total);
  };
}

// `combine` is CheckedAdd or CheckedMultiply; an overflow fails the estimate at `stage`.
std::uint64_t CombineEstimate(bool (*combine)(std::uint64_t, std::uint64_t, std::uint64_t&),
                              std::uint64_t a, std::uint64_t b, const char* stage) {
  std::uint64_t result = 0;
  if (!combine(a, b, result)) {
    throw PlCadPrepError("memory_limit_exceeded", "derived-member memory estimate overflowed",
                         stage);
  }
  return result;
}

std::uint64_t AddEstimate(std::uint64_t a, std::uint64_t b, const char* stage) {
  return CombineEstimate(CheckedAdd, a, b, stage);
}

std::uint64_t MultiplyEstimate(std::uint64_t a, std::uint64_t b, const char* stage) {
  return CombineEstimate(CheckedMultiply, a, b, stage);
}

std::uint64_t ImportStorageBytes(const PlCadPrepTriangleImport& import) {
  return AddEstimate(
      AddEstimate(
          MultiplyEstimate(import.mesh.vertices.size(), kPlMeshVertexStorageBytes, "mesh"),
          MultiplyEstimate(import.mesh.triangles.size(), kPlMeshTriangleStorageBytes, "mesh"),
          "mesh"),
      import.sourceHash.size(), "mesh");
}

// Every voxel member of the job, base pair first, then the baked pairs in order.
template <typename Fn>
void ForEachVoxelMember(const PlCadPrepDerivedMembers& members, Fn&& fn) {
  fn(members.baseSearch);
  fn(members.baseRefine);
  for (const PlCadPrepBakedVoxelMembers& entry : members.baked) {
    fn(entry.search);
    fn(entry.refine);
  }
}

std::uint64_t VoxelStorageBytes(const PlCadPrepDerivedMembers& members) {
  std::uint64_t sum = 0;
  ForEachVoxelMember(members, [&sum](const PlVoxelMember& member) {
    sum = AddEstimate(sum, PlVoxelMemberStorageBytes(member), "voxel");
  });
  return sum;
}

std::uint64_t VoxelOutputBytes(const PlCadPrepDerivedMembers& members) {
  std::uint64_t sum = 0;
  ForEachVoxelMember(members, [&sum](const PlVoxelMember& member) {
    sum = AddEstimate(sum, member.bytes.size(), "voxel");
  });
  return sum;
}

bool ValidBakedPair(const PlCadPrepBakedVoxelMembers& entry) {
  return entry.angleDeg >= 1 && entry.angleDeg < kQuarterTurnDeg && !entry.search.bytes.empty() &&
         !entry.refine.bytes.empty() && entry.search.grid.cellSizeMm == kPlVoxelSearchCellMm &&
         entry.refine.grid.cellSizeMm == kPlVoxelRefineCellMm &&
         entry.search.grid.solid == entry.refine.grid.solid;
}

// The members must agree with each other before anything is published.
void CheckConsistency(const PlCadPrepDerivedMembers& members) {
  if (members.collision.bytes.empty() || members.preview.empty() ||
      members.baseSearch.bytes.empty() || members.baseRefine.bytes.empty()) {
    throw PlCadPrepError("derived_member_empty", "a derived geometry member is empty", "voxel");
  }
  const PlVoxelGrid& search = members.baseSearch.grid;
  const PlVoxelGrid& refine = members.baseRefine.grid;
  if (search.cellSizeMm != kPlVoxelSearchCellMm || refine.cellSizeMm != kPlVoxelRefineCellMm) {
    throw PlCadPrepError("derived_member_mismatch", "voxel member cell sizes changed", "voxel");
  }
  const double deviation = members.collision.mesh.surfaceDeviationMm;
  if (search.distanceErrorMm != deviation || refine.distanceErrorMm != deviation) {
    throw PlCadPrepError("derived_member_mismatch",
                         "voxel deviation differs from the collision member", "voxel");
  }
  if (search.solid != refine.solid) {
    throw PlCadPrepError("derived_member_mismatch", "voxel members disagree on solid occupancy",
                         "voxel");
  }
  if (!std::all_of(members.baked.begin(), members.baked.end(), ValidBakedPair)) {
    throw PlCadPrepError("derived_member_mismatch", "baked-angle voxel member pair is invalid",
                         "voxel");
  }
}

// `proven` is null, or a mesh that has passed the runtime contract with the
// member's topology, so the rotated mesh's topology need not be proven again.
PlCollisionMeshMember RotateMember(const PlCollisionMeshMember& member, std::uint32_t angleDeg,
                                   const PlGeometryMesh* proven) {
  const double pi = std::acos(-1.0);
  const double theta = (pi * static_cast<double>(angleDeg)) / 180.0;
  const double c = std::cos(theta);
  const double s = std::sin(theta);

  PlGeometryMesh mesh;
  mesh.triangles = member.mesh.triangles;
  mesh.watertight = member.mesh.watertight;
  mesh.vertices.reserve(member.mesh.vertices.size());
  double largestError = 0.0;
  for (const PlPoint3& vertex : member.mesh.vertices) {
    const double x = vertex[0];
    const double y = vertex[1];
    const double z = vertex[2];
    const double turnedX = (z * s) + (x * c);
    const double turnedZ = (z * c) - (x * s);
    // Decoded coordinates are within the runtime limit, so a turned one stays
    // far inside the binary32 range.
    const double roundedX = static_cast<double>(static_cast<float>(turnedX));
    const double roundedY = static_cast<double>(static_cast<float>(y));
    const double roundedZ = static_cast<double>(static_cast<float>(turnedZ));
    const double dx = roundedX - turnedX;
    const double dy = roundedY - y;
    const double dz = roundedZ - turnedZ;
    const double error = std::sqrt(((dy * dy) + (dx * dx)) + (dz * dz));
    largestError = std::max(largestError, error);
    mesh.vertices.push_back({roundedX, roundedY, roundedZ});
  }
  MeasurePlGeometryBounds(mesh.vertices, mesh.boundsMin, mesh.boundsMax);
  mesh.surfaceDeviationMm = member.mesh.surfaceDeviationMm + largestError;

  std::vector<std::uint8_t> bytes =
      proven != nullptr ? EncodeCollisionMesh(mesh, *proven) : EncodeCollisionMesh(mesh);
  if (bytes.empty()) {
    throw PlCadPrepError("voxel_encode_failed", "rotated collision mesh could not be encoded",
                         "voxel");
  }
  PlGeometryMesh decoded;
  const PlMemberDiagnostic roundTrip =
      proven != nullptr ? DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, decoded, *proven)
                        : DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, decoded);
  if (!roundTrip.Passed()) {
    throw PlCadPrepError("voxel_round_trip_failed",
                         "rotated collision mesh failed its native round trip", "voxel");
  }
  decoded.watertight = mesh.watertight;
  return PlCollisionMeshMember{std::move(bytes), std::move(decoded),
                               largestError + member.quantizationDeviationMm, member.sourceHash};
}

PlCollisionMeshMember RotateWithinVoxelMemory(const PlCollisionMeshMember& member,
                                              std::uint32_t angleDeg,
                                              const PlGeometryMesh* proven) {
  return WithinMemoryLimit("voxel", "voxel allocation failed within the bounded request",
                           "voxel allocation exceeds the bounded request",
                           [&] { return RotateMember(member, angleDeg, proven); });
}

PlCadPrepDerivedMembers BuildMembers(const PlCadPrepTriangleImport& import,
                                     const PlCadPrepRequest& request,
                                     const PlCadPrepOperationContext& context,
                                     const ProgressCallback& progress,
                                     std::vector<std::uint8_t>& analyticBytes,
                                     PlCadPrepMemoryReservation& analyticReservation,
                                     const char*& stage) {
  if (!RequestLimitsMatchContext(request, context)) {
    throw PlCadPrepError("invalid_limits",
                         "derived-member request and operation-context limits disagree", "mesh");
  }
  CheckpointStage(context, "mesh");

  const std::uint64_t ledgerBase = context.ledger->outputReserved;
  const PlCadPrepMemoryReservation importMemory =
      ReserveMemory(context, ImportStorageBytes(import), "mesh");

  const std::vector<std::uint32_t> baseAngles = PlCadPrepBaseAngles(request.allowedOrientationsDeg);
  const std::uint64_t triangleCount = import.mesh.triangles.size();
  const std::uint64_t levelProgress = MultiplyEstimate(kLevelsPerAngle, triangleCount, "mesh");
  const std::uint64_t total = AddEstimate(
      MultiplyEstimate(baseAngles.size(), levelProgress, "mesh"), kMeshProgressUnits, "mesh");
  Report(progress, "mesh", 0, total);

  PlCadPrepDerivedMembers members;
  if (analyticBytes.empty()) {
    // A zero-byte reservation of this run, so later stage checks accept it.
    members.analyticMemory = ReserveMemory(context, 0, "mesh");
  } else {
    RequireMemoryReservation(context, analyticReservation, analyticBytes.size(), "mesh");
    members.analyticMemory = std::move(analyticReservation);
  }
  members.analyticOutput = ReserveOutput(context, analyticBytes.size(), "mesh");
  members.analytic = std::move(analyticBytes);

  members.collision = BuildPlCadPrepCollisionMeshMember(import, context, importMemory);
  members.collisionMemory =
      ReserveMemory(context, PlCollisionMeshMemberStorageBytes(members.collision), "mesh");
  members.collisionOutput = ReserveOutput(context, members.collision.bytes.size(), "mesh");
  Report(progress, "mesh", 1, total);

  members.preview =
      BuildPlCadPrepDecodedPreviewModel(members.collision, context, members.collisionMemory);
  members.previewMemory = ReserveMemory(context, members.preview.size(), "mesh");
  members.previewOutput = ReserveOutput(context, members.preview.size(), "mesh");
  Report(progress, "mesh", 2, total);

  stage = "voxel";
  // The members built here carry their decoded meshes, which the voxelizer and
  // the rotations take as they are.
  PlVoxelLevelMembers base =
      VoxelizePlCadPrepDecodedLevels(members.collision, context, members.collisionMemory,
                                     VoxelProgress(progress, kMeshProgressUnits, total));
  members.baseSearch = std::move(base.search);
  members.baseRefine = std::move(base.refine);

  members.baked.reserve(baseAngles.empty() ? 0 : baseAngles.size() - 1);
  for (std::size_t k = 1; k < baseAngles.size(); ++k) {
    const std::uint32_t angle = baseAngles[k];
    const PlCollisionMeshMember rotated =
        RotateWithinVoxelMemory(members.collision, angle, &members.collision.mesh);
    const PlCadPrepMemoryReservation rotatedMemory =
        ReserveMemory(context, PlCollisionMeshMemberStorageBytes(rotated), "voxel");
    // k * 2T stays below total, which was computed without overflow.
    PlVoxelLevelMembers levels = VoxelizePlCadPrepDecodedLevels(
        rotated, context, rotatedMemory,
        VoxelProgress(progress, kMeshProgressUnits + k * levelProgress, total));
    const double deviation = rotated.mesh.surfaceDeviationMm;
    if (levels.search.grid.distanceErrorMm != deviation ||
        levels.refine.grid.distanceErrorMm != deviation) {
      throw PlCadPrepError("derived_member_mismatch",
                           "baked-angle voxel deviation differs from its rotated collision mesh",
                           "voxel");
    }
    // The rotated mesh is dropped with this iteration; only its grids stay.
    members.baked.push_back(
        PlCadPrepBakedVoxelMembers{angle, std::move(levels.search), std::move(levels.refine)});
  }

  members.voxelMemory = ReserveMemory(context, VoxelStorageBytes(members), "voxel");
  members.voxelOutput = ReserveOutput(context, VoxelOutputBytes(members), "voxel");

  CheckConsistency(members);

  std::uint64_t expectedOutput = AddEstimate(ledgerBase, members.collision.bytes.size(), "voxel");
  expectedOutput = AddEstimate(expectedOutput, members.analytic.size(), "voxel");
  expectedOutput = AddEstimate(expectedOutput, members.preview.size(), "voxel");
  expectedOutput = AddEstimate(expectedOutput, VoxelOutputBytes(members), "voxel");
  if (expectedOutput != context.ledger->outputReserved) {
    throw PlCadPrepError("derived_member_mismatch",
                         "derived-member output ledger differs from exact member bytes", "voxel");
  }

  Report(progress, "voxel", total, total);
  return members;
}

}  // namespace

std::vector<std::uint32_t> PlCadPrepBaseAngles(const std::vector<std::uint32_t>& orientationsDeg) {
  std::vector<std::uint32_t> angles;
  angles.reserve(orientationsDeg.size());
  for (const std::uint32_t angle : orientationsDeg) angles.push_back(angle % kQuarterTurnDeg);
  std::sort(angles.begin(), angles.end());
  angles.erase(std::unique(angles.begin(), angles.end()), angles.end());
  return angles;
}

PlCollisionMeshMember RotatePlCadPrepCollisionMember(const PlCollisionMeshMember& member,
                                                     std::uint32_t angleDeg) {
  return RotateWithinVoxelMemory(member, angleDeg, nullptr);
}

PlCadPrepDerivedMembers BuildPlCadPrepDerivedMembers(
    const PlCadPrepTriangleImport& import, const PlCadPrepRequest& request,
    const PlCadPrepOperationContext& context, const ProgressCallback& progress,
    std::vector<std::uint8_t> analyticBytes, PlCadPrepMemoryReservation analyticReservation) {
  // The member builders map their own allocation failures; what reaches here
  // is this builder's bookkeeping, reported under the phase it belongs to.
  const char* stage = "mesh";
  try {
    return BuildMembers(import, request, context, progress, analyticBytes, analyticReservation,
                        stage);
  } catch (const std::bad_alloc&) {
    if (std::string_view(stage) == "mesh") {
      throw PlCadPrepError("memory_limit_exceeded",
                           "collision mesh allocation failed within the bounded request", "mesh");
    }
    throw PlCadPrepError("memory_limit_exceeded",
                         "voxel allocation failed within the bounded request", "voxel");
  } catch (const std::length_error&) {
    if (std::string_view(stage) == "mesh") {
      throw PlCadPrepError("memory_limit_exceeded",
                           "collision mesh allocation exceeds the bounded request", "mesh");
    }
    throw PlCadPrepError("memory_limit_exceeded", "voxel allocation exceeds the bounded request",
                         "voxel");
  }
}

std::string PlCadPrepVoxelMemberName(const PlVoxelGrid& grid) {
  std::string_view prefix;
  if (grid.cellSizeMm == kPlVoxelSearchCellMm) {
    prefix = kSearchNamePrefix;
  } else if (grid.cellSizeMm == kPlVoxelRefineCellMm) {
    prefix = kRefineNamePrefix;
  } else {
    return {};
  }
  const std::vector<std::uint8_t> bytes = EncodePlVoxelGrid(grid);
  if (bytes.empty()) return {};
  const std::string identity = Sha256Identity(bytes);
  std::string name(prefix);
  name.append(identity, kSha256IdentityPrefix.size());
  name += kVoxelNameSuffix;
  return name;
}

std::vector<PlCadPrepVoxelNames> PlCadPrepVoxelNameList(const PlCadPrepDerivedMembers& members) {
  std::vector<PlCadPrepVoxelNames> names;
  names.reserve(members.baked.size() + 1);
  names.push_back(PlCadPrepVoxelNames{0, PlCadPrepVoxelMemberName(members.baseSearch.grid),
                                      PlCadPrepVoxelMemberName(members.baseRefine.grid)});
  for (const PlCadPrepBakedVoxelMembers& entry : members.baked) {
    names.push_back(PlCadPrepVoxelNames{entry.angleDeg, PlCadPrepVoxelMemberName(entry.search.grid),
                                        PlCadPrepVoxelMemberName(entry.refine.grid)});
  }
  return names;
}

void RequirePlCadPrepDerivedMemberReservations(const PlCadPrepOperationContext& context,
                                               const PlCadPrepDerivedMembers& members,
                                               std::string_view stage) {
  RequireMemoryReservation(context, members.collisionMemory,
                           PlCollisionMeshMemberStorageBytes(members.collision), stage);
  RequireMemoryReservation(context, members.analyticMemory, members.analytic.size(), stage);
  RequireMemoryReservation(context, members.voxelMemory, VoxelStorageBytes(members), stage);
  RequireMemoryReservation(context, members.previewMemory, members.preview.size(), stage);
  RequireOutputReservation(context, members.collisionOutput, members.collision.bytes.size(), stage);
  RequireOutputReservation(context, members.analyticOutput, members.analytic.size(), stage);
  RequireOutputReservation(context, members.voxelOutput, VoxelOutputBytes(members), stage);
  RequireOutputReservation(context, members.previewOutput, members.preview.size(), stage);
}
