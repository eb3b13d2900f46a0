#include "backends/step_archive_backend.h"

#include "package/manifest.h"
#include "package/package_archive.h"
#include "step/step_import.h"
#include "step/step_role_composition.h"
#include "step/step_selection_record.h"

void PlCadPrepStepArchiveBackend::Prepare(const PlCadPrepRequest& request,
                                          const std::filesystem::path& stagingPath,
                                          const PlCadPrepOperationContext& context,
                                          const ProgressCallback& progress) {
  if (request.sourceFormat != PlCadPrepSourceFormat::step) {
    throw PlCadPrepError("backend_not_implemented",
                         "only STEP import is implemented by the STEP archive backend", "import");
  }
  // The backend may run outside the pipeline's frame, so it holds the request
  // to the preflight rules itself.
  ValidatePlCadPrepRequest(request);
  if (request.componentSelectionPath.empty()) {
    throw PlCadPrepError("step_component_selection_required",
                         "STEP publication requires the reviewed component-selection record",
                         "preflight");
  }

  const PlCadPrepStepSelection record =
      ReadPlCadPrepStepSelectionRecord(request.componentSelectionPath, context);
  const PlCadPrepStepImportOptions solidsOptions = PlCadPrepStepReplaySolidsOptions(record);
  PlCadPrepStepRoleComposition composition =
      PreparePlCadPrepStepRoleComposition(record, request, solidsOptions, context);
  {
    // Each import is released once its proofs are done; only the composition
    // carries their result on.
    const PlCadPrepStepImport solids = ImportPlCadPrepStep(
        request, solidsOptions, context, progress,
        [&composition](const PlCadPrepStepSolidDiagnostic& diagnostic, const PlGeometryMesh& mesh) {
          composition.ComposeSolid(diagnostic, mesh);
        },
        PlCadPrepStepSolidDiagnosticCallback());
    composition.FinishRetainedComposition(solids);
    composition.ProveRetainedDeviation(solids);
  }
  if (record.hasFreeShellOverlay) {
    const PlCadPrepStepImport freeShells = ImportPlCadPrepStep(
        request, PlCadPrepStepReplayFreeShellOptions(record), context, progress,
        PlCadPrepStepSolidMeshCallback(), PlCadPrepStepSolidDiagnosticCallback());
    composition.ReplaySourceSurface(freeShells);
    if (record.freeShellOverlay.decision == PlCadPrepStepFreeShellDecision::physical) {
      composition.ProvePhysicalDeviation(freeShells);
    }
  }

  PlCadPrepStepComposedResult composedResult = composition.TakeComposedResult(progress);
  PlCadPrepManifest manifest = BuildPlCadPrepImportedManifest(request, composedResult.members,
                                                              composedResult.evidence, context);
  const PlCadPrepPackageArchive archive =
      BuildPlCadPrepPackageArchive(manifest, composedResult.members, context);
  StagePlCadPrepPackageArchive(archive, stagingPath, context, progress);
}
