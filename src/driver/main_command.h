#pragma once
// The top of the program: one command per run, at most one request file,
// every outcome reported as event lines, the exit status chosen from the failure.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "pipeline/backend.h"
#include "request/prepare_request.h"

inline constexpr std::uint64_t kMaxRequestBytes = 1'048'576;

inline constexpr std::string_view kUsageText =
    "usage: PeltoCadPrep capabilities | seat <request.json> | review <request.json> | "
    "select <request.json> | prepare <request.json>";

// The command word from a raw argument: bytes of 128 and above become "?".
std::string NarrowCommandWord(std::string_view argument);

// The entry point's decision on the shape of the call (argv[0] is the
// program); runs the command with this build's backends, events to `events`.
int RunPeltoCadPrep(int argc, const char* const* argv, std::FILE* events);

// Picks the backend that prepares a source format.
using PlCadPrepBackendFactory =
    std::function<std::unique_ptr<PlCadPrepBackend>(PlCadPrepSourceFormat)>;

// MainCommand with its output stream and backends supplied by the caller.
int MainCommand(std::string_view command, const std::filesystem::path& requestPath, std::FILE* out,
                const PlCadPrepBackendFactory& backends);

// The backends of this build.
std::unique_ptr<PlCadPrepBackend> MakePlCadPrepBackend(PlCadPrepSourceFormat format);

// The whole request file, unchanged; throws "request_not_found",
// "request_too_large" or "request_read_failed" (stage "preflight").
std::string ReadRequestFile(const std::filesystem::path& path);

// 3 for "backend_not_implemented", 4 for "cancelled", 5 for the event codes,
// 2 for any other preflight failure, 5 otherwise.
int ExitStatusForError(std::string_view code, std::string_view stage);
