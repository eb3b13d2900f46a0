#include "pipeline/staging.h"

#include <algorithm>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace {

// The name itself is what must be free, so a dangling symbolic link counts as taken.
bool NameIsFree(const std::filesystem::path& path) {
  return QueryPathStatusNoFollow(path).NotFound();
}

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

StagingFileGuard::~StagingFileGuard() {
  if (!armed) return;
  // Cleanup on the failure path must not mask the failure being reported; whatever
  // survives blocks the next run with "staging_exists" instead of being overwritten.
  std::error_code ignored;
  (void)RemovePath(path, ignored);
}

void WriteStagedArchive(std::span<const std::uint8_t> bytes,
                        const std::filesystem::path& stagingPath,
                        const PlCadPrepOperationContext& context,
                        const ProgressCallback& progress) {
  CheckpointStage(context, "package");
  if (!NameIsFree(stagingPath)) {
    throw PlCadPrepError("staging_exists", "the request output path already exists", "package");
  }
  // Declared before the file so that the handle is closed before the guard removes the name.
  StagingFileGuard guard(stagingPath);
  PlCreateOutcome outcome = PlCreateOutcome::failed;
  PlFile file = PlFile::CreateExclusive(stagingPath, outcome);
  if (outcome == PlCreateOutcome::exists) {
    throw PlCadPrepError("staging_exists", "the request staging path appeared before creation",
                         "package");
  }
  if (outcome != PlCreateOutcome::created) {
    throw PlCadPrepError("staging_create_failed",
                         "the validated geometry staging file could not be created", "package");
  }
  guard.Arm();

  const std::uint64_t size = bytes.size();
  if (progress) progress("package", 0, size);
  std::uint64_t written = 0;
  while (written < size) {
    CheckpointStage(context, "package");
    const std::size_t chunk = std::min<std::uint64_t>(size - written, kStagingChunkBytes);
    const std::int64_t count = file.Write(bytes.subspan(written, chunk));
    if (count <= 0) {
      throw PlCadPrepError("staging_write_failed",
                           "the validated geometry archive could not be staged", "package");
    }
    written += static_cast<std::uint64_t>(count);
    if (progress) progress("package", written, size);
  }

  if (!file.Sync()) {
    throw PlCadPrepError("staging_sync_failed",
                         "the validated geometry staging file could not be flushed", "package");
  }

  std::uint64_t stagedSize = 0;
  if (!file.Size(stagedSize) || stagedSize != size || !file.SeekToStart()) {
    throw PlCadPrepError("staging_verify_failed", "the staged geometry archive byte length changed",
                         "package");
  }
  // One chunk-sized buffer, however large the package: verification never holds a second copy.
  std::vector<std::uint8_t> buffer(kStagingChunkBytes);
  std::uint64_t verified = 0;
  while (verified < size) {
    CheckpointStage(context, "package");
    const std::size_t chunk = std::min<std::uint64_t>(size - verified, kStagingChunkBytes);
    const std::int64_t count = file.Read(std::span<std::uint8_t>(buffer.data(), chunk));
    if (count <= 0) {
      throw PlCadPrepError("staging_verify_failed", "the staged geometry archive could not be read",
                           "package");
    }
    const std::span<const std::uint8_t> expected =
        bytes.subspan(verified, static_cast<std::size_t>(count));
    if (!std::equal(expected.begin(), expected.end(), buffer.begin())) {
      throw PlCadPrepError("staging_verify_failed", "the staged geometry archive bytes changed",
                           "package");
    }
    verified += static_cast<std::uint64_t>(count);
  }

  if (!file.Close()) {
    throw PlCadPrepError("staging_close_failed",
                         "the validated geometry staging file could not be closed", "package");
  }
  guard.Disarm();
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
