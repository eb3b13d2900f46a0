#pragma once
// The builder through which every importer adds triangles: unit scale, mount
// transform, exact welding, degenerate tests, triangle, vertex and memory
// limits, and the finishing bounds, watertight test and mesh contract.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "context/operation_context.h"
#include "core/sha256.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

// Accounted cost of one mesh element while building; real use stays below it.
inline constexpr std::uint64_t kPlMeshBytesPerVertex = 96;
inline constexpr std::uint64_t kPlMeshBytesPerTriangle = 224;

// Millimetres per source unit for exactly "mm", "cm", "m" and "in"; anything
// else throws "units_confirmation_required" (stage "preflight").
double UnitsScale(const PlCadPrepRequest& request);

// The point (x, y, z) scaled by `scale` and carried through the row-major
// `sourceToMount`, in a fixed evaluation order; throws "invalid_number" (stage
// "import") when a coordinate becomes non-finite.
PlPoint3 MountPoint(const std::array<double, 16>& sourceToMount, double scale, double x, double y,
                    double z);

// MountPoint without the finiteness check, for looking ahead; the bits are the same.
PlPoint3 MountPointUnchecked(const std::array<double, 16>& sourceToMount, double scale, double x,
                             double y, double z);

// True when two corners are equal coordinate by coordinate or the squared
// length of (b - a) x (c - a) is at most 1e-12 (doubled area at most 1e-6 mm^2).
bool IsZeroAreaTriangle(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c);

// 96 bytes per vertex plus 224 per triangle; throws "memory_limit_exceeded"
// (stage "import") when the estimate does not fit in 64 bits.
std::uint64_t EstimatePlMeshMemoryBytes(std::uint64_t vertexCount, std::uint64_t triangleCount);

// The two limits a mesh build is held to.
struct PlMeshLimits {
  std::uint64_t maxTriangles = 0;
  std::uint64_t maxMemoryBytes = 0;
};

inline PlMeshLimits PlMeshLimitsOf(const PlCadPrepRequest& request) {
  return {request.maxTriangles, request.maxMemoryBytes};
}

inline PlMeshLimits PlMeshLimitsOf(const PlCadPrepOperationContext& context) {
  return {context.ledger->maxTriangles, context.ledger->maxMemoryBytes};
}

// One per import. Points weld only when bit-identical after -0.0 is read as
// +0.0; vertex indices follow first sight. With an operation context, memory
// is reserved from it in 1 MiB steps and held until Finish or destruction.
class PlTriangleMeshBuilder {
 public:
  // `context` may be null: memory is then checked against maxMemoryBytes
  // directly and cancellation is asked of `cancellation`. Cancellation and
  // context must outlive the builder.
  PlTriangleMeshBuilder(const PlMeshLimits& limits, const PlCadPrepCancellation& cancellation,
                        const PlCadPrepOperationContext* context);
  PlTriangleMeshBuilder(const PlTriangleMeshBuilder&) = delete;
  PlTriangleMeshBuilder& operator=(const PlTriangleMeshBuilder&) = delete;
  ~PlTriangleMeshBuilder();

  // Makes room at once for a source that announces `triangleCount` triangles,
  // as far as the limits allow, so the triangle array is not copied while it
  // grows. Only a hint: the limits are still checked triangle by triangle.
  void ExpectTriangles(std::uint64_t triangleCount);

  // Memory the importer holds outside the builder; re-runs the memory check.
  void SetBaseBytes(std::uint64_t bytes);

  // Adds one triangle of mount-frame points; throws PlCadPrepError.
  void AddTriangle(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c);

  // Starts loading the weld slot of a point that a later AddTriangle names, so
  // that the lookup finds it in cache. Only a hint: it never changes the mesh.
  void PrefetchCorner(const PlPoint3& p) const;

  // Bounds, watertight test and contract; releases the builder's reservations
  // and moves the mesh out. Throws PlCadPrepError.
  PlGeometryMesh Finish(double surfaceDeviationMm);

  // Finish(0.0) for a triangle source, paired with the identity of its bytes.
  PlCadPrepTriangleImport FinishImport(const Sha256Digest& sourceDigest);

  std::size_t VertexCount() const;
  std::size_t TriangleCount() const;

 private:
  struct State;
  std::unique_ptr<State> state;
};
