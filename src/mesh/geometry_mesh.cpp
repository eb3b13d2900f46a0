#include "mesh/geometry_mesh.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "core/error.h"

namespace {

constexpr std::size_t kMaxDiagnosticChars = 256;
constexpr std::ptrdiff_t kInsertionSortLimit = 32;
constexpr std::size_t kMaxEdgeRunVertices = std::size_t{1} << 31;
constexpr std::size_t kMaxEdgeRunTriangles = 0xFFFFFFFFU / 3;

PlMemberDiagnostic MeshDiagnostic(PlMemberDiagnosticCode code, std::string message) {
  return PlMemberDiagnostic{code, "collision.pmesh", std::move(message)};
}

// A NaN difference is never within, so a NaN bound counts as a mismatch.
bool WithinBoundsTolerance(double measured, double declared) {
  return std::abs(measured - declared) <= kPlMeshBoundsToleranceMm;
}

// Every undirected edge of a mesh with valid triangles used by exactly two triangles.
bool EveryEdgeUsedTwice(const PlGeometryMesh& mesh) {
  const PlMeshEdgeRuns runs = BuildPlMeshEdgeRuns(mesh, {}, 0);
  for (std::size_t lower = 0; lower + 1 < runs.offsets.size(); ++lower) {
    const std::size_t runEnd = runs.offsets[lower + 1];
    for (std::size_t i = runs.offsets[lower]; i < runEnd;) {
      const std::uint32_t higher = runs.entries[i] >> 1;
      std::size_t end = i + 1;
      while (end < runEnd && (runs.entries[end] >> 1) == higher) ++end;
      if (end - i != 2) return false;
      i = end;
    }
  }
  return true;
}

}  // namespace

PlMemberDiagnostic ReadPlMemberOpening(ByteReader& reader, std::span<const std::uint8_t> magic,
                                       std::uint64_t headerBytes, const PlRuntimeMeshLimits& limits,
                                       const char* member,
                                       const PlMemberOpeningMessages& messages) {
  if (reader.Remaining() > limits.maxMemberBytes) {
    return PlMemberDiagnostic{PlMemberDiagnosticCode::limitExceeded, member, messages.oversized};
  }
  if (!reader.Has(magic.size())) {
    return PlMemberDiagnostic{PlMemberDiagnosticCode::badMagic, member, messages.badMagic};
  }
  const std::span<const std::uint8_t> found = reader.Take(magic.size());
  if (!std::equal(found.begin(), found.end(), magic.begin())) {
    return PlMemberDiagnostic{PlMemberDiagnosticCode::badMagic, member, messages.badMagic};
  }
  if (!reader.Has(headerBytes)) {
    return PlMemberDiagnostic{PlMemberDiagnosticCode::truncated, member, messages.truncatedHeader};
  }
  return {};
}

std::string NarrowPlDiagnosticMessage(std::string_view message) {
  std::string narrow(message.substr(0, kMaxDiagnosticChars));
  for (char& c : narrow) {
    if (c < 32 || c > 126) c = '?';
  }
  return narrow;
}

void FoldPlGeometryBounds(std::span<const PlPoint3> vertices, PlPoint3& boundsMin,
                          PlPoint3& boundsMax) {
  // Folded in locals, which the vertices cannot alias, with the selections
  // written as the strict comparisons they are (a NaN never replaces a bound).
  PlPoint3 low = boundsMin;
  PlPoint3 high = boundsMax;
  for (const PlPoint3& p : vertices) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      low[axis] = p[axis] < low[axis] ? p[axis] : low[axis];
      high[axis] = p[axis] > high[axis] ? p[axis] : high[axis];
    }
  }
  boundsMin = low;
  boundsMax = high;
}

void MeasurePlGeometryBounds(std::span<const PlPoint3> vertices, PlPoint3& boundsMin,
                             PlPoint3& boundsMax) {
  PlRequire(!vertices.empty(), "bounds are measured over at least one vertex");
  boundsMin = vertices[0];
  boundsMax = vertices[0];
  FoldPlGeometryBounds(vertices, boundsMin, boundsMax);
}

PlMeshEdgeRuns BuildPlMeshEdgeRuns(const PlGeometryMesh& mesh,
                                   const std::function<void()>& checkpoint,
                                   std::size_t checkpointInterval) {
  const std::size_t vertexCount = mesh.vertices.size();
  PlRequire(vertexCount <= kMaxEdgeRunVertices && mesh.triangles.size() <= kMaxEdgeRunTriangles,
            "edge runs are built only for meshes within the runtime limits");
  PlMeshEdgeRuns runs;
  // A counting sort by lower vertex: count, turn the counts into starts, place.
  runs.offsets.assign(vertexCount + 1, 0);
  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    if (checkpoint && t % checkpointInterval == 0) checkpoint();
    const auto& triangle = mesh.triangles[t];
    // One predictable branch per triangle; it guards the counting writes just below.
    PlRequire(triangle[0] < vertexCount && triangle[1] < vertexCount && triangle[2] < vertexCount,
              "edge runs are built only over in-range triangle indices");
    ++runs.offsets[std::min(triangle[0], triangle[1])];
    ++runs.offsets[std::min(triangle[1], triangle[2])];
    ++runs.offsets[std::min(triangle[2], triangle[0])];
  }
  std::uint32_t start = 0;
  for (std::uint32_t& offset : runs.offsets) {
    const std::uint32_t count = offset;
    offset = start;
    start += count;
  }
  runs.entries.resize(start);
  // Placing advances each start to the start of the next run; shifting the
  // offsets up by one restores them.
  for (const auto& triangle : mesh.triangles) {
    for (std::size_t k = 0; k < 3; ++k) {
      const std::uint32_t from = triangle[k];
      const std::uint32_t to = triangle[(k + 1) % 3];
      const std::uint32_t entry = from < to ? (to << 1) | 1U : from << 1;
      runs.entries[runs.offsets[std::min(from, to)]++] = entry;
    }
  }
  std::copy_backward(runs.offsets.begin(), runs.offsets.end() - 1, runs.offsets.end());
  runs.offsets[0] = 0;
  for (std::size_t lower = 0; lower < vertexCount; ++lower) {
    const auto first = runs.entries.begin() + runs.offsets[lower];
    const auto last = runs.entries.begin() + runs.offsets[lower + 1];
    // A run holds one vertex's few edges, so insertion sort wins unless a
    // vertex is shared by unusually many triangles.
    if (last - first > kInsertionSortLimit) {
      std::sort(first, last);
      continue;
    }
    for (auto it = first; it != last; ++it) {
      const std::uint32_t value = *it;
      auto hole = it;
      for (; hole != first && *(hole - 1) > value; --hole) *hole = *(hole - 1);
      *hole = value;
    }
  }
  return runs;
}

namespace {

// The contract's checks of everything but the topology, in their order.
PlMemberDiagnostic CheckMeshCountsAndVertices(const PlGeometryMesh& mesh,
                                              const PlRuntimeMeshLimits& limits) {
  using Code = PlMemberDiagnosticCode;
  const std::vector<PlPoint3>& vertices = mesh.vertices;
  if (vertices.empty() || mesh.triangles.empty()) {
    return MeshDiagnostic(Code::missingContent, "mesh has no vertices or triangles");
  }
  if (vertices.size() > limits.maxVertices || mesh.triangles.size() > limits.maxTriangles) {
    return MeshDiagnostic(Code::limitExceeded,
                          "mesh exceeds the configured vertex or triangle limit");
  }
  if (!std::isfinite(mesh.surfaceDeviationMm) || mesh.surfaceDeviationMm < 0.0) {
    return MeshDiagnostic(Code::invalidNumber, "mesh surface deviation is invalid");
  }
  // One pass both checks every coordinate and measures the bounds, which are
  // only compared once every coordinate has passed.
  bool coordinatesValid = true;
  PlPoint3 measuredMin = vertices[0];
  PlPoint3 measuredMax = vertices[0];
  for (const PlPoint3& p : vertices) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const double c = p[axis];
      coordinatesValid =
          coordinatesValid && std::isfinite(c) && std::abs(c) <= limits.coordinateLimitMm;
      measuredMin[axis] = c < measuredMin[axis] ? c : measuredMin[axis];
      measuredMax[axis] = c > measuredMax[axis] ? c : measuredMax[axis];
    }
  }
  if (!coordinatesValid) {
    return MeshDiagnostic(Code::invalidNumber,
                          "mesh vertex is non-finite or outside the coordinate limit");
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!WithinBoundsTolerance(measuredMin[axis], mesh.boundsMin[axis]) ||
        !WithinBoundsTolerance(measuredMax[axis], mesh.boundsMax[axis])) {
      return MeshDiagnostic(Code::boundsMismatch, "declared mesh bounds do not match its vertices");
    }
  }
  return MeshDiagnostic(Code::passed, "");
}

// The last checks of the contract: triangle indices, referenced vertices and,
// for a watertight mesh whose edges are not counted yet, its edges.
PlMemberDiagnostic CheckMeshTopology(const PlGeometryMesh& mesh, bool edgesCounted) {
  using Code = PlMemberDiagnosticCode;
  const std::vector<PlPoint3>& vertices = mesh.vertices;
  std::vector<std::uint64_t> referenced((vertices.size() + 63) / 64, 0);
  for (const auto& t : mesh.triangles) {
    if (t[0] >= vertices.size() || t[1] >= vertices.size() || t[2] >= vertices.size() ||
        t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) {
      return MeshDiagnostic(Code::invalidTopology, "mesh contains an invalid triangle index");
    }
    for (const std::uint32_t index : t) {
      referenced[index / 64] |= std::uint64_t{1} << (index % 64);
    }
  }
  const std::size_t fullWords = vertices.size() / 64;
  const std::size_t tailBits = vertices.size() % 64;
  const bool allReferenced =
      std::all_of(referenced.begin(), referenced.begin() + static_cast<std::ptrdiff_t>(fullWords),
                  [](std::uint64_t word) { return word == ~std::uint64_t{0}; }) &&
      (tailBits == 0 || referenced[fullWords] == (std::uint64_t{1} << tailBits) - 1);
  if (!allReferenced) {
    return MeshDiagnostic(Code::invalidTopology, "mesh contains an unreferenced vertex");
  }
  if (mesh.watertight && !edgesCounted && !EveryEdgeUsedTwice(mesh)) {
    return MeshDiagnostic(Code::invalidTopology,
                          "mesh is marked watertight but has a non-manifold boundary edge");
  }
  return MeshDiagnostic(Code::passed, "");
}

}  // namespace

PlMemberDiagnostic CheckPlRuntimeMeshContract(const PlGeometryMesh& mesh,
                                              const PlRuntimeMeshLimits& limits) {
  PlMemberDiagnostic diagnostic = CheckMeshCountsAndVertices(mesh, limits);
  if (!diagnostic.Passed()) return diagnostic;
  return CheckMeshTopology(mesh, false);
}

PlMemberDiagnostic CheckPlRuntimeMeshContractWithCountedEdges(const PlGeometryMesh& mesh,
                                                              const PlRuntimeMeshLimits& limits) {
  PlMemberDiagnostic diagnostic = CheckMeshCountsAndVertices(mesh, limits);
  if (!diagnostic.Passed()) return diagnostic;
  return CheckMeshTopology(mesh, true);
}

PlMemberDiagnostic CheckPlRuntimeMeshContract(const PlGeometryMesh& mesh,
                                              const PlRuntimeMeshLimits& limits,
                                              const PlGeometryMesh& proven) {
  PlMemberDiagnostic diagnostic = CheckMeshCountsAndVertices(mesh, limits);
  if (!diagnostic.Passed()) return diagnostic;
  const bool sharesTopology = mesh.vertices.size() == proven.vertices.size() &&
                              (!mesh.watertight || proven.watertight) &&
                              mesh.triangles == proven.triangles;
  if (sharesTopology) return diagnostic;
  return CheckMeshTopology(mesh, false);
}
