#pragma once
// Reads a binary or ASCII STL source into the mount-frame triangle mesh, hashing
// every source byte on the way.
#include <cstdint>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

// Binary layout: an 80-byte header and a u32 facet count, then 50 bytes per facet.
inline constexpr std::uint64_t kStlBinaryHeaderBytes = 84;
inline constexpr std::uint64_t kStlBinaryFacetBytes = 50;
inline constexpr std::uint64_t kStlCheckpointFacets = 4096;

// Detects the format of request.inputPath and reads it through the mesh builder
// without an operation context. Progress is ("import", facets, facet count) for
// binary and ("import", bytes, file size) for ASCII sources. Throws PlCadPrepError
// (stage "import"; "preflight" for the units, "validate" from the builder).
PlCadPrepTriangleImport ReadPlCadPrepStl(const PlCadPrepRequest& request,
                                         const ProgressCallback& progress,
                                         const PlCadPrepCancellation& cancellation);
