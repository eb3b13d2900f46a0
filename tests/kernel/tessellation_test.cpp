#include "kernel/tessellation.h"

#include <gtest/gtest.h>

#include <BRepPrimAPI_MakeSphere.hxx>
#include <BRepPrimAPI_MakeTorus.hxx>
#include <BRepTools.hxx>
#include <BRep_Builder.hxx>
#include <TopoDS_Compound.hxx>

#include "kernel/triangle_extraction.h"
#include "support/step_files.h"

namespace {

using Names = std::vector<std::string>;

TEST(MeshStatus, NamesBitsInOrderAndFlagsUnknownOnes) {
  EXPECT_TRUE(PlCadPrepMeshStatusNames(0).empty());
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x1FF),
            (Names{"open_wire", "self_intersecting_wire", "failure", "remesh", "unoriented_wire",
                   "too_few_points", "outdated", "reused", "user_break"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x288), (Names{"remesh", "reused", "unknown"}));
  EXPECT_EQ(PlCadPrepMeshStatusNames(0x80000000u), (Names{"unknown"}));
}

// The placed mesh of the triangulations `shape` holds now.
PlGeometryMesh Extract(const TopoDS_Shape& shape, const PlCadPrepOperationContext& context) {
  const PlCadPrepRequest request;
  const NeverCancelled never;
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), never, &context);
  (void)ExtractPlCadPrepStepTriangles(shape, request.sourceToMount, context, builder);
  return builder.Finish(0.0);
}

// The replay stands in for meshing the same solids again: a real second pass
// over the cleaned shape must report the same steps and status and make the
// same triangles.
TEST(Tessellation, ReplayMatchesMeshingTheSameSolidsAgain) {
  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(TestStepRequest("unused.step"), never);
  TopoDS_Compound solids;
  BRep_Builder builder;
  builder.MakeCompound(solids);
  builder.Add(solids, MakeTestBox(4.0, 5.0, 6.0));
  builder.Add(solids, BRepPrimAPI_MakeSphere(gp_Pnt(20, 0, 0), 7.0).Shape());
  builder.Add(solids,
              BRepPrimAPI_MakeTorus(gp_Ax2(gp_Pnt(0, 30, 0), gp_Dir(0, 0, 1)), 9.0, 2.0).Shape());
  const auto recorder = [](std::vector<std::uint64_t>& steps) {
    return [&steps](std::string_view stage, std::uint64_t completed, std::uint64_t total) {
      EXPECT_EQ(stage, "mesh");
      EXPECT_EQ(total, kPlCadPrepKernelProgressTotal);
      steps.push_back(completed);
    };
  };
  std::vector<std::uint64_t> first;
  const std::uint32_t firstFlags =
      TessellatePlCadPrepShape(solids, 0.5, 0.5, context, recorder(first), 0, 500);
  const PlGeometryMesh firstMesh = Extract(solids, context);
  std::vector<std::uint64_t> replayed;
  EXPECT_EQ(ReplayPlCadPrepTessellation(solids, 0.5, 0.5, context, recorder(replayed), first, 500,
                                        firstFlags),
            firstFlags);

  BRepTools::Clean(solids, Standard_True);
  std::vector<std::uint64_t> steps;
  EXPECT_EQ(TessellatePlCadPrepShape(solids, 0.5, 0.5, context, recorder(steps), 500, 500),
            firstFlags);
  EXPECT_GT(first.size(), 2u);
  EXPECT_EQ(replayed, steps);
  const PlGeometryMesh again = Extract(solids, context);
  EXPECT_EQ(again.vertices, firstMesh.vertices);
  EXPECT_EQ(again.triangles, firstMesh.triangles);
}

}  // namespace
