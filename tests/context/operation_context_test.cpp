#include "context/operation_context.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"

namespace {

// Both byte limits 100, every other limit from a default request.
PlCadPrepOperationContext MakeContext(const PlCadPrepCancellation& cancellation) {
  PlCadPrepRequest request;
  request.maxMemoryBytes = request.maxOutputBytes = 100;
  return MakePlCadPrepOperationContext(request, cancellation);
}

// Each reservation counts against its own total and gives its bytes back exactly once:
// on release, destruction or move-assignment, never from a moved-from object. A stage
// input must carry a reservation of this run that covers it.
TEST(OperationContext, LedgersRefuseBeyondTheirLimitAndReturnBytesOnce) {
  const NeverCancelled never;
  const PlCadPrepOperationContext context = MakeContext(never);
  const PlCadPrepResourceLedger& ledger = *context.ledger;
  PlCadPrepOutputReservation output = ReserveOutput(context, 100, "package");
  ExpectPlCadPrepError([&] { (void)ReserveOutput(context, 1, "publish"); }, "output_limit_exceeded",
                       "publish", "preparation exceeds maxOutputBytes");
  {
    PlCadPrepMemoryReservation first = ReserveMemory(context, 60, "mesh");
    PlCadPrepMemoryReservation second = ReserveMemory(context, 40, "mesh");
    ExpectPlCadPrepError([&] { (void)ReserveMemory(context, 1, "voxel"); }, "memory_limit_exceeded",
                         "voxel", "preparation exceeds maxMemoryBytes");
    first = PlCadPrepMemoryReservation();
    const PlCadPrepMemoryReservation moved(std::move(second));
    EXPECT_EQ(std::tie(ledger.memoryReserved, second.ledger, second.bytes),
              std::tuple(40u, nullptr, 0u));
    RequireMemoryReservation(context, moved, 40, "mesh");
    ExpectPlCadPrepError([&] { RequireMemoryReservation(context, moved, 41, "voxel"); },
                         "invalid_resource_reservation", "voxel",
                         "stage input lacks its required request memory reservation");
  }
  EXPECT_EQ(std::tie(ledger.memoryReserved, ledger.outputReserved), std::tuple(0u, 100u));
  output = ReserveOutput(MakeContext(never), 70, "package");  // gives back, outlives its context
  EXPECT_EQ(std::tie(ledger.outputReserved, output.ledger->outputReserved), std::tuple(0u, 70u));
}

// A checkpoint names a cancellation first, then an elapsed limit already passed.
TEST(OperationContext, CheckpointReportsCancellationBeforeTheElapsedLimit) {
  PlCadPrepRequest request;
  request.maxElapsedMs = 0;
  SwitchCancellation cancellation;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  cancellation.cancelled = true;
  ExpectPlCadPrepError([&] { CheckpointStage(context, "mesh"); }, "cancelled", "mesh",
                       "preparation was cancelled");
  cancellation.cancelled = false;
  ExpectPlCadPrepError([&] { CheckpointStage(context, "voxel"); }, "elapsed_limit_exceeded",
                       "voxel", "preparation exceeded maxElapsedMs");
}

}  // namespace
