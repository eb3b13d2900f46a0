#include "kernel/triangle_extraction.h"

#include <gtest/gtest.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepMesh_IncrementalMesh.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRep_Builder.hxx>
#include <Poly_Triangulation.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Compound.hxx>
#include <TopoDS_Face.hxx>
#include <array>
#include <cmath>
#include <cstdint>
#include <gp_Ax2.hxx>
#include <gp_Pln.hxx>
#include <gp_Trsf.hxx>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/count_texts.h"
#include "support/expect_error.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const NeverCancelled kNever;

class AlwaysCancelled final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return true; }
};

struct Extraction {
  PlCadPrepTriangleCounters counters;
  PlGeometryMesh mesh;
};

// The counters in one line, so a test states all of them at once.
std::string Summary(const PlCadPrepTriangleCounters& c) {
  return FaceCountsText(c) + " duplicate " + std::to_string(c.duplicateFaceOccurrenceCount) +
         " shared " + std::to_string(c.sharedFaceCount) + " internal " +
         std::to_string(c.internalOrExternalFaceCount) + " " + TriangleCountsText(c) + " scale " +
         std::to_string(c.maxLocationScale);
}

TopoDS_Shape Box(double dx, double dy, double dz) {
  return BRepPrimAPI_MakeBox(dx, dy, dz).Shape();
}

TopoDS_Shape MeshedBox(double dx, double dy, double dz) {
  TopoDS_Shape box = Box(dx, dy, dz);
  BRepMesh_IncrementalMesh mesher(box, 1.0, false, 0.5, false);
  return box;
}

// A planar face in z = 0 carrying exactly the given nodes and triangles.
TopoDS_Face HandMeshedFace(const std::vector<gp_Pnt>& nodes,
                           const std::vector<std::array<int, 3>>& triangles) {
  TopoDS_Face face = BRepBuilderAPI_MakeFace(gp_Pln(), 0.0, 10.0, 0.0, 10.0).Face();
  Handle(Poly_Triangulation) triangulation = new Poly_Triangulation(
      static_cast<int>(nodes.size()), static_cast<int>(triangles.size()), false);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    triangulation->SetNode(static_cast<int>(i) + 1, nodes[i]);
  }
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    const std::array<int, 3>& t = triangles[i];
    triangulation->SetTriangle(static_cast<int>(i) + 1, Poly_Triangle(t[0], t[1], t[2]));
  }
  BRep_Builder().UpdateFace(face, triangulation);
  return face;
}

TopoDS_Face UnitTriangleFace() {
  return HandMeshedFace({gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0)}, {{1, 2, 3}});
}

TopoDS_Shape CompoundOf(const std::vector<TopoDS_Shape>& shapes) {
  TopoDS_Compound compound;
  BRep_Builder builder;
  builder.MakeCompound(compound);
  for (const TopoDS_Shape& shape : shapes) builder.Add(compound, shape);
  return compound;
}

// Placements are set without OCCT's guard against scaled or mirrored
// locations, because transferred assemblies can carry them.
TopoDS_Shape Placed(const TopoDS_Shape& shape, const gp_Trsf& trsf) {
  return shape.Located(TopLoc_Location(trsf), false);
}

gp_Trsf MirrorX() {
  gp_Trsf trsf;
  trsf.SetMirror(gp_Ax2(gp_Pnt(0, 0, 0), gp_Dir(1, 0, 0)));
  return trsf;
}

gp_Trsf Scaled(double factor) {
  gp_Trsf trsf;
  trsf.SetScaleFactor(factor);
  return trsf;
}

Extraction Extract(const TopoDS_Shape& shape, const PlCadPrepRequest& request = {}) {
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, &context);
  Extraction out;
  out.counters = ExtractPlCadPrepStepTriangles(shape, request.sourceToMount, context, builder);
  out.mesh = builder.Finish(0.0);
  return out;
}

PlPoint3 Sub(const PlPoint3& a, const PlPoint3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

// Every triangle's normal points away from `center`, as on a convex solid.
bool AllOutward(const PlGeometryMesh& mesh, const PlPoint3& center) {
  for (const auto& t : mesh.triangles) {
    const PlPoint3& a = mesh.vertices[t[0]];
    const PlPoint3 u = Sub(mesh.vertices[t[1]], a);
    const PlPoint3 v = Sub(mesh.vertices[t[2]], a);
    const PlPoint3 n = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                        u[0] * v[1] - u[1] * v[0]};
    const PlPoint3 out = Sub(a, center);
    if (n[0] * out[0] + n[1] * out[1] + n[2] * out[2] <= 0.0) return false;
  }
  return true;
}

TEST(StepTriangleExtraction, PlacesABoxOutwardAndCountsEveryFace) {
  const Extraction e = Extract(MeshedBox(10, 20, 30));
  EXPECT_EQ(Summary(e.counters),
            "faces 6/6/0 duplicate 0 shared 0 internal 0 triangles 12/12/0 scale 1.000000");
  EXPECT_EQ(e.mesh.vertices.size(), 8u);
  EXPECT_TRUE(e.mesh.watertight);
  EXPECT_TRUE(AllOutward(e.mesh, {5, 10, 15}));
  EXPECT_EQ(e.mesh.boundsMax, (PlPoint3{10, 20, 30}));
}

TEST(StepTriangleExtraction, MirroredBoxKeepsOutwardWinding) {
  const Extraction e = Extract(Placed(MeshedBox(10, 20, 30), MirrorX()));
  EXPECT_EQ(e.mesh.boundsMin, (PlPoint3{-10, 0, 0}));
  EXPECT_EQ(e.mesh.boundsMax, (PlPoint3{0, 20, 30}));
  EXPECT_TRUE(e.mesh.watertight);
  EXPECT_TRUE(AllOutward(e.mesh, {-5, 10, 15}));
  EXPECT_EQ(e.counters.maxLocationScale, 1.0);
}

TEST(StepTriangleExtraction, ReversesWindingWhenExactlyOneOfOrientationAndMirrorFlipsIt) {
  struct Case {
    const char* name;
    bool reversedFace;
    bool mirrored;
    bool windingReversed;
  };
  const Case cases[] = {
      {"forward", false, false, false},
      {"reversed", true, false, true},
      {"mirrored", false, true, true},
      {"mirrored reversed", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TopoDS_Shape face = UnitTriangleFace();
    if (c.reversedFace) face.Reverse();
    if (c.mirrored) face = Placed(face, MirrorX());
    const Extraction e = Extract(face);
    ASSERT_EQ(e.mesh.triangles.size(), 1u);
    const double x = c.mirrored ? -1.0 : 1.0;
    const std::array<PlPoint3, 3> expected =
        c.windingReversed ? std::array<PlPoint3, 3>{PlPoint3{0, 0, 0}, {0, 1, 0}, {x, 0, 0}}
                          : std::array<PlPoint3, 3>{PlPoint3{0, 0, 0}, {x, 0, 0}, {0, 1, 0}};
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(e.mesh.vertices[e.mesh.triangles[0][static_cast<std::size_t>(k)]],
                expected[static_cast<std::size_t>(k)]);
    }
  }
}

TEST(StepTriangleExtraction, AppliesScaledLocationThenSourceToMount) {
  PlCadPrepRequest request;
  // A quarter turn about z, then 100 mm along x.
  request.sourceToMount = {0, -1, 0, 100, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const Extraction e = Extract(Placed(MeshedBox(10, 20, 30), Scaled(2.0)), request);
  EXPECT_EQ(e.counters.maxLocationScale, 2.0);
  EXPECT_EQ(e.mesh.boundsMin, (PlPoint3{60, 0, 0}));
  EXPECT_EQ(e.mesh.boundsMax, (PlPoint3{100, 20, 60}));
  EXPECT_TRUE(e.mesh.watertight);
}

TEST(StepTriangleExtraction, SkipsRepeatedOccurrencesButKeepsOtherPlacementsAndSides) {
  const TopoDS_Shape box = MeshedBox(10, 10, 10);
  gp_Trsf shift;
  shift.SetTranslation(gp_Vec(50, 0, 0));
  const Extraction boxes = Extract(CompoundOf({box, box, Placed(box, shift)}));
  EXPECT_EQ(Summary(boxes.counters),
            "faces 12/12/0 duplicate 6 shared 0 internal 0 triangles 24/24/0 scale 1.000000");
  EXPECT_EQ(boxes.mesh.vertices.size(), 16u);

  const TopoDS_Face face = UnitTriangleFace();
  const Extraction sides = Extract(CompoundOf({face, face, face.Reversed(), face.Reversed()}));
  EXPECT_EQ(Summary(sides.counters),
            "faces 2/2/0 duplicate 2 shared 1 internal 0 triangles 2/2/0 scale 1.000000");
}

TEST(StepTriangleExtraction, SkipsInternalAndExternalFacesAfterTheSharedTest) {
  const TopoDS_Face face = UnitTriangleFace();
  const TopoDS_Face other =
      HandMeshedFace({gp_Pnt(5, 0, 0), gp_Pnt(6, 0, 0), gp_Pnt(5, 1, 0)}, {{1, 2, 3}});
  const Extraction e =
      Extract(CompoundOf({face.Oriented(TopAbs_INTERNAL), face, other.Oriented(TopAbs_EXTERNAL)}));
  EXPECT_EQ(Summary(e.counters),
            "faces 1/1/0 duplicate 0 shared 1 internal 2 triangles 1/1/0 scale 1.000000");
}

TEST(StepTriangleExtraction, CountsUntriangulatedFacesWithoutTriangles) {
  const TopoDS_Shape box = Box(10, 10, 10);
  const PlCadPrepRequest request;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, &context);
  const PlCadPrepTriangleCounters counters = ExtractPlCadPrepStepTriangles(
      CompoundOf({box, UnitTriangleFace()}), request.sourceToMount, context, builder);
  EXPECT_EQ(Summary(counters),
            "faces 7/1/6 duplicate 0 shared 0 internal 0 triangles 1/1/0 scale 1.000000");
  EXPECT_EQ(builder.TriangleCount(), 1u);
}

TEST(StepTriangleExtraction, DiscardsAndCountsZeroAreaTriangles) {
  const TopoDS_Face face =
      HandMeshedFace({gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0), gp_Pnt(2, 0, 0)},
                     {{1, 2, 4}, {1, 2, 3}, {3, 3, 1}});
  const Extraction e = Extract(face);
  EXPECT_EQ(Summary(e.counters),
            "faces 1/1/0 duplicate 0 shared 0 internal 0 triangles 3/1/2 scale 1.000000");
  // The collinear corner never reaches the builder, so it is no vertex.
  EXPECT_EQ(e.mesh.vertices.size(), 3u);
}

TEST(StepTriangleExtraction, AcceptsExactlyMaxTrianglesSeen) {
  PlCadPrepRequest request;
  request.maxTriangles = 12;
  EXPECT_EQ(Extract(MeshedBox(1, 2, 3), request).counters.tessellatedTriangleCount, 12u);
}

TEST(StepTriangleExtraction, RejectsBadTriangulationsLocationsAndLimits) {
  const AlwaysCancelled cancelled;
  const TopoDS_Shape box = MeshedBox(10, 10, 10);
  const TopoDS_Face slivers =
      HandMeshedFace({gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0), gp_Pnt(2, 0, 0)},
                     {{1, 2, 4}, {1, 2, 4}, {1, 2, 3}});
  const std::vector<gp_Pnt> nodes = {gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(0, 1, 0)};
  struct Case {
    const char* name;
    TopoDS_Shape shape;
    std::uint64_t maxTriangles;
    double mountScale;
    const PlCadPrepCancellation* cancellation;
    const char* code;
    const char* stage;
    const char* message;
  };
  const Case cases[] = {
      {"node zero", HandMeshedFace(nodes, {{0, 1, 2}}), 10, 1.0, &kNever,
       "invalid_step_triangulation", "mesh", "Open CASCADE produced an out-of-range mesh index"},
      {"node past the end", HandMeshedFace(nodes, {{1, 2, 4}}), 10, 1.0, &kNever,
       "invalid_step_triangulation", "mesh", "Open CASCADE produced an out-of-range mesh index"},
      {"nan location scale", Placed(box, Scaled(kNan)), 10, 1.0, &kNever, "invalid_step_location",
       "mesh", "STEP face has an invalid location scale"},
      {"infinite location scale", Placed(box, Scaled(kInf)), 10, 1.0, &kNever,
       "invalid_step_location", "mesh", "STEP face has an invalid location scale"},
      {"one triangle over the limit", box, 11, 1.0, &kNever, "triangle_limit_exceeded", "mesh",
       "STEP tessellation exceeds maxTriangles"},
      {"discarded triangles count as seen", slivers, 2, 1.0, &kNever, "triangle_limit_exceeded",
       "mesh", "STEP tessellation exceeds maxTriangles"},
      {"mount frame overflows", box, 10, 1e308, &kNever, "invalid_number", "import",
       "source coordinate becomes non-finite in the mount frame"},
      {"cancelled", box, 10, 1.0, &cancelled, "cancelled", "mesh", "preparation was cancelled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
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
