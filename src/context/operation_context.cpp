#include "context/operation_context.h"

#include <cassert>
#include <chrono>
#include <string>

#include "request/prepare_request.h"

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// Subtracting more than the total holds would mean a reservation was forged.
void ReturnBytes(std::uint64_t& total, std::uint64_t bytes) noexcept {
  assert(bytes <= total);
  total -= bytes;
}

// Adds `bytes` to `reserved` when the sum stays within `limit`; false and
// unchanged otherwise.
bool TakeBytes(std::uint64_t& reserved, std::uint64_t limit, std::uint64_t bytes) {
  if (reserved > limit || bytes > limit - reserved) return false;
  reserved += bytes;
  return true;
}

template <PlCadPrepReservationKind Kind>
bool Covers(const PlCadPrepOperationContext& context,
            const PlCadPrepReservation<Kind>& reservation, std::uint64_t bytes) {
  return reservation.ledger == context.ledger && reservation.bytes >= bytes;
}

}  // namespace

template <PlCadPrepReservationKind Kind>
void PlCadPrepReservation<Kind>::Release() noexcept {
  if (ledger) {
    if constexpr (Kind == PlCadPrepReservationKind::memory) {
      ReturnBytes(ledger->memoryReserved, bytes);
    } else {
      ReturnBytes(ledger->outputReserved, bytes);
    }
    ledger.reset();
  }
  bytes = 0;
}

template class PlCadPrepReservation<PlCadPrepReservationKind::memory>;
template class PlCadPrepReservation<PlCadPrepReservationKind::output>;

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

PlCadPrepLimits PlCadPrepRequestLimits(const PlCadPrepRequest& request) {
  return PlCadPrepLimits{request.maxInputBytes, request.maxTriangles, request.maxElapsedMs,
                         request.maxMemoryBytes, request.maxOutputBytes};
}

PlCadPrepOperationContext MakePlCadPrepOperationContext(const PlCadPrepLimits& limits,
                                                        const PlCadPrepCancellation& cancellation) {
  auto ledger = std::make_shared<PlCadPrepResourceLedger>();
  ledger->maxInputBytes = limits.maxInputBytes;
  ledger->maxTriangles = limits.maxTriangles;
  ledger->maxElapsedMs = limits.maxElapsedMs;
  ledger->maxMemoryBytes = limits.maxMemoryBytes;
  ledger->maxOutputBytes = limits.maxOutputBytes;
  return PlCadPrepOperationContext{std::move(ledger), &cancellation, SteadyNowNs()};
}

PlCadPrepOperationContext MakePlCadPrepOperationContext(const PlCadPrepRequest& request,
                                                        const PlCadPrepCancellation& cancellation) {
  return MakePlCadPrepOperationContext(PlCadPrepRequestLimits(request), cancellation);
}

bool LimitsMatchContext(const PlCadPrepLimits& limits, const PlCadPrepOperationContext& context) {
  const PlCadPrepResourceLedger& ledger = *context.ledger;
  return limits.maxInputBytes == ledger.maxInputBytes &&
         limits.maxTriangles == ledger.maxTriangles &&
         limits.maxElapsedMs == ledger.maxElapsedMs &&
         limits.maxMemoryBytes == ledger.maxMemoryBytes &&
         limits.maxOutputBytes == ledger.maxOutputBytes;
}

bool RequestLimitsMatchContext(const PlCadPrepRequest& request,
                               const PlCadPrepOperationContext& context) {
  return LimitsMatchContext(PlCadPrepRequestLimits(request), context);
}

void CheckpointStage(const PlCadPrepOperationContext& context, std::string_view stage) {
  if (context.cancellation != nullptr && context.cancellation->IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled", std::string(stage));
  }
  // maxElapsedMs is at most 30 minutes after validation, so the product fits in
  // signed 64 bits; larger values (unvalidated contexts in tests) saturate instead.
  const std::uint64_t maxMs = context.ledger->maxElapsedMs;
  const std::int64_t limitNs = maxMs > static_cast<std::uint64_t>(INT64_MAX / kNsPerMs)
                                   ? INT64_MAX
                                   : static_cast<std::int64_t>(maxMs) * kNsPerMs;
  if (limitNs < SteadyNowNs() - context.startNs) {
    throw PlCadPrepError("elapsed_limit_exceeded", "preparation exceeded maxElapsedMs",
                         std::string(stage));
  }
}

PlCadPrepMemoryReservation ReserveMemory(const PlCadPrepOperationContext& context,
                                         std::uint64_t bytes, std::string_view stage) {
  CheckpointStage(context, stage);
  if (!TakeBytes(context.ledger->memoryReserved, context.ledger->maxMemoryBytes, bytes)) {
    throw PlCadPrepError("memory_limit_exceeded", "preparation exceeds maxMemoryBytes",
                         std::string(stage));
  }
  return PlCadPrepMemoryReservation(context.ledger, bytes);
}

PlCadPrepOutputReservation ReserveOutput(const PlCadPrepOperationContext& context,
                                         std::uint64_t bytes, std::string_view stage) {
  CheckpointStage(context, stage);
  if (!TakeBytes(context.ledger->outputReserved, context.ledger->maxOutputBytes, bytes)) {
    throw PlCadPrepError("output_limit_exceeded", "preparation exceeds maxOutputBytes",
                         std::string(stage));
  }
  return PlCadPrepOutputReservation(context.ledger, bytes);
}

void RequireMemoryReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepMemoryReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  CheckpointStage(context, stage);
  if (!Covers(context, reservation, bytes)) {
    throw PlCadPrepError("invalid_resource_reservation",
                         "stage input lacks its required request memory reservation",
                         std::string(stage));
  }
}

void RequireOutputReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepOutputReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  CheckpointStage(context, stage);
  if (!Covers(context, reservation, bytes)) {
    throw PlCadPrepError("invalid_resource_reservation",
                         "stage input lacks its required request output reservation",
                         std::string(stage));
  }
}

ProgressCallback PlCadPrepLaterPassProgress(const ProgressCallback& progress,
                                            std::string_view stage) {
  if (!progress) return {};
  return [inner = progress, fixedStage = std::string(stage)](
             std::string_view, std::uint64_t completed, std::uint64_t total) {
    inner(fixedStage, completed, total);
  };
}
