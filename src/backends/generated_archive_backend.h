#pragma once
// The backend for generated shape definitions: the definition re-read and
// parsed canonically, its identities and certified analytic member, the mesh
// (through a kernel solid, or directly for the levels shape), inside the
// common archive frame.
#include <functional>

#include "backends/archive_backend.h"

class PlCadPrepGeneratedArchiveBackend final : public PlCadPrepArchiveBackend {
 protected:
  // Refuses every other source format with "backend_not_implemented" (stage
  // "import") before the source is opened. Failures of the called units pass
  // through unchanged.
  PlCadPrepImportedSource Import(const PlCadPrepRequest& request,
                                 const PlCadPrepOperationContext& context,
                                 const ProgressCallback& progress) override;
  // A failed allocation anywhere in the frame becomes "memory_limit_exceeded"
  // and any other kernel failure "generated_occt_failure" (stage "import").
  void Guard(const std::function<void()>& frame) override;
};
