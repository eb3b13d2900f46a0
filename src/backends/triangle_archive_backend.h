#pragma once
// The backend for STL and OBJ sources: the mesh import inside the common
// archive frame; the source digest is the whole provenance.
#include "backends/archive_backend.h"

class PlCadPrepTriangleArchiveBackend final : public PlCadPrepArchiveBackend {
 protected:
  // Refuses every format but STL and OBJ with "backend_not_implemented" (stage
  // "import") and a cancelled run with "cancelled" (stage "preflight"), both
  // before the source is opened; reader failures pass through unchanged.
  PlCadPrepImportedSource Import(const PlCadPrepRequest& request,
                                 const PlCadPrepOperationContext& context,
                                 const ProgressCallback& progress) override;
};
