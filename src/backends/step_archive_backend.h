#pragma once
// The backend for STEP sources: a STEP source is published only together with
// its reviewed component-selection record, which is replayed against fresh
// imports before the composed retained solids run through the common archive
// frame; the selection evidence is the provenance.
#include "backends/archive_backend.h"

class PlCadPrepStepArchiveBackend final : public PlCadPrepArchiveBackend {
 protected:
  // Refuses every format but STEP with "backend_not_implemented" (stage
  // "import") and a request without componentSelectionPath with
  // "step_component_selection_required" (stage "preflight"), both before the
  // source is read; replay failures pass through unchanged.
  PlCadPrepImportedSource Import(const PlCadPrepRequest& request,
                                 const PlCadPrepOperationContext& context,
                                 const ProgressCallback& progress) override;
};
