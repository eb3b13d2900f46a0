#include "step/step_replay.h"

#include <utility>

#include "step/step_scope_import.h"

std::shared_ptr<PlCadPrepStepReplay> PlCadPrepStepReplay::Run(
    const PlCadPrepRequest& request, const PlCadPrepOperationContext& context,
    const ProgressCallback& progress) {
  std::shared_ptr<PlCadPrepStepReplay> replay(new PlCadPrepStepReplay());
  const PlCadPrepStepSelection& record = replay->record =
      ReadPlCadPrepStepSelectionRecord(request.componentSelectionPath, context);
  const PlCadPrepStepImportSettings settings = PlCadPrepStepReplaySettings(record, request);
  PlCadPrepStepRoleComposition& composition = replay->composition.emplace(
      PreparePlCadPrepStepRoleComposition(record, request, settings, context));
  {
    // Each import is released once its proofs are done; only the composition
    // carries their result on.
    const PlCadPrepStepSolidsImport solids = ImportPlCadPrepStepSolids(
        settings, PlCadPrepStepReplayKeys(record), context, progress,
        [&composition](const PlCadPrepStepSolidDiagnostic& diagnostic, const PlGeometryMesh& mesh) {
          composition.ComposeSolid(diagnostic, mesh);
        },
        PlCadPrepStepSolidDiagnosticCallback());
    composition.FinishRetainedComposition(solids);
    composition.ProveRetainedDeviation(solids);
  }
  if (record.hasFreeShellOverlay) {
    const PlCadPrepStepFacesImport freeShells = ImportPlCadPrepStepFaces(
        settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {}, context, progress);
    composition.ReplaySourceSurface(freeShells);
    if (record.freeShellOverlay.decision == PlCadPrepStepFreeShellDecision::physical) {
      composition.ProvePhysicalDeviation(freeShells);
    }
  }
  return replay;
}
