#include "request/step_side_requests.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

// A select request that sets every member.
constexpr std::string_view kSelect =
    R"({"schema":"pelto.geometry.select.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
    R"("requestId":"review-7","inputPath":"/in/a.step","outputPath":"/out/a.json",)"
    R"("targetLinearDeflectionMm":0.25,"freeShellDecision":"none","excludedSolidOrdinals":[3,1],)"
    R"("sourceToMount":[1,0,0,5,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":[270,0,90,180],)"
    R"("limits":{"maxOutputBytes":1000}})";

TEST(StepSideRequests, ReadsASelectRequestAndNamesTheFailingMember) {
  const PlCadPrepStepRecordRequest r = ReadPlCadPrepStepRecordRequest(kSelect);
  EXPECT_EQ(r.requestId + r.inputPath.string() + r.freeShellDecision, "review-7/in/a.stepnone");
  EXPECT_EQ(std::tuple(r.targetLinearDeflectionMm, r.sourceToMount[3], r.maxOutputBytes,
                       r.excludedSolidOrdinals[0], r.allowedOrientationsDeg[0]),
            std::tuple(0.25, 5.0, 1000U, 3U, 270));
  const std::string seat = R"({"schema":"s","requestId":"a","inputPath":"/a","outputPath":"/b",)"
                           R"("targetLinearDeflectionMm":1,"freeShellDecision":"none"})";
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSeatRequest(seat); }, "invalid_request",
                       "preflight", "unknown request member: freeShellDecision");
}

class StepSideValidation : public TempDirTest {
 protected:
  // A valid request of `command`, held as a select request whatever the command.
  PlCadPrepStepRecordRequest Valid(const std::string& command) const {
    PlCadPrepStepRecordRequest r;
    r.schema = "pelto.geometry." + command + ".request.v1", r.requestId = "r1",
    r.inputPath = dir / "part.STP";
    r.outputPath = dir / (command == "review" ? "model.GLB" : "record.json");
    r.targetLinearDeflectionMm = 0.5, r.freeShellDecision = "none",
    r.allowedOrientationsDeg = {0, 90, 180, 270};
    return r;
  }
  static void Validate(const std::string& command, const PlCadPrepStepRecordRequest& r) {
    const PlCadPrepStepSideRequest& side = r;
    if (command == "seat") return ValidatePlCadPrepStepSeatRequest(PlCadPrepStepSeatRequest{side});
    if (command == "review")
      return ValidatePlCadPrepStepReviewRequest(PlCadPrepStepReviewRequest{side});
    ValidatePlCadPrepStepRecordRequest(r);
  }
};

TEST_F(StepSideValidation, EveryRuleHasItsOwnMessage) {
  for (const char* name : {"part.iges", "part.stpx"}) WriteFile(name, "x");
  WriteFile("part.STP", "ISO-10303-21;");
  using R = PlCadPrepStepRecordRequest&;
  const auto orient = [](std::vector<std::int32_t> o) {
    return [o](R r) { r.allowedOrientationsDeg = o; };
  };
  const auto path = [this](const char* in, const char* out) {
    return [=, this](R r) { (*in ? r.inputPath : r.outputPath) = dir / (*in ? in : out); };
  };
  const char *kExcluded = "invalid_excluded_solid", *kOrient = "invalid_orientation",
             *kMismatch = "format_extension_mismatch";
  // {command, change, code, message}; rows that break two rules expect the earlier one.
  const std::vector<std::tuple<const char*, std::function<void(R)>, const char*, const char*>>
      cases = {
          {"select", [](R r) { r.schema = "pelto.geometry.seat.request.v1"; }, "invalid_schema",
           "unsupported selection-record request schema"},
          {"seat", [](R r) { r.requestId = std::string(65, 'a'); }, "invalid_request_id",
           "requestId must contain 1-64 characters"},
          {"select", [](R r) { r.targetLinearDeflectionMm = 0.0, r.freeShellDecision = "x"; },
           "invalid_tessellation_options", "targetLinearDeflectionMm must be within (0, 15]"},
          {"select", [](R r) { r.freeShellDecision = "unreviewed"; }, "invalid_free_shell_decision",
           "freeShellDecision must be none, physical, or residue"},
          {"select", orient({0, 90, 180, 270, 90}), kOrient,
           "version 3 permits unique angles in [0, 360) only"},
          {"select", orient({90, 180, 270, 0, 10}), kOrient,
           "version 3 requires all quarter-turn aliases for each base angle"},
          {"select", [](R r) { r.excludedSolidOrdinals = {0}, r.inputPath = "part.stp"; },
           kExcluded, "an excluded solid ordinal must be 1 or greater"},
          {"select", [](R r) { r.excludedSolidOrdinals.assign(4097, 1); }, kExcluded,
           "more solids were excluded than a source may contain"},
          {"select", [](R r) { r.sourceToMount[7] = std::numeric_limits<double>::infinity(); },
           "invalid_mount_transform", "sourceToMount must contain 16 finite numbers"},
          {"select", path("part.stpx", ""), kMismatch,
           "selection records are produced from STEP sources only"},
      };
  for (const auto& [command, change, code, message] : cases) {
    SCOPED_TRACE(std::string(command) + ": " + message);
    PlCadPrepStepRecordRequest r = Valid(command);
    change(r);
    ExpectPlCadPrepError([&] { Validate(command, r); }, code, "preflight", message);
  }
  for (const char* command : {"seat", "review"}) EXPECT_NO_THROW(Validate(command, Valid(command)));
}

}  // namespace
