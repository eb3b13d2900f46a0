#pragma once
// The runtime collision mesh "collision.pmesh": binary32 vertices and u32
// triangles, little-endian, and the member builder that proves every encoding
// by decoding it again before anything downstream may use it.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "mesh/geometry_mesh.h"

inline constexpr std::array<std::uint8_t, 8> kCollisionMeshMagic = {'P', 'L', 'G', 'M',
                                                                    'S', 'H', '1', 0};
inline constexpr std::uint32_t kCollisionMeshVersion = 1;
// Magic, version, counts, flags, deviation and six bounds.
inline constexpr std::uint64_t kCollisionMeshHeaderBytes = 80;
inline constexpr std::uint64_t kCollisionMeshVertexBytes = 12;
inline constexpr std::uint64_t kCollisionMeshTriangleBytes = 12;
inline constexpr char kCollisionMeshMemberName[] = "collision.pmesh";

// The encoded member together with what it decodes to.
struct PlCollisionMeshMember {
  std::vector<std::uint8_t> bytes;
  // Decoded from `bytes`; `watertight` is the source mesh's flag.
  PlGeometryMesh mesh;
  // How far rounding to binary32 may have moved any vertex.
  double quantizationDeviationMm = 0.0;
  std::string sourceHash;
};

// Empty result when the mesh breaks the runtime mesh contract; otherwise the
// member with vertices rounded to binary32 and bounds measured over them.
std::vector<std::uint8_t> EncodeCollisionMesh(const PlGeometryMesh& mesh);

// The same for a mesh that shares its topology with `proven`, a mesh that has
// passed the runtime contract (see CheckPlRuntimeMeshContract): the topology
// checks are not repeated.
std::vector<std::uint8_t> EncodeCollisionMesh(const PlGeometryMesh& mesh,
                                              const PlGeometryMesh& proven);

// Never throws on bad input (only on allocation failure); a bad or truncated
// member yields a non-zero category, member name "collision.pmesh". The decoded
// mesh is never marked watertight.
[[nodiscard]] PlMemberDiagnostic DecodeCollisionMesh(std::span<const std::uint8_t> bytes,
                                                     const PlRuntimeMeshLimits& limits,
                                                     PlGeometryMesh& out);

// The same, with the contract's topology checks skipped when the decoded mesh
// shares its topology with `proven`, a mesh that has passed the contract under
// `limits`.
[[nodiscard]] PlMemberDiagnostic DecodeCollisionMesh(std::span<const std::uint8_t> bytes,
                                                     const PlRuntimeMeshLimits& limits,
                                                     PlGeometryMesh& out,
                                                     const PlGeometryMesh& proven);

// The member's decoded mesh for a stage that reads it: `known` when the caller
// has it (what the bytes decode to), else a decode of the bytes into `own`. Null
// when the bytes fail the runtime contract.
const PlGeometryMesh* DecodedPlCollisionMesh(const PlCollisionMeshMember& member,
                                             const PlGeometryMesh* known, PlGeometryMesh& own);

// Memory a member occupies as later stages count it: its bytes, 24 bytes per
// decoded vertex, 12 per triangle and its source hash text.
std::uint64_t PlCollisionMeshMemberStorageBytes(const PlCollisionMeshMember& member);

// Encodes the import, proves the round trip and returns the member. The input
// reservation must be this run's and cover the import's mesh and hash. Throws
// PlCadPrepError (stages "mesh" and "validate").
PlCollisionMeshMember BuildPlCadPrepCollisionMeshMember(
    const PlCadPrepTriangleImport& import, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation);
