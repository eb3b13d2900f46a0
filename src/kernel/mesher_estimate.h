#pragma once
// An upper estimate, taken before meshing, of the memory the mesher needs for
// a shape, so that the run's ledger covers the kernel's own allocations.
#include <TopoDS_Shape.hxx>
#include <cstdint>

#include "context/operation_context.h"

// Transient bytes the mesher may hold per triangle of a face and per grid row
// of that face while the face is meshed (the measured peak of spheres, cones
// and tori of 5 mm to 5 m radius was at most 15.5).
inline constexpr std::uint64_t kPlCadPrepMesherBytesPerTriangleRow = 24;
// Bytes a finished triangle keeps until the shape goes away.
inline constexpr std::uint64_t kPlCadPrepMesherBytesPerTriangle = 64;

// What the mesher may make of a shape's curved faces, each count saturating
// at the largest 64-bit value.
struct PlCadPrepMesherEstimate {
  // Triangles of the cylinder, cone, sphere and torus faces: an upper
  // estimate, between one and four times what the mesher makes of them.
  std::uint64_t triangles = 0;
  // The largest transient working set of one face plus the triangles kept.
  std::uint64_t bytes = 0;
};

// Estimates the tessellation of `shape` with the given absolute deflections.
// Polls the context every 128 faces (stage "mesh").
PlCadPrepMesherEstimate EstimatePlCadPrepMesher(const TopoDS_Shape& shape,
                                                double linearDeflectionMm,
                                                double angularDeflectionRadians,
                                                const PlCadPrepOperationContext& context);
