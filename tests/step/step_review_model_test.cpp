#include "step/step_review_model.h"

#include <gtest/gtest.h>

#include "core/sha256.h"
#include "support/glb_chunks.h"
#include "support/json_walk.h"
#include "support/step_error_cases.h"

namespace {

using StepReviewModel = TempDirTest;

TEST_F(StepReviewModel, ShowsEverySolidAsANodeAndTheFreeShellsAsAnOverlay) {
  const TopoDS_Shape small = MakeTestBox(2, 2, 2, gp_Pnt(20, 0, 0));
  const auto request = MakeTestStepSideRequest<PlCadPrepStepReviewRequest>(
      kPlCadPrepStepReviewRequestSchema, "r1",
      MakeTestCompound({MakeTestBox(10, 10, 10, gp_Pnt(1.0 / 3, 0, -0.3)), small,
                        MovedTestShape(small, 0, 5, 0),
                        MakeTestFreeShell(1, 1, 1, gp_Pnt(40, 0, 0))}),
      dir / "source.step", dir / "review.glb");
  WritePlCadPrepStepReviewModel(request, NeverCancelled(), {});
  Glb glb;
  ASSERT_NO_FATAL_FAILURE(SplitGlb(ReadFile(request.outputPath), glb));
  const JsonWalk root(glb.json);
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
  const JsonWalk overlay = root["nodes"].Elements().at(3)["extras"];
  EXPECT_EQ(overlay["reviewKind"].String() + overlay["reviewDecision"].String(),
            "free_shell_overlayunreviewed");
  EXPECT_EQ(root["materials"].Elements().at(12)["alphaMode"].String(), "BLEND");
  // Bounds are the single-precision extremes, written in their shortest form.
  EXPECT_EQ(root["accessors"].Elements().at(0)["min"].Text(), "[0.33333334,0,-0.3]");
}

}  // namespace
