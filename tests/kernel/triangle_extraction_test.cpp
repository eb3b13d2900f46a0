#include "kernel/triangle_extraction.h"

#include <gtest/gtest.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepMesh_IncrementalMesh.hxx>
#include <BRep_Builder.hxx>
#include <Poly_Triangulation.hxx>
#include <gp_Pln.hxx>
#include <limits>

#include "support/count_texts.h"
#include "support/mesh_reader_fixture.h"
#include "support/step_files.h"

namespace {

const NeverCancelled kNever;

struct Extraction {
  std::string counters;  // every counter in one line
  PlGeometryMesh mesh;
};

TopoDS_Shape MeshedBox(double dx, double dy, double dz) {
  TopoDS_Shape box = MakeTestBox(dx, dy, dz);
  BRepMesh_IncrementalMesh mesher(box, 1.0, false, 0.5, false);
  return box;
}

// A planar face in z = 0 carrying exactly the given nodes and triangles.
TopoDS_Face HandMeshedFace(const std::vector<gp_Pnt>& nodes,
                           const std::vector<std::array<int, 3>>& triangles) {
  TopoDS_Face face = BRepBuilderAPI_MakeFace(gp_Pln(), 0.0, 10.0, 0.0, 10.0).Face();
  Handle(Poly_Triangulation) mesh = new Poly_Triangulation(
      static_cast<int>(nodes.size()), static_cast<int>(triangles.size()), false);
  for (std::size_t i = 0; i < nodes.size(); ++i) mesh->SetNode(static_cast<int>(i) + 1, nodes[i]);
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    const std::array<int, 3>& t = triangles[i];
    mesh->SetTriangle(static_cast<int>(i) + 1, Poly_Triangle(t[0], t[1], t[2]));
  }
  BRep_Builder().UpdateFace(face, mesh);
  return face;
}

const std::vector<gp_Pnt> kUnitNodes = {gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0)};
TopoDS_Face UnitTriangleFace() { return HandMeshedFace(kUnitNodes, {{1, 2, 3}}); }

// Placed without the kernel's guard against scaled or mirrored locations,
// because transferred assemblies can carry them.
TopoDS_Shape Placed(const TopoDS_Shape& shape, void (gp_Trsf::*set)(double), double value) {
  gp_Trsf trsf;
  (trsf.*set)(value);
  return shape.Located(TopLoc_Location(trsf), false);
}

TopoDS_Shape Mirrored(const TopoDS_Shape& shape) {
  gp_Trsf trsf;
  trsf.SetMirror(gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(1, 0, 0)));
  return shape.Located(TopLoc_Location(trsf), false);
}

Extraction Extract(const TopoDS_Shape& shape, const PlCadPrepRequest& request = {}) {
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, &context);
  const PlCadPrepTriangleCounters c =
      ExtractPlCadPrepStepTriangles(shape, request.sourceToMount, context, builder);
  EXPECT_EQ(builder.TriangleCount(), c.retainedTriangleCount);
  return {FaceCountsText(c) + " duplicate " + std::to_string(c.duplicateFaceOccurrenceCount) +
              " shared " + std::to_string(c.sharedFaceCount) + " internal " +
              std::to_string(c.internalOrExternalFaceCount) + " " + TriangleCountsText(c) +
              " scale " + std::to_string(c.maxLocationScale),
          builder.Finish(0.0)};
}

TEST(StepTriangleExtraction, CountsEveryFaceKind) {
  const TopoDS_Shape box = MeshedBox(10, 10, 10);
  const TopoDS_Face face = UnitTriangleFace();
  const TopoDS_Face other =
      HandMeshedFace({gp_Pnt(5, 0, 0), gp_Pnt(6, 0, 0), gp_Pnt(5, 1, 0)}, {{1, 2, 3}});
  const struct {
    TopoDS_Shape shape;
    const char* counters;
    std::size_t vertices;
  } cases[] = {
      {MeshedBox(10, 20, 30), "faces 6/6/0 duplicate 0 shared 0 internal 0 triangles 12/12/0", 8},
      {MakeTestCompound({box, box, MovedTestShape(box, 50, 0, 0)}),
       "faces 12/12/0 duplicate 6 shared 0 internal 0 triangles 24/24/0", 16},
      {MakeTestCompound({face, face, face.Reversed(), face.Reversed()}),
       "faces 2/2/0 duplicate 2 shared 1 internal 0 triangles 2/2/0", 3},
      {MakeTestCompound({face.Oriented(TopAbs_INTERNAL), face, other.Oriented(TopAbs_EXTERNAL)}),
       "faces 1/1/0 duplicate 0 shared 1 internal 2 triangles 1/1/0", 3},
      {MakeTestCompound({MakeTestBox(10, 10, 10), face}),
       "faces 7/1/6 duplicate 0 shared 0 internal 0 triangles 1/1/0", 3},
      // Zero-area triangles are dropped; the collinear corner is no vertex.
      {HandMeshedFace({kUnitNodes[0], kUnitNodes[1], kUnitNodes[2], gp_Pnt(2, 0, 0)},
                      {{1, 2, 4}, {1, 2, 3}, {3, 3, 1}}),
       "faces 1/1/0 duplicate 0 shared 0 internal 0 triangles 3/1/2", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.counters);
    const Extraction e = Extract(c.shape);
    EXPECT_EQ(e.counters, std::string(c.counters) + " scale 1.000000");
    EXPECT_EQ(e.mesh.vertices.size(), c.vertices);
  }
  const Extraction e = Extract(MeshedBox(10, 20, 30));
  EXPECT_TRUE(e.mesh.watertight);
  EXPECT_EQ(e.mesh.boundsMax, (PlPoint3{10, 20, 30}));
}

TEST(StepTriangleExtraction, ReversesWindingWhenExactlyOneOfOrientationAndMirrorFlipsIt) {
  for (const bool reversed : {false, true}) {
    for (const bool mirrored : {false, true}) {
      SCOPED_TRACE(std::to_string(reversed) + std::to_string(mirrored));
      TopoDS_Shape face = UnitTriangleFace();
      if (reversed) face.Reverse();
      if (mirrored) face = Mirrored(face);
      const Extraction e = Extract(face);
      ASSERT_EQ(e.mesh.triangles.size(), 1u);
      const PlPoint3 x = {mirrored ? -1.0 : 1.0, 0, 0};
      EXPECT_EQ(e.mesh.vertices[e.mesh.triangles[0][reversed != mirrored ? 2 : 1]], x);
      EXPECT_EQ(e.mesh.vertices[e.mesh.triangles[0][0]], (PlPoint3{0, 0, 0}));
    }
  }
  const Extraction box = Extract(Mirrored(MeshedBox(10, 20, 30)));
  EXPECT_EQ(box.mesh.boundsMin, (PlPoint3{-10, 0, 0}));
  EXPECT_TRUE(box.mesh.watertight);
}

TEST(StepTriangleExtraction, AppliesScaledLocationThenSourceToMount) {
  PlCadPrepRequest request;
  // A quarter turn about z, then 100 mm along x.
  request.sourceToMount = {0, -1, 0, 100, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const Extraction e =
      Extract(Placed(MeshedBox(10, 20, 30), &gp_Trsf::SetScaleFactor, 2.0), request);
  EXPECT_NE(e.counters.find("scale 2.000000"), std::string::npos);
  EXPECT_EQ(e.mesh.boundsMin, (PlPoint3{60, 0, 0}));
  EXPECT_EQ(e.mesh.boundsMax, (PlPoint3{100, 20, 60}));
  request.maxTriangles = 12;  // inclusive
  EXPECT_EQ(Extract(MeshedBox(1, 2, 3), request).mesh.triangles.size(), 12u);
}

TEST(StepTriangleExtraction, RejectsBadTriangulationsLocationsAndLimits) {
  const AlwaysCancelled cancelled;
  const TopoDS_Shape box = MeshedBox(10, 10, 10);
  const double kNan = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  const char* kIndex = "Open CASCADE produced an out-of-range mesh index";
  const char* kScale = "STEP face has an invalid location scale";
  const char* kLimit = "STEP tessellation exceeds maxTriangles";
  const struct {
    TopoDS_Shape shape;
    std::uint64_t maxTriangles;
    double mountScale;
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {HandMeshedFace(kUnitNodes, {{0, 1, 2}}), 10, 1, &kNever, "invalid_step_triangulation",
       "mesh", kIndex},
      {HandMeshedFace(kUnitNodes, {{1, 2, 4}}), 10, 1, &kNever, "invalid_step_triangulation",
       "mesh", kIndex},
      {Placed(box, &gp_Trsf::SetScaleFactor, kNan), 10, 1, &kNever, "invalid_step_location", "mesh",
       kScale},
      {Placed(box, &gp_Trsf::SetScaleFactor, kInf), 10, 1, &kNever, "invalid_step_location", "mesh",
       kScale},
      {box, 11, 1, &kNever, "triangle_limit_exceeded", "mesh", kLimit},
      // Discarded triangles count as seen.
      {HandMeshedFace({kUnitNodes[0], kUnitNodes[1], kUnitNodes[2], gp_Pnt(2, 0, 0)},
                      {{1, 2, 4}, {1, 2, 4}, {1, 2, 3}}),
       2, 1, &kNever, "triangle_limit_exceeded", "mesh", kLimit},
      {box, 10, 1e308, &kNever, "invalid_number", "import",
       "source coordinate becomes non-finite in the mount frame"},
      {box, 10, 1, &cancelled, "cancelled", "mesh", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    PlCadPrepRequest request;
    request.maxTriangles = c.maxTriangles;
    request.sourceToMount[0] = c.mountScale;
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(request, *c.cancellation);
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), *c.cancellation, &context);
    ExpectPlCadPrepError(
        [&] {
          (void)ExtractPlCadPrepStepTriangles(c.shape, request.sourceToMount, context, builder);
        },
        c.code, c.stage, c.message);
  }
}

}  // namespace
