#include "backends/archive_backend.h"

#include <type_traits>
#include <utility>

#include "package/manifest.h"
#include "package/package_archive.h"

namespace {

PlCadPrepManifest BuildManifest(const PlCadPrepRequest& request,
                                const PlCadPrepDerivedMembers& members,
                                const PlCadPrepProvenance& provenance,
                                const PlCadPrepOperationContext& context) {
  return std::visit(
      [&](const auto& origin) {
        using Origin = std::decay_t<decltype(origin)>;
        if constexpr (std::is_same_v<Origin, PlCadPrepGeneratedProvenance>) {
          return BuildPlCadPrepGeneratedManifest(request, members, origin, context);
        } else if constexpr (std::is_same_v<Origin, PlCadPrepComponentSelectionEvidence>) {
          return BuildPlCadPrepImportedManifest(request, members, origin, context);
        } else {
          return BuildPlCadPrepImportedManifest(request, members,
                                                PlCadPrepComponentSelectionEvidence(), context);
        }
      },
      provenance);
}

}  // namespace

void PlCadPrepArchiveBackend::Prepare(const PlCadPrepRequest& request,
                                      const std::filesystem::path& stagingPath,
                                      const PlCadPrepOperationContext& context,
                                      const ProgressCallback& progress) {
  Guard([&] {
    PlCadPrepImportedSource source = Import(request, context, progress);
    PlCadPrepDerivedMembers members =
        BuildPlCadPrepDerivedMembers(source.import, request, context, progress,
                                     std::move(source.analyticBytes),
                                     std::move(source.analyticMemory));
    const PlCadPrepProvenance provenance = source.provenance();
    PlCadPrepManifest manifest = BuildManifest(request, members, provenance, context);
    const PlCadPrepPackageArchive archive =
        BuildPlCadPrepPackageArchive(manifest, members, context);
    StagePlCadPrepPackageArchive(archive, stagingPath, context, progress);
  });
}
