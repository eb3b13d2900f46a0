#pragma once
// The backend for STEP sources: a STEP source is published only together with
// its reviewed component-selection record, which is replayed against fresh
// imports before the composed retained solids become the package.
#include <filesystem>

#include "context/operation_context.h"
#include "core/error.h"
#include "pipeline/backend.h"
#include "request/prepare_request.h"

class PlCadPrepStepArchiveBackend final : public PlCadPrepBackend {
 public:
  // Refuses every format but STEP with "backend_not_implemented" (stage
  // "import") and a request without componentSelectionPath with
  // "step_component_selection_required" (stage "preflight"), both before the
  // source is read; any later failure passes through unchanged, and nothing is
  // staged unless the replay, its proofs and every member succeeded.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback& progress) override;
};
