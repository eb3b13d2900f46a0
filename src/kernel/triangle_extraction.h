#pragma once
// The one way a tessellated STEP shape becomes placed millimetre triangles.
// The import's mesh and every solid's own mesh go through it, so their
// winding, discarded slivers and counters always agree.
#include <TopoDS_Shape.hxx>
#include <array>
#include <cstdint>

#include "context/operation_context.h"
#include "mesh/triangle_mesh_builder.h"

// What one extraction met. Boundary faces are every face occurrence that is
// neither a duplicate nor INTERNAL/EXTERNAL; each of them is either
// triangulated or untriangulated. Triangles seen are retained or discarded.
struct PlCadPrepTriangleCounters {
  std::uint64_t boundaryFaceCount = 0;
  std::uint64_t triangulatedBoundaryFaceCount = 0;
  std::uint64_t untriangulatedBoundaryFaceCount = 0;
  std::uint64_t duplicateFaceOccurrenceCount = 0;
  std::uint64_t sharedFaceCount = 0;
  std::uint64_t internalOrExternalFaceCount = 0;
  std::uint64_t tessellatedTriangleCount = 0;
  std::uint64_t discardedDegenerateTriangleCount = 0;
  std::uint64_t retainedTriangleCount = 0;
  // Largest absolute location scale of a triangulated face; never below 1.0.
  double maxLocationScale = 1.0;
};

// Feeds every triangle of the faces of `shape` (already tessellated) into
// `builder`: each node placed by its face location in source millimetres, then
// carried by `sourceToMount` (row-major), winding reversed for a REVERSED face
// or a mirroring location (not both), zero-area triangles discarded; the
// context's maxTriangles bounds the triangles seen. The builder must have been
// made with `context`. Throws
// PlCadPrepError: its own failures on stage "mesh", the builder's and the
// context's under theirs, Open CASCADE and allocation failures on "mesh".
PlCadPrepTriangleCounters ExtractPlCadPrepStepTriangles(const TopoDS_Shape& shape,
                                                        const std::array<double, 16>& sourceToMount,
                                                        const PlCadPrepOperationContext& context,
                                                        PlTriangleMeshBuilder& builder);

// The same extraction without the STEP failure mapping: kernel exceptions and
// failed allocations reach the caller, which reports them as its own.
PlCadPrepTriangleCounters ExtractPlCadPrepShapeTriangles(
    const TopoDS_Shape& shape, const std::array<double, 16>& sourceToMount,
    const PlCadPrepOperationContext& context, PlTriangleMeshBuilder& builder);
