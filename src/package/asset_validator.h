#pragma once
// The version 3 asset contract over the in-memory manifest model: identity,
// provenance, the quarter-turn orientation table and its voxel references, the
// collision mesh and voxel grid contracts, and solid occupancy under authority.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "members/voxel_member.h"
#include "mesh/geometry_mesh.h"

// One mounting orientation and the voxel members that serve it.
struct PlCadPrepManifestOrientation {
  std::uint32_t angleMilliDeg = 0;
  std::uint32_t gridAngleMilliDeg = 0;
  std::string search;
  std::string refine;
};

// A named voxel member; the grid is borrowed from its owner, and a missing one
// counts as an empty grid.
struct PlCadPrepManifestVoxelMember {
  std::string name;
  const PlVoxelGrid* grid = nullptr;
};

// What the manifest describes, before it is serialised. Large data (the mesh,
// the grids, the analytic bytes) is borrowed, so the model costs no copies.
struct PlCadPrepManifestModel {
  std::string schema;
  // Empty until the asset identity is computed.
  std::string assetId;
  // Both empty for imported geometry.
  std::string definitionSourceHash;
  std::string shapeDefinitionId;
  std::span<const std::uint8_t> analytic;
  // The collision provenance: its source hash and the decoded collision mesh
  // (triangles, surface deviation, watertight flag); a missing mesh counts as empty.
  std::string sourceHash;
  const PlGeometryMesh* collisionMesh = nullptr;
  std::uint64_t closedComponentCount = 0;
  std::uint64_t openComponentCount = 0;
  bool authoritative = false;
  std::vector<PlCadPrepManifestVoxelMember> voxelMembers;
  std::vector<PlCadPrepManifestOrientation> orientations;
};

// The first violation of the asset contract, or a passed diagnostic. Never
// throws on a bad model; only an allocation failure escapes.
[[nodiscard]] PlMemberDiagnostic ValidatePlCadPrepAsset(const PlCadPrepManifestModel& model,
                                                        const PlRuntimeMeshLimits& limits);

// The same verdict, given `proven`, a mesh that has passed the runtime mesh
// contract under `limits`: a collision mesh that shares its topology has that
// part of the contract taken as proven (see CheckPlRuntimeMeshContract).
[[nodiscard]] PlMemberDiagnostic ValidatePlCadPrepAsset(const PlCadPrepManifestModel& model,
                                                        const PlRuntimeMeshLimits& limits,
                                                        const PlGeometryMesh& proven);

// Whether `name` is a usable voxel reference of `model` at cell size `cellSizeMm`:
// an existing voxel member whose grid meets its contract at that level.
[[nodiscard]] PlMemberDiagnostic CheckPlCadPrepOrientationReference(
    const PlCadPrepManifestModel& model, std::string_view name, std::uint32_t cellSizeMm,
    const PlRuntimeMeshLimits& limits);
