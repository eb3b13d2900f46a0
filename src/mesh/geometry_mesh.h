#pragma once
// The one triangle mesh every importer produces (millimetres, mount frame),
// the runtime limits, and the runtime mesh contract that finished and decoded
// meshes must meet.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_io.h"

using PlPoint3 = std::array<double, 3>;

struct PlGeometryMesh {
  std::vector<PlPoint3> vertices;
  // Corner indices in source order, so the winding is kept.
  std::vector<std::array<std::uint32_t, 3>> triangles;
  PlPoint3 boundsMin = {0.0, 0.0, 0.0};
  PlPoint3 boundsMax = {0.0, 0.0, 0.0};
  double surfaceDeviationMm = 0.0;
  bool watertight = false;
};

// Bytes one vertex and one triangle of a PlGeometryMesh hold in memory.
inline constexpr std::uint64_t kPlMeshVertexStorageBytes = 24;
inline constexpr std::uint64_t kPlMeshTriangleStorageBytes = 12;

// A finished STL or OBJ import: the mesh and the identity of every source byte.
struct PlCadPrepTriangleImport {
  PlGeometryMesh mesh;
  std::string sourceHash;
};

struct PlRuntimeMeshLimits {
  std::uint32_t maxVertices = 500'000;
  std::uint32_t maxTriangles = 1'000'000;
  std::uint64_t maxVoxelCells = 64'000'000;
  std::uint64_t maxMemberBytes = 268'435'456;
  double coordinateLimitMm = 100001.0;
};

// The standard runtime limits.
inline constexpr PlRuntimeMeshLimits kPlRuntimeMeshLimits{};

// How far declared bounds may lie from the measured ones (inclusive), in millimetres.
inline constexpr double kPlMeshBoundsToleranceMm = 0.0001;

// Categories of a member contract check; 0 means the check passed.
enum class PlMemberDiagnosticCode : std::uint32_t {
  passed = 0,
  badMagic = 1,
  unsupportedVersion = 2,
  missingContent = 3,
  unexpectedContent = 4,
  limitExceeded = 5,
  truncated = 6,
  trailingBytes = 7,
  invalidNumber = 8,
  boundsMismatch = 9,
  invalidTopology = 10,
  voxelGrid = 11,
  orientationTable = 12,
  authority = 13,
  identity = 14,
};

// The non-throwing result of a contract check: category, member checked, message.
struct PlMemberDiagnostic {
  PlMemberDiagnosticCode code = PlMemberDiagnosticCode::passed;
  std::string member;
  std::string message;
  bool Passed() const { return code == PlMemberDiagnosticCode::passed; }
};

// What a member decoder's opening fails with, per failed check.
struct PlMemberOpeningMessages {
  const char* oversized;        // limitExceeded: more than maxMemberBytes
  const char* badMagic;         // badMagic: the magic is missing or differs
  const char* truncatedHeader;  // truncated: fewer than headerBytes follow the magic
};

// The opening every member decoder starts with, in this order: the byte limit,
// the magic, then `headerBytes` present after it. `reader` must stand at the
// start of the member; on success it stands after the magic.
[[nodiscard]] PlMemberDiagnostic ReadPlMemberOpening(
    ByteReader& reader, std::span<const std::uint8_t> magic, std::uint64_t headerBytes,
    const PlRuntimeMeshLimits& limits, const char* member, const PlMemberOpeningMessages& messages);

// A diagnostic message as event text: at most 256 characters, each outside
// 32..126 replaced by "?".
std::string NarrowPlDiagnosticMessage(std::string_view message);

// Folds `vertices` into running bounds with strict comparisons, so of equal
// values (such as -0.0 and +0.0) the one seen first stays.
void FoldPlGeometryBounds(std::span<const PlPoint3> vertices, PlPoint3& boundsMin,
                          PlPoint3& boundsMax);

// Bounds started from vertex 0 and folded over every vertex. `vertices` must not be empty.
void MeasurePlGeometryBounds(std::span<const PlPoint3> vertices, PlPoint3& boundsMin,
                             PlPoint3& boundsMax);

// The directed edges of a mesh with valid triangles, bucketed by their lower
// vertex in linear time: the edges whose lower vertex is v are
// entries[offsets[v] .. offsets[v + 1]), each (higher vertex << 1) | (1 when the
// edge runs from v upwards), ascending. Walking v upwards thus visits the
// undirected edges in ascending (lower, higher) order, equal ones adjacent.
// 32-bit fields suffice: a mesh that fits the hard memory limit has fewer
// than 2^31 vertices and 2^32 / 3 triangles.
struct PlMeshEdgeRuns {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> entries;
};

// `checkpoint`, when set, runs before the first triangle and every
// `checkpointInterval`-th one, so a long count can be stopped.
PlMeshEdgeRuns BuildPlMeshEdgeRuns(const PlGeometryMesh& mesh,
                                   const std::function<void()>& checkpoint,
                                   std::size_t checkpointInterval);

// The runtime mesh contract, first failure wins; member name "collision.pmesh".
// Pure; only an allocation failure (std::bad_alloc) escapes.
[[nodiscard]] PlMemberDiagnostic CheckPlRuntimeMeshContract(const PlGeometryMesh& mesh,
                                                            const PlRuntimeMeshLimits& limits);

// The same verdict for a watertight mesh whose edges the caller has just counted
// (every undirected edge used by exactly two triangles, as a watertight test over
// its edge runs finds): that count is not made again; every other check runs.
[[nodiscard]] PlMemberDiagnostic CheckPlRuntimeMeshContractWithCountedEdges(
    const PlGeometryMesh& mesh, const PlRuntimeMeshLimits& limits);

// The same verdict for a mesh that shares its topology with `proven`, a mesh that
// has passed the contract under the same limits: the same triangles and vertex
// count, and marked watertight only if `proven` is. The topology checks read
// nothing else, so they are not run again; any other mesh gets the full check.
[[nodiscard]] PlMemberDiagnostic CheckPlRuntimeMeshContract(const PlGeometryMesh& mesh,
                                                            const PlRuntimeMeshLimits& limits,
                                                            const PlGeometryMesh& proven);
