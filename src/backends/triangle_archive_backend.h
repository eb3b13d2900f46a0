#pragma once
// The import of STL and OBJ sources for the archive frame; the source digest is
// the whole provenance.
#include "backends/archive_backend.h"

// Refuses every format but STL and OBJ with "backend_not_implemented" (stage
// "import") and a cancelled run with "cancelled" (stage "preflight"), both
// before the source is opened; reader failures pass through unchanged.
PlCadPrepImportedSource ImportPlCadPrepMeshSource(const PlCadPrepRequest& request,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress);
