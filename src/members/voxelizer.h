#pragma once
// The conservative voxelizer: turns a decoded collision mesh into solid occupancy
// grids at the 50 mm search and 30 mm refine levels, each encoded and proven by
// decoding it again. No cell that the closed solid touches is ever left empty.
#include <cstdint>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "members/voxel_member.h"
#include "mesh/geometry_mesh.h"

struct PlCollisionMeshMember;

inline constexpr std::uint32_t kPlVoxelSearchCellMm = 50;
inline constexpr std::uint32_t kPlVoxelRefineCellMm = 30;

// One encoded voxel member and the grid it decodes to.
struct PlVoxelMember {
  std::vector<std::uint8_t> bytes;
  PlVoxelGrid grid;
};

struct PlVoxelLevelMembers {
  PlVoxelMember search;  // 50 mm cells
  PlVoxelMember refine;  // 30 mm cells
};

// Memory a voxel member occupies as the ledger counts it: its bytes and its words.
std::uint64_t PlVoxelMemberStorageBytes(const PlVoxelMember& member);

// Decodes the collision member again and voxelizes it at 50 mm and then 30 mm.
// The input reservation must be this run's and cover the member's storage.
// Progress runs ("voxel", 0 .. 2 * triangles, 2 * triangles). Throws
// PlCadPrepError with stage "voxel".
PlVoxelLevelMembers VoxelizePlCadPrepLevels(const PlCollisionMeshMember& member,
                                            const PlCadPrepOperationContext& context,
                                            const PlCadPrepMemoryReservation& inputReservation,
                                            const ProgressCallback& progress);

// The same for a member whose `mesh` is exactly what its bytes decode to, as the
// collision member builders leave it: that mesh is voxelized instead of a second
// decode, under the same reservations.
PlVoxelLevelMembers VoxelizePlCadPrepDecodedLevels(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation, const ProgressCallback& progress);

// One level of `mesh`, whose coordinates must be exact binary32 values (a decoded
// collision mesh). Reports ("voxel", progressBase + t, progressTotal) every 256
// triangles and once after coverage. Throws PlCadPrepError with stage "voxel".
PlVoxelMember VoxelizePlCadPrepLevel(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                                     const PlCadPrepOperationContext& context,
                                     std::uint64_t progressBase, std::uint64_t progressTotal,
                                     const ProgressCallback& progress);
