#pragma once
// The interface every prepare backend implements: all format-specific work,
// ending with the finished package written to the staging path.
#include <filesystem>

#include "context/operation_context.h"
#include "core/error.h"
#include "request/prepare_request.h"

class PlCadPrepBackend {
 public:
  virtual ~PlCadPrepBackend() = default;
  // On return `stagingPath` names one complete, non-empty regular file of at
  // most maxOutputBytes, written through WriteStagedArchive; throws PlCadPrepError.
  virtual void Prepare(const PlCadPrepRequest& request, const std::filesystem::path& stagingPath,
                       const PlCadPrepOperationContext& context,
                       const ProgressCallback& progress) = 0;
};
