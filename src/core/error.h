#pragma once
// The one failure type that reaches the caller, the always-on invariant check,
// and the progress callback through which every stage reports how far it has come.
#include <cstdint>
#include <functional>
#include <new>
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

// The one invariant check, on in every build type: a broken invariant is a bug,
// so it throws std::logic_error(what), which the driver reports as "internal_error".
inline void PlRequire(bool holds, const char* what) {
  if (!holds) throw std::logic_error(what);
}

// Runs `build` and turns an allocation failure into "memory_limit_exceeded" at
// `stage`: std::bad_alloc with `failedMessage`, std::length_error with
// `exceedsMessage`. Every allocation-heavy builder shares this boundary.
template <typename Build>
auto WithinMemoryLimit(const char* stage, const char* failedMessage, const char* exceedsMessage,
                       Build&& build) -> decltype(build()) {
  try {
    return build();
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", failedMessage, stage);
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", exceedsMessage, stage);
  }
}

// (stage, completed, total): in `stage`, `completed` of `total` units are done.
// An empty callback means nobody listens; callers skip the call then.
using ProgressCallback =
    std::function<void(std::string_view stage, std::uint64_t completed, std::uint64_t total)>;
