#include "request/prepare_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using R = PlCadPrepRequest;
using Mutation = std::function<void(R&)>;
constexpr auto kStep = PlCadPrepSourceFormat::step, kShape = PlCadPrepSourceFormat::shapeDefinition,
               kStl = PlCadPrepSourceFormat::stl, kObj = PlCadPrepSourceFormat::obj;

// A valid STL request document with `changes` applied: a change replaces the member
// of that name (adds it when new), and an empty value drops it.
std::string RequestText(const std::map<std::string, std::string>& changes) {
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
  for (const auto& [name, value] : changes)
    value.empty() ? (void)members.erase(name) : (void)(members[name] = value);
  std::string text;
  for (const auto& [name, value] : members)
    text += (text.empty() ? "{\"" : ",\"") + name + "\":" + value;
  return text + "}";
}

// Runs `fn`: it must pass when `message` is null, and fail with `code` and `message` otherwise.
void ExpectPreflight(const std::function<void()>& fn, const char* code, const char* message) {
  if (message != nullptr) return ExpectPlCadPrepError(fn, code, "preflight", message);
  EXPECT_NO_THROW(fn());
}

Mutation Orient(std::vector<std::uint32_t> o) {
  return [o](R& r) { r.allowedOrientationsDeg = o; };
}

class PrepareRequest : public TempDirTest {
 protected:
  // Passes every rule: a source of `format` in the test folder and a free output name beside it.
  R ValidRequest(PlCadPrepSourceFormat format) const {
    const bool generated = format == kShape;
    const std::string input =
        generated ? "shape-definition.json" : "part." + std::string(SourceFormatText(format));
    R r;
    r.schema = "pelto.geometry.prepare.request.v1", r.requestId = "job-1";
    r.inputPath = fs::exists(dir / input) ? dir / input : WriteFile(input, "solid part\n");
    r.outputPath = dir / "part.peltogeom", r.sourceFormat = format, r.componentRole = "mold_shell";
    r.sourceUnits = generated || format == kStep ? "source" : "mm";
    r.allowedOrientationsDeg = generated ? std::vector<std::uint32_t>{0,   30,  60,  90,  120, 150,
                                                                      180, 210, 240, 270, 300, 330}
                                         : std::vector<std::uint32_t>{0, 90, 180, 270};
    return r;
  }
  Mutation In(const fs::path& name) const {
    return [path = dir / name](R& r) { r.inputPath = path; };
  }
  Mutation Out(const fs::path& name) const {
    return [path = dir / name](R& r) { r.outputPath = path; };
  }
};

TEST_F(PrepareRequest, ReadsEveryMemberAndKeepsDefaultsForOmittedOnes) {
  const R r = ReadPlCadPrepRequest(RequestText(
      {{"sourceFormat", R"("step")"},
       {"componentSelectionPath", R"("/in/s\u00e4.json")"},
       {"sourceToMount", "[0,-1,0,12.5, 1,0,0,-0, 0,0,1,1e9, 0,0,0,1]"},
       {"limits", R"({"maxOutputBytes":18446744073709551615,"maxTriangles":7,"maxElapsedMs":3,)"
                  R"("maxMemoryBytes":4,"maxInputBytes":5})"}}));
  EXPECT_EQ(r.schema + r.requestId + r.sourceUnits + r.componentRole + r.inputPath.string() +
                r.outputPath.string() + r.componentSelectionPath.string(),
            "pelto.geometry.prepare.request.v1job-1mmmold_shell/in/part.stl/out/part.peltogeom/in/"
            "s\xC3\xA4.json");
  EXPECT_EQ(r.sourceToMount,
            (std::array<double, 16>{0, -1, 0, 12.5, 1, 0, 0, 0, 0, 0, 1, 1e9, 0, 0, 0, 1}));
  EXPECT_EQ(std::tuple(r.allowedOrientationsDeg, r.maxInputBytes, r.maxTriangles, r.maxElapsedMs,
                       r.maxMemoryBytes, r.maxOutputBytes, r.sourceFormat),
            std::tuple(std::vector<std::uint32_t>{0, 90, 180, 270}, 5u, 7u, 3u, 4u,
                       ~std::uint64_t{0}, kStep));
}

// Duplicates before unknown names before missing ones; unknown names in byte order.
TEST_F(PrepareRequest, RejectsBadDocumentsInReadingOrder) {
  const char* const kReq = "invalid_request";
  const std::tuple<std::map<std::string, std::string>, const char*, const char*> cases[] = {
      {{{"schema", ""}, {"notes", "1"}, {"\\u0072equestId", "7"}},
       kReq,
       "duplicate request member: requestId"},
      {{{"notes", "1"}, {"Zeta", "2"}, {"schema", ""}}, kReq, "unknown request member: Zeta"},
      {{{"schema", "1"}}, kReq, "schema must be a string"},
      {{{"geometrySchema", R"("pelto.geometry.asset.v2")"}, {"requestId", "1"}},
       "invalid_geometry_schema",
       "geometrySchema must be pelto.geometry.asset.v3"},
      {{{"sourceFormat", R"("STL")"}},
       "unsupported_format",
       "sourceFormat must be step, pelto.shape.definition.v1, iges, 3mf, stl, or obj"},
      {{{"sourceToMount", "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,\"1\"]"}},
       kReq,
       "sourceToMount must be a number"},
      {{{"allowedOrientationsDeg", "0"}}, kReq, "allowedOrientationsDeg must be an array"},
      {{{"allowedOrientationsDeg", "[0,360,\"x\"]"}},
       "invalid_orientation",
       "version 3 orientations must be in [0, 360) degrees"},
      {{{"limits", "[]"}}, kReq, "limits must be an object"},
      {{{"limits", R"({"maxTriangles":1,"maxTrianglez":1})"}},
       kReq,
       "unknown limits member: maxTrianglez"},
      {{{"limits", R"({"maxTriangles":1.5})"}}, kReq, "maxTriangles must be an unsigned integer"},
  };
  for (const auto& [changes, code, message] : cases)
    ExpectPreflight([&] { (void)ReadPlCadPrepRequest(RequestText(changes)); }, code, message);
}

TEST_F(PrepareRequest, LimitsAndMountTransformHoldAtTheirBounds) {
  const std::tuple<std::uint64_t R::*, std::uint64_t, const char*> limits[] = {
      {&R::maxInputBytes, 1'073'741'824, "maxInputBytes exceeds the hard preparation limit"},
      {&R::maxTriangles, 1'000'000, "maxTriangles exceeds the runtime asset contract"},
  };
  for (const auto& [field, max, message] : limits)
    for (const std::uint64_t value : {std::uint64_t{0}, std::uint64_t{1}, max, max + 1}) {
      R r;
      r.*field = value;
      ExpectPreflight([&] { ValidatePlCadPrepLimits(r); }, "invalid_limits",
                      value == 1 || value == max ? nullptr : message);
    }
  const double k3 = 1 / 3.0;
  // Each row changes elements of the identity (index, value, index, value...); null: accepted.
  const std::pair<std::vector<double>, const char*> cases[] = {
      {{3, 1e9, 7, -1e9, 11, 1e300, 0, 1 + 4e-8, 12, 1e-7, 13, -1e-7, 14, 1e-7},
       nullptr},  // at tolerance
      // Every entry non-zero, so every determinant term counts.
      {{0, 2 * k3, 1, -k3, 2, 2 * k3, 4, 2 * k3, 5, 2 * k3, 6, -k3, 8, -k3, 9, 2 * k3, 10, 2 * k3},
       nullptr},
      {{7, std::numeric_limits<double>::infinity()}, "sourceToMount must contain finite numbers"},
      {{0, 1 + 6e-8, 14, 5},
       "sourceToMount rotation rows must have unit length"},  // also breaks a later rule
      {{4, 2e-7}, "sourceToMount rotation rows must be orthogonal"},
      {{10, -1}, "sourceToMount must be a right-handed rigid transform"},
      {{13, std::nextafter(1e-7, 1.0)}, "sourceToMount must have the affine last row [0,0,0,1]"},
  };
  for (const auto& [changes, message] : cases) {
    R r;
    for (std::size_t k = 0; k < changes.size(); k += 2)
      r.sourceToMount.at(static_cast<std::size_t>(changes[k])) = changes[k + 1];
    ExpectPreflight([&] { ValidatePlCadPrepMountTransform(r); }, "invalid_mount_transform",
                    message);
  }
}

// Every validation rule in checking order, each broken alone.
TEST_F(PrepareRequest, ReportsEachBrokenRule) {
  for (const char* name : {"folder.step", "mib"}) fs::create_directory(dir / name);
  WriteFile("part.stl", "solid part\n");
  WriteFile("Shape-Definition.json", "{}");
  WriteFile("empty.step", "");
  fs::create_symlink(dir / "nowhere", dir / "dangling.peltogeom");
  WriteFile("PART.STL", "0123456789");
  WriteFile("mib/shape-definition.json", std::string(1'048'576, ' '));
  const char* const kOrient = "invalid_orientation";
  // {change, code, message (null: accepted, at the inclusive ends), source format}
  const std::tuple<Mutation, const char*, const char*, PlCadPrepSourceFormat> rules[] = {
      {[&](R& r) {
         r.inputPath = dir / "PART.STL", r.maxInputBytes = 10,
         r.outputPath = dir / "Part.PeltoGeom", r.sourceUnits = "in";
       },
       "", nullptr, kStl},
      {[](R& r) {
         r.componentRole = "fixture", r.sourceUnits = "cm",
         r.allowedOrientationsDeg = {0,   1,   15,  30,  45,  89,  90,  91,  105, 120, 135, 179,
                                     180, 181, 195, 210, 225, 269, 270, 271, 285, 300, 315, 359};
       },
       "", nullptr, kObj},
      {In("mib/shape-definition.json"), "", nullptr, kShape},
      {[](R& r) { r.requestId = ""; }, "invalid_request_id",
       "requestId must contain 1-64 ASCII letters, digits, underscores, or hyphens", kStl},
      {[](R& r) { r.componentSelectionPath = "/s"; }, "invalid_component_selection_path",
       "generated definitions do not use STEP component selection", kShape},
      {[](R& r) { r.componentRole = "tool"; }, "invalid_component_role",
       "componentRole must be mold_shell, fixture, or component", kStep},
      {[](R& r) { r.componentSelectionPath = "/s"; }, "invalid_component_selection_path",
       "componentSelectionPath is valid only for STEP sources", kObj},
      {[](R& r) { r.componentRole = "fixture"; }, "invalid_component_role",
       "generated definitions require the mold_shell component role", kShape},
      {Orient(std::vector<std::uint32_t>(25)), kOrient,
       "version 3 requires one to twenty-four mounting orientations", kStep},
      {Orient({0, 1, 2, 3, 4, 5, 6}), kOrient,
       "version 3 permits at most six baked first-quarter base angles", kStep},
      {Orient({45, 135, 225, 315}), kOrient,
       "version 3 requires the protected zero-degree base angle", kStep},
      {Orient({0, 90, 180, 270, 10, 100, 190}), kOrient,
       "version 3 requires all four quarter-turn aliases for each base angle", kStep},
      {[](R& r) { r.sourceUnits = "MM"; }, "invalid_units",
       "sourceUnits must be source, mm, cm, m, or in", kStep},
      {[](R& r) { r.sourceUnits = "source"; }, "units_confirmation_required",
       "STL and OBJ require an explicit source unit", kStl},
      {[](R& r) { r.sourceUnits = "mm"; }, "invalid_units",
       "generated definition units must come from the canonical source", kShape},
      {[](R& r) { std::swap(r.allowedOrientationsDeg[0], r.allowedOrientationsDeg[1]); }, kOrient,
       "generated definitions require the twelve 30-degree orientations in canonical order",
       kShape},
      {[](R& r) { r.sourceToMount[0] = 1 - 1e-12; }, "invalid_mount_transform",
       "generated definitions are already seated and require identity sourceToMount", kShape},
      {[](R& r) { r.inputPath = "part.step"; }, "path_not_absolute",
       "inputPath and outputPath must be absolute", kStep},
      {In("folder.step"), "input_not_regular", "inputPath must name one readable regular file",
       kStep},
      {In("empty.step"), "input_empty", "inputPath must name one non-empty readable file", kStep},
      {In("Shape-Definition.json"), "invalid_generated_source_name",
       "generated definitions must use the stable shape-definition.json basename", kShape},
      {In("part.stl"), "format_extension_mismatch",
       "sourceFormat does not match the input filename extension", kStep},
      {Out("part.zip"), "invalid_output_extension", "outputPath must end in .peltogeom", kStep},
      {Out("dangling.peltogeom"), "output_exists",
       "outputPath already exists and will not be overwritten", kStep},
      {Out("none/part.peltogeom"), "output_parent_missing",
       "outputPath parent must be an existing directory", kStep},
  };
  for (const auto& [change, code, message, format] : rules) {
    R r = ValidRequest(format);
    change(r);
    ExpectPreflight([&] { ValidatePlCadPrepRequest(r); }, code, message);
  }
}

}  // namespace
