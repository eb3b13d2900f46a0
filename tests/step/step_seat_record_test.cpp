#include "step/step_seat_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "support/change_case.h"
#include "support/expect_error.h"
#include "support/step_side_request.h"
#include "support/temp_dir.h"

namespace {

constexpr PlCadPrepStepBox kCube = {{0.0, 0.0, 0.0}, {10.0, 20.0, 30.0}};

// The rotation part of a candidate, row by row, as '+', '0' and '-'.
std::string RotationSigns(const PlCadPrepStepMountCandidate& mount) {
  std::string signs;
  for (std::size_t i : {0, 1, 2, 4, 5, 6, 8, 9, 10}) {
    const double v = mount.sourceToMount[i];
    signs += v > 0 ? '+' : (v < 0 ? '-' : '0');
  }
  return signs;
}

class StepSeatRecord : public TempDirTest {
 protected:
  PlCadPrepStepSeatRequest Request(const TopoDS_Shape& shape) const {
    return MakeTestStepSideRequest<PlCadPrepStepSeatRequest>(
        kPlCadPrepStepSeatRequestSchema, "seat-1", shape, dir / "mold.step", dir / "seat.json");
  }
};

TEST_F(StepSeatRecord, ComputesTheTwentyFourMountsOnTheGrid) {
  // R = Q * F, four quarter turns per face, faces bottom, top, front, back, left, right.
  const char* const rotations[24] = {
      "+000+000+", "00+0+0-00", "-000+000-", "00-0+0+00", "+000-000-", "00-0-0-00",
      "-000-000+", "00+0-0+00", "+0000-0+0", "0+000--00", "-0000-0-0", "0-000-+00",
      "+0000+0-0", "0-000+-00", "-0000+0+0", "0+000++00", "0-0+0000+", "00++000+0",
      "0+0+0000-", "00-+000-0", "0+0-0000+", "00+-000-0", "0-0-0000-", "00--000+0"};
  const char* const faces[] = {"bottom", "top", "front", "back", "left", "right"};
  const PlCadPrepStepMounts mounts = ComputePlCadPrepStepMounts(kCube, 0.5);
  // Upside down, the rotated box spans y -20..0, so the lift becomes 20.5.
  EXPECT_EQ(mounts[4].sourceToMount,
            (std::array<double, 16>{1, 0, 0, -5, 0, -1, 0, 20.5, 0, 0, -1, 15, 0, 0, 0, 1}));
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    SCOPED_TRACE(i);
    const PlCadPrepStepMountCandidate& mount = mounts[i];
    EXPECT_EQ(PlCadPrepStepPlateFaceName(mount.plateFace), faces[i / 4]);
    EXPECT_EQ(mount.quarterTurns, static_cast<std::int32_t>(i % 4));
    EXPECT_EQ(RotationSigns(mount), rotations[i]);
    EXPECT_EQ(mount.seatedBounds.min[1], 0.5);
    EXPECT_EQ(mount.seatedBounds.min[0], -mount.seatedBounds.max[0]);
    EXPECT_EQ(mount.seatedBounds.min[2], -mount.seatedBounds.max[2]);
  }

  // Centre x = 0.04 gives tx = -0.04, which rounds to negative zero; centre
  // z = 0.05 sits halfway and rounds away from zero.
  const auto centred = ComputePlCadPrepStepMounts({{-4.96, 0.0, 0.0}, {5.04, 1.0, 0.1}}, 0.5);
  const std::string text = ComposePlCadPrepStepSeatRecord({}, centred);
  EXPECT_NE(text.find("\"sourceToMount\":[1,0,0,-0,0,1,0,0.5,0,0,1,-0.1"), std::string::npos)
      << text;
  // A lift is raised to the next grid line, never lowered.
  EXPECT_EQ(ComputePlCadPrepStepMounts(kCube, 0.41)[0].sourceToMount[7], 0.5);
}

TEST_F(StepSeatRecord, RefusesMountsThatCannotSeatTheMold) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr const char* kUnbounded = "a seated mount is not a finite transform";
  const struct {
    const char* name;
    PlCadPrepStepBox box;
    std::function<void(PlCadPrepStepMounts&)> change;
    const char* code;
    const char* message;
  } cases[] = {
      {"infinite box",
       {{0, 0, 0}, {kInf, 1, 1}},
       [](auto&) {},
       "step_bounds_unbounded",
       kUnbounded},
      {"nan entry", kCube, [](auto& m) { m[23].sourceToMount[5] = std::nan(""); },
       "step_bounds_unbounded", kUnbounded},
      // Candidates are checked in order, each one completely.
      {"below plate first", kCube,
       [](auto& m) { m[3].seatedBounds.min[1] = -0.1, m[5].seatedBounds.max[2] = kInf; },
       "step_seat_below_mount_plane",
       "a seated mount would leave the mold below the mounting plane"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepMounts mounts = ComputePlCadPrepStepMounts(c.box, 0.5);
    c.change(mounts);
    ExpectPlCadPrepError([&] { CheckPlCadPrepStepMounts(mounts); }, c.code, "publish", c.message);
  }
}

TEST_F(StepSeatRecord, ComposesTheRecordInMemberOrder) {
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
      bottom + "},{";
  const std::string tail =
      "{\"plateFace\":\"right\",\"quarterTurns\":3,\"sourceToMount\":[0,0,-1,15,-1,0,0,10.5,0,1,0,"
      "-10,0,0,0,1],\"seatedBoundsMm\":{\"minXMm\":-15,\"minYMm\":0.5,\"minZMm\":-10,\"maxXMm\":15,"
      "\"maxYMm\":10.5,\"maxZMm\":10}}],\"solidOccurrenceCount\":2,\"freeShellOccurrenceCount\":1}";
  EXPECT_EQ(text.substr(0, head.size()), head);
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(StepSeatRecord, WritesTheRecordOfAMeasuredSourceAndNothingOnFailure) {
  const PlCadPrepStepSeatRequest measured = Request(
      MakeTestCompound({MakeTestBox(10, 20, 30), MakeTestFreeShell(1, 1, 1, gp_Pnt(50, 0, 0))}));
  WritePlCadPrepStepSeatRecord(measured, NeverCancelled(), {});
  const std::string text = ReadFile(measured.outputPath);
  // The mold is the box alone; its measured extent grows by the shape
  // tolerance (1e-7 mm), so the 0.5 mm lift rises to the next grid line.
  EXPECT_NE(text.find(",\"sourceToMount\":[1,0,0,-5,0,1,0,0.60000000000000009,0,0,1,-15,"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("],\"solidOccurrenceCount\":1,\"freeShellOccurrenceCount\":1}"),
            std::string::npos);

  const StagedChangeCase<PlCadPrepStepSeatRequest> cases[] = {
      {"request check", [](auto& r) { r.targetLinearDeflectionMm = 0.0; },
       "invalid_tessellation_options", "preflight",
       "targetLinearDeflectionMm must be within (0, 15]"},
      {"free shells only",
       [](auto& r) { WriteTestStep(MakeTestFreeShell(1, 1, 1, gp_Pnt()), r.inputPath); },
       "step_no_selected_solids", "heal", "STEP solids-only diagnostic found no solid"},
      {"output limit", [](auto& r) { r.maxOutputBytes = 64; }, "output_limit_exceeded", "publish",
       "preparation exceeds maxOutputBytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepSeatRequest request = Request(MakeTestBox(10, 20, 30));
    request.outputPath = dir / "failed.json";
    c.change(request);
    ExpectPlCadPrepError([&] { WritePlCadPrepStepSeatRecord(request, NeverCancelled(), {}); },
                         c.code, c.stage, c.message);
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
  }
}

}  // namespace
