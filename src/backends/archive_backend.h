#pragma once
// The frame every prepare run goes through: the format's own import, the
// derived members, the provenance, the manifest and the package archive,
// ending with the staged package file. A format supplies only its import,
// which says where the geometry came from, and a guard when it needs one.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "members/derived_members.h"
#include "mesh/geometry_mesh.h"
#include "package/manifest.h"
#include "pipeline/backend.h"
#include "request/prepare_request.h"

// What an import hands to the frame: the placed mesh with its source digest;
// for generated shapes the analytic member with the reservation that covers
// it; the reservations of working state that must last until the package is
// staged; and where the geometry came from, asked once the derived members
// exist so that memory the provenance needs is reserved after theirs. The
// frame keeps the whole value until the package is staged.
struct PlCadPrepImportedSource {
  PlCadPrepTriangleImport import;
  std::vector<std::uint8_t> analyticBytes;
  PlCadPrepMemoryReservation analyticMemory;
  std::vector<PlCadPrepMemoryReservation> heldMemory;
  std::function<PlCadPrepProvenance()> provenance;
};

// A format's import: refuses a format it does not read, then reads the source.
using PlCadPrepSourceImport = PlCadPrepImportedSource (*)(const PlCadPrepRequest& request,
                                                          const PlCadPrepOperationContext& context,
                                                          const ProgressCallback& progress);
// Runs the whole frame; a format whose kernel failures need translating wraps it.
using PlCadPrepFrameGuard = void (*)(const std::function<void()>& frame);

// The one prepare backend: the frame around a format's import.
class PlCadPrepArchiveBackend final : public PlCadPrepBackend {
 public:
  explicit PlCadPrepArchiveBackend(PlCadPrepSourceImport sourceImport,
                                   PlCadPrepFrameGuard frameGuard = nullptr)
      : import(sourceImport), guard(frameGuard) {}

  // Import, derived members, provenance, manifest, archive, stage - in that
  // order, each value released in reverse order of creation. Nothing is staged
  // unless every step succeeded; failures pass through the guard.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback& progress) override;

  PlCadPrepSourceImport SourceImport() const { return import; }

 private:
  PlCadPrepSourceImport import;
  PlCadPrepFrameGuard guard;
};
