#pragma once
// The backend for STL and OBJ sources: the mesh import, the derived members,
// the manifest and the package archive, ending with the staged package file.
#include <filesystem>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "pipeline/backend.h"
#include "request/prepare_request.h"

class PlCadPrepTriangleArchiveBackend final : public PlCadPrepBackend {
 public:
  // Refuses every format but STL and OBJ with "backend_not_implemented" (stage
  // "import") before the source is opened; any later failure passes through
  // unchanged, and nothing is staged unless every member was built.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback& progress) override;
};

// Validates the request again, checks cancellation (stage "preflight") and reads
// the STL or OBJ source; any other format fails "unsupported_format".
PlCadPrepTriangleImport ReadPlCadPrepTriangleImport(const PlCadPrepRequest& request,
                                                    const PlCadPrepCancellation& cancellation,
                                                    const ProgressCallback& progress);
