#pragma once
// The frame every prepare backend runs: the format's own import, the derived
// members, the provenance, the manifest and the package archive, ending with
// the staged package file. A backend supplies only the import and where the
// geometry came from.
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

class PlCadPrepArchiveBackend : public PlCadPrepBackend {
 public:
  // Import, derived members, provenance, manifest, archive, stage - in that
  // order, each value released in reverse order of creation. Nothing is staged
  // unless every step succeeded; failures pass through Guard.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context,
               const ProgressCallback& progress) final;

 protected:
  // Refuses a format this backend does not read, then reads the source.
  virtual PlCadPrepImportedSource Import(const PlCadPrepRequest& request,
                                         const PlCadPrepOperationContext& context,
                                         const ProgressCallback& progress) = 0;
  // Runs the whole frame; a backend whose kernel failures need translating wraps it.
  virtual void Guard(const std::function<void()>& frame) { frame(); }
};
