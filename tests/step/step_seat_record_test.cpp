#include "step/step_seat_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "support/expect_error.h"
#include "support/step_side_request.h"
#include "support/temp_dir.h"

namespace {

constexpr PlCadPrepStepBox kCube = {{0.0, 0.0, 0.0}, {10.0, 20.0, 30.0}};

TEST(StepSeatRecord, ComputesTheTwentyFourMountsOnTheGrid) {
  const PlCadPrepStepMounts mounts = ComputePlCadPrepStepMounts(kCube, 0.5);
  for (const PlCadPrepStepMountCandidate& mount : mounts) EXPECT_EQ(mount.seatedBounds.min[1], 0.5);
  EXPECT_EQ(PlCadPrepStepPlateFaceName(mounts[22].plateFace), std::string("right"));
  EXPECT_EQ(mounts[22].quarterTurns, 2);
  // A lift is raised to the next grid line, never lowered.
  EXPECT_EQ(ComputePlCadPrepStepMounts(kCube, 0.41)[0].sourceToMount[7], 0.5);
  // Centre x = 0.04 gives tx = -0.04, which rounds to negative zero; centre z = 0.05 sits
  // halfway and rounds away from zero.
  const auto centred = ComputePlCadPrepStepMounts({{-4.96, 0.0, 0.0}, {5.04, 1.0, 0.1}}, 0.5);
  const std::string text = ComposePlCadPrepStepSeatRecord({}, centred);
  EXPECT_NE(text.find("\"sourceToMount\":[1,0,0,-0,0,1,0,0.5,0,0,1,-0.1"), std::string::npos)
      << text;

  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr const char* kUnbounded = "a seated mount is not a finite transform";
  const struct {
    PlCadPrepStepBox box;
    std::function<void(PlCadPrepStepMounts&)> change;
    const char* code;
    const char* message;
  } cases[] = {
      // clang-format off
      {{{0, 0, 0}, {kInf, 1, 1}}, [](auto&) {}, "step_bounds_unbounded", kUnbounded},
      // Candidates are checked in order, each one completely.
      {kCube, [](auto& m) { m[3].seatedBounds.min[1] = -0.1, m[5].seatedBounds.max[2] = kInf; },
       "step_seat_below_mount_plane",
       "a seated mount would leave the mold below the mounting plane"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PlCadPrepStepMounts changed = ComputePlCadPrepStepMounts(c.box, 0.5);
    c.change(changed);
    ExpectPlCadPrepError([&] { CheckPlCadPrepStepMounts(changed); }, c.code, "publish", c.message);
  }
}

TEST(StepSeatRecord, ComposesTheRecordInMemberOrder) {
  const PlCadPrepStepSeatMeasurement measurement = {
      "sha256:" + std::string(64, 'a'), 0.5, {{-1e-7, 0, 0}, {50.1, 20, 30}}, kCube, 2, 1};
  const std::string text =
      ComposePlCadPrepStepSeatRecord(measurement, ComputePlCadPrepStepMounts(kCube, 0.5));
  const std::string bottom =
      "\"sourceToMount\":[1,0,0,-5,0,1,0,0.5,0,0,1,-15,0,0,0,1],\"seatedBoundsMm\":{\"minXMm\":-5,"
      "\"minYMm\":0.5,\"minZMm\":-15,\"maxXMm\":5,\"maxYMm\":20.5,\"maxZMm\":15}";
  const std::string head =
      "{\"schema\":\"pelto.geometry.seat.v2\",\"sourceSha256\":\"" + measurement.sourceSha256 +
      "\",\"targetLinearDeflectionMm\":0.5,\"mountLiftMm\":0.5,\"sourceBoundsMm\":{\"minXMm\":-9."
      "9999999999999995e-08,\"minYMm\":0,\"minZMm\":0,\"maxXMm\":50.100000000000001,\"maxYMm\":20,"
      "\"maxZMm\":30},\"moldBoundsMm\":{\"minXMm\":0,\"minYMm\":0,\"minZMm\":0,\"maxXMm\":10,"
      "\"maxYMm\":20,\"maxZMm\":30}," +
      bottom +
      ",\"defaultMountIndex\":0,\"mounts\":[{\"plateFace\":\"bottom\",\"quarterTurns\":0," +
      bottom + "},{\"plateFace\":\"bottom\",\"quarterTurns\":1,";
  EXPECT_EQ(text.substr(0, head.size()), head);
}

using StepSeatRecordFile = TempDirTest;

TEST_F(StepSeatRecordFile, WritesTheRecordOfAMeasuredSource) {
  const PlCadPrepStepSeatRequest measured = MakeTestStepSideRequest<PlCadPrepStepSeatRequest>(
      kPlCadPrepStepSeatRequestSchema, "seat-1",
      MakeTestCompound({MakeTestBox(10, 20, 30), MakeTestFreeShell(1, 1, 1, gp_Pnt(50, 0, 0))}),
      dir / "mold.step", dir / "seat.json");
  WritePlCadPrepStepSeatRecord(measured, NeverCancelled(), {});
  const std::string text = ReadFile(measured.outputPath);
  // The mold is the box alone; its measured extent grows by the shape tolerance (1e-7 mm), so
  // the 0.5 mm lift rises to the next grid line.
  EXPECT_NE(text.find(",\"sourceToMount\":[1,0,0,-5,0,1,0,0.60000000000000009,0,0,1,-15,"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("],\"solidOccurrenceCount\":1,\"freeShellOccurrenceCount\":1}"),
            std::string::npos);
}

}  // namespace
