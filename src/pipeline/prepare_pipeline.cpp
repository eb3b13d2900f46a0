#include "pipeline/prepare_pipeline.h"

#include <cstdint>
#include <filesystem>

#include "platform/file_system.h"

PlCadPrepPublishResult PrepareAndPublish(const PlCadPrepRequest& request, PlCadPrepBackend& backend,
                                         const PlCadPrepCancellation& cancellation,
                                         const ProgressCallback& progress) {
  ValidatePlCadPrepRequest(request);
  if (cancellation.IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled before import", "preflight");
  }

  const std::filesystem::path stagingPath = StagingPathFor(request);
  // A leftover from an earlier run may be the only copy of its work, so it blocks
  // this run instead of being replaced; a dangling link counts as a leftover.
  if (!QueryPathStatusNoFollow(stagingPath).NotFound()) {
    throw PlCadPrepError("staging_exists",
                         "the request staging path already exists; recovery must resolve it first",
                         "preflight");
  }
  // Unarmed while the backend runs: a staged file completed before a backend
  // failure stays, and the staged writer cleans up its own half-written files.
  StagingFileGuard guard(stagingPath);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);

  backend.Prepare(request, stagingPath, context, progress);

  guard.Arm();
  CheckpointStage(context, "publish");
  if (!QueryPathStatusNoFollow(stagingPath).RegularFile()) {
    throw PlCadPrepError("staging_missing", "backend did not produce a staged asset", "package");
  }
  std::uint64_t size = 0;
  if (!QueryFileSize(stagingPath, size) || size == 0) {
    throw PlCadPrepError("staging_empty", "backend produced an empty staged asset", "package");
  }
  if (size > request.maxOutputBytes) {
    throw PlCadPrepError("output_too_large", "staged asset exceeds maxOutputBytes", "package");
  }
  return PublishStagedArchive(stagingPath, request.outputPath, guard);
}
