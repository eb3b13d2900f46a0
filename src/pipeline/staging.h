#pragma once
// The staged package file beside the output path: its name, the exclusive
// write with read-back, the guard that removes a half-written file, and the
// hard-link publication that never overwrites.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "context/operation_context.h"
#include "core/error.h"
#include "platform/file_system.h"
#include "request/prepare_request.h"

inline constexpr std::size_t kStagingChunkBytes = 65'536;

// "." + output file name + ".partial-" + requestId, in the output's directory.
std::filesystem::path StagingPathFor(const PlCadPrepRequest& request);

// Owns a staging file until disarmed: destroyed while armed, it removes the
// path (a file or an empty directory) and ignores the outcome.
using StagingFileGuard = PlCreatedFileGuard;

// Creates `stagingPath` as a new file holding exactly `bytes`, flushed, read
// back, compared and closed; throws PlCadPrepError (stage "package") and leaves
// nothing behind on failure. Never overwrites.
void WriteStagedArchive(std::span<const std::uint8_t> bytes,
                        const std::filesystem::path& stagingPath,
                        const PlCadPrepOperationContext& context, const ProgressCallback& progress);

struct PlCadPrepPublishResult {
  bool stagingCleanupFailed = false;
  std::string message;
};

// Links the staged file as `outputPath` (refused if the name exists) and then
// removes the staging name; on success disarms `guard`. A failed removal is
// reported in the result, not thrown.
PlCadPrepPublishResult PublishStagedArchive(const std::filesystem::path& stagingPath,
                                            const std::filesystem::path& outputPath,
                                            StagingFileGuard& guard);
