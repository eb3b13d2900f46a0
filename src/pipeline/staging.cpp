#include "pipeline/staging.h"

#include <array>
#include <cstddef>
#include <system_error>

#include "platform/file_system.h"

namespace {

// The name itself is what must be free, so a dangling symbolic link counts as taken.
bool NameIsFree(const std::filesystem::path& path) {
  return QueryPathStatusNoFollow(path).NotFound();
}

// The event code and message of each failed staging write, in outcome order;
// the first row, `written`, is success and never thrown.
struct StagingFailure {
  PlExclusiveWriteOutcome outcome;
  const char* code;
  const char* message;
};
constexpr std::array<StagingFailure, 9> kStagingFailures = {{
    {PlExclusiveWriteOutcome::written, "", ""},
    {PlExclusiveWriteOutcome::exists, "staging_exists",
     "the request staging path appeared before creation"},
    {PlExclusiveWriteOutcome::createFailed, "staging_create_failed",
     "the validated geometry staging file could not be created"},
    {PlExclusiveWriteOutcome::writeFailed, "staging_write_failed",
     "the validated geometry archive could not be staged"},
    {PlExclusiveWriteOutcome::syncFailed, "staging_sync_failed",
     "the validated geometry staging file could not be flushed"},
    {PlExclusiveWriteOutcome::lengthChanged, "staging_verify_failed",
     "the staged geometry archive byte length changed"},
    {PlExclusiveWriteOutcome::readFailed, "staging_verify_failed",
     "the staged geometry archive could not be read"},
    {PlExclusiveWriteOutcome::bytesChanged, "staging_verify_failed",
     "the staged geometry archive bytes changed"},
    {PlExclusiveWriteOutcome::closeFailed, "staging_close_failed",
     "the validated geometry staging file could not be closed"},
}};

constexpr bool EveryOutcomeInItsRow() {
  for (std::size_t row = 0; row < kStagingFailures.size(); ++row) {
    if (static_cast<std::size_t>(kStagingFailures[row].outcome) != row) return false;
  }
  return static_cast<std::size_t>(PlExclusiveWriteOutcome::closeFailed) + 1 ==
         kStagingFailures.size();
}
static_assert(EveryOutcomeInItsRow());

}  // namespace

std::filesystem::path StagingPathFor(const PlCadPrepRequest& request) {
  // Appended piece by piece: g++ 12's -Wrestrict misreads the chained
  // operator+ of a literal and a temporary at -O3.
  std::string name = ".";
  name += PathToUtf8(request.outputPath.filename());
  name += ".partial-";
  name += request.requestId;
  return request.outputPath.parent_path() / PathFromUtf8(name);
}

void WriteStagedArchive(std::span<const std::uint8_t> bytes,
                        const std::filesystem::path& stagingPath,
                        const PlCadPrepOperationContext& context,
                        const ProgressCallback& progress) {
  CheckpointStage(context, "package");
  if (!NameIsFree(stagingPath)) {
    throw PlCadPrepError("staging_exists", "the request output path already exists", "package");
  }
  PlExclusiveWriteOptions options;
  options.chunkBytes = kStagingChunkBytes;
  options.readBack = true;
  options.beforeChunk = [&context] { CheckpointStage(context, "package"); };
  if (progress) {
    options.afterChunk = [&progress](std::uint64_t written, std::uint64_t total) {
      progress("package", written, total);
    };
  }
  const PlExclusiveWriteOutcome outcome = WriteFileExclusive(stagingPath, bytes, options);
  if (outcome == PlExclusiveWriteOutcome::written) return;
  const StagingFailure& failure = kStagingFailures[static_cast<std::size_t>(outcome)];
  throw PlCadPrepError(failure.code, failure.message, "package");
}

PlCadPrepPublishResult PublishStagedArchive(const std::filesystem::path& stagingPath,
                                            const std::filesystem::path& outputPath,
                                            StagingFileGuard& guard) {
  if (!NameIsFree(outputPath)) {
    throw PlCadPrepError("output_exists", "outputPath appeared before publish", "publish");
  }
  std::error_code error;
  // link() refuses an existing name, so a file that appears after the check is never replaced.
  if (!CreateHardLink(stagingPath, outputPath, error)) {
    throw PlCadPrepError("publish_failed",
                         "atomic no-overwrite publication failed: " + error.message(), "publish");
  }
  PlCadPrepPublishResult result;
  if (!RemovePath(stagingPath, error)) {
    // The package is complete under its final name; a leftover staging name is only a warning.
    result.stagingCleanupFailed = true;
    result.message =
        "the complete asset was published, but its staging link could not be removed: " +
        error.message();
    return result;
  }
  guard.Disarm();
  return result;
}
