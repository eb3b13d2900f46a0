#pragma once
// One run's limits ledger, memory and output reservations, cancellation and
// elapsed-time checkpoints. Every stage asks it before it allocates or loops.
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/error.h"
#include "request/prepare_request.h"

// The five limits of one run; absent members keep the prepare defaults.
struct PlCadPrepLimits {
  std::uint64_t maxInputBytes = kDefaultMaxInputBytes;
  std::uint64_t maxTriangles = kDefaultMaxTriangles;
  std::uint64_t maxElapsedMs = kDefaultMaxElapsedMs;
  std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes;
  std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes;
};

// The request's five limits.
PlCadPrepLimits PlCadPrepRequestLimits(const PlCadPrepRequest& request);

// The run's limits and running totals. Shared by the context and every live
// reservation; invariant: memoryReserved <= maxMemoryBytes, outputReserved <= maxOutputBytes.
struct PlCadPrepResourceLedger {
  std::uint64_t maxInputBytes = 0;
  std::uint64_t maxTriangles = 0;
  std::uint64_t maxElapsedMs = 0;
  std::uint64_t maxMemoryBytes = 0;
  std::uint64_t maxOutputBytes = 0;
  std::uint64_t memoryReserved = 0;
  std::uint64_t outputReserved = 0;
};

class PlCadPrepCancellation {
 public:
  virtual ~PlCadPrepCancellation() = default;
  virtual bool IsCancelled() const = 0;
};

// The program's only cancellation: the command line offers no way to cancel.
class NeverCancelled final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return false; }
};

enum class PlCadPrepReservationKind { memory, output };

// A promise of bytes against one ledger total. Move-only; destroying it or
// move-assigning over it gives the bytes back exactly once.
template <PlCadPrepReservationKind Kind>
class PlCadPrepReservation {
 public:
  PlCadPrepReservation() = default;
  PlCadPrepReservation(std::shared_ptr<PlCadPrepResourceLedger> owner, std::uint64_t amount)
      : ledger(std::move(owner)), bytes(amount) {}
  PlCadPrepReservation(const PlCadPrepReservation&) = delete;
  PlCadPrepReservation& operator=(const PlCadPrepReservation&) = delete;
  PlCadPrepReservation(PlCadPrepReservation&& other) noexcept
      : ledger(std::move(other.ledger)), bytes(other.bytes) {
    other.bytes = 0;
  }
  PlCadPrepReservation& operator=(PlCadPrepReservation&& other) noexcept {
    if (this != &other) {
      Release();
      ledger = std::move(other.ledger);
      bytes = other.bytes;
      other.bytes = 0;
    }
    return *this;
  }
  ~PlCadPrepReservation() { Release(); }

  // Gives the bytes back now; the reservation then holds nothing.
  void Release() noexcept;

  std::shared_ptr<PlCadPrepResourceLedger> ledger;
  std::uint64_t bytes = 0;
};

using PlCadPrepMemoryReservation = PlCadPrepReservation<PlCadPrepReservationKind::memory>;
using PlCadPrepOutputReservation = PlCadPrepReservation<PlCadPrepReservationKind::output>;

// Passed by reference to every stage; never copied.
struct PlCadPrepOperationContext {
  std::shared_ptr<PlCadPrepResourceLedger> ledger;
  const PlCadPrepCancellation* cancellation = nullptr;
  std::int64_t startNs = 0;
};

// Nanoseconds of the steady clock; the one place the program reads a clock.
std::int64_t SteadyNowNs();

// A fresh ledger with these limits and the start time taken now.
PlCadPrepOperationContext MakePlCadPrepOperationContext(const PlCadPrepLimits& limits,
                                                        const PlCadPrepCancellation& cancellation);

// The same with the request's limits.
PlCadPrepOperationContext MakePlCadPrepOperationContext(const PlCadPrepRequest& request,
                                                        const PlCadPrepCancellation& cancellation);

// True when the five limits are the ones the context's ledger holds.
bool LimitsMatchContext(const PlCadPrepLimits& limits, const PlCadPrepOperationContext& context);

// The same for the request's limits.
bool RequestLimitsMatchContext(const PlCadPrepRequest& request,
                               const PlCadPrepOperationContext& context);

// Throws "cancelled" or "elapsed_limit_exceeded" under `stage` when the run must stop.
void CheckpointStage(const PlCadPrepOperationContext& context, std::string_view stage);

// Throws "memory_limit_exceeded" under `stage` and reserves nothing when the bytes do not fit.
[[nodiscard]] PlCadPrepMemoryReservation ReserveMemory(const PlCadPrepOperationContext& context,
                                                       std::uint64_t bytes, std::string_view stage);

// Throws "output_limit_exceeded" under `stage` and reserves nothing when the bytes do not fit.
[[nodiscard]] PlCadPrepOutputReservation ReserveOutput(const PlCadPrepOperationContext& context,
                                                       std::uint64_t bytes, std::string_view stage);

// Throws "invalid_resource_reservation" unless the reservation is this run's and covers `bytes`.
void RequireMemoryReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepMemoryReservation& reservation, std::uint64_t bytes,
                              std::string_view stage);
void RequireOutputReservation(const PlCadPrepOperationContext& context,
                              const PlCadPrepOutputReservation& reservation, std::uint64_t bytes,
                              std::string_view stage);

// Forwards every report of `progress` under the fixed `stage`; empty when `progress` is.
ProgressCallback PlCadPrepLaterPassProgress(const ProgressCallback& progress,
                                            std::string_view stage);
