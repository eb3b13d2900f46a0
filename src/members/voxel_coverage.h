#pragma once
// Surface coverage for the voxelizer: exact lattice cells of binary32
// coordinates, and the outward-rounded triangle-cell overlap test that marks
// every cell a triangle may touch. Rounding can only add cells, never drop one.
#include <array>
#include <cstdint>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"

// Cancellation polling of the voxelizer's long loops.
inline constexpr std::uint64_t kVoxelCheckpointTriangles = 256;
inline constexpr std::uint64_t kVoxelCheckpointCells = 2048;

// floor(x / s) of an exact binary32 coordinate x, computed without rounding, and
// whether x lies on a cell boundary (x is a multiple of s).
struct PlVoxelCellIndex {
  std::int64_t index = 0;
  bool onBoundary = false;
};

// The lattice cells [first, last] whose closed boxes touch a closed interval.
struct PlVoxelCellRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::uint32_t count = 0;
};

// Throws "invalid_voxel_bounds" (stage "voxel") for a zero cell size and for a
// coordinate that is non-finite, beyond 100001.0 mm or not an exact binary32.
PlVoxelCellIndex PlVoxelExactCellIndex(double x, std::uint32_t cellSizeMm);

// Throws "invalid_voxel_bounds" for a > b or a bad end, "voxel_cell_limit_exceeded"
// for more than 2^32 - 1 cells.
PlVoxelCellRange PlVoxelCellRangeOf(double a, double b, std::uint32_t cellSizeMm);

// The separating-axis test in outward-rounded interval arithmetic: false only
// when some axis provably separates triangle (a, b, c) from the closed box of
// lattice cell `cell`. Throws "invalid_voxel_bounds" for a zero cell size.
bool PlVoxelTriangleMayOverlapCell(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c,
                                   const std::array<std::int64_t, 3>& cell,
                                   std::uint32_t cellSizeMm);

// The coverage grid of one level: the lattice cells [lo, hi] per axis, with one
// empty shell cell on every side. Padded cell (i, j, k) is bit ((j * pnz) + k) * pnx + i,
// and lattice cell lo + (i, j, k) is padded cell (i + 1, j + 1, k + 1).
struct PlVoxelPaddedGrid {
  std::array<std::int64_t, 3> lo = {0, 0, 0};
  std::array<std::int64_t, 3> hi = {0, 0, 0};
  std::array<std::uint64_t, 3> padded = {0, 0, 0};
};

// Sets in `covered` the padded bit of every cell that some triangle of `mesh` may
// touch. Polls cancellation and reports ("voxel", progressBase + t, progressTotal)
// every 256 triangles, and polls again every 2048 cell tests. Throws
// PlCadPrepError with stage "voxel" for bad coordinates or escaping ranges, and
// std::out_of_range for a triangle index outside the mesh.
void CoverPlVoxelTriangles(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                           const PlVoxelPaddedGrid& grid, std::vector<std::uint64_t>& covered,
                           const PlCadPrepOperationContext& context, std::uint64_t progressBase,
                           std::uint64_t progressTotal, const ProgressCallback& progress);
