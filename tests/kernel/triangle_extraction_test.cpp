#include "kernel/triangle_extraction.h"

#include <gtest/gtest.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRep_Builder.hxx>
#include <Poly_Triangulation.hxx>
#include <gp_Pln.hxx>

#include "support/count_texts.h"
#include "support/step_error_cases.h"

namespace {

const NeverCancelled kNever;

// A planar face in z = 0 carrying exactly the given nodes (the unit triangle's corners, then
// (2, 0, 0)) and triangles.
TopoDS_Face HandMeshedFace(const std::vector<std::array<int, 3>>& triangles, int nodes = 3) {
  const gp_Pnt points[] = {gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0), gp_Pnt(2, 0, 0)};
  TopoDS_Face face = BRepBuilderAPI_MakeFace(gp_Pln(), 0.0, 10.0, 0.0, 10.0).Face();
  Handle(Poly_Triangulation) mesh =
      new Poly_Triangulation(nodes, static_cast<int>(triangles.size()), false);
  for (int i = 0; i < nodes; ++i) mesh->SetNode(i + 1, points[i]);
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    const std::array<int, 3>& t = triangles[i];
    mesh->SetTriangle(static_cast<int>(i) + 1, Poly_Triangle(t[0], t[1], t[2]));
  }
  BRep_Builder().UpdateFace(face, mesh);
  return face;
}

// The mesh, with every counter in one line in `counters`.
PlGeometryMesh Extract(const TopoDS_Shape& shape, std::string* counters = nullptr) {
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, &context);
  const PlCadPrepTriangleCounters c =
      ExtractPlCadPrepStepTriangles(shape, request.sourceToMount, context, builder);
  EXPECT_EQ(builder.TriangleCount(), c.retainedTriangleCount);
  if (counters != nullptr) {
    *counters = FaceCountsText(c) + " duplicate " + std::to_string(c.duplicateFaceOccurrenceCount) +
                " shared " + std::to_string(c.sharedFaceCount) + " internal " +
                std::to_string(c.internalOrExternalFaceCount) + " " + TriangleCountsText(c) +
                " scale " + std::to_string(c.maxLocationScale);
  }
  return builder.Finish(0.0);
}

TEST(StepTriangleExtraction, CountsEveryFaceKind) {
  const TopoDS_Shape box = MeshedTestBox(10, 10, 10);
  const TopoDS_Face face = HandMeshedFace({{1, 2, 3}});
  const TopoDS_Shape other = MovedTestShape(face, 5, 0, 0);
  const struct {
    TopoDS_Shape shape;
    const char* counters;
    std::size_t vertices;
  } cases[] = {
      {MakeTestCompound({box, box, MovedTestShape(box, 50, 0, 0)}),
       "faces 12/12/0 duplicate 6 shared 0 internal 0 triangles 24/24/0", 16},
      {MakeTestCompound({face, face, face.Reversed(), face.Reversed()}),
       "faces 2/2/0 duplicate 2 shared 1 internal 0 triangles 2/2/0", 3},
      {MakeTestCompound({face.Oriented(TopAbs_INTERNAL), face, other.Oriented(TopAbs_EXTERNAL)}),
       "faces 1/1/0 duplicate 0 shared 1 internal 2 triangles 1/1/0", 3},
      {MakeTestCompound({MakeTestBox(10, 10, 10), face}),
       "faces 7/1/6 duplicate 0 shared 0 internal 0 triangles 1/1/0", 3},
      // Zero-area triangles are dropped; the collinear corner is no vertex.
      {HandMeshedFace({{1, 2, 4}, {1, 2, 3}, {3, 3, 1}}, 4),
       "faces 1/1/0 duplicate 0 shared 0 internal 0 triangles 3/1/2", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.counters);
    std::string counters;
    EXPECT_EQ(Extract(c.shape, &counters).vertices.size(), c.vertices);
    EXPECT_EQ(counters, std::string(c.counters) + " scale 1.000000");
  }
  EXPECT_TRUE(Extract(box).watertight);
}

TEST(StepTriangleExtraction, RejectsBadTriangulationsAndLocations) {
  const TopoDS_Shape box = MeshedTestBox(10, 10, 10);
  // Scaled without the kernel's guard, because transferred assemblies can carry such locations.
  gp_Trsf nan;
  nan.SetScaleFactor(std::nan(""));
  const auto extract = [](const TopoDS_Shape& shape) { return [=] { (void)Extract(shape); }; };
  ExpectStepErrors({
      {extract(HandMeshedFace({{0, 1, 2}})), "invalid_step_triangulation", "mesh",
       "Open CASCADE produced an out-of-range mesh index"},
      {extract(box.Located(TopLoc_Location(nan), false)), "invalid_step_location", "mesh",
       "STEP face has an invalid location scale"},
  });
}

}  // namespace
