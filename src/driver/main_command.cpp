#include "driver/main_command.h"

#include <array>
#include <exception>
#include <fstream>
#include <mutex>
#include <optional>

#include "backends/generated_archive_backend.h"
#include "backends/step_archive_backend.h"
#include "backends/triangle_archive_backend.h"
#include "context/operation_context.h"
#include "core/error.h"
#include "driver/capabilities.h"
#include "driver/elapsed_watchdog.h"
#include "driver/preparation_event.h"
#include "pipeline/prepare_pipeline.h"
#include "platform/event_output.h"
#include "platform/fault_trap.h"
#include "platform/file_system.h"
#include "platform/interrupt_cleanup.h"
#include "platform/process_limits.h"
#include "request/step_side_requests.h"
#include "step/step_review_model.h"
#include "step/step_seat_record.h"
#include "step/step_selection_record.h"
#include "step/step_selection_writer.h"

namespace {

constexpr std::size_t kRequestReadChunkBytes = 65'536;

bool IsRequestCommand(std::string_view command) {
  return command == "seat" || command == "review" || command == "select" || command == "prepare";
}

// Set by the executable's entry point alone, so that in-process callers of
// MainCommand (the tests) never limit or end their own process.
bool executableRun = false;

// The executable's backstop for maxMemoryBytes, set once the request is valid.
void LimitExecutableAddressSpace(std::uint64_t maxMemoryBytes) {
  if (executableRun) LimitPlCadPrepProcessAddressSpace(maxMemoryBytes);
}

// The driver's view of the run, which the error event needs wherever the
// failure happens. `lock` orders the event lines of the run's thread and of
// the elapsed watchdog; `ended` is set with the last line.
struct DriverRun {
  std::FILE* out;
  std::string requestId;
  std::string stage = "preflight";
  std::mutex lock;
  bool ended = false;
};

void WriteRunEvent(DriverRun& run, std::string_view event, std::string_view stage,
                   std::string_view code = "", std::string_view message = "",
                   std::uint64_t completed = 0, std::uint64_t total = 0) {
  const std::lock_guard<std::mutex> guard(run.lock);
  WritePreparationEvent(run.out, run.requestId, event, stage, code, message, completed, total);
  if (event == "complete" || event == "error") run.ended = true;
}

// Every progress report sets the driver's stage first, so a later failure
// without a stage of its own is reported where the run was.
ProgressCallback DriverProgress(DriverRun& run) {
  return [&run](std::string_view stage, std::uint64_t completed, std::uint64_t total) {
    {
      const std::lock_guard<std::mutex> guard(run.lock);
      run.stage = std::string(stage);
    }
    WriteRunEvent(run, "progress", stage, "", "", completed, total);
  };
}

void AcceptRequest(DriverRun& run, const std::string& requestId) {
  run.requestId = requestId;
  if (executableRun) {
    // A fault inside kernel work ends the process from the signal handler
    // with this run's error line, written without the heap.
    const std::string line =
        FormatPreparationEvent(run.requestId, "error", "import", "c", "m", 0, 0);
    SetFinalEventPrefix(std::string_view(line).substr(0, line.rfind("\"stage\":\"") + 9));
  }
  WriteRunEvent(run, "accepted", "preflight");
  const std::lock_guard<std::mutex> guard(run.lock);
  run.stage = "import";
}

int CompleteRun(DriverRun& run) {
  {
    const std::lock_guard<std::mutex> guard(run.lock);
    run.stage = "publish";
  }
  WriteRunEvent(run, "complete", "publish");
  return 0;
}

// A run still going a grace period after its elapsed limit is inside work
// that does not poll; it ends with the limit's event, where the run was. The
// lock is kept to the end, so no other line can follow.
void EndOverdueRun(DriverRun& run) {
  run.lock.lock();
  if (run.ended) {
    run.lock.unlock();
    return;
  }
  WritePreparationEvent(run.out, run.requestId, "error", run.stage, "elapsed_limit_exceeded",
                        "preparation exceeded maxElapsedMs");
  EndProcessNow(5);
}

// The executable's backstop for maxElapsedMs, from the moment the request is valid.
std::optional<PlCadPrepElapsedWatchdog> WatchElapsedTime(DriverRun& run,
                                                         std::uint64_t maxElapsedMs) {
  if (!executableRun) return std::nullopt;
  const std::int64_t deadlineNs = SteadyNowNs() +
                                  static_cast<std::int64_t>(maxElapsedMs) * 1'000'000 +
                                  kPlCadPrepElapsedGraceNs;
  return std::make_optional<PlCadPrepElapsedWatchdog>(deadlineNs, [&run] { EndOverdueRun(run); });
}

// Accepts a read request, then bounds the process by its memory limit and, for as
// long as the returned watchdog lives, by its elapsed-time limit.
template <typename Request>
[[nodiscard]] std::optional<PlCadPrepElapsedWatchdog> StartRequest(DriverRun& run,
                                                                   const Request& request) {
  AcceptRequest(run, request.requestId);
  LimitExecutableAddressSpace(request.maxMemoryBytes);
  return WatchElapsedTime(run, request.maxElapsedMs);
}

int RunPrepare(DriverRun& run, const std::filesystem::path& requestPath,
               const PlCadPrepBackendFactory& backends) {
  const std::string text = ReadRequestFile(requestPath);
  const PlCadPrepRequest request = ReadPlCadPrepRequest(text);
  const std::optional<PlCadPrepElapsedWatchdog> watchdog = StartRequest(run, request);

  const std::unique_ptr<PlCadPrepBackend> backend = backends(request.sourceFormat);
  const NeverCancelled cancellation;
  const PlCadPrepPublishResult result =
      PrepareAndPublish(request, *backend, cancellation, DriverProgress(run));

  if (result.stagingCleanupFailed) {
    {
      const std::lock_guard<std::mutex> guard(run.lock);
      run.stage = "publish";
    }
    WriteRunEvent(run, "warning", "publish", "staging_cleanup_warning", result.message);
  }
  return CompleteRun(run);
}

// seat, review and select: read the command's request, then run its worker,
// which validates the request before it imports anything.
template <typename Request>
int RunSideCommand(DriverRun& run, const std::filesystem::path& requestPath,
                   Request (*read)(std::string_view),
                   void (*work)(const Request&, const PlCadPrepCancellation&,
                                const ProgressCallback&)) {
  const std::string text = ReadRequestFile(requestPath);
  const Request request = read(text);
  const std::optional<PlCadPrepElapsedWatchdog> watchdog = StartRequest(run, request);
  const NeverCancelled cancellation;
  work(request, cancellation, DriverProgress(run));
  return CompleteRun(run);
}

}  // namespace

std::string NarrowCommandWord(std::string_view argument) {
  std::string word(argument);
  for (char& c : word) {
    if (static_cast<unsigned char>(c) >= 128) c = '?';
  }
  return word;
}

int RunPeltoCadPrep(int argc, const char* const* argv, std::FILE* events) {
  executableRun = true;
  EndProcessOnTrappedFaults();
  KeepPlCadPrepFreedMemoryForReuse();
  const std::string command = argc >= 2 ? NarrowCommandWord(argv[1]) : std::string();
  if (argc == 2 && command == "capabilities") {
    return MainCommand("capabilities", {}, events, MakePlCadPrepBackend);
  }
  if (argc == 3 && IsRequestCommand(command)) {
    return MainCommand(command, PathFromUtf8(argv[2]), events, MakePlCadPrepBackend);
  }
  return MainCommand("", {}, events, MakePlCadPrepBackend);
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

  DriverRun run{out, "", "preflight", {}, false};
  try {
    if (command == "prepare") return RunPrepare(run, requestPath, backends);
    if (command == "seat") {
      return RunSideCommand(run, requestPath, ReadPlCadPrepStepSeatRequest,
                            WritePlCadPrepStepSeatRecord);
    }
    if (command == "review") {
      return RunSideCommand(run, requestPath, ReadPlCadPrepStepReviewRequest,
                            WritePlCadPrepStepReviewModel);
    }
    if (command == "select") {
      return RunSideCommand(run, requestPath, ReadPlCadPrepStepRecordRequest,
                            WritePlCadPrepStepSelectionRecord);
    }
    throw PlCadPrepError("invalid_command", std::string(kUsageText), "preflight");
  } catch (const PlCadPrepError& e) {
    WriteRunEvent(run, "error", e.stage, e.code, e.what());
    return ExitStatusForError(e.code, e.stage);
  } catch (const std::exception& e) {
    WriteRunEvent(run, "error", run.stage, "internal_error", e.what());
    return 5;
  }
}

std::unique_ptr<PlCadPrepBackend> MakePlCadPrepBackend(PlCadPrepSourceFormat format) {
  // The mesh backend owns the refusal of the schema's unimplemented mesh formats.
  if (format == PlCadPrepSourceFormat::step) {
    return std::make_unique<PlCadPrepArchiveBackend>(ImportPlCadPrepStepSource);
  }
  if (format == PlCadPrepSourceFormat::shapeDefinition) {
    return std::make_unique<PlCadPrepArchiveBackend>(ImportPlCadPrepGeneratedSource,
                                                     GuardPlCadPrepGeneratedFrame);
  }
  return std::make_unique<PlCadPrepArchiveBackend>(ImportPlCadPrepMeshSource);
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
