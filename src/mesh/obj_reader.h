#pragma once
// Reads a Wavefront OBJ source of vertices and triangular faces into the
// mount-frame triangle mesh, hashing every source byte on the way.
#include <cstdint>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

inline constexpr std::uint64_t kObjCheckpointLines = 4096;
inline constexpr std::uint64_t kObjMaxSourceVertices = 500'000;
// Bytes counted per entry of the source vertex list's capacity.
inline constexpr std::uint64_t kObjSourceVertexBytes = 24;

// Reads request.inputPath through the mesh builder without an operation context.
// Progress is ("import", bytes read, file size). Throws PlCadPrepError (stage
// "import"; "preflight" for the units, "validate" from the builder).
PlCadPrepTriangleImport ReadPlCadPrepObj(const PlCadPrepRequest& request,
                                         const ProgressCallback& progress,
                                         const PlCadPrepCancellation& cancellation);
