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

PlCadPrepOperationContext MakePlCadPrepOperationContext(const PlCadPrepRequest& request,
                                                        const PlCadPrepCancellation& cancellation) {
  auto ledger = std::make_shared<PlCadPrepResourceLedger>();
  ledger->maxInputBytes = request.maxInputBytes;
  ledger->maxTriangles = request.maxTriangles;
  ledger->maxElapsedMs = request.maxElapsedMs;
  ledger->maxMemoryBytes = request.maxMemoryBytes;
  ledger->maxOutputBytes = request.maxOutputBytes;
  return PlCadPrepOperationContext{std::move(ledger), &cancellation, SteadyNowNs()};
}

bool RequestLimitsMatchContext(const PlCadPrepRequest& request,
                               const PlCadPrepOperationContext& context) {
  const PlCadPrepResourceLedger& ledger = *context.ledger;
  return request.maxInputBytes == ledger.maxInputBytes &&
         request.maxTriangles == ledger.maxTriangles &&
         request.maxElapsedMs == ledger.maxElapsedMs &&
         request.maxMemoryBytes == ledger.maxMemoryBytes &&
         request.maxOutputBytes == ledger.maxOutputBytes;
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
  PlCadPrepResourceLedger& ledger = *context.ledger;
  if (ledger.memoryReserved <= ledger.maxMemoryBytes &&
      bytes <= ledger.maxMemoryBytes - ledger.memoryReserved) {
    ledger.memoryReserved += bytes;
    return PlCadPrepMemoryReservation(context.ledger, bytes);
  }
  throw PlCadPrepError("memory_limit_exceeded", "preparation exceeds maxMemoryBytes",
                       std::string(stage));
}

PlCadPrepOutputReservation ReserveOutput(const PlCadPrepOperationContext& context,
                                         std::uint64_t bytes, std::string_view stage) {
  CheckpointStage(context, stage);
  PlCadPrepResourceLedger& ledger = *context.ledger;
  if (ledger.outputReserved <= ledger.maxOutputBytes &&
      bytes <= ledger.maxOutputBytes - ledger.outputReserved) {
    ledger.outputReserved += bytes;
    return PlCadPrepOutputReservation(context.ledger, bytes);
  }
  throw PlCadPrepError("output_limit_exceeded", "preparation exceeds maxOutputBytes",
                       std::string(stage));
}

void RequireMemoryReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepMemoryReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  CheckpointStage(context, stage);
  if (reservation.ledger != context.ledger || reservation.bytes < bytes) {
    throw PlCadPrepError("invalid_resource_reservation",
                         "stage input lacks its required request memory reservation",
                         std::string(stage));
  }
}

void RequireOutputReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepOutputReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  CheckpointStage(context, stage);
  if (reservation.ledger != context.ledger || reservation.bytes < bytes) {
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
