#include "context/operation_context.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <tuple>

#include "request/prepare_request.h"
#include "support/expect_error.h"

namespace {

class SwitchCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};

// Both byte limits 100, every other limit from a default request.
PlCadPrepOperationContext MakeContext(const PlCadPrepCancellation& cancellation) {
  PlCadPrepRequest request;
  request.maxMemoryBytes = 100;
  request.maxOutputBytes = 100;
  return MakePlCadPrepOperationContext(request, cancellation);
}

const NeverCancelled kNever;

}  // namespace

// Each reservation counts against its own total and gives its bytes back exactly once:
// on release, destruction or move-assignment, never from a moved-from object.
TEST(OperationContext, LedgersRefuseBeyondTheirLimitAndReturnBytesOnce) {
  const PlCadPrepOperationContext context = MakeContext(kNever);
  const PlCadPrepResourceLedger& ledger = *context.ledger;
  PlCadPrepOutputReservation output = ReserveOutput(context, 100, "package");
  ExpectPlCadPrepError([&] { (void)ReserveOutput(context, 1, "publish"); }, "output_limit_exceeded",
                       "publish", "preparation exceeds maxOutputBytes");
  {
    PlCadPrepMemoryReservation first = ReserveMemory(context, 60, "mesh");
    PlCadPrepMemoryReservation second = ReserveMemory(context, 40, "mesh");
    ExpectPlCadPrepError([&] { (void)ReserveMemory(context, 1, "voxel"); }, "memory_limit_exceeded",
                         "voxel", "preparation exceeds maxMemoryBytes");
    EXPECT_EQ(std::tie(ledger.memoryReserved, ledger.outputReserved), std::tuple(100u, 100u));
    first = PlCadPrepMemoryReservation();
    EXPECT_EQ(ledger.memoryReserved, 40u);
    ExpectPlCadPrepError(  // must not wrap around the 60 free bytes
        [&] { (void)ReserveMemory(context, std::numeric_limits<std::uint64_t>::max(), "mesh"); },
        "memory_limit_exceeded", "mesh", "preparation exceeds maxMemoryBytes");
    const PlCadPrepMemoryReservation moved(std::move(second));
    EXPECT_EQ(std::tie(second.ledger, second.bytes), std::tuple(nullptr, 0u));
  }
  EXPECT_EQ(std::tie(ledger.memoryReserved, ledger.outputReserved), std::tuple(0u, 100u));
  output.Release();
  EXPECT_EQ(std::tie(ledger.outputReserved, output.ledger), std::tuple(0u, nullptr));
  output = ReserveOutput(MakeContext(kNever), 70, "package");  // outlives its context
  EXPECT_EQ(output.ledger->outputReserved, 70u);
}

TEST(OperationContext, RequireReservationChecksLedgerAndBytes) {
  const PlCadPrepOperationContext context = MakeContext(kNever);
  const PlCadPrepOperationContext otherRun = MakeContext(kNever);
  const PlCadPrepMemoryReservation memory = ReserveMemory(context, 50, "mesh");
  const PlCadPrepOutputReservation output = ReserveOutput(context, 50, "mesh");
  const PlCadPrepMemoryReservation foreignMemory = ReserveMemory(otherRun, 100, "mesh");
  const PlCadPrepOutputReservation foreignOutput = ReserveOutput(otherRun, 100, "mesh");
  RequireMemoryReservation(context, memory, 50, "mesh");
  RequireOutputReservation(context, output, 50, "mesh");
  const PlCadPrepMemoryReservation none;
  const char* const kMemory = "stage input lacks its required request memory reservation";
  const char* const kOutput = "stage input lacks its required request output reservation";
  const std::tuple<const char*, std::function<void()>, const char*> cases[] = {
      {"too few", [&] { RequireMemoryReservation(context, memory, 51, "voxel"); }, kMemory},
      {"other run", [&] { RequireMemoryReservation(context, foreignMemory, 50, "voxel"); },
       kMemory},
      {"none", [&] { RequireMemoryReservation(context, none, 0, "voxel"); }, kMemory},
      {"too few", [&] { RequireOutputReservation(context, output, 51, "voxel"); }, kOutput},
      {"other run", [&] { RequireOutputReservation(context, foreignOutput, 1, "voxel"); }, kOutput},
  };
  for (const auto& [name, require, message] : cases) {
    SCOPED_TRACE(std::string(name) + " / " + message);
    ExpectPlCadPrepError(require, "invalid_resource_reservation", "voxel", message);
  }
}

TEST(OperationContext, CheckpointReportsCancellationBeforeElapsedTime) {
  SwitchCancellation cancellation;
  PlCadPrepOperationContext context = MakeContext(cancellation);
  context.ledger->maxElapsedMs = std::numeric_limits<std::uint64_t>::max();  // saturates
  context.startNs = SteadyNowNs() - 2'000'000;                               // two milliseconds ago
  CheckpointStage(context, "import");
  context.ledger->maxElapsedMs = 1;
  ExpectPlCadPrepError([&] { CheckpointStage(context, "heal"); }, "elapsed_limit_exceeded", "heal",
                       "preparation exceeded maxElapsedMs");
  ExpectPlCadPrepError([&] { (void)ReserveMemory(context, 1, "mesh"); }, "elapsed_limit_exceeded",
                       "mesh", "preparation exceeded maxElapsedMs");
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
  cancellation.cancelled = true;
  ExpectPlCadPrepError([&] { CheckpointStage(context, "voxel"); }, "cancelled", "voxel",
                       "preparation was cancelled");
  const PlCadPrepOutputReservation none;
  ExpectPlCadPrepError([&] { RequireOutputReservation(context, none, 0, "package"); }, "cancelled",
                       "package", "preparation was cancelled");
}

TEST(OperationContext, LaterPassProgressReportsUnderItsFixedStage) {
  EXPECT_FALSE(PlCadPrepLaterPassProgress(ProgressCallback(), "import"));
  std::string seen;
  const ProgressCallback forwarded = PlCadPrepLaterPassProgress(
      [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
        seen += std::string(stage) + " " + std::to_string(done) + "/" + std::to_string(total) + ";";
      },
      std::string("mesh"));  // gone before the calls: the forwarder keeps its own copy
  forwarded("import", 1, 4);
  forwarded("voxel", 4, 4);
  EXPECT_EQ(seen, "mesh 1/4;mesh 4/4;");
}
