#include "members/collision_mesh.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/error.h"
#include "core/sha256.h"

namespace {

// The largest counts whose byte sizes 24·V and 12·T still fit in 64 bits.
constexpr std::uint64_t kMaxByteCountedVertices = 768'614'336'404'564'650;
constexpr std::uint64_t kMaxByteCountedTriangles = 1'537'228'672'809'129'301;
constexpr std::size_t kCheckpointVertices = 2048;
constexpr std::size_t kBoundsBytes = 56;
constexpr std::size_t kCountsBytes = 16;
// The largest finite binary32, as a double.
constexpr double kMaxBinary32 = 3.4028234663852886e38;

PlMemberDiagnostic Fail(PlMemberDiagnosticCode code, const char* message) {
  return PlMemberDiagnostic{code, kCollisionMeshMemberName, message};
}

double RoundToBinary32(double v) { return static_cast<double>(static_cast<float>(v)); }

// The next larger double of a finite value. Stepping the bit pattern keeps the
// bound exact and independent of the rounding mode.
double NextLargerDouble(double v) {
  if (v == 0.0) return std::bit_cast<double>(std::uint64_t{1});
  const auto bits = std::bit_cast<std::uint64_t>(v);
  return std::bit_cast<double>(v > 0.0 ? bits + 1 : bits - 1);
}

[[noreturn]] void ThrowByteCountOverflow() {
  throw PlCadPrepError("memory_limit_exceeded", "mesh byte count overflowed", "mesh");
}

std::uint64_t AddBytes(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (!CheckedAdd(a, b, sum)) ThrowByteCountOverflow();
  return sum;
}

std::uint64_t MultiplyBytes(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (!CheckedMultiply(a, b, product)) ThrowByteCountOverflow();
  return product;
}

// Per-axis extremes of the vertices after rounding to binary32, folded from
// vertex 0 with strict comparisons like every other bounds measurement.
void MeasureRoundedBounds(const std::vector<PlPoint3>& vertices, PlPoint3& boundsMin,
                          PlPoint3& boundsMax) {
  for (int axis = 0; axis < 3; ++axis) {
    boundsMin[axis] = RoundToBinary32(vertices[0][axis]);
    boundsMax[axis] = boundsMin[axis];
  }
  for (const PlPoint3& vertex : vertices) {
    for (int axis = 0; axis < 3; ++axis) {
      const double v = RoundToBinary32(vertex[axis]);
      if (v < boundsMin[axis]) boundsMin[axis] = v;
      if (v > boundsMax[axis]) boundsMax[axis] = v;
    }
  }
}

// The bound on the distance any vertex moves when rounded to binary32. Each
// sum is stepped up once so that the bound never falls below the exact one.
double QuantizationBound(const PlGeometryMesh& mesh, const PlCadPrepOperationContext& context) {
  double q = 0.0;
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    if (i % kCheckpointVertices == 0) CheckpointStage(context, "mesh");
    const PlPoint3& vertex = mesh.vertices[i];
    if (std::fabs(vertex[0]) > kMaxBinary32 || std::fabs(vertex[1]) > kMaxBinary32 ||
        std::fabs(vertex[2]) > kMaxBinary32) {
      throw PlCadPrepError("invalid_number", "mesh coordinate exceeds the f32 encoding range",
                           "mesh");
    }
    const double ex = std::fabs(vertex[0] - RoundToBinary32(vertex[0]));
    const double ey = std::fabs(vertex[1] - RoundToBinary32(vertex[1]));
    const double ez = std::fabs(vertex[2] - RoundToBinary32(vertex[2]));
    double s = ex + ey;
    if (ey > 0.0 && std::isfinite(s)) s = NextLargerDouble(s);
    s = ez + s;
    if (ez > 0.0 && std::isfinite(s)) s = NextLargerDouble(s);
    q = std::max(q, s);
  }
  if (!std::isfinite(q)) {
    throw PlCadPrepError("invalid_number", "float quantization deviation is non-finite", "mesh");
  }
  return q;
}

// The decoded mesh must be exactly the rounded source: same counts, indices
// and deviation, the rounded coordinates, bounds that are their exact extremes,
// and the source's validated topology.
void CompareRoundTrip(const PlGeometryMesh& source, double combinedDeviation,
                      PlGeometryMesh& decoded, const PlCadPrepOperationContext& context) {
  if (decoded.vertices.size() != source.vertices.size() ||
      decoded.triangles.size() != source.triangles.size() ||
      decoded.triangles != source.triangles || decoded.surfaceDeviationMm != combinedDeviation) {
    throw PlCadPrepError("mesh_round_trip_mismatch",
                         "collision mesh round trip changed counts, indices, or deviation",
                         "validate");
  }

  PlPoint3 roundedMin{};
  PlPoint3 roundedMax{};
  MeasureRoundedBounds(source.vertices, roundedMin, roundedMax);
  // Judged only after every coordinate has matched, so a coordinate mismatch is
  // reported as such even when it also breaks the bounds.
  bool outsideDeclaredBounds = false;
  for (std::size_t i = 0; i < decoded.vertices.size(); ++i) {
    if (i % kCheckpointVertices == 0) CheckpointStage(context, "validate");
    const PlPoint3& got = decoded.vertices[i];
    const PlPoint3& want = source.vertices[i];
    for (int axis = 0; axis < 3; ++axis) {
      if (got[axis] != RoundToBinary32(want[axis])) {
        throw PlCadPrepError("mesh_round_trip_mismatch",
                             "collision mesh round trip changed encoded vertex coordinates",
                             "validate");
      }
      if (got[axis] < decoded.boundsMin[axis] || got[axis] > decoded.boundsMax[axis]) {
        outsideDeclaredBounds = true;
      }
    }
  }
  if (decoded.boundsMin != roundedMin || decoded.boundsMax != roundedMax || outsideDeclaredBounds) {
    throw PlCadPrepError("mesh_round_trip_mismatch",
                         "collision mesh bounds do not exactly cover the encoded vertices",
                         "validate");
  }

  decoded.watertight = source.watertight;
  // The source has passed the contract; a decoded mesh with its topology need not
  // have that part proven again.
  if (!CheckPlRuntimeMeshContract(decoded, kPlRuntimeMeshLimits, source).Passed()) {
    throw PlCadPrepError("mesh_round_trip_mismatch",
                         "decoded collision mesh changed validated topology", "validate");
  }
}

// The member bytes of a mesh that has passed the runtime contract, carrying
// `deviationMm`, a valid surface deviation.
std::vector<std::uint8_t> EncodeCheckedMesh(const PlGeometryMesh& mesh, double deviationMm) {
  // The contract bounds both counts far below 2^32, so these sizes cannot overflow.
  const auto vertexCount = static_cast<std::uint32_t>(mesh.vertices.size());
  const auto triangleCount = static_cast<std::uint32_t>(mesh.triangles.size());
  const std::uint64_t size = kCollisionMeshHeaderBytes + kCollisionMeshVertexBytes * vertexCount +
                             kCollisionMeshTriangleBytes * triangleCount;

  PlPoint3 boundsMin{};
  PlPoint3 boundsMax{};
  MeasureRoundedBounds(mesh.vertices, boundsMin, boundsMax);

  ByteWriter writer(static_cast<std::size_t>(size));
  writer.Bytes(kCollisionMeshMagic);
  writer.U32(kCollisionMeshVersion);
  writer.U32(vertexCount);
  writer.U32(triangleCount);
  writer.U32(0);
  writer.F64(deviationMm);
  for (const double v : boundsMin) writer.F64(v);
  for (const double v : boundsMax) writer.F64(v);
  // The two sections are written in bulk, four bytes per value.
  std::uint8_t* out = writer.Append(kCollisionMeshVertexBytes * vertexCount).data();
  for (const PlPoint3& vertex : mesh.vertices) {
    for (const double v : vertex) {
      StoreLe32(out, std::bit_cast<std::uint32_t>(static_cast<float>(v)));
      out += 4;
    }
  }
  out = writer.Append(kCollisionMeshTriangleBytes * triangleCount).data();
  for (const auto& triangle : mesh.triangles) {
    for (const std::uint32_t index : triangle) {
      StoreLe32(out, index);
      out += 4;
    }
  }
  PlRequire(writer.bytes.size() == size, "the collision mesh is exactly its computed size");
  return std::move(writer.bytes);
}

// Everything of the decoder but the final contract check.
PlMemberDiagnostic DecodeSections(std::span<const std::uint8_t> bytes,
                                  const PlRuntimeMeshLimits& limits, PlGeometryMesh& out) {
  out = PlGeometryMesh{};
  ByteReader reader(bytes);
  PlMemberDiagnostic opening = ReadPlMemberOpening(
      reader, kCollisionMeshMagic, kCountsBytes, limits, kCollisionMeshMemberName,
      {"mesh member exceeds the configured byte limit", "mesh magic is invalid or truncated",
       "mesh header is truncated"});
  if (!opening.Passed()) return opening;
  const std::uint32_t version = reader.U32();
  const std::uint32_t vertexCount = reader.U32();
  const std::uint32_t triangleCount = reader.U32();
  const std::uint32_t flags = reader.U32();
  if (version != kCollisionMeshVersion || flags != 0) {
    return Fail(PlMemberDiagnosticCode::unsupportedVersion,
                "mesh version or reserved flags are unsupported");
  }
  if (vertexCount > limits.maxVertices || triangleCount > limits.maxTriangles) {
    return Fail(PlMemberDiagnosticCode::limitExceeded, "mesh count exceeds the configured limit");
  }
  if (!reader.Has(kBoundsBytes)) {
    return Fail(PlMemberDiagnosticCode::truncated, "mesh bounds are truncated");
  }
  out.surfaceDeviationMm = reader.F64();
  for (double& v : out.boundsMin) v = reader.F64();
  for (double& v : out.boundsMax) v = reader.F64();

  // Both counts are u32, so these section sizes fit in 64 bits.
  if (!reader.Has(kCollisionMeshVertexBytes * vertexCount)) {
    return Fail(PlMemberDiagnosticCode::truncated, "mesh vertex data is truncated");
  }
  out.vertices.resize(vertexCount);
  const std::uint8_t* in = reader.Take(kCollisionMeshVertexBytes * vertexCount).data();
  for (PlPoint3& vertex : out.vertices) {
    for (double& v : vertex) {
      v = static_cast<double>(std::bit_cast<float>(LoadLe32(in)));
      in += 4;
    }
  }
  if (!reader.Has(kCollisionMeshTriangleBytes * triangleCount)) {
    return Fail(PlMemberDiagnosticCode::truncated, "mesh triangle data is truncated");
  }
  out.triangles.resize(triangleCount);
  in = reader.Take(kCollisionMeshTriangleBytes * triangleCount).data();
  for (auto& triangle : out.triangles) {
    for (std::uint32_t& index : triangle) {
      index = LoadLe32(in);
      in += 4;
    }
  }
  if (!reader.AtEnd()) {
    return Fail(PlMemberDiagnosticCode::trailingBytes, "mesh contains trailing bytes");
  }
  return {};
}

PlCollisionMeshMember BuildMember(const PlCadPrepTriangleImport& import,
                                  const PlCadPrepOperationContext& context,
                                  const PlCadPrepMemoryReservation& inputReservation) {
  const PlGeometryMesh& source = import.mesh;
  const std::uint64_t vertexCount = source.vertices.size();
  const std::uint64_t triangleCount = source.triangles.size();
  if (vertexCount > kMaxByteCountedVertices || triangleCount > kMaxByteCountedTriangles) {
    ThrowByteCountOverflow();
  }
  const std::uint64_t meshBytes = AddBytes(vertexCount * kPlMeshVertexStorageBytes,
                                           triangleCount * kPlMeshTriangleStorageBytes);

  RequireMemoryReservation(context, inputReservation, AddBytes(meshBytes, import.sourceHash.size()),
                           "mesh");

  if (!IsCanonicalSha256Identity(import.sourceHash)) {
    throw PlCadPrepError("invalid_source_hash", "source hash must be a canonical SHA-256 identity",
                         "validate");
  }
  if (!CheckPlRuntimeMeshContract(source, kPlRuntimeMeshLimits).Passed()) {
    throw PlCadPrepError("invalid_mesh_topology",
                         "source mesh fails the native collision mesh contract", "validate");
  }
  const double sourceDeviation = source.surfaceDeviationMm;
  if (sourceDeviation == std::numeric_limits<double>::max()) {
    throw PlCadPrepError("invalid_surface_deviation",
                         "source mesh carries an unbounded surface-deviation sentinel", "mesh");
  }

  const std::uint64_t encodedBytes = AddBytes(
      AddBytes(kCollisionMeshHeaderBytes, MultiplyBytes(vertexCount, kCollisionMeshVertexBytes)),
      MultiplyBytes(triangleCount, kCollisionMeshTriangleBytes));
  // The source copy, the decoded copy and the bytes live at the same time.
  const PlCadPrepMemoryReservation workMemory =
      ReserveMemory(context, AddBytes(MultiplyBytes(2, meshBytes), encodedBytes), "mesh");
  const PlCadPrepOutputReservation workOutput = ReserveOutput(context, encodedBytes, "mesh");

  const double q = QuantizationBound(source, context);
  double combined = q + sourceDeviation;
  if (q > 0.0 && std::isfinite(combined)) combined = NextLargerDouble(combined);
  if (!std::isfinite(combined) || combined < 0.0) {
    throw PlCadPrepError("invalid_surface_deviation", "combined surface deviation is invalid",
                         "mesh");
  }

  // The source has passed the contract and the combined deviation is valid, so
  // the source with that deviation passes it too: encoded without a second check.
  std::vector<std::uint8_t> bytes = EncodeCheckedMesh(source, combined);
  if (bytes.empty()) {
    throw PlCadPrepError("mesh_encode_failed",
                         "native collision mesh encoder rejected the prepared mesh", "mesh");
  }
  if (bytes.size() != encodedBytes) {
    throw PlCadPrepError("mesh_encode_failed", "collision mesh byte count changed during encoding",
                         "mesh");
  }

  PlGeometryMesh decoded;
  if (!DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, decoded, source).Passed()) {
    throw PlCadPrepError("mesh_round_trip_failed",
                         "native collision mesh decoder rejected freshly encoded bytes",
                         "validate");
  }
  CompareRoundTrip(source, combined, decoded, context);

  return PlCollisionMeshMember{std::move(bytes), std::move(decoded), q, import.sourceHash};
}

}  // namespace

std::vector<std::uint8_t> EncodeCollisionMesh(const PlGeometryMesh& mesh) {
  if (!CheckPlRuntimeMeshContract(mesh, kPlRuntimeMeshLimits).Passed()) return {};
  return EncodeCheckedMesh(mesh, mesh.surfaceDeviationMm);
}

std::vector<std::uint8_t> EncodeCollisionMesh(const PlGeometryMesh& mesh,
                                              const PlGeometryMesh& proven) {
  if (!CheckPlRuntimeMeshContract(mesh, kPlRuntimeMeshLimits, proven).Passed()) return {};
  return EncodeCheckedMesh(mesh, mesh.surfaceDeviationMm);
}

PlMemberDiagnostic DecodeCollisionMesh(std::span<const std::uint8_t> bytes,
                                       const PlRuntimeMeshLimits& limits, PlGeometryMesh& out) {
  PlMemberDiagnostic sections = DecodeSections(bytes, limits, out);
  if (!sections.Passed()) return sections;
  return CheckPlRuntimeMeshContract(out, limits);
}

PlMemberDiagnostic DecodeCollisionMesh(std::span<const std::uint8_t> bytes,
                                       const PlRuntimeMeshLimits& limits, PlGeometryMesh& out,
                                       const PlGeometryMesh& proven) {
  PlMemberDiagnostic sections = DecodeSections(bytes, limits, out);
  if (!sections.Passed()) return sections;
  return CheckPlRuntimeMeshContract(out, limits, proven);
}

const PlGeometryMesh* DecodedPlCollisionMesh(const PlCollisionMeshMember& member,
                                             const PlGeometryMesh* known, PlGeometryMesh& own) {
  if (known != nullptr) return known;
  if (!DecodeCollisionMesh(member.bytes, kPlRuntimeMeshLimits, own).Passed()) return nullptr;
  return &own;
}

std::uint64_t PlCollisionMeshMemberStorageBytes(const PlCollisionMeshMember& member) {
  // Every term counts memory that is actually allocated, so the sum stays far
  // below 2^64 on any machine that could hold the member.
  return member.bytes.size() + kPlMeshVertexStorageBytes * member.mesh.vertices.size() +
         kPlMeshTriangleStorageBytes * member.mesh.triangles.size() + member.sourceHash.size();
}

PlCollisionMeshMember BuildPlCadPrepCollisionMeshMember(
    const PlCadPrepTriangleImport& import, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation) {
  return WithinMemoryLimit("mesh", "collision mesh allocation failed within the bounded request",
                           "collision mesh allocation exceeds the bounded request",
                           [&] { return BuildMember(import, context, inputReservation); });
}
