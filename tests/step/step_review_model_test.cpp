#include "step/step_review_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "request/json_reader.h"
#include "step/step_import.h"
#include "step/step_side_command.h"
#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

// Reads the GLB's JSON through the program's own reader; a missing member or
// element fails the test.
class Json {
 public:
  Json(std::string_view jsonText, JsonValueSpan value) : text(jsonText), span(value) {}
  Json operator[](std::string_view name) const {
    for (const JsonMemberSpan& member : ReadJsonObjectMembers(text, span)) {
      if (DecodeJsonString(text, member.keyOffset) == name) return Json(text, member.value);
    }
    ADD_FAILURE() << "missing member " << name;
    return Json(text, JsonValueSpan{});
  }
  Json operator[](std::size_t index) const {
    const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, span);
    if (index < elements.size()) return Json(text, elements[index]);
    ADD_FAILURE() << "missing element " << index;
    return Json(text, JsonValueSpan{});
  }
  std::size_t Size() const { return ReadJsonArrayElements(text, span).size(); }
  std::string Str() const { return DecodeJsonString(text, span.begin); }
  std::uint64_t U64() const { return ReadJsonUnsignedValue(text, span, "test"); }
  float F32() const { return std::strtof(std::string(Raw()).c_str(), nullptr); }
  std::string_view Raw() const { return text.substr(span.begin, span.end - span.begin); }

 private:
  std::string_view text;
  JsonValueSpan span;
};

struct Glb {
  std::string json;
  std::vector<std::uint8_t> bin;
  Json Root() const {
    return Json(json, JsonValueSpan{JsonValueKind::object, 0, json.find_last_of('}') + 1});
  }
};

// Checks the container framing and splits the file into its two chunks.
void SplitGlb(const std::string& file, Glb& glb) {
  const std::vector<std::uint8_t> bytes(file.begin(), file.end());
  ByteReader reader(bytes);
  ASSERT_TRUE(reader.Has(20));
  EXPECT_EQ(reader.U32(), 0x46546C67U);
  EXPECT_EQ(reader.U32(), 2U);
  EXPECT_EQ(reader.U32(), bytes.size());
  const std::uint32_t jsonBytes = reader.U32();
  EXPECT_EQ(reader.U32(), 0x4E4F534AU);
  ASSERT_EQ(jsonBytes % 4, 0U);
  ASSERT_TRUE(reader.Has(jsonBytes));
  glb.json = file.substr(20, jsonBytes);
  reader.Take(jsonBytes);
  // Padding is spaces only, and only what reaches the next four-byte boundary.
  const std::size_t end = glb.json.find_last_of('}') + 1;
  EXPECT_LT(glb.json.size() - end, 4U);
  EXPECT_EQ(glb.json.substr(end), std::string(glb.json.size() - end, ' '));
  EXPECT_NO_THROW((void)ReadJsonFrame(glb.json));
  ASSERT_TRUE(reader.Has(8));
  const std::uint32_t binBytes = reader.U32();
  EXPECT_EQ(reader.U32(), 0x004E4942U);
  ASSERT_EQ(reader.Remaining(), binBytes);
  const std::span<const std::uint8_t> bin = reader.Take(binBytes);
  glb.bin.assign(bin.begin(), bin.end());
}

// Every mesh's views and accessors tile the BIN chunk exactly, and each node's
// review identity and accessor bounds are those of the bytes it points at.
void ExpectMeshesMatchBin(const Glb& glb, std::size_t meshCount) {
  const Json root = glb.Root();
  ASSERT_EQ(root["meshes"].Size(), meshCount);
  ASSERT_EQ(root["bufferViews"].Size(), 2 * meshCount);
  ASSERT_EQ(root["accessors"].Size(), 2 * meshCount);
  EXPECT_EQ(root["buffers"][0]["byteLength"].U64(), glb.bin.size());
  std::uint64_t offset = 0;
  for (std::size_t k = 0; k < meshCount; ++k) {
    SCOPED_TRACE("mesh " + std::to_string(k));
    const Json primitive = root["meshes"][k]["primitives"][0];
    ASSERT_EQ(primitive["attributes"]["POSITION"].U64(), 2 * k);
    ASSERT_EQ(primitive["indices"].U64(), 2 * k + 1);
    const Json positions = root["accessors"][2 * k];
    const Json indices = root["accessors"][2 * k + 1];
    ASSERT_EQ(positions["bufferView"].U64(), 2 * k);
    ASSERT_EQ(indices["bufferView"].U64(), 2 * k + 1);
    const std::uint64_t vertexCount = positions["count"].U64();
    ASSERT_EQ(indices["count"].U64() % 3, 0U);
    const std::uint64_t triangleCount = indices["count"].U64() / 3;
    const Json positionView = root["bufferViews"][2 * k];
    const Json indexView = root["bufferViews"][2 * k + 1];
    ASSERT_EQ(positionView["byteOffset"].U64(), offset);
    ASSERT_EQ(positionView["byteLength"].U64(), 12 * vertexCount);
    ASSERT_EQ(indexView["byteOffset"].U64(), offset + 12 * vertexCount);
    ASSERT_EQ(indexView["byteLength"].U64(), 12 * triangleCount);
    const std::uint64_t meshBytes = 12 * (vertexCount + triangleCount);
    ASSERT_LE(offset + meshBytes, glb.bin.size());
    const std::span<const std::uint8_t> payload(glb.bin.data() + offset, meshBytes);

    ByteReader reader(payload);
    std::array<float, 3> low;
    std::array<float, 3> high;
    low.fill(std::numeric_limits<float>::infinity());
    high.fill(-std::numeric_limits<float>::infinity());
    for (std::uint64_t v = 0; v < vertexCount; ++v) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const float coordinate = reader.F32();
        low[axis] = std::min(low[axis], coordinate);
        high[axis] = std::max(high[axis], coordinate);
      }
    }
    for (std::uint64_t i = 0; i < 3 * triangleCount; ++i) EXPECT_LT(reader.U32(), vertexCount);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      EXPECT_EQ(positions["min"][axis].F32(), low[axis]);
      EXPECT_EQ(positions["max"][axis].F32(), high[axis]);
    }

    Sha256 hasher;
    hasher.Update(kPlCadPrepStepReviewMeshStreamDomain);
    ByteWriter counts(16);
    counts.U64(vertexCount);
    counts.U64(triangleCount);
    hasher.Update(counts.bytes);
    hasher.Update(payload);
    EXPECT_EQ(root["nodes"][k]["mesh"].U64(), k);
    EXPECT_EQ(root["nodes"][k]["extras"]["reviewMeshStreamSha256"].Str(),
              Sha256IdentityText(hasher.Finish()));
    offset += meshBytes;
  }
  EXPECT_EQ(offset, glb.bin.size());
}

// Raises its flag when the watched stage first reports, and then reports cancellation.
class CancelOnStage final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return raised; }
  bool raised = false;
};

class StepReviewModel : public TempDirTest {
 protected:
  PlCadPrepStepReviewRequest Request(const TopoDS_Shape& source) {
    PlCadPrepStepReviewRequest request;
    request.schema = std::string(kPlCadPrepStepReviewRequestSchema);
    request.requestId = "r1";
    request.inputPath = dir / "source.step";
    request.outputPath = dir / "review.glb";
    request.targetLinearDeflectionMm = 0.5;
    WriteTestStep(source, request.inputPath);
    return request;
  }

  void Review(const PlCadPrepStepReviewRequest& request, Glb& glb) {
    WritePlCadPrepStepReviewModel(request, never, {});
    SplitGlb(ReadFile(request.outputPath), glb);
  }

  NeverCancelled never;
};

TEST_F(StepReviewModel, ShowsEverySolidAsANodeAndTheFreeShellsAsAnOverlay) {
  const TopoDS_Shape small = MakeTestBox(2, 2, 2, gp_Pnt(20, 0, 0));
  const PlCadPrepStepReviewRequest request = Request(MakeTestCompound(
      {MakeTestBox(10, 10, 10, gp_Pnt(0.1, 0, -0.3)), small, MovedTestShape(small, 0, 5, 0),
       MakeTestFreeShell(1, 1, 1, gp_Pnt(40, 0, 0))}));
  Glb glb;
  ASSERT_NO_FATAL_FAILURE(Review(request, glb));
  const Json root = glb.Root();

  const Json scene = root["scenes"][0];
  EXPECT_EQ(scene["nodes"].Raw(), "[0,1,2,3]");
  const Json extras = scene["extras"];
  EXPECT_EQ(extras["schema"].Str(), kPlCadPrepStepReviewSchema);
  EXPECT_EQ(extras["sourceSha256"].Str(), Sha256Identity(ReadFile(request.inputPath)));
  EXPECT_EQ(extras["faceScope"].Str(), "solids_only_diagnostic");
  EXPECT_EQ(extras["targetLinearDeflectionMm"].Raw(), "0.5");
  EXPECT_EQ(extras["sourceToMount"].Raw(), "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]");
  EXPECT_EQ(extras["allowedOrientationsDeg"].Raw(), "[0,90,180,270]");
  EXPECT_EQ(extras["componentCount"].U64(), 3U);
  EXPECT_EQ(extras["freeShellOccurrenceCount"].U64(), 1U);
  EXPECT_EQ(extras["selectedFreeShellOccurrenceCount"].U64(), 1U);
  EXPECT_EQ(extras["edgeParityClosedFreeShellOccurrenceCount"].U64(), 1U);

  // The nodes carry exactly the diagnostics an import under the same policy makes.
  const PlCadPrepRequest importRequest = MakePlCadPrepStepImportRequest(request);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(importRequest, never);
  const PlCadPrepStepImport solids = ImportPlCadPrepStep(
      importRequest,
      PlCadPrepStepSideImportOptions(0.5, kPlCadPrepStepScopeSolidsOnlyDiagnostic, false), context,
      {}, {}, {});
  ASSERT_EQ(solids.solidDiagnostics.size(), 3U);
  ASSERT_EQ(root["nodes"].Size(), 4U);
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE("node " + std::to_string(k));
    const PlCadPrepStepSolidDiagnostic& diagnostic = solids.solidDiagnostics[k];
    const Json node = root["nodes"][k];
    EXPECT_EQ(node["name"].Str(), "Solid " + std::to_string(k + 1));
    EXPECT_EQ(node["extras"]["reviewKind"].Str(), "solid_component");
    EXPECT_EQ(node["extras"]["reviewRole"].Str(), "unreviewed");
    EXPECT_EQ(node["extras"]["selectedSolidOrdinal"].U64(), k + 1);
    EXPECT_EQ(node["extras"]["samePolicyOccurrenceSha256"].Str(),
              diagnostic.samePolicyOccurrenceSha256);
    EXPECT_EQ(node["extras"]["placedMeshStreamSha256"].Str(), diagnostic.placedMeshStreamSha256);
    EXPECT_EQ(node["extras"]["retainedTriangleCount"].U64(), diagnostic.retainedTriangleCount);
    EXPECT_EQ(root["meshes"][k]["primitives"][0]["material"].U64(), k);
  }
  const Json overlay = root["nodes"][3];
  EXPECT_EQ(overlay["name"].Str(), "Free shell source overlay");
  EXPECT_EQ(overlay["extras"]["reviewKind"].Str(), "free_shell_overlay");
  EXPECT_EQ(overlay["extras"]["reviewDecision"].Str(), "unreviewed");
  EXPECT_EQ(root["meshes"][3]["primitives"][0]["material"].U64(), 12U);
  ASSERT_EQ(root["materials"].Size(), 13U);
  EXPECT_EQ(root["materials"][12]["alphaMode"].Str(), "BLEND");

  // Bounds are the single-precision extremes, written in their shortest form.
  EXPECT_EQ(root["accessors"][0]["min"].Raw(), "[0.1,0,-0.3]");
  EXPECT_EQ(root["accessors"][0]["max"].Raw(), "[10.1,10,9.7]");
  ExpectMeshesMatchBin(glb, 4);
}

TEST_F(StepReviewModel, ThirteenSolidsWithoutFreeShellsWrapThePaletteAndHaveNoOverlay) {
  const TopoDS_Shape box = MakeTestBox(1, 1, 1);
  TopoDS_Compound source = MakeTestCompound({});
  TopoDS_Builder builder;
  for (int i = 0; i < 13; ++i) builder.Add(source, MovedTestShape(box, 3.0 * i, 0, 0));
  Glb glb;
  ASSERT_NO_FATAL_FAILURE(Review(Request(source), glb));
  const Json root = glb.Root();

  EXPECT_EQ(root["scenes"][0]["nodes"].Size(), 13U);
  const Json extras = root["scenes"][0]["extras"];
  EXPECT_EQ(extras["componentCount"].U64(), 13U);
  EXPECT_EQ(extras["freeShellOccurrenceCount"].U64(), 0U);
  EXPECT_EQ(extras["selectedFreeShellOccurrenceCount"].U64(), 0U);
  EXPECT_EQ(extras["edgeParityClosedFreeShellOccurrenceCount"].U64(), 0U);
  ASSERT_EQ(root["nodes"].Size(), 13U);
  EXPECT_EQ(root["nodes"][12]["name"].Str(), "Solid 13");
  EXPECT_EQ(root["meshes"][11]["primitives"][0]["material"].U64(), 11U);
  EXPECT_EQ(root["meshes"][12]["primitives"][0]["material"].U64(), 0U);
  ASSERT_EQ(root["materials"].Size(), 12U);
  EXPECT_EQ(root["materials"][11]["name"].Str(), "Component palette 12");
  ExpectMeshesMatchBin(glb, 13);
}

TEST_F(StepReviewModel, NeverReplacesAnOutputThatAppearsWhileItWorks) {
  const PlCadPrepStepReviewRequest request = Request(MakeTestBox(1, 1, 1));
  WriteFile("review.glb", "kept");
  ExpectPlCadPrepError([&] { WritePlCadPrepStepReviewModel(request, never, {}); }, "output_exists",
                       "preflight", "outputPath already exists and will not be overwritten");
  EXPECT_EQ(ReadFile(request.outputPath), "kept");

  // Another process takes the name after preflight: exclusive creation refuses it.
  std::filesystem::remove(request.outputPath);
  const ProgressCallback takeName = [&](std::string_view stage, std::uint64_t, std::uint64_t) {
    if (stage == "mesh" && !std::filesystem::exists(request.outputPath)) {
      WriteFile("review.glb", "kept");
    }
  };
  ExpectPlCadPrepError([&] { WritePlCadPrepStepReviewModel(request, never, takeName); },
                       "staging_exists", "package", "the request output path already exists");
  EXPECT_EQ(ReadFile(request.outputPath), "kept");
}

TEST_F(StepReviewModel, FailuresLeaveNoFile) {
  PlCadPrepStepReviewRequest request = Request(MakeTestBox(1, 1, 1));
  request.outputPath = dir / "first.glb";
  Glb first;
  ASSERT_NO_FATAL_FAILURE(Review(request, first));
  request.outputPath = dir / "review.glb";

  struct Case {
    const char* name;
    std::uint64_t maxOutputBytes;
    const char* cancelOnStage;
    const char* code;
    const char* stage;
    const char* message;
  };
  const Case cases[] = {
      {"binary over the output limit", 100, "", "step_review_limit_exceeded", "mesh",
       "STEP review binary exceeds the request output limit"},
      {"glb over the output limit", first.bin.size(), "", "step_review_limit_exceeded", "mesh",
       "STEP component review GLB exceeds the output byte limit"},
      {"cancelled while writing", kDefaultMaxOutputBytes, "package", "cancelled", "package",
       "preparation was cancelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    request.maxOutputBytes = c.maxOutputBytes;
    CancelOnStage cancellation;
    const ProgressCallback progress = [&](std::string_view stage, std::uint64_t, std::uint64_t) {
      if (stage == c.cancelOnStage) cancellation.raised = true;
    };
    ExpectPlCadPrepError([&] { WritePlCadPrepStepReviewModel(request, cancellation, progress); },
                         c.code, c.stage, c.message);
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
  }
}

}  // namespace
