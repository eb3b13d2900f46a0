#pragma once
// The backend for generated shape definitions: the definition re-read and
// parsed canonically, its identities and certified analytic member, the mesh
// (through a kernel solid, or directly for the levels shape), then the derived
// members, manifest and package archive, ending with the staged package file.
#include <filesystem>

#include "context/operation_context.h"
#include "core/error.h"
#include "pipeline/backend.h"
#include "request/prepare_request.h"

class PlCadPrepGeneratedArchiveBackend final : public PlCadPrepBackend {
 public:
  // Refuses every other source format with "backend_not_implemented" (stage
  // "import") before the source is opened. Failures of the called units pass
  // through unchanged; a failed allocation becomes "memory_limit_exceeded" and
  // any other kernel failure "generated_occt_failure" (stage "import"). Nothing
  // is staged unless every member was built.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback& progress) override;
};
