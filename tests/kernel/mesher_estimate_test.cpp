#include "kernel/mesher_estimate.h"

#include <gtest/gtest.h>

#include <BRepPrimAPI_MakeCone.hxx>

#include "support/step_files.h"

namespace {

// Planar faces count as nothing; the cone's curved face is estimated ahead of the mesher.
TEST(MesherEstimate, CountsOnlyCurvedFaces) {
  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(TestStepRequest("unused.step"), never);
  const TopoDS_Shape cone = BRepPrimAPI_MakeCone(gp_Ax2(), 500.0, 250.0, 1'000.0).Shape();
  const PlCadPrepMesherEstimate estimate = EstimatePlCadPrepMesher(cone, 0.25, 0.25, context);
  EXPECT_EQ(estimate.triangles, 13'736u);
  EXPECT_EQ(estimate.bytes, 34'175'168u);
  const PlCadPrepMesherEstimate box =
      EstimatePlCadPrepMesher(MakeTestBox(1.0e5, 1.0e5, 1.0e5), 0.25, 0.25, context);
  EXPECT_EQ(box.triangles + box.bytes, 0U);
}

}  // namespace
