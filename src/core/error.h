#pragma once
// The one failure type that reaches the caller, and the progress callback
// through which every stage reports how far it has come.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

// A failure the caller must see: what() is the event message, `code` the
// snake_case word callers test, `stage` the stage the failure is reported under.
class PlCadPrepError : public std::runtime_error {
 public:
  PlCadPrepError(std::string errorCode, const std::string& message, std::string errorStage)
      : std::runtime_error(message), code(std::move(errorCode)), stage(std::move(errorStage)) {}

  std::string code;
  std::string stage;
};

// (stage, completed, total): in `stage`, `completed` of `total` units are done.
// An empty callback means nobody listens; callers skip the call then.
using ProgressCallback =
    std::function<void(std::string_view stage, std::uint64_t completed, std::uint64_t total)>;
