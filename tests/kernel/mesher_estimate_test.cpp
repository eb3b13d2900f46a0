// For every curved surface kind, the mesher estimate covers the triangles the
// mesher makes without exceeding them fourfold; planar faces count as nothing.
#include "kernel/mesher_estimate.h"

#include <gtest/gtest.h>

#include <BRepAdaptor_Surface.hxx>
#include <BRepPrimAPI_MakeCone.hxx>
#include <BRepPrimAPI_MakeSphere.hxx>
#include <BRepPrimAPI_MakeTorus.hxx>
#include <BRep_Tool.hxx>
#include <TopoDS.hxx>

#include "kernel/tessellation.h"
#include "support/step_files.h"

namespace {

TEST(MesherEstimate, CoversWhatTheMesherKeeps) {
  const gp_Ax2 axis;
  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(TestStepRequest("unused.step"), never);
  // A cone's planar bases are left out of both counts.
  for (const TopoDS_Shape& shape : {BRepPrimAPI_MakeSphere(5.0).Shape(),
                                    BRepPrimAPI_MakeCone(axis, 500.0, 250.0, 1'000.0).Shape(),
                                    BRepPrimAPI_MakeTorus(axis, 300.0, 60.0).Shape()}) {
    const PlCadPrepMesherEstimate estimate = EstimatePlCadPrepMesher(shape, 0.25, 0.25, context);
    (void)TessellatePlCadPrepShape(shape, 0.25, 0.25, context, {}, 0,
                                   kPlCadPrepKernelProgressTotal);
    std::uint64_t triangles = 0;
    for (TopExp_Explorer faces(shape, TopAbs_FACE); faces.More(); faces.Next()) {
      const TopoDS_Face& face = TopoDS::Face(faces.Current());
      TopLoc_Location location;
      if (BRepAdaptor_Surface(face).GetType() == GeomAbs_Plane) continue;
      triangles += BRep_Tool::Triangulation(face, location)->NbTriangles();
    }
    EXPECT_GE(estimate.triangles, triangles);
    EXPECT_LE(estimate.triangles, 4 * triangles);
    EXPECT_GE(estimate.bytes, kPlCadPrepMesherBytesPerTriangle * estimate.triangles);
  }
  const PlCadPrepMesherEstimate box =
      EstimatePlCadPrepMesher(MakeTestBox(1.0e5, 1.0e5, 1.0e5), 0.25, 0.25, context);
  EXPECT_EQ(box.triangles + box.bytes, 0U);
}

}  // namespace
