#include "request/step_side_requests.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

// A select request document with `changes` applied: a change replaces the member
// of that name (adds it when new), and an empty value drops it.
std::string SelectText(const std::map<std::string, std::string>& changes = {}) {
  std::map<std::string, std::string> members = {
      {"schema", R"("pelto.geometry.select.request.v1")"},
      {"geometrySchema", R"("pelto.geometry.asset.v3")"},
      {"requestId", R"("review-7")"},
      {"inputPath", R"("/in/a.step")"},
      {"outputPath", R"("/out/a.json")"},
      {"targetLinearDeflectionMm", "0.25"},
      {"freeShellDecision", R"("none")"},
      {"excludedSolidOrdinals", "[3,1]"},
      {"sourceToMount", "[1,0,0,5, 0,1,0,0, 0,0,1,0, 0,0,0,1]"},
      {"allowedOrientationsDeg", "[270,0,90,180]"},
      {"limits", R"({"maxOutputBytes":1000})"}};
  for (const auto& [name, value] : changes) {
    if (value.empty()) {
      members.erase(name);
    } else {
      members[name] = value;
    }
  }
  std::string text;
  for (const auto& [name, value] : members) {
    text += (text.empty() ? "{\"" : ",\"") + name + "\":" + value;
  }
  return text + "}";
}

TEST(StepSideRequests, ReadsEveryMemberOfASelectRequestInDocumentOrder) {
  const PlCadPrepStepRecordRequest r = ReadPlCadPrepStepRecordRequest(SelectText());
  EXPECT_EQ(r.requestId, "review-7");
  EXPECT_EQ(r.inputPath, "/in/a.step");
  EXPECT_EQ(r.targetLinearDeflectionMm, 0.25);
  EXPECT_EQ(r.excludedSolidOrdinals, (std::vector<std::uint64_t>{3, 1}));
  EXPECT_EQ(r.allowedOrientationsDeg, (std::vector<std::int32_t>{270, 0, 90, 180}));
  EXPECT_EQ(r.sourceToMount[3], 5.0);
  EXPECT_EQ(r.maxOutputBytes, 1000U);
  EXPECT_EQ(r.maxTriangles, kDefaultMaxTriangles);

  const PlCadPrepStepRecordRequest noExclusions =
      ReadPlCadPrepStepRecordRequest(SelectText({{"excludedSolidOrdinals", ""}}));
  EXPECT_TRUE(noExclusions.excludedSolidOrdinals.empty());
}

TEST(StepSideRequests, ReadingFailuresNameTheMember) {
  struct Case {
    std::map<std::string, std::string> changes;
    const char* code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{{"extra", "1"}}, "invalid_request", "unknown request member: extra"},
      {{{"limits", R"({"maxTriangles":1,"speed":2})"}},
       "invalid_request",
       "unknown limits member: speed"},
      {{{"limits", "[]"}}, "invalid_request", "limits must be an object"},
      {{{"freeShellDecision", ""}}, "invalid_request", "missing request member: freeShellDecision"},
      {{{"excludedSolidOrdinals", "2"}},
       "invalid_request",
       "excludedSolidOrdinals must be an array"},
      {{{"sourceToMount", "{}"}}, "invalid_request", "sourceToMount must be an array"},
      {{{"sourceToMount", "[1,2]"}}, "invalid_request", "sourceToMount must contain 16 numbers"},
      {{{"allowedOrientationsDeg", "0"}},
       "invalid_request",
       "allowedOrientationsDeg must be an array"},
      {{{"allowedOrientationsDeg", "[0,360]"}},
       "invalid_orientation",
       "version 3 orientations must be in [0, 360) degrees"},
      {{{"geometrySchema", R"("pelto.geometry.asset.v2")"}},
       "invalid_geometry_schema",
       "geometrySchema must be pelto.geometry.asset.v3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepRecordRequest(SelectText(c.changes)); },
                         c.code, "preflight", c.message);
  }
  ExpectPlCadPrepError(
      [] {
        (void)ReadPlCadPrepStepSeatRequest(
            R"({"schema":"s","requestId":"a","inputPath":"/a","outputPath":"/b",)"
            R"("targetLinearDeflectionMm":1,"freeShellDecision":"none"})");
      },
      "invalid_request", "preflight", "unknown request member: freeShellDecision");
  ExpectPlCadPrepError(
      [] { (void)ReadPlCadPrepStepReviewRequest(R"({"schema":"s","schema":"t"})"); },
      "invalid_request", "preflight", "duplicate request member: schema");
}

class StepSideValidation : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    source = WriteFile("part.STP", "ISO-10303-21;");
  }

  template <typename Request>
  Request Side(const char* schema, const char* outputName) const {
    Request r;
    r.schema = schema;
    r.requestId = "r1";
    r.inputPath = source;
    r.outputPath = dir / outputName;
    r.targetLinearDeflectionMm = 0.5;
    return r;
  }

  PlCadPrepStepRecordRequest Select() const {
    auto r = Side<PlCadPrepStepRecordRequest>("pelto.geometry.select.request.v1", "record.json");
    r.freeShellDecision = "none";
    r.allowedOrientationsDeg = {0, 90, 180, 270};
    return r;
  }

  std::filesystem::path source;
};

TEST_F(StepSideValidation, EverySelectRuleHasItsOwnMessage) {
  using R = PlCadPrepStepRecordRequest;
  struct Case {
    std::function<void(R&)> change;
    const char* code;
    const char* message;
  };
  const auto orient = [](std::vector<std::int32_t> o) {
    return [o](R& r) { r.allowedOrientationsDeg = o; };
  };
  const auto exclude = [](std::vector<std::uint64_t> e) {
    return [e](R& r) { r.excludedSolidOrdinals = e; };
  };
  const char* kAliases = "version 3 requires all quarter-turn aliases for each base angle";
  const std::vector<Case> cases = {
      {[](R& r) { r.schema = "pelto.geometry.seat.request.v1"; }, "invalid_schema",
       "unsupported selection-record request schema"},
      {[](R& r) { r.requestId = ""; }, "invalid_request_id",
       "requestId must contain 1-64 characters"},
      {[](R& r) { r.requestId = std::string(65, 'a'); }, "invalid_request_id",
       "requestId must contain 1-64 characters"},
      {[](R& r) { r.targetLinearDeflectionMm = 0.0; }, "invalid_tessellation_options",
       "targetLinearDeflectionMm must be within (0, 15]"},
      {[](R& r) { r.targetLinearDeflectionMm = 15.5; }, "invalid_tessellation_options",
       "targetLinearDeflectionMm must be within (0, 15]"},
      {[](R& r) { r.freeShellDecision = "unreviewed"; }, "invalid_free_shell_decision",
       "freeShellDecision must be none, physical, or residue"},
      {orient({}), "invalid_orientation",
       "version 3 requires one to twenty-four mounting orientations"},
      {orient({0, 90, 180, 270, 90}), "invalid_orientation",
       "version 3 permits unique angles in [0, 360) only"},
      {orient({0, 90, 180}), "invalid_orientation", kAliases},
      {orient({90, 180, 270, 0, 10}), "invalid_orientation", kAliases},
      {orient({10, 100, 190, 280}), "invalid_orientation",
       "version 3 requires the protected zero-degree base angle"},
      {orient({0, 1, 2, 3, 4, 5, 6}), "invalid_orientation",
       "version 3 permits at most six baked base angles"},
      {exclude({2, 2}), "invalid_excluded_solid", "a solid was excluded twice"},
      {exclude({0}), "invalid_excluded_solid", "an excluded solid ordinal must be 1 or greater"},
      {exclude(std::vector<std::uint64_t>(4097, 1)), "invalid_excluded_solid",
       "more solids were excluded than a source may contain"},
      {[](R& r) { r.sourceToMount[7] = std::numeric_limits<double>::infinity(); },
       "invalid_mount_transform", "sourceToMount must contain 16 finite numbers"},
      {[](R& r) { r.inputPath = "part.stp"; }, "path_not_absolute",
       "inputPath and outputPath must be absolute"},
      {[this](R& r) { r.inputPath = dir; }, "input_not_regular",
       "inputPath must name one readable regular file"},
      {[this](R& r) { r.inputPath = WriteFile("part.stpx", "x"); }, "format_extension_mismatch",
       "selection records are produced from STEP sources only"},
      {[this](R& r) { r.outputPath = dir / "record.glb"; }, "invalid_output_extension",
       "outputPath must end in .json"},
      {[this](R& r) { r.outputPath = WriteFile("taken.json", "{}"); }, "output_exists",
       "outputPath already exists and will not be overwritten"},
      {[this](R& r) { r.outputPath = dir / "none" / "record.json"; }, "output_parent_missing",
       "outputPath parent must be an existing directory"},
  };
  ASSERT_NO_THROW(ValidatePlCadPrepStepRecordRequest(Select()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    R r = Select();
    c.change(r);
    ExpectPlCadPrepError([&] { ValidatePlCadPrepStepRecordRequest(r); }, c.code, "preflight",
                         c.message);
  }
  R eight = Select();
  eight.allowedOrientationsDeg = {0, 90, 180, 270, 45, 135, 225, 315};
  EXPECT_NO_THROW(ValidatePlCadPrepStepRecordRequest(eight));
}

TEST_F(StepSideValidation, SeatAndReviewHaveTheirOwnSchemaAndOutputTexts) {
  auto seat = Side<PlCadPrepStepSeatRequest>("pelto.geometry.seat.request.v1", "seat.json");
  EXPECT_NO_THROW(ValidatePlCadPrepStepSeatRequest(seat));
  auto review = Side<PlCadPrepStepReviewRequest>("pelto.geometry.review.request.v1", "model.GLB");
  EXPECT_NO_THROW(ValidatePlCadPrepStepReviewRequest(review));

  seat.schema = "pelto.geometry.review.request.v1";
  ExpectPlCadPrepError([&] { ValidatePlCadPrepStepSeatRequest(seat); }, "invalid_schema",
                       "preflight", "unsupported seat-measurement request schema");
  review.outputPath = dir / "model.json";
  ExpectPlCadPrepError([&] { ValidatePlCadPrepStepReviewRequest(review); },
                       "invalid_output_extension", "preflight", "outputPath must end in .glb");
  review.outputPath = dir / "model.glb";
  review.inputPath = WriteFile("part.iges", "x");
  ExpectPlCadPrepError([&] { ValidatePlCadPrepStepReviewRequest(review); },
                       "format_extension_mismatch", "preflight",
                       "review models are produced from STEP sources only");
}

TEST_F(StepSideValidation, InternalRequestsCarryThePolicyOfTheirCommand) {
  auto seat = Side<PlCadPrepStepSeatRequest>("pelto.geometry.seat.request.v1", "seat.json");
  seat.maxMemoryBytes = 12345;
  const PlCadPrepRequest fromSeat = MakePlCadPrepStepImportRequest(seat);
  EXPECT_EQ(fromSeat.outputPath, dir / "step-seat-unused.peltogeom");
  EXPECT_EQ(fromSeat.allowedOrientationsDeg, (std::vector<std::uint32_t>{0, 90, 180, 270}));
  EXPECT_EQ(fromSeat.sourceToMount, PlCadPrepRequest().sourceToMount);
  EXPECT_EQ(fromSeat.maxMemoryBytes, 12345U);
  EXPECT_EQ(fromSeat.sourceFormat, PlCadPrepSourceFormat::step);
  EXPECT_EQ(fromSeat.sourceUnits, "source");
  EXPECT_EQ(fromSeat.componentRole, "component");

  const auto review =
      Side<PlCadPrepStepReviewRequest>("pelto.geometry.review.request.v1", "model.glb");
  EXPECT_EQ(MakePlCadPrepStepImportRequest(review).outputPath,
            dir / "step-review-unused.peltogeom");

  PlCadPrepStepRecordRequest select = Select();
  select.allowedOrientationsDeg = {270, 0, 180, 90};
  select.sourceToMount[11] = 2.5;
  const PlCadPrepRequest fromSelect = MakePlCadPrepStepImportRequest(select);
  EXPECT_EQ(fromSelect.outputPath, dir / "step-select-unused.peltogeom");
  EXPECT_EQ(fromSelect.allowedOrientationsDeg, (std::vector<std::uint32_t>{270, 0, 180, 90}));
  EXPECT_EQ(fromSelect.sourceToMount[11], 2.5);
  EXPECT_EQ(fromSelect.requestId, "r1");
}

}  // namespace
