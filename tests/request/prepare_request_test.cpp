#include "request/prepare_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using R = PlCadPrepRequest;
using Mutation = std::function<void(R&)>;

// A valid STL request document with `changes` applied: a change replaces the member
// of that name (adds it when new), and an empty value drops it.
std::string RequestText(const std::map<std::string, std::string>& changes = {}) {
  std::map<std::string, std::string> members = {
      {"schema", R"("pelto.geometry.prepare.request.v1")"},
      {"geometrySchema", R"("pelto.geometry.asset.v3")"},
      {"requestId", R"("job-1")"},
      {"inputPath", R"("/in/part.stl")"},
      {"outputPath", R"("/out/part.peltogeom")"},
      {"sourceFormat", R"("stl")"},
      {"sourceUnits", R"("mm")"},
      {"componentRole", R"("mold_shell")"},
      {"sourceToMount", "[1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1]"},
      {"allowedOrientationsDeg", "[0,90,180,270]"}};
  for (const auto& [name, value] : changes) {
    if (value.empty()) members.erase(name);
    if (!value.empty()) members[name] = value;
  }
  std::string text;
  for (const auto& [name, value] : members)
    text += (text.empty() ? "{\"" : ",\"") + name + "\":" + value;
  return text + "}";
}

auto Limits(const R& r) {
  return std::tuple(r.maxInputBytes, r.maxTriangles, r.maxElapsedMs, r.maxMemoryBytes,
                    r.maxOutputBytes);
}

Mutation Orient(std::vector<std::uint32_t> orientations) {
  return [orientations](R& r) { r.allowedOrientationsDeg = orientations; };
}

constexpr auto kStep = PlCadPrepSourceFormat::step;
constexpr auto kShape = PlCadPrepSourceFormat::shapeDefinition;
constexpr auto kStl = PlCadPrepSourceFormat::stl;
constexpr auto kObj = PlCadPrepSourceFormat::obj;

class PrepareRequest : public TempDirTest {
 protected:
  // Passes every rule: a source of `format` in the test folder and a free output name beside it.
  R ValidRequest(PlCadPrepSourceFormat format = kStl) const {
    const bool generated = format == kShape;
    R request;
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = "job-1";
    const std::string input =
        generated ? "shape-definition.json" : "part." + std::string(SourceFormatText(format));
    request.inputPath = fs::exists(dir / input) ? dir / input : WriteFile(input, "solid part\n");
    request.outputPath = dir / "part.peltogeom";
    request.sourceFormat = format;
    request.sourceUnits = generated || format == kStep ? "source" : "mm";
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    if (generated) {
      request.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
    }
    return request;
  }
  Mutation In(const fs::path& name) const {
    return [path = dir / name](R& r) { r.inputPath = path; };
  }
  Mutation Out(const fs::path& name) const {
    return [path = dir / name](R& r) { r.outputPath = path; };
  }
};

}  // namespace

TEST_F(PrepareRequest, ReadsEveryMemberAndKeepsDefaultsForOmittedOnes) {
  const R request = ReadPlCadPrepRequest(RequestText({
      {"sourceFormat", R"("step")"},
      {"inputPath", R"("/in/p\u00e4rt.STP")"},
      {"componentSelectionPath", R"("/in/selection.json")"},
      {"sourceToMount", "[0,-1,0,12.5, 1,0,0,-0, 0,0,1,1e9, 0,0,0,1]"},
      {"allowedOrientationsDeg", "[270,0,180,90]"},
      {"limits", R"({"maxOutputBytes":18446744073709551615,"maxTriangles":7,"maxElapsedMs":3,)"
                 R"("maxMemoryBytes":4,"maxInputBytes":5})"},
  }));
  EXPECT_EQ(request.schema, "pelto.geometry.prepare.request.v1");
  EXPECT_EQ(request.requestId, "job-1");
  EXPECT_EQ(request.inputPath, fs::path("/in/p\xC3\xA4rt.STP"));
  EXPECT_EQ(request.outputPath, fs::path("/out/part.peltogeom"));
  EXPECT_EQ(request.sourceFormat, kStep);
  EXPECT_EQ(request.sourceUnits, "mm");
  EXPECT_EQ(request.componentRole, "mold_shell");
  EXPECT_EQ(request.componentSelectionPath, fs::path("/in/selection.json"));
  const std::array<double, 16> transform = {0, -1, 0, 12.5, 1, 0, 0, 0, 0, 0, 1, 1e9, 0, 0, 0, 1};
  EXPECT_EQ(request.sourceToMount, transform);
  EXPECT_TRUE(std::signbit(request.sourceToMount[7]));
  EXPECT_EQ(request.allowedOrientationsDeg, (std::vector<std::uint32_t>{270, 0, 180, 90}));
  EXPECT_EQ(Limits(request), std::tuple(5u, 7u, 3u, 4u, std::numeric_limits<std::uint64_t>::max()));
  for (const char* limits : {"", "{}"}) {
    const R defaults = ReadPlCadPrepRequest(
        RequestText({{"limits", limits}, {"componentSelectionPath", R"("")"}}));
    EXPECT_TRUE(defaults.componentSelectionPath.empty()) << limits;
    EXPECT_EQ(Limits(defaults), Limits(R())) << limits;
  }
  // Zero reads fine; only validation refuses it.
  EXPECT_EQ(ReadPlCadPrepRequest(RequestText({{"limits", R"({"maxTriangles":0})"}})).maxTriangles,
            0u);
  const char* const texts[] = {"step", "pelto.shape.definition.v1", "iges", "3mf", "stl", "obj"};
  for (std::uint32_t i = 0; i < std::size(texts); ++i) {
    const auto format = static_cast<PlCadPrepSourceFormat>(i);  // the enumeration's values
    EXPECT_EQ(SourceFormatText(format), texts[i]);
    const std::string quoted = '"' + std::string(texts[i]) + '"';
    EXPECT_EQ(ReadPlCadPrepRequest(RequestText({{"sourceFormat", quoted}})).sourceFormat, format);
  }
  EXPECT_EQ(SourceFormatText(static_cast<PlCadPrepSourceFormat>(6)), "unknown");
}

TEST_F(PrepareRequest, RejectsBadDocumentsInReadingOrder) {
  const char* const kReq = "invalid_request";
  const auto with = [](const std::string& name, const std::string& value) {
    return RequestText({{name, value}});
  };
  // Duplicates before unknown names before missing ones; unknown names in byte order.
  // clang-format off
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {"{\"a\":1", "invalid_json", "unterminated JSON object at byte 6"},
      {RequestText({{"schema", ""}, {"notes", "1"}, {"\\u0072equestId", "7"}}), kReq,
       "duplicate request member: requestId"},
      {RequestText({{"notes", "1"}, {"Zeta", "2"}, {"schema", ""}}), kReq, "unknown request member: Zeta"},
      {with("schema", "1"), kReq, "schema must be a string"},
      {RequestText({{"geometrySchema", R"("pelto.geometry.asset.v2")"}, {"requestId", "1"}}),
       "invalid_geometry_schema", "geometrySchema must be pelto.geometry.asset.v3"},
      {with("sourceFormat", R"("STL")"), "unsupported_format",
       "sourceFormat must be step, pelto.shape.definition.v1, iges, 3mf, stl, or obj"},
      {with("componentSelectionPath", "null"), kReq, "componentSelectionPath must be a string"},
      {with("sourceToMount", "{}"), kReq, "sourceToMount must be an array"},
      {with("sourceToMount", "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0]"), kReq, "sourceToMount must contain 16 numbers"},
      {with("sourceToMount", "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,\"1\"]"), kReq, "sourceToMount must be a number"},
      {with("allowedOrientationsDeg", "0"), kReq, "allowedOrientationsDeg must be an array"},
      {with("allowedOrientationsDeg", "[0,360,\"x\"]"), "invalid_orientation",
       "version 3 orientations must be in [0, 360) degrees"},
      {with("allowedOrientationsDeg", "[\"x\",360]"), kReq, "allowedOrientationsDeg must be an integer"},
      {with("limits", "[]"), kReq, "limits must be an object"},
      {with("limits", R"({"maxTriangles":1,"maxTrianglez":1})"), kReq, "unknown limits member: maxTrianglez"},
      {with("limits", R"({"maxTriangles":1.5})"), kReq, "maxTriangles must be an unsigned integer"},
  };
  // clang-format on
  for (const auto& [text, code, message] : cases) {
    SCOPED_TRACE(text);
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepRequest(text); }, code, "preflight", message);
  }
  for (const char* name :
       {"schema", "geometrySchema", "requestId", "inputPath", "outputPath", "sourceFormat",
        "sourceUnits", "componentRole", "sourceToMount", "allowedOrientationsDeg"}) {
    ExpectPlCadPrepError([&] { (void)ReadPlCadPrepRequest(with(name, "")); }, kReq, "preflight",
                         "missing request member: " + std::string(name));
  }
}

TEST_F(PrepareRequest, LimitsAcceptTheirRangeInclusive) {
  const std::tuple<std::uint64_t R::*, std::uint64_t, const char*> limits[] = {
      {&R::maxInputBytes, 1'073'741'824, "maxInputBytes exceeds the hard preparation limit"},
      {&R::maxTriangles, 1'000'000, "maxTriangles exceeds the runtime asset contract"},
      {&R::maxElapsedMs, 1'800'000, "maxElapsedMs exceeds the hard preparation limit"},
      {&R::maxMemoryBytes, 8'589'934'592, "maxMemoryBytes exceeds the hard preparation limit"},
      {&R::maxOutputBytes, 1'073'741'824, "maxOutputBytes exceeds the hard preparation limit"},
  };
  for (const auto& [field, max, message] : limits) {
    for (const std::uint64_t value : {std::uint64_t{0}, std::uint64_t{1}, max, max + 1}) {
      SCOPED_TRACE(std::string(message) + " / " + std::to_string(value));
      R request;
      request.*field = value;
      if (value == 1 || value == max) {
        EXPECT_NO_THROW(ValidatePlCadPrepLimits(request));
        continue;
      }
      ExpectPlCadPrepError([&] { ValidatePlCadPrepLimits(request); }, "invalid_limits", "preflight",
                           message);
    }
  }
}

TEST_F(PrepareRequest, MountTransformMustBeRigidWithinTolerance) {
  const char* const kUnit = "sourceToMount rotation rows must have unit length";
  const char* const kOrthogonal = "sourceToMount rotation rows must be orthogonal";
  const char* const kRightHanded = "sourceToMount must be a right-handed rigid transform";
  const char* const kLastRow = "sourceToMount must have the affine last row [0,0,0,1]";
  const char* const kFinite = "sourceToMount must contain finite numbers";
  const double kThird = 1 / 3.0;
  // Each row changes elements of the identity (index, value, index, value...); null: accepted.
  // clang-format off
  const std::pair<std::vector<double>, const char*> cases[] = {
      {{3, 1e9, 7, -1e9, 11, 1e300}, nullptr},           // translation is free
      {{0, 0, 1, -1, 4, 1, 5, 0}, nullptr},              // a quarter turn
      // Every entry non-zero, so every determinant term counts.
      {{0, 2 * kThird, 1, -kThird, 2, 2 * kThird, 4, 2 * kThird, 5, 2 * kThird, 6, -kThird,
        8, -kThird, 9, 2 * kThird, 10, 2 * kThird}, nullptr},
      {{0, 1 + 4e-8}, nullptr},                          // squared length within
      {{12, 1e-7, 13, -1e-7, 14, 1e-7}, nullptr},        // last row at tolerance
      {{3, std::nan("")}, kFinite},
      {{7, std::numeric_limits<double>::infinity()}, kFinite},
      {{0, 1 + 2e-7, 14, 5}, kUnit},                     // also breaks a later rule
      {{0, 1 + 6e-8}, kUnit},
      {{4, 2e-7}, kOrthogonal},
      {{8, 2e-7}, kOrthogonal},
      {{5, 0.999999, 9, 0.5}, kUnit},
      {{9, 2e-7}, kOrthogonal},
      {{10, 1.000001}, kUnit},
      {{10, -1}, kRightHanded},
      {{0, 0, 1, 1, 4, 1, 5, 0}, kRightHanded},          // swapped axes
      {{13, std::nextafter(1e-7, 1.0)}, kLastRow},
      {{12, 2e-7}, kLastRow},
      {{14, -2e-7}, kLastRow},
      {{15, 0.9999998}, kLastRow},
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    R request;
    const auto& [changes, message] = cases[i];
    for (std::size_t k = 0; k < changes.size(); k += 2) {
      request.sourceToMount.at(static_cast<std::size_t>(changes[k])) = changes[k + 1];
    }
    if (message == nullptr) {
      EXPECT_NO_THROW(ValidatePlCadPrepMountTransform(request));
      continue;
    }
    ExpectPlCadPrepError([&] { ValidatePlCadPrepMountTransform(request); },
                         "invalid_mount_transform", "preflight", message);
  }
}

TEST_F(PrepareRequest, AcceptsValidRequests) {
  WriteFile("PART.STL", "0123456789");
  WriteFile("selection.json", "{}");
  fs::create_directory(dir / "mib");
  WriteFile("mib/shape-definition.json", std::string(1'048'576, ' '));
  fs::create_directory_symlink(dir, dir / "link");
  // clang-format off
  const std::pair<PlCadPrepSourceFormat, Mutation> variants[] = {
      {kStl, [](R&) {}}, {kObj, [](R&) {}}, {kStep, [](R&) {}}, {kShape, [](R&) {}},
      {kStl, In("PART.STL")},
      {kStl, [](R& r) { r.maxInputBytes = 11; }},  // the input's exact size
      {kStl, Out("Part.PeltoGeom")},
      {kStl, [](R& r) { r.componentRole = "fixture"; }},
      {kStl, [](R& r) { r.sourceUnits = "cm"; }},
      {kStl, [](R& r) { r.sourceUnits = "m"; }},
      {kStl, [](R& r) { r.sourceUnits = "in"; }},
      {kStl, [](R& r) { r.requestId = std::string(58, 'z') + "_-AZ09"; }},
      {kStl, Orient({0, 1, 15, 30, 45, 89, 90, 91, 105, 120, 135, 179,  // six bases
                     180, 181, 195, 210, 225, 269, 270, 271, 285, 300, 315, 359})},
      {kStl, [](R& r) { r.sourceToMount = {0, 0, 1, 5, 1, 0, 0, -5, 0, 1, 0, 1e9, 0, 0, 0, 1}; }},
      {kStep, [&](R& r) { r.componentRole = "component", r.componentSelectionPath = dir / "selection.json"; }},
      {kShape, In("mib/shape-definition.json")},
      // An input reached through a linked folder is not an alias of a new output beside it.
      {kStl, In("link/part.stl")},
  };
  // clang-format on
  for (std::size_t i = 0; i < std::size(variants); ++i) {
    R request = ValidRequest(variants[i].first);
    variants[i].second(request);
    EXPECT_NO_THROW(ValidatePlCadPrepRequest(request)) << i;
  }
}

// Every validation rule in checking order. Each row alone reports its own failure; with
// two rows of the same source format broken, the earlier row wins (the earlier row's
// change is made last, so on a shared field it simply overrides).
TEST_F(PrepareRequest, ReportsEachBrokenRuleAndTheEarliestOfAnyTwo) {
  for (const char* name : {"folder.step", "over"}) fs::create_directory(dir / name);
  WriteFile("part.stl", "solid part\n");
  WriteFile("Shape-Definition.json", "{}");
  WriteFile("empty.step", "");
  WriteFile("over/shape-definition.json", std::string(1'048'577, ' '));
  WriteFile("taken.peltogeom", "x");
  fs::create_symlink(dir / "nowhere", dir / "dangling.peltogeom");
  std::vector<std::uint32_t> twentyFive(25);
  std::iota(twentyFive.begin(), twentyFive.end(), 0u);
  const char* const kId =
      "requestId must contain 1-64 ASCII letters, digits, underscores, or hyphens";
  const char* const kCount = "version 3 requires one to twenty-four mounting orientations";
  const char* const kMeshUnits = "STL and OBJ require an explicit source unit";
  const char* const kRelative = "inputPath and outputPath must be absolute";
  const char* const kExists = "outputPath already exists and will not be overwritten";
  const char* const kOrient = "invalid_orientation";
  const char* const kRole = "invalid_component_role";
  const char* const kSelection = "invalid_component_selection_path";
  struct Rule {
    Mutation mutate;
    const char* code;
    const char* message;
    PlCadPrepSourceFormat format = kStep;
  };
  // clang-format off
  const Rule rules[] = {
      {[](R& r) { r.schema = "x"; }, "invalid_schema", "unsupported preparation request schema"},
      {[](R& r) { r.requestId.clear(); }, "invalid_request_id", kId},
      {[](R& r) { r.requestId = std::string(65, 'a'); }, "invalid_request_id", kId},
      {[](R& r) { r.requestId = "a b"; }, "invalid_request_id", kId},
      {[](R& r) { r.maxTriangles = 0; }, "invalid_limits", "maxTriangles exceeds the runtime asset contract"},
      {[](R& r) { r.sourceToMount[0] = 2; }, "invalid_mount_transform",
       "sourceToMount rotation rows must have unit length"},
      {[](R& r) { r.componentRole = "tool"; }, kRole, "componentRole must be mold_shell, fixture, or component"},
      {[](R& r) { r.componentRole = "component"; }, kRole, "componentRole must be mold_shell or fixture", kStl},
      {[](R& r) { r.componentSelectionPath = "/s"; }, kSelection,
       "componentSelectionPath is valid only for STEP sources", kObj},
      {[](R& r) { r.componentRole = "fixture"; }, kRole,
       "generated definitions require the mold_shell component role", kShape},
      {[](R& r) { r.componentSelectionPath = "/s"; }, kSelection,
       "generated definitions do not use STEP component selection", kShape},
      {[](R& r) { r.componentSelectionPath = "s.json"; }, "path_not_absolute",
       "componentSelectionPath must be absolute"},
      {[&](R& r) { r.componentSelectionPath = dir; }, "input_not_regular",
       "componentSelectionPath must name one readable regular file"},
      {Orient({}), kOrient, kCount},
      {Orient(twentyFive), kOrient, kCount},
      {Orient({90, 180, 270, 0, 0}), kOrient, "mounting orientations must be unique"},
      {Orient({0, 90, 180, 270, 360}), kOrient, "version 3 orientations must be in [0, 360) degrees"},
      {Orient({0, 1, 2, 3, 4, 5, 6}), kOrient, "version 3 permits at most six baked first-quarter base angles"},
      {Orient({45, 135, 225, 315}), kOrient, "version 3 requires the protected zero-degree base angle"},
      {Orient({0, 90, 180, 270, 10, 100, 190}), kOrient,
       "version 3 requires all four quarter-turn aliases for each base angle"},
      {[](R& r) { r.sourceUnits = "MM"; }, "invalid_units", "sourceUnits must be source, mm, cm, m, or in"},
      {[](R& r) { r.sourceUnits = "source"; }, "units_confirmation_required", kMeshUnits, kStl},
      {[](R& r) { r.sourceUnits = "source"; }, "units_confirmation_required", kMeshUnits, kObj},
      {[](R& r) { r.sourceUnits = "mm"; }, "invalid_units",
       "generated definition units must come from the canonical source", kShape},
      {[](R& r) { std::swap(r.allowedOrientationsDeg[0], r.allowedOrientationsDeg[1]); }, kOrient,
       "generated definitions require the twelve 30-degree orientations in canonical order", kShape},
      {[](R& r) { r.sourceToMount[0] = 1 - 1e-12; }, "invalid_mount_transform",
       "generated definitions are already seated and require identity sourceToMount", kShape},
      {[](R& r) { r.inputPath = "part.step"; }, "path_not_absolute", kRelative},
      {[](R& r) { r.outputPath = "part.peltogeom"; }, "path_not_absolute", kRelative},
      {In("folder.step"), "input_not_regular", "inputPath must name one readable regular file"},
      {In("empty.step"), "input_empty", "inputPath must name one non-empty readable file"},
      {[](R& r) { r.maxInputBytes = 1; }, "input_too_large", "input file exceeds maxInputBytes"},
      {In("over/shape-definition.json"), "input_too_large", "shape definition exceeds the 1 MiB contract", kShape},
      {In("Shape-Definition.json"), "invalid_generated_source_name",
       "generated definitions must use the stable shape-definition.json basename", kShape},
      {In("part.stl"), "format_extension_mismatch", "sourceFormat does not match the input filename extension"},
      {Out("part.zip"), "invalid_output_extension", "outputPath must end in .peltogeom"},
      {Out("taken.peltogeom"), "output_exists", kExists},
      {Out("dangling.peltogeom"), "output_exists", kExists},
      {Out("none/part.peltogeom"), "output_parent_missing", "outputPath parent must be an existing directory"},
  };
  // clang-format on
  for (std::size_t first = 0; first < std::size(rules); ++first) {
    for (std::size_t second = first; second < std::size(rules); ++second) {
      const Rule& a = rules[first];
      const Rule& b = rules[second];
      if (a.format != b.format) continue;
      SCOPED_TRACE(std::to_string(first) + ": " + a.message + " / " + std::to_string(second));
      R request = ValidRequest(a.format);
      if (first != second) b.mutate(request);
      a.mutate(request);
      ExpectPlCadPrepError([&] { ValidatePlCadPrepRequest(request); }, a.code, "preflight",
                           a.message);
    }
  }
}
