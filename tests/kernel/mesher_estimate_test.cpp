// The mesher estimate against the mesher itself: for every curved surface
// kind, small and large, the estimate covers the triangles the mesher makes
// without exceeding them fourfold, and planar faces count as nothing.
#include <BRepAdaptor_Surface.hxx>
#include <BRepPrimAPI_MakeCone.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <BRepPrimAPI_MakeSphere.hxx>
#include <BRepPrimAPI_MakeTorus.hxx>
#include <BRep_Tool.hxx>
#include <GeomAbs_SurfaceType.hxx>
#include <Poly_Triangulation.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <gp_Ax2.hxx>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/mesher_estimate.h"
#include "kernel/tessellation.h"
#include "support/step_files.h"

namespace {

constexpr double kLinearMm = 0.25;
constexpr double kAngularRadians = 0.25;

// The triangles the mesher made of the faces that are not planar.
std::uint64_t MeshedCurvedTriangles(const TopoDS_Shape& shape) {
  std::uint64_t triangles = 0;
  for (TopExp_Explorer faces(shape, TopAbs_FACE); faces.More(); faces.Next()) {
    if (BRepAdaptor_Surface(TopoDS::Face(faces.Current())).GetType() == GeomAbs_Plane) continue;
    TopLoc_Location location;
    const Handle(Poly_Triangulation)& mesh =
        BRep_Tool::Triangulation(TopoDS::Face(faces.Current()), location);
    if (!mesh.IsNull()) triangles += static_cast<std::uint64_t>(mesh->NbTriangles());
  }
  return triangles;
}

TEST(MesherEstimate, CoversWhatTheMesherKeeps) {
  const gp_Ax2 axis;
  struct Case {
    std::string name;
    TopoDS_Shape shape;
  };
  const std::vector<Case> cases = {
      {"small sphere", BRepPrimAPI_MakeSphere(5.0).Shape()},
      {"sphere", BRepPrimAPI_MakeSphere(500.0).Shape()},
      {"half sphere", BRepPrimAPI_MakeSphere(axis, 300.0, 0.0, 1.5).Shape()},
      {"cylinder", BRepPrimAPI_MakeCylinder(axis, 500.0, 10'000.0).Shape()},
      {"cone", BRepPrimAPI_MakeCone(axis, 500.0, 250.0, 1'000.0).Shape()},
      {"pointed cone", BRepPrimAPI_MakeCone(axis, 50.0, 0.0, 100.0).Shape()},
      {"torus", BRepPrimAPI_MakeTorus(axis, 300.0, 60.0).Shape()},
  };
  NeverCancelled never;
  const PlCadPrepRequest request = TestStepRequest("unused.step");
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PlCadPrepMesherEstimate estimate =
        EstimatePlCadPrepMesher(c.shape, kLinearMm, kAngularRadians, context);
    (void)TessellatePlCadPrepShape(c.shape, kLinearMm, kAngularRadians, context, {}, 0,
                                   kPlCadPrepKernelProgressTotal);
    const std::uint64_t triangles = MeshedCurvedTriangles(c.shape);
    EXPECT_GE(estimate.triangles, triangles);
    EXPECT_LE(estimate.triangles, 4 * triangles);
    EXPECT_GE(estimate.bytes, kPlCadPrepMesherBytesPerTriangle * estimate.triangles);
  }
  const PlCadPrepMesherEstimate box = EstimatePlCadPrepMesher(
      MakeTestBox(1.0e5, 1.0e5, 1.0e5), kLinearMm, kAngularRadians, context);
  EXPECT_EQ(box.triangles, 0U);
  EXPECT_EQ(box.bytes, 0U);
}

}  // namespace
