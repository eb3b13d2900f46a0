#pragma once
// The import of STEP sources for the archive frame: a STEP source is published
// only together with its reviewed component-selection record, which is
// replayed against fresh imports; the selection evidence is the provenance.
#include "backends/archive_backend.h"

// Refuses every format but STEP with "backend_not_implemented" (stage
// "import") and a request without componentSelectionPath with
// "step_component_selection_required" (stage "preflight"), both before the
// source is read; replay failures pass through unchanged.
PlCadPrepImportedSource ImportPlCadPrepStepSource(const PlCadPrepRequest& request,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress);
