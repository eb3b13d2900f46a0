#include "step/step_seat_record.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/step_error_cases.h"

namespace {

constexpr PlCadPrepStepBox kCube = {{0.0, 0.0, 0.0}, {10.0, 20.0, 30.0}};

TEST(StepSeatRecord, ComputesTheTwentyFourMountsOnTheGridAndComposesTheRecord) {
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
  const auto seat = [](PlCadPrepStepBox box, void (*change)(PlCadPrepStepMounts&)) {
    return [=] {
      PlCadPrepStepMounts m = ComputePlCadPrepStepMounts(box, 0.5);
      change(m);
      CheckPlCadPrepStepMounts(m);
    };
  };
  ExpectStepErrors({
      {seat({{0, 0, 0}, {kInf, 1, 1}}, [](auto&) {}), "step_bounds_unbounded", "publish",
       "a seated mount is not a finite transform"},
      // Candidates are checked in order, each one completely.
      {seat(kCube, [](auto& m) { m[3].seatedBounds.min[1] = -1, m[5].seatedBounds.max[2] = kInf; }),
       "step_seat_below_mount_plane", "publish",
       "a seated mount would leave the mold below the mounting plane"},
  });

  const PlCadPrepStepSeatMeasurement measurement = {
      "sha256:" + std::string(64, 'a'), 0.5, {{-1e-7, 0, 0}, {50.1, 20, 30}}, kCube, 2, 1};
  const std::string record = ComposePlCadPrepStepSeatRecord(measurement, mounts);
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
  EXPECT_EQ(record.substr(0, head.size()), head);
}

}  // namespace
