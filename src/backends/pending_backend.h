#pragma once
// The backend for source formats whose backend this build does not carry yet
// (STEP and generated shapes): it refuses before the source is opened, so
// nothing is staged or published.
#include "pipeline/backend.h"

class PlCadPrepPendingBackend final : public PlCadPrepBackend {
 public:
  // Throws "backend_not_implemented" with stage "import" for every request.
  void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback& progress) override;
};
