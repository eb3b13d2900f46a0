#include "driver/preparation_event.h"

#include <array>

#include "core/error.h"
#include "core/json_text.h"

namespace {

constexpr std::array<std::string_view, 5> kEventKinds = {"accepted", "progress", "warning",
                                                         "complete", "error"};
constexpr std::array<std::string_view, 8> kStageNames = {
    "preflight", "import", "heal", "mesh", "validate", "voxel", "package", "publish"};

bool IsEventKind(std::string_view event) {
  for (const std::string_view kind : kEventKinds) {
    if (kind == event) return true;
  }
  return false;
}

}  // namespace

bool IsPreparationStage(std::string_view stage) {
  for (const std::string_view name : kStageNames) {
    if (name == stage) return true;
  }
  return false;
}

std::string FormatPreparationEvent(std::string_view requestId, std::string_view event,
                                   std::string_view stage, std::string_view code,
                                   std::string_view message, std::uint64_t completed,
                                   std::uint64_t total) {
  if (!IsEventKind(event)) {
    throw PlCadPrepError("invalid_event", "unsupported preparation event", "preflight");
  }
  if (!stage.empty() && !IsPreparationStage(stage)) {
    throw PlCadPrepError("invalid_event_stage", "unsupported preparation event stage", "import");
  }
  std::string line;
  line.reserve(96 + requestId.size() + code.size() + message.size());
  JsonTextWriter json(line);
  json.BeginObject();
  json.String("schema", "pelto.geometry.prepare.event.v1");
  json.String("requestId", requestId);
  json.String("event", event);
  if (!stage.empty()) json.String("stage", stage);
  if (event == "progress") {
    json.Unsigned("completed", completed);
    json.Unsigned("total", total);
  }
  if (!code.empty()) json.String("code", code);
  if (!message.empty()) json.String("message", message);
  json.EndObject();
  return line;
}

void WritePreparationEvent(std::FILE* out, std::string_view requestId, std::string_view event,
                           std::string_view stage, std::string_view code, std::string_view message,
                           std::uint64_t completed, std::uint64_t total) {
  std::string line =
      FormatPreparationEvent(requestId, event, stage, code, message, completed, total);
  line += '\n';
  // A closed or full standard output cannot be reported anywhere else; the exit
  // status still tells the outcome.
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}
