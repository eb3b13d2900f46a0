#pragma once
// Meshes and voxel grids the member and package tests build by hand, and the
// bounded run (request plus operation context) the member builders are called in.
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "context/operation_context.h"
#include "members/voxel_member.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

// A mesh of the given vertices and triangles with its bounds measured.
inline PlGeometryMesh MakeMesh(std::vector<PlPoint3> vertices,
                               std::vector<std::array<std::uint32_t, 3>> triangles,
                               double deviationMm = 0.0) {
  PlGeometryMesh mesh;
  mesh.vertices = std::move(vertices);
  mesh.triangles = std::move(triangles);
  mesh.surfaceDeviationMm = deviationMm;
  MeasurePlGeometryBounds(mesh.vertices, mesh.boundsMin, mesh.boundsMax);
  return mesh;
}

// A closed, outward-wound box of edge `edge` with one corner at `corner`.
inline PlGeometryMesh ClosedBox(const PlPoint3& corner, double edge) {
  std::vector<PlPoint3> vertices;
  for (int k = 0; k < 2; ++k) {
    for (const auto& [i, j] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 1}}) {
      vertices.push_back({corner[0] + edge * i, corner[1] + edge * j, corner[2] + edge * k});
    }
  }
  std::vector<std::array<std::uint32_t, 3>> triangles = {
      {0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
      {3, 7, 6}, {3, 6, 2}, {0, 4, 7}, {0, 7, 3}, {1, 2, 6}, {1, 6, 5}};
  PlGeometryMesh mesh = MakeMesh(std::move(vertices), std::move(triangles));
  mesh.watertight = true;
  return mesh;
}

// ClosedBox as a source import whose hash is "sha256:" and 64 times 'c'.
inline PlCadPrepTriangleImport BoxImport(const PlPoint3& corner, double edge) {
  return {ClosedBox(corner, edge), "sha256:" + std::string(64, 'c')};
}

// An occupied one-cell grid; `originX` tells grids of one level apart.
inline PlVoxelGrid OneCellGrid(std::uint32_t cellSizeMm, std::int32_t originX, bool solid = true) {
  // Cell size, origin cell, dims, distance error, occupancy words, solid.
  return {cellSizeMm, {originX, 0, 0}, {1, 1, 1}, 0.0, {1}, solid};
}

// A request with the given limits and the operation context made from it;
// without `cancel` the run is never cancelled.
struct LimitedRun {
  explicit LimitedRun(std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes,
                      std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes,
                      const PlCadPrepCancellation* cancel = nullptr) {
    request.maxMemoryBytes = maxMemoryBytes;
    request.maxOutputBytes = maxOutputBytes;
    context = MakePlCadPrepOperationContext(request, cancel ? *cancel : cancellation);
  }
  PlCadPrepRequest request;
  NeverCancelled cancellation;
  PlCadPrepOperationContext context;
};
