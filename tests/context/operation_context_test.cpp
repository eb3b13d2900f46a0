#include "context/operation_context.h"

#include <gtest/gtest.h>

#include <limits>
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
  const char* const kLacking = "stage input lacks its required request memory reservation";
  PlCadPrepOutputReservation output = ReserveOutput(context, 100, "package");
  ExpectPlCadPrepError([&] { (void)ReserveOutput(context, 1, "publish"); }, "output_limit_exceeded",
                       "publish", "preparation exceeds maxOutputBytes");
  EXPECT_EQ(ReserveOutput(context, 0, "publish").bytes, 0u);  // a full ledger still grants nothing
  {
    PlCadPrepMemoryReservation first = ReserveMemory(context, 60, "mesh");
    PlCadPrepMemoryReservation second = ReserveMemory(context, 40, "mesh");
    ExpectPlCadPrepError([&] { (void)ReserveMemory(context, 1, "voxel"); }, "memory_limit_exceeded",
                         "voxel", "preparation exceeds maxMemoryBytes");
    first = PlCadPrepMemoryReservation();
    ExpectPlCadPrepError(  // must not wrap around the 60 free bytes
        [&] { (void)ReserveMemory(context, std::numeric_limits<std::uint64_t>::max(), "mesh"); },
        "memory_limit_exceeded", "mesh", "preparation exceeds maxMemoryBytes");
    const PlCadPrepMemoryReservation moved(std::move(second));
    EXPECT_EQ(std::tie(ledger.memoryReserved, second.ledger, second.bytes),
              std::tuple(40u, nullptr, 0u));
    RequireMemoryReservation(context, moved, 40, "mesh");
    ExpectPlCadPrepError([&] { RequireMemoryReservation(context, moved, 41, "voxel"); },
                         "invalid_resource_reservation", "voxel", kLacking);
    ExpectPlCadPrepError([&] { RequireMemoryReservation(context, second, 0, "voxel"); },
                         "invalid_resource_reservation", "voxel", kLacking);
  }
  EXPECT_EQ(std::tie(ledger.memoryReserved, ledger.outputReserved), std::tuple(0u, 100u));
  output = ReserveOutput(MakeContext(never), 70, "package");  // gives back, outlives its context
  EXPECT_EQ(std::tie(ledger.outputReserved, output.ledger->outputReserved), std::tuple(0u, 70u));
  ExpectPlCadPrepError([&] { RequireOutputReservation(context, output, 70, "voxel"); },
                       "invalid_resource_reservation", "voxel",
                       "stage input lacks its required request output reservation");
}

TEST(OperationContext, CheckpointReportsCancellationBeforeElapsedTime) {
  SwitchCancellation cancellation;
  PlCadPrepOperationContext context = MakeContext(cancellation);
  context.ledger->maxElapsedMs = std::numeric_limits<std::uint64_t>::max();  // saturates
  context.startNs = SteadyNowNs() - 2'000'000;                               // two milliseconds ago
  CheckpointStage(context, "import");
  context.ledger->maxElapsedMs = 1;
  ExpectPlCadPrepError([&] { (void)ReserveMemory(context, 1, "mesh"); }, "elapsed_limit_exceeded",
                       "mesh", "preparation exceeded maxElapsedMs");
  cancellation.cancelled = true;
  ExpectPlCadPrepError([&] { CheckpointStage(context, "voxel"); }, "cancelled", "voxel",
                       "preparation was cancelled");
}

TEST(OperationContext, LaterPassProgressReportsUnderItsFixedStage) {
  EXPECT_FALSE(PlCadPrepLaterPassProgress(ProgressCallback(), "import"));
  std::string seen;
  const ProgressCallback forwarded = PlCadPrepLaterPassProgress(
      [&](std::string_view stage, std::uint64_t done, std::uint64_t) {
        seen = std::string(stage) + std::to_string(done);
      },
      std::string("mesh"));  // gone before the call: the forwarder keeps its own copy
  forwarded("import", 1, 4);
  EXPECT_EQ(seen, "mesh1");
}

}  // namespace
