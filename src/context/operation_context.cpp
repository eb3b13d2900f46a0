#include "context/operation_context.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

#include "request/prepare_request.h"

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// Subtracting more than the total holds would mean a reservation was forged.
void ReturnBytes(std::uint64_t& total, std::uint64_t bytes) noexcept {
  PlRequire(bytes <= total, "a reservation returns no more bytes than its ledger holds");
  total -= bytes;
}

// Adds `bytes` to `reserved` when the sum stays within `limit`; false and
// unchanged otherwise.
bool TakeBytes(std::uint64_t& reserved, std::uint64_t limit, std::uint64_t bytes) {
  if (reserved > limit || bytes > limit - reserved) return false;
  reserved += bytes;
  return true;
}

// What one kind of reservation draws on, and what it fails with when it does
// not fit or does not cover a stage's input.
struct ReservationRule {
  std::uint64_t PlCadPrepResourceLedger::*reserved;
  std::uint64_t PlCadPrepResourceLedger::*limit;
  const char* exceededCode;
  const char* exceededMessage;
  const char* lackingMessage;
};

// Indexed by PlCadPrepReservationKind.
constexpr std::array<ReservationRule, 2> kReservationRules = {{
    {&PlCadPrepResourceLedger::memoryReserved, &PlCadPrepResourceLedger::maxMemoryBytes,
     "memory_limit_exceeded", "preparation exceeds maxMemoryBytes",
     "stage input lacks its required request memory reservation"},
    {&PlCadPrepResourceLedger::outputReserved, &PlCadPrepResourceLedger::maxOutputBytes,
     "output_limit_exceeded", "preparation exceeds maxOutputBytes",
     "stage input lacks its required request output reservation"},
}};

static_assert(static_cast<std::size_t>(PlCadPrepReservationKind::memory) == 0 &&
              static_cast<std::size_t>(PlCadPrepReservationKind::output) == 1);

template <PlCadPrepReservationKind Kind>
constexpr const ReservationRule& RuleOf() {
  return kReservationRules[static_cast<std::size_t>(Kind)];
}

// After the stage checkpoint, takes `bytes` from the ledger within its limit,
// or fails with the kind's exceeded code and message at `stage`.
template <PlCadPrepReservationKind Kind>
PlCadPrepReservation<Kind> Reserve(const PlCadPrepOperationContext& context, std::uint64_t bytes,
                                   std::string_view stage) {
  constexpr const ReservationRule& rule = RuleOf<Kind>();
  CheckpointStage(context, stage);
  PlCadPrepResourceLedger& ledger = *context.ledger;
  if (!TakeBytes(ledger.*rule.reserved, ledger.*rule.limit, bytes)) {
    throw PlCadPrepError(rule.exceededCode, rule.exceededMessage, std::string(stage));
  }
  return PlCadPrepReservation<Kind>(context.ledger, bytes);
}

// After the stage checkpoint, throws "invalid_resource_reservation" with the
// kind's lacking message unless `reservation` comes from this run and covers `bytes`.
template <PlCadPrepReservationKind Kind>
void RequireReservation(const PlCadPrepOperationContext& context,
                        const PlCadPrepReservation<Kind>& reservation, std::uint64_t bytes,
                        std::string_view stage) {
  CheckpointStage(context, stage);
  if (reservation.ledger != context.ledger || reservation.bytes < bytes) {
    throw PlCadPrepError("invalid_resource_reservation", RuleOf<Kind>().lackingMessage,
                         std::string(stage));
  }
}

}  // namespace

template <PlCadPrepReservationKind Kind>
void PlCadPrepReservation<Kind>::Release() noexcept {
  if (ledger) {
    ReturnBytes((*ledger).*RuleOf<Kind>().reserved, bytes);
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
  return Reserve<PlCadPrepReservationKind::memory>(context, bytes, stage);
}

PlCadPrepOutputReservation ReserveOutput(const PlCadPrepOperationContext& context,
                                         std::uint64_t bytes, std::string_view stage) {
  return Reserve<PlCadPrepReservationKind::output>(context, bytes, stage);
}

void RequireMemoryReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepMemoryReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  RequireReservation(context, reservation, bytes, stage);
}

void RequireOutputReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepOutputReservation& reservation, std::uint64_t bytes,
                              std::string_view stage) {
  RequireReservation(context, reservation, bytes, stage);
}

ProgressCallback PlCadPrepLaterPassProgress(const ProgressCallback& progress,
                                            std::string_view stage) {
  if (!progress) return {};
  return [inner = progress, fixedStage = std::string(stage)](
             std::string_view, std::uint64_t completed, std::uint64_t total) {
    inner(fixedStage, completed, total);
  };
}
