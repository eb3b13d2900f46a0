#include "backends/triangle_archive_backend.h"

#include <cassert>
#include <string>
#include <utility>
#include <vector>

#include "members/derived_members.h"
#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"
#include "package/manifest.h"
#include "package/package_archive.h"
#include "step/component_selection_evidence.h"

PlCadPrepTriangleImport ReadPlCadPrepTriangleImport(const PlCadPrepRequest& request,
                                                    const PlCadPrepCancellation& cancellation,
                                                    const ProgressCallback& progress) {
  ValidatePlCadPrepRequest(request);
  if (cancellation.IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled", "preflight");
  }
  if (request.sourceFormat == PlCadPrepSourceFormat::stl) {
    return ReadPlCadPrepStl(request, progress, cancellation);
  }
  if (request.sourceFormat == PlCadPrepSourceFormat::obj) {
    return ReadPlCadPrepObj(request, progress, cancellation);
  }
  throw PlCadPrepError("unsupported_format", "triangle mesh ingestion supports STL and OBJ only",
                       "preflight");
}

void PlCadPrepTriangleArchiveBackend::Prepare(const PlCadPrepRequest& request,
                                              const std::filesystem::path& stagingPath,
                                              const PlCadPrepOperationContext& context,
                                              const ProgressCallback& progress) {
  if (request.sourceFormat != PlCadPrepSourceFormat::stl &&
      request.sourceFormat != PlCadPrepSourceFormat::obj) {
    // The request schema names these formats, so the refusal names the format.
    throw PlCadPrepError("backend_not_implemented",
                         std::string(SourceFormatText(request.sourceFormat)) +
                             " import is not implemented by the triangle archive backend",
                         "import");
  }

  // Every context the pipeline makes carries the run's cancellation.
  assert(context.cancellation != nullptr);
  // The working state lives in creation order, so it is released in reverse
  // order, each value together with the reservations that cover it.
  const PlCadPrepTriangleImport import =
      ReadPlCadPrepTriangleImport(request, *context.cancellation, progress);
  PlCadPrepDerivedMembers members =
      BuildPlCadPrepDerivedMembers(import, request, context, progress, std::vector<std::uint8_t>(),
                                   PlCadPrepMemoryReservation());
  PlCadPrepManifest manifest = BuildPlCadPrepImportedManifest(
      request, members, PlCadPrepComponentSelectionEvidence(), context);
  const PlCadPrepPackageArchive archive = BuildPlCadPrepPackageArchive(manifest, members, context);
  StagePlCadPrepPackageArchive(archive, stagingPath, context, progress);
}
