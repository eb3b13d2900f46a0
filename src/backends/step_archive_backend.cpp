#include "backends/step_archive_backend.h"

#include <memory>

#include "step/step_replay.h"

PlCadPrepImportedSource ImportPlCadPrepStepSource(const PlCadPrepRequest& request,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress) {
  if (request.sourceFormat != PlCadPrepSourceFormat::step) {
    throw PlCadPrepError("backend_not_implemented",
                         "only STEP import is implemented by the STEP archive backend", "import");
  }
  if (request.componentSelectionPath.empty()) {
    throw PlCadPrepError("step_component_selection_required",
                         "STEP publication requires the reviewed component-selection record",
                         "preflight");
  }
  // The replay holds the record and the evidence, with their memory, for as
  // long as the frame keeps the provenance.
  const std::shared_ptr<PlCadPrepStepReplay> replay =
      PlCadPrepStepReplay::Run(request, context, progress);
  PlCadPrepImportedSource source;
  source.import = replay->TakeComposedImport();
  source.provenance = [replay] { return PlCadPrepProvenance(replay->TakeEvidence()); };
  return source;
}
