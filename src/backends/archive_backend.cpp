#include "backends/archive_backend.h"

#include <utility>

#include "package/package_archive.h"

void PlCadPrepArchiveBackend::Prepare(const PlCadPrepRequest& request,
                                      const std::filesystem::path& stagingPath,
                                      const PlCadPrepOperationContext& context,
                                      const ProgressCallback& progress) {
  const auto frame = [&] {
    PlCadPrepImportedSource source = import(request, context, progress);
    PlCadPrepDerivedMembers members = BuildPlCadPrepDerivedMembers(
        source.import, request, context, progress, std::move(source.analyticBytes),
        std::move(source.analyticMemory));
    const PlCadPrepProvenance provenance = source.provenance();
    // The collision member was built from the import's mesh, which passed the
    // runtime contract on the way.
    PlCadPrepManifest manifest =
        BuildPlCadPrepManifest(request, members, provenance, context, source.import.mesh);
    const PlCadPrepPackageArchive archive =
        BuildPlCadPrepPackageArchive(manifest, members, context);
    StagePlCadPrepPackageArchive(archive, stagingPath, context, progress);
  };
  if (guard != nullptr) {
    guard(frame);
  } else {
    frame();
  }
}
