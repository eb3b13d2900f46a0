#include "backends/step_archive_backend.h"

#include "package/manifest.h"
#include "package/package_archive.h"
#include "step/step_replay.h"

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

  PlCadPrepStepComposedResult composedResult =
      ReplayPlCadPrepStepSelection(request, context, progress);
  PlCadPrepManifest manifest = BuildPlCadPrepImportedManifest(request, composedResult.members,
                                                              composedResult.evidence, context);
  const PlCadPrepPackageArchive archive =
      BuildPlCadPrepPackageArchive(manifest, composedResult.members, context);
  StagePlCadPrepPackageArchive(archive, stagingPath, context, progress);
}
