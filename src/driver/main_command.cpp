#include "driver/main_command.h"

#include <array>
#include <exception>
#include <fstream>

#include "backends/pending_backend.h"
#include "backends/triangle_archive_backend.h"
#include "context/operation_context.h"
#include "core/error.h"
#include "driver/capabilities.h"
#include "driver/preparation_event.h"
#include "pipeline/prepare_pipeline.h"
#include "platform/file_system.h"

namespace {

constexpr std::size_t kRequestReadChunkBytes = 65'536;

bool IsRequestCommand(std::string_view command) {
  return command == "seat" || command == "review" || command == "select" || command == "prepare";
}

// The driver's view of the run, which the error event needs wherever the failure happens.
struct DriverRun {
  std::FILE* out;
  std::string requestId;
  std::string stage = "preflight";
};

int RunPrepare(DriverRun& run, const std::filesystem::path& requestPath,
               const PlCadPrepBackendFactory& backends) {
  const std::string text = ReadRequestFile(requestPath);
  const PlCadPrepRequest request = ReadPlCadPrepRequest(text);
  run.requestId = request.requestId;
  WritePreparationEvent(run.out, run.requestId, "accepted", "preflight", "", "");
  run.stage = "import";

  const std::unique_ptr<PlCadPrepBackend> backend = backends(request.sourceFormat);
  const NeverCancelled cancellation;
  const ProgressCallback progress = [&run](std::string_view stage, std::uint64_t completed,
                                           std::uint64_t total) {
    run.stage = std::string(stage);
    WritePreparationEvent(run.out, run.requestId, "progress", stage, "", "", completed, total);
  };
  const PlCadPrepPublishResult result =
      PrepareAndPublish(request, *backend, cancellation, progress);

  run.stage = "publish";
  if (result.stagingCleanupFailed) {
    WritePreparationEvent(run.out, run.requestId, "warning", "publish", "staging_cleanup_warning",
                          result.message);
  }
  WritePreparationEvent(run.out, run.requestId, "complete", "publish", "", "");
  return 0;
}

}  // namespace

std::string NarrowCommandWord(std::string_view argument) {
  std::string word(argument);
  for (char& c : word) {
    if (static_cast<unsigned char>(c) >= 128) c = '?';
  }
  return word;
}

int RunPeltoCadPrep(int argc, const char* const* argv) {
  const std::string command = argc >= 2 ? NarrowCommandWord(argv[1]) : std::string();
  if (argc == 2 && command == "capabilities") return MainCommand("capabilities", {});
  if (argc == 3 && IsRequestCommand(command)) {
    return MainCommand(command, PathFromUtf8(argv[2]));
  }
  return MainCommand("", {});
}

int MainCommand(std::string_view command, const std::filesystem::path& requestPath) {
  return MainCommand(command, requestPath, stdout, MakePlCadPrepBackend);
}

int MainCommand(std::string_view command, const std::filesystem::path& requestPath, std::FILE* out,
                const PlCadPrepBackendFactory& backends) {
  // Standard output is a byte stream here: every line ends in a single line
  // feed without any text-mode translation to switch off.
  if (command == "capabilities") {
    std::string document = CapabilitiesDocument();
    document += '\n';
    std::fwrite(document.data(), 1, document.size(), out);
    std::fflush(out);
    return 0;
  }

  DriverRun run{out, "", "preflight"};
  try {
    if (command == "prepare") return RunPrepare(run, requestPath, backends);
    if (IsRequestCommand(command)) {
      (void)ReadRequestFile(requestPath);
      throw PlCadPrepError("backend_not_implemented",
                           std::string(command) + " is not available in this build", "preflight");
    }
    throw PlCadPrepError("invalid_command", std::string(kUsageText), "preflight");
  } catch (const PlCadPrepError& e) {
    WritePreparationEvent(out, run.requestId, "error", e.stage, e.code, e.what());
    return ExitStatusForError(e.code, e.stage);
  } catch (const std::exception& e) {
    WritePreparationEvent(out, run.requestId, "error", run.stage, "internal_error", e.what());
    return 5;
  }
}

std::unique_ptr<PlCadPrepBackend> MakePlCadPrepBackend(PlCadPrepSourceFormat format) {
  // The mesh backend owns the refusal of the schema's unimplemented mesh formats.
  if (format == PlCadPrepSourceFormat::step || format == PlCadPrepSourceFormat::shapeDefinition) {
    return std::make_unique<PlCadPrepPendingBackend>();
  }
  return std::make_unique<PlCadPrepTriangleArchiveBackend>();
}

std::string ReadRequestFile(const std::filesystem::path& path) {
  if (!QueryPathStatus(path).RegularFile()) {
    throw PlCadPrepError("request_not_found", "request path is not a regular file", "preflight");
  }
  std::uint64_t size = 0;
  if (!QueryFileSize(path, size) || size > kMaxRequestBytes) {
    throw PlCadPrepError("request_too_large", "request exceeds the 1 MiB protocol limit",
                         "preflight");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    throw PlCadPrepError("request_read_failed", "request file could not be opened", "preflight");
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(size));
  std::array<char, kRequestReadChunkBytes> chunk{};
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad() || !in.eof()) {
    throw PlCadPrepError("request_read_failed", "request file could not be read", "preflight");
  }
  return text;
}

int ExitStatusForError(std::string_view code, std::string_view stage) {
  if (code == "backend_not_implemented") return 3;
  if (code == "cancelled") return 4;
  if (code == "invalid_event" || code == "invalid_event_stage") return 5;
  if (stage == "preflight") return 2;
  return 5;
}
