#include "step/step_review_model.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/sha256.h"
#include "support/expect_error.h"
#include "support/glb_chunks.h"
#include "support/json_walk.h"
#include "support/step_side_request.h"
#include "support/temp_dir.h"

namespace {

// The views tile the BIN chunk back to back, each as long as its accessor's count says.
void ExpectViewsTileBin(const Glb& glb, std::size_t meshCount) {
  const JsonWalk root(glb.json);
  const std::vector<JsonWalk> views = root["bufferViews"].Elements();
  const std::vector<JsonWalk> accessors = root["accessors"].Elements();
  ASSERT_EQ(views.size(), 2 * meshCount);
  ASSERT_EQ(accessors.size(), 2 * meshCount);
  EXPECT_EQ(root["buffers"].Text(), "[{\"byteLength\":" + std::to_string(glb.bin.size()) + "}]");
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < views.size(); ++i) {
    SCOPED_TRACE("view " + std::to_string(i));
    const bool positions = i % 2 == 0;
    const std::uint64_t length = accessors[i]["count"].Unsigned() * (positions ? 12 : 4);
    EXPECT_EQ(accessors[i]["bufferView"].Unsigned(), i);
    EXPECT_EQ(views[i].Text(), R"({"buffer":0,"byteOffset":)" + std::to_string(offset) +
                                   R"(,"byteLength":)" + std::to_string(length) +
                                   (positions ? R"(,"target":34962})" : R"(,"target":34963})"));
    offset += length;
  }
  EXPECT_EQ(offset, glb.bin.size());
}

// Reports cancellation once the watched stage has reported progress.
class CancelOnStage final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return raised; }
  bool raised = false;
};

class StepReviewModel : public TempDirTest {
 protected:
  PlCadPrepStepReviewRequest Request(const TopoDS_Shape& source) const {
    return MakeTestStepSideRequest<PlCadPrepStepReviewRequest>(
        kPlCadPrepStepReviewRequestSchema, "r1", source, dir / "source.step", dir / "review.glb");
  }

  static void Review(const PlCadPrepStepReviewRequest& request, Glb& glb) {
    WritePlCadPrepStepReviewModel(request, NeverCancelled(), {});
    SplitGlb(ReadFile(request.outputPath), glb);
  }
};

TEST_F(StepReviewModel, ShowsEverySolidAsANodeAndTheFreeShellsAsAnOverlay) {
  const TopoDS_Shape small = MakeTestBox(2, 2, 2, gp_Pnt(20, 0, 0));
  const PlCadPrepStepReviewRequest request = Request(MakeTestCompound(
      {MakeTestBox(10, 10, 10, gp_Pnt(1.0 / 3, 0, -0.3)), small, MovedTestShape(small, 0, 5, 0),
       MakeTestFreeShell(1, 1, 1, gp_Pnt(40, 0, 0))}));
  Glb glb;
  ASSERT_NO_FATAL_FAILURE(Review(request, glb));
  const JsonWalk root(glb.json);

  EXPECT_EQ(root.Names(),
            (std::vector<std::string>{"asset", "scene", "scenes", "nodes", "meshes", "materials",
                                      "buffers", "bufferViews", "accessors"}));
  const JsonWalk scene = root["scenes"].Elements().at(0);
  EXPECT_EQ(scene["nodes"].Text(), "[0,1,2,3]");
  EXPECT_EQ(
      scene["extras"].Text(),
      R"({"schema":"pelto.geometry.step-component-review.v1","sourceSha256":")" +
          Sha256Identity(ReadFile(request.inputPath)) +
          R"(","diagnosticPolicy":"PeltoCadPrep.STEP.diagnostic.v2","faceScope":)"
          R"("solids_only_diagnostic","targetLinearDeflectionMm":0.5,)"
          R"("angularDeflectionRadians":0.5,"sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
          R"("allowedOrientationsDeg":[0,90,180,270],"componentCount":3,)"
          R"("freeShellOccurrenceCount":1,"selectedFreeShellOccurrenceCount":1,)"
          R"("edgeParityClosedFreeShellOccurrenceCount":1})");

  // The identities are proven against the selection record elsewhere; here
  // they are taken as written, and every other byte of the node is pinned.
  const std::vector<JsonWalk> nodes = root["nodes"].Elements();
  ASSERT_EQ(nodes.size(), 4U);
  const auto identities = [](const JsonWalk& extras) {
    return R"("placedMeshStreamSha256":")" + extras["placedMeshStreamSha256"].String() +
           R"(","reviewMeshStreamSha256":")" + extras["reviewMeshStreamSha256"].String() + "\",";
  };
  for (std::size_t k = 0; k < 3; ++k) {
    const JsonWalk extras = nodes[k]["extras"];
    EXPECT_EQ(nodes[k].Text(),
              R"({"name":"Solid )" + std::to_string(k + 1) + R"(","mesh":)" + std::to_string(k) +
                  R"(,"extras":{"reviewKind":"solid_component","selectedSolidOrdinal":)" +
                  std::to_string(k + 1) + R"(,"samePolicyOccurrenceSha256":")" +
                  extras["samePolicyOccurrenceSha256"].String() + "\"," + identities(extras) +
                  R"("reviewRole":"unreviewed","watertight":true,"boundaryFaceCount":6,)"
                  R"("triangulatedBoundaryFaceCount":6,"untriangulatedBoundaryFaceCount":0,)"
                  R"("retainedTriangleCount":12,"discardedDegenerateTriangleCount":0}})");
  }
  EXPECT_EQ(
      nodes[3].Text(),
      R"({"name":"Free shell source overlay","mesh":3,"extras":{"reviewKind":)"
      R"("free_shell_overlay","reviewDecision":"unreviewed","freeShellOccurrenceCount":1,)"
      R"("selectedFreeShellOccurrenceCount":1,"edgeParityClosedFreeShellOccurrenceCount":1,)" +
          identities(nodes[3]["extras"]) +
          R"("watertight":true,"untriangulatedBoundaryFaceCount":0,"retainedTriangleCount":12}})");
  EXPECT_EQ(
      root["meshes"].Text(),
      R"([{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0,"mode":4}]},)"
      R"({"primitives":[{"attributes":{"POSITION":2},"indices":3,"material":1,"mode":4}]},)"
      R"({"primitives":[{"attributes":{"POSITION":4},"indices":5,"material":2,"mode":4}]},)"
      R"({"primitives":[{"attributes":{"POSITION":6},"indices":7,"material":12,"mode":4}]}])");

  const std::vector<JsonWalk> materials = root["materials"].Elements();
  ASSERT_EQ(materials.size(), 13U);
  EXPECT_EQ(materials[0].Text(),
            R"({"name":"Component palette 1","doubleSided":true,"pbrMetallicRoughness":)"
            R"({"baseColorFactor":[0.68,0.71,0.74,1],"metallicFactor":0,"roughnessFactor":0.72}})");
  EXPECT_EQ(materials[12].Text(),
            R"({"name":"Free shell source overlay","doubleSided":true,"alphaMode":"BLEND",)"
            R"("pbrMetallicRoughness":{"baseColorFactor":[0.91,0.46,0,0.48],"metallicFactor":0,)"
            R"("roughnessFactor":0.72}})");

  // Bounds are the single-precision extremes, written in their shortest form.
  EXPECT_EQ(root["accessors"].Elements().at(0)["min"].Text(), "[0.33333334,0,-0.3]");
  EXPECT_EQ(root["accessors"].Elements().at(0)["max"].Text(), "[10.333333,10,9.7]");
  ExpectViewsTileBin(glb, 4);
}

TEST_F(StepReviewModel, ThirteenSolidsWithoutFreeShellsWrapThePaletteAndHaveNoOverlay) {
  const TopoDS_Shape box = MakeTestBox(1, 1, 1);
  TopoDS_Compound source = MakeTestCompound({});
  TopoDS_Builder builder;
  for (int i = 0; i < 13; ++i) builder.Add(source, MovedTestShape(box, 3.0 * i, 0, 0));
  Glb glb;
  ASSERT_NO_FATAL_FAILURE(Review(Request(source), glb));
  const JsonWalk root(glb.json);

  EXPECT_NE(glb.json.find(R"("componentCount":13,"freeShellOccurrenceCount":0,)"
                          R"("selectedFreeShellOccurrenceCount":0,)"
                          R"("edgeParityClosedFreeShellOccurrenceCount":0}}],)"),
            std::string::npos);
  EXPECT_EQ(
      root["meshes"].Elements().at(12).Text(),
      R"({"primitives":[{"attributes":{"POSITION":24},"indices":25,"material":0,"mode":4}]})");
  EXPECT_EQ(root["materials"].Elements().size(), 12U);
  ExpectViewsTileBin(glb, 13);
}

TEST_F(StepReviewModel, NeverReplacesAnOutputThatAppearsWhileItWorks) {
  // Another process takes the name after preflight: exclusive creation refuses it.
  const PlCadPrepStepReviewRequest request = Request(MakeTestBox(1, 1, 1));
  const ProgressCallback takeName = [&](std::string_view stage, std::uint64_t, std::uint64_t) {
    if (stage == "mesh" && !std::filesystem::exists(request.outputPath)) {
      WriteFile("review.glb", "kept");
    }
  };
  ExpectPlCadPrepError([&] { WritePlCadPrepStepReviewModel(request, NeverCancelled(), takeName); },
                       "staging_exists", "package", "the request output path already exists");
  EXPECT_EQ(ReadFile(request.outputPath), "kept");
}

TEST_F(StepReviewModel, FailuresLeaveNoFile) {
  const struct {
    const char* name;
    std::function<void(PlCadPrepStepReviewRequest&)> change;
    const char* cancelOnStage;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      // Finite as doubles but beyond single precision: the import's coordinate
      // limit refuses the solid before the review could encode it.
      {"vertex beyond single precision",
       [](auto& r) { WriteTestStep(MakeTestBox(1e38, 1, 1, gp_Pnt(3e38, 0, 0)), r.inputPath); }, "",
       "invalid_mesh_number", "validate",
       "imported mesh failed the runtime mesh contract: mesh vertex is non-finite or outside the "
       "coordinate limit"},
      // A unit box needs a few hundred bytes of BIN and a few thousand of GLB.
      {"binary over the output limit", [](auto& r) { r.maxOutputBytes = 100; }, "",
       "step_review_limit_exceeded", "mesh", "STEP review binary exceeds the request output limit"},
      {"glb over the output limit", [](auto& r) { r.maxOutputBytes = 1000; }, "",
       "step_review_limit_exceeded", "mesh",
       "STEP component review GLB exceeds the output byte limit"},
      {"cancelled while writing", [](auto&) {}, "package", "cancelled", "package",
       "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepReviewRequest request = Request(MakeTestBox(1, 1, 1));
    c.change(request);
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
