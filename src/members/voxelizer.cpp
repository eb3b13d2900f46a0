#include "members/voxelizer.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "members/collision_mesh.h"
#include "members/voxel_coverage.h"

namespace {

// The largest member byte count whose double plus the fixed slack fits in 64 bits.
constexpr std::uint64_t kMaxInputMemberBytes = 9'223'372'036'854'773'759ULL;
constexpr std::uint64_t kInputSlackBytes = 4096;
constexpr std::uint64_t kWorkListEntryBytes = 4;
// Two padded bit sets of one word per 64 cells.
constexpr std::uint64_t kPaddedBitSetPairBytesPerWord = 16;
// The member bytes, the decoded words and the grid's own words during the proof.
constexpr std::uint64_t kEncodeBytesPerWord = 24;

// The lattice range of the vertex bounds, with one empty cell on every side.
PlVoxelPaddedGrid PlanPaddedGrid(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm) {
  PlPoint3 boundsMin{};
  PlPoint3 boundsMax{};
  MeasurePlGeometryBounds(mesh.vertices, boundsMin, boundsMax);
  PlVoxelPaddedGrid grid;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const PlVoxelCellRange range = PlVoxelCellRangeOf(boundsMin[axis], boundsMax[axis], cellSizeMm);
    grid.lo[axis] = range.first;
    grid.hi[axis] = range.last;
    grid.padded[axis] = std::uint64_t{range.count} + 2;
  }
  const std::uint64_t maxCells = kPlRuntimeMeshLimits.maxVoxelCells;
  const std::uint64_t pnx = grid.padded[0];
  const std::uint64_t pny = grid.padded[1];
  const std::uint64_t pnz = grid.padded[2];
  if (pnx > maxCells || pny > maxCells / pnx || pnz > maxCells / (pnx * pny)) {
    throw PlCadPrepError("voxel_cell_limit_exceeded",
                         "padded voxel grid exceeds the runtime cell limit", "voxel");
  }
  return grid;
}

// No triangle range leaves [lo, hi], so a marked shell cell means the grid plan
// and the coverage disagree.
void CheckShell(const std::vector<std::uint64_t>& covered, const PlVoxelPaddedGrid& grid,
                const PlCadPrepOperationContext& context) {
  const std::uint64_t pnx = grid.padded[0];
  const std::uint64_t pny = grid.padded[1];
  const std::uint64_t pnz = grid.padded[2];
  std::uint64_t visited = 0;
  auto covers = [&](std::uint64_t i, std::uint64_t j, std::uint64_t k) {
    if (visited % kVoxelCheckpointCells == 0) CheckpointStage(context, "voxel");
    ++visited;
    return PlVoxelTestBit(covered, ((j * pnz) + k) * pnx + i);
  };
  for (std::uint64_t j = 0; j < pny; ++j) {
    for (std::uint64_t k = 0; k < pnz; ++k) {
      if (covers(0, j, k) || covers(pnx - 1, j, k)) {
        throw PlCadPrepError("invalid_voxel_bounds", "triangle coverage reached the padded x shell",
                             "voxel");
      }
    }
  }
  for (std::uint64_t k = 0; k < pnz; ++k) {
    for (std::uint64_t i = 0; i < pnx; ++i) {
      if (covers(i, 0, k) || covers(i, pny - 1, k)) {
        throw PlCadPrepError("invalid_voxel_bounds", "triangle coverage reached the padded y shell",
                             "voxel");
      }
    }
  }
  for (std::uint64_t j = 0; j < pny; ++j) {
    for (std::uint64_t i = 0; i < pnx; ++i) {
      if (covers(i, j, 0) || covers(i, j, pnz - 1)) {
        throw PlCadPrepError("invalid_voxel_bounds", "triangle coverage reached the padded z shell",
                             "voxel");
      }
    }
  }
}

// Breadth-first flood of the unmarked cells reachable from the padded faces.
// The shell holds no marked cell, so every shell cell is a seed; cells reached
// later are inside the shell and all six of their neighbours exist, which keeps
// bounds checks out of the main loop without changing the exterior set.
void FillExterior(const std::vector<std::uint64_t>& covered, const PlVoxelPaddedGrid& grid,
                  std::vector<std::uint64_t>& exterior, std::vector<std::uint32_t>& workList,
                  const PlCadPrepOperationContext& context) {
  CheckpointStage(context, "voxel");
  const std::uint64_t pnx = grid.padded[0];
  const std::uint64_t pny = grid.padded[1];
  const std::uint64_t pnz = grid.padded[2];
  const std::uint64_t strideZ = pnx;
  const std::uint64_t strideY = pnz * pnx;
  std::size_t tail = 0;
  auto visit = [&](std::uint64_t index) {
    if (!PlVoxelTestBit(covered, index) && !PlVoxelTestBit(exterior, index)) {
      PlVoxelSetBit(exterior, index);
      workList[tail++] = static_cast<std::uint32_t>(index);
    }
  };
  auto at = [&](std::uint64_t i, std::uint64_t j, std::uint64_t k) {
    return ((j * pnz) + k) * pnx + i;
  };
  for (std::uint64_t j = 0; j < pny; ++j) {
    for (std::uint64_t k = 0; k < pnz; ++k) {
      visit(at(0, j, k));
      visit(at(pnx - 1, j, k));
    }
  }
  for (std::uint64_t k = 0; k < pnz; ++k) {
    for (std::uint64_t i = 0; i < pnx; ++i) {
      visit(at(i, 0, k));
      visit(at(i, pny - 1, k));
    }
  }
  for (std::uint64_t j = 0; j < pny; ++j) {
    for (std::uint64_t i = 0; i < pnx; ++i) {
      visit(at(i, j, 0));
      visit(at(i, j, pnz - 1));
    }
  }
  const std::size_t seeds = tail;
  std::size_t head = 0;
  for (; head < tail; ++head) {
    if (head != 0 && head % kVoxelCheckpointCells == 0) CheckpointStage(context, "voxel");
    const std::uint64_t index = workList[head];
    if (head < seeds) {
      const std::uint64_t i = index % pnx;
      const std::uint64_t k = (index / pnx) % pnz;
      const std::uint64_t j = index / strideY;
      if (i > 0) visit(index - 1);
      if (i + 1 < pnx) visit(index + 1);
      if (j > 0) visit(index - strideY);
      if (j + 1 < pny) visit(index + strideY);
      if (k > 0) visit(index - strideZ);
      if (k + 1 < pnz) visit(index + strideZ);
    } else {
      visit(index - 1);
      visit(index + 1);
      visit(index - strideY);
      visit(index + strideY);
      visit(index - strideZ);
      visit(index + strideZ);
    }
  }
}

PlVoxelMember VoxelizeLevel(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                            const PlCadPrepOperationContext& context, std::uint64_t progressBase,
                            std::uint64_t progressTotal, const ProgressCallback& progress) {
  if (cellSizeMm == 0) {
    throw PlCadPrepError("invalid_voxel_bounds", "voxel cell size must be positive", "voxel");
  }
  if (mesh.vertices.empty()) {
    throw PlCadPrepError("voxel_encode_failed", "voxelization produced no occupied cell", "voxel");
  }
  const PlVoxelPaddedGrid padded = PlanPaddedGrid(mesh, cellSizeMm);
  const std::uint64_t pnx = padded.padded[0];
  const std::uint64_t pny = padded.padded[1];
  const std::uint64_t pnz = padded.padded[2];
  const std::array<std::uint32_t, 3> dims = {static_cast<std::uint32_t>(pnx - 2),
                                             static_cast<std::uint32_t>(pny - 2),
                                             static_cast<std::uint32_t>(pnz - 2)};
  // The padded limit keeps every count below here far from overflow.
  const std::uint64_t cells = std::uint64_t{dims[0]} * dims[1] * dims[2];
  const std::uint64_t wordCount = PlVoxelWordCount(cells);
  const std::uint64_t memberBytes = kPlVoxelHeaderBytes + kPlVoxelWordBytes * wordCount;
  const PlCadPrepOutputReservation memberOutput = ReserveOutput(context, memberBytes, "voxel");

  PlVoxelGrid grid;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (padded.lo[axis] < std::numeric_limits<std::int32_t>::min() ||
        padded.lo[axis] > std::numeric_limits<std::int32_t>::max()) {
      throw PlCadPrepError("invalid_voxel_bounds", "voxel origin exceeds i32 limits", "voxel");
    }
    grid.originCell[axis] = static_cast<std::int32_t>(padded.lo[axis]);
  }
  grid.dims = dims;
  grid.distanceErrorMm = mesh.surfaceDeviationMm;
  grid.cellSizeMm = cellSizeMm;

  const std::uint64_t paddedCells = pnx * pny * pnz;
  const std::uint64_t paddedWords = PlVoxelWordCount(paddedCells);
  const PlCadPrepMemoryReservation workMemory =
      ReserveMemory(context,
                    kPaddedBitSetPairBytesPerWord * paddedWords + kPlVoxelWordBytes * wordCount +
                        kWorkListEntryBytes * paddedCells,
                    "voxel");
  {
    std::vector<std::uint64_t> covered(static_cast<std::size_t>(paddedWords), 0);
    CoverPlVoxelTriangles(mesh, cellSizeMm, padded, covered, context, progressBase, progressTotal,
                          progress);
    CheckShell(covered, padded, context);
    if (progress) progress("voxel", progressBase + mesh.triangles.size(), progressTotal);

    std::vector<std::uint64_t> exterior(static_cast<std::size_t>(paddedWords), 0);
    std::vector<std::uint32_t> workList(static_cast<std::size_t>(paddedCells));
    FillExterior(covered, padded, exterior, workList, context);

    grid.words.assign(static_cast<std::size_t>(wordCount), 0);
    std::uint64_t bit = 0;
    for (std::uint64_t j = 0; j < dims[1]; ++j) {
      for (std::uint64_t k = 0; k < dims[2]; ++k) {
        const std::uint64_t row = (((j + 1) * pnz) + (k + 1)) * pnx + 1;
        for (std::uint64_t i = 0; i < dims[0]; ++i, ++bit) {
          if (!PlVoxelTestBit(exterior, row + i)) PlVoxelSetBit(grid.words, bit);
        }
      }
    }
    grid.solid = true;
  }
  if (std::all_of(grid.words.begin(), grid.words.end(), [](std::uint64_t w) { return w == 0; })) {
    throw PlCadPrepError("voxel_encode_failed", "voxelization produced no occupied cell", "voxel");
  }

  const PlCadPrepMemoryReservation encodeMemory =
      ReserveMemory(context, kEncodeBytesPerWord * wordCount + kPlVoxelHeaderBytes, "voxel");
  std::vector<std::uint8_t> bytes = EncodePlVoxelGrid(grid);
  if (bytes.empty()) {
    throw PlCadPrepError("voxel_encode_failed", "runtime voxel encoder rejected the generated grid",
                         "voxel");
  }
  if (bytes.size() != memberBytes) {
    throw PlCadPrepError("voxel_encode_failed", "voxel byte count changed during encoding",
                         "voxel");
  }
  PlVoxelGrid decoded;
  if (!DecodePlVoxelGrid(bytes, cellSizeMm, kPlRuntimeMeshLimits, decoded).Passed()) {
    throw PlCadPrepError("voxel_round_trip_failed",
                         "runtime voxel decoder rejected the generated grid", "voxel");
  }
  if (decoded.originCell != grid.originCell || decoded.dims != grid.dims ||
      decoded.distanceErrorMm != grid.distanceErrorMm || decoded.solid != grid.solid ||
      decoded.words != grid.words) {
    throw PlCadPrepError("voxel_round_trip_failed",
                         "voxel round trip changed dimensions, error, mode, or occupancy", "voxel");
  }
  return PlVoxelMember{std::move(bytes), std::move(decoded)};
}

// `decoded` is null, or what the member's bytes are known to decode to.
PlVoxelLevelMembers VoxelizeLevels(const PlCollisionMeshMember& member,
                                   const PlCadPrepOperationContext& context,
                                   const PlCadPrepMemoryReservation& inputReservation,
                                   const ProgressCallback& progress,
                                   const PlGeometryMesh* decoded) {
  RequireMemoryReservation(context, inputReservation, PlCollisionMeshMemberStorageBytes(member),
                           "voxel");
  const std::uint64_t memberBytes = member.bytes.size();
  if (memberBytes > kMaxInputMemberBytes) {
    throw PlCadPrepError("memory_limit_exceeded", "voxel input memory estimate overflowed",
                         "voxel");
  }
  // The decoded copy of the mesh lives for both levels. A member that comes with
  // its decoded mesh keeps the same reservation, so every limit holds as before.
  const PlCadPrepMemoryReservation inputMemory =
      ReserveMemory(context, 2 * memberBytes + kInputSlackBytes, "voxel");
  PlGeometryMesh ownDecoded;
  const PlGeometryMesh* input = DecodedPlCollisionMesh(member, decoded, ownDecoded);
  if (input == nullptr) {
    throw PlCadPrepError("invalid_mesh_topology",
                         "collision.pmesh bytes fail the voxel input contract", "voxel");
  }
  const PlGeometryMesh& mesh = *input;
  const std::uint64_t triangleCount = mesh.triangles.size();
  const std::uint64_t total = 2 * triangleCount;

  PlVoxelLevelMembers levels;
  levels.search = VoxelizeLevel(mesh, kPlVoxelSearchCellMm, context, 0, total, progress);
  const PlCadPrepMemoryReservation searchMemory =
      ReserveMemory(context, PlVoxelMemberStorageBytes(levels.search), "voxel");
  const PlCadPrepOutputReservation searchOutput =
      ReserveOutput(context, levels.search.bytes.size(), "voxel");
  levels.refine =
      VoxelizeLevel(mesh, kPlVoxelRefineCellMm, context, triangleCount, total, progress);
  const PlCadPrepMemoryReservation refineMemory =
      ReserveMemory(context, PlVoxelMemberStorageBytes(levels.refine), "voxel");
  const PlCadPrepOutputReservation refineOutput =
      ReserveOutput(context, levels.refine.bytes.size(), "voxel");
  if (progress) progress("voxel", total, total);
  return levels;
}

// The voxel stage's allocation boundary, shared by its public entry points.
template <typename Build>
auto WithinVoxelMemory(Build&& build) -> decltype(build()) {
  return WithinMemoryLimit("voxel", "voxel allocation failed within the bounded request",
                           "voxel allocation exceeds the bounded request",
                           std::forward<Build>(build));
}

}  // namespace

std::uint64_t PlVoxelMemberStorageBytes(const PlVoxelMember& member) {
  // Both terms count memory that is actually allocated, so the sum cannot overflow.
  return member.bytes.size() + kPlVoxelWordBytes * member.grid.words.size();
}

PlVoxelMember VoxelizePlCadPrepLevel(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                                     const PlCadPrepOperationContext& context,
                                     std::uint64_t progressBase, std::uint64_t progressTotal,
                                     const ProgressCallback& progress) {
  return WithinVoxelMemory([&] {
    return VoxelizeLevel(mesh, cellSizeMm, context, progressBase, progressTotal, progress);
  });
}

PlVoxelLevelMembers VoxelizePlCadPrepLevels(const PlCollisionMeshMember& member,
                                            const PlCadPrepOperationContext& context,
                                            const PlCadPrepMemoryReservation& inputReservation,
                                            const ProgressCallback& progress) {
  return WithinVoxelMemory(
      [&] { return VoxelizeLevels(member, context, inputReservation, progress, nullptr); });
}

PlVoxelLevelMembers VoxelizePlCadPrepDecodedLevels(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation, const ProgressCallback& progress) {
  return WithinVoxelMemory(
      [&] { return VoxelizeLevels(member, context, inputReservation, progress, &member.mesh); });
}
