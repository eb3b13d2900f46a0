#pragma once
// Every runtime member a package carries besides the manifest, derived from one
// imported mesh: the collision mesh, the preview, and the content-named voxel
// grids of the unrotated mesh and of each baked angle, each held together with
// the reservations that cover it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "members/collision_mesh.h"
#include "members/voxelizer.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

// The grids of one baked base angle; its quarter turns reuse them.
struct PlCadPrepBakedVoxelMembers {
  std::uint32_t angleDeg = 0;  // 1 ... 89
  PlVoxelMember search;
  PlVoxelMember refine;
};

struct PlCadPrepDerivedMembers {
  // Memory held for the collision member, the preview, all voxel members
  // together and the analytic bytes; then output for the same four.
  PlCadPrepMemoryReservation collisionMemory;
  PlCadPrepMemoryReservation previewMemory;
  PlCadPrepMemoryReservation voxelMemory;
  PlCadPrepMemoryReservation analyticMemory;
  PlCadPrepOutputReservation collisionOutput;
  PlCadPrepOutputReservation previewOutput;
  PlCadPrepOutputReservation voxelOutput;
  PlCadPrepOutputReservation analyticOutput;
  PlCollisionMeshMember collision;
  std::vector<std::uint8_t> preview;
  // Empty for imported sources.
  std::vector<std::uint8_t> analytic;
  // Built from the unrotated collision mesh; they serve angle 0 and its quarter turns.
  PlVoxelMember baseSearch;
  PlVoxelMember baseRefine;
  // Ascending by angle.
  std::vector<PlCadPrepBakedVoxelMembers> baked;
};

// The member names of the grids that serve one base angle.
struct PlCadPrepVoxelNames {
  std::uint32_t angleDeg = 0;
  std::string search;
  std::string refine;
};

// Each orientation reduced modulo a quarter turn, distinct and ascending. A
// validated request yields 0 first; every further entry is a baked angle.
std::vector<std::uint32_t> PlCadPrepBaseAngles(const std::vector<std::uint32_t>& orientationsDeg);

// The collision member's decoded mesh turned by `angleDeg` about the y axis,
// rounded to binary32, encoded and decoded again; its deviation grows by the
// largest rounding move. Throws PlCadPrepError (stage "voxel").
PlCollisionMeshMember RotatePlCadPrepCollisionMember(const PlCollisionMeshMember& member,
                                                     std::uint32_t angleDeg);

// Builds every derived member, reports ("mesh" | "voxel", completed, total)
// over the whole job, and proves that the output ledger grew by exactly the
// member bytes. `analyticReservation` must cover non-empty analytic bytes.
// Throws PlCadPrepError.
PlCadPrepDerivedMembers BuildPlCadPrepDerivedMembers(
    const PlCadPrepTriangleImport& import, const PlCadPrepRequest& request,
    const PlCadPrepOperationContext& context, const ProgressCallback& progress,
    std::vector<std::uint8_t> analyticBytes, PlCadPrepMemoryReservation analyticReservation);

// "search_50mm_" or "refine_30mm_" + the SHA-256 hex of the grid's encoding +
// ".pvox"; empty for any other cell size or a grid that does not encode.
std::string PlCadPrepVoxelMemberName(const PlVoxelGrid& grid);

// Angle 0 with the base pair's names, then each baked angle in order.
std::vector<PlCadPrepVoxelNames> PlCadPrepVoxelNameList(const PlCadPrepDerivedMembers& members);

// Later stages check that the members still hold reservations of this run that
// cover them; throws "invalid_resource_reservation" under `stage`.
void RequirePlCadPrepDerivedMemberReservations(const PlCadPrepOperationContext& context,
                                               const PlCadPrepDerivedMembers& members,
                                               std::string_view stage);
