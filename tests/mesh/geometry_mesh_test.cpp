#include "mesh/geometry_mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using Code = PlMemberDiagnosticCode;
using Change = std::function<void(PlGeometryMesh&, PlRuntimeMeshLimits&)>;

// The unit cube, every face wound counter-clockwise seen from outside.
PlGeometryMesh UnitCube() {
  PlGeometryMesh mesh;
  for (int i = 0; i < 8; ++i)
    mesh.vertices.push_back({double(i & 1), double((i >> 1) & 1), double(i >> 2)});
  mesh.triangles = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                    {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
  mesh.boundsMax = {1.0, 1.0, 1.0};
  mesh.watertight = true;
  return mesh;
}

}  // namespace

TEST(GeometryMesh, AppliesContractRulesInOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const char* empty = "mesh has no vertices or triangles";
  const char* limit = "mesh exceeds the configured vertex or triangle limit";
  const char* deviation = "mesh surface deviation is invalid";
  const char* badVertex = "mesh vertex is non-finite or outside the coordinate limit";
  const char* badBounds = "declared mesh bounds do not match its vertices";
  const char* badIndex = "mesh contains an invalid triangle index";
  const char* badEdge = "mesh is marked watertight but has a non-manifold boundary edge";
  const struct {
    const char* name;
    Change change;
    Code code;
    const char* message;
  } cases[] = {
      {"closed cube", [](auto&, auto&) {}, Code::passed, ""},
      {"bounds off by exactly the tolerance", [](auto& m, auto&) { m.boundsMin[0] = -0.0001; },
       Code::passed, ""},
      {"coordinates at the limit",
       [](auto& m, auto&) {
         m.vertices[7][0] = m.boundsMax[0] = 100001.0;
         m.vertices[0][1] = m.boundsMin[1] = -100001.0;
       },
       Code::passed, ""},
      {"flipped face marked watertight",
       [](auto& m, auto&) { std::swap(m.triangles[3][1], m.triangles[3][2]); }, Code::passed, ""},
      {"open mesh not marked watertight",
       [](auto& m, auto&) { m.triangles.pop_back(), m.watertight = false; }, Code::passed, ""},
      {"no vertices", [](auto& m, auto&) { m.vertices.clear(); }, Code::missingContent, empty},
      {"no triangles", [](auto& m, auto&) { m.triangles.clear(); }, Code::missingContent, empty},
      {"too many vertices, before the deviation",
       [&](auto& m, auto& l) { l.maxVertices = 7, m.surfaceDeviationMm = nan; },
       Code::limitExceeded, limit},
      {"too many triangles", [](auto&, auto& l) { l.maxTriangles = 11; }, Code::limitExceeded,
       limit},
      {"deviation nan, before the vertices",
       [&](auto& m, auto&) { m.surfaceDeviationMm = m.vertices[3][1] = nan; }, Code::invalidNumber,
       deviation},
      {"deviation negative", [](auto& m, auto&) { m.surfaceDeviationMm = -1e-300; },
       Code::invalidNumber, deviation},
      {"vertex nan", [&](auto& m, auto&) { m.vertices[5][2] = nan; }, Code::invalidNumber,
       badVertex},
      {"vertex infinite", [](auto& m, auto&) { m.vertices[0][0] = -INFINITY; }, Code::invalidNumber,
       badVertex},
      {"vertex beyond the limit, before the bounds",
       [](auto& m, auto&) { m.vertices[7][1] = 100001.0000001; }, Code::invalidNumber, badVertex},
      {"bounds beyond the tolerance",
       [](auto& m, auto&) { m.boundsMin[0] = -std::nextafter(0.0001, 1.0); }, Code::boundsMismatch,
       badBounds},
      {"bounds inside the vertices", [](auto& m, auto&) { m.boundsMax[2] = 0.5; },
       Code::boundsMismatch, badBounds},
      {"bounds nan, before the triangles",
       [&](auto& m, auto&) { m.boundsMax[1] = nan, m.triangles[0][0] = 8; }, Code::boundsMismatch,
       badBounds},
      {"index out of range", [](auto& m, auto&) { m.triangles[4][2] = 8; }, Code::invalidTopology,
       badIndex},
      {"repeated index", [](auto& m, auto&) { m.triangles[11][2] = m.triangles[11][0]; },
       Code::invalidTopology, badIndex},
      {"unreferenced vertex",
       [](auto& m, auto&) {
         m.vertices.push_back({0.5, 0.5, 0.5});
       },
       Code::invalidTopology, "mesh contains an unreferenced vertex"},
      {"open mesh marked watertight", [](auto& m, auto&) { m.triangles.pop_back(); },
       Code::invalidTopology, badEdge},
      {"edge used three times",
       [](auto& m, auto&) {
         m.vertices.push_back({0.5, 0.5, 2.0});
         m.boundsMax[2] = 2.0;
         m.triangles.push_back({4, 5, 8});
       },
       Code::invalidTopology, badEdge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlGeometryMesh mesh = UnitCube();
    PlRuntimeMeshLimits limits = kPlRuntimeMeshLimits;
    c.change(mesh, limits);
    const PlMemberDiagnostic diagnostic = CheckPlRuntimeMeshContract(mesh, limits);
    EXPECT_EQ(diagnostic.code, c.code);
    EXPECT_EQ(diagnostic.member, "collision.pmesh");
    EXPECT_EQ(diagnostic.message, c.message);
  }
}

TEST(GeometryMesh, MeasuredBoundsKeepTheFirstSeenZero) {
  const std::vector<PlPoint3> vertices = {{-0.0, 2.0, 0.0}, {0.0, -3.0, 5.0}, {1.5, 2.5, -0.0}};
  PlPoint3 boundsMin;
  PlPoint3 boundsMax;
  MeasurePlGeometryBounds(vertices, boundsMin, boundsMax);
  EXPECT_EQ(boundsMin, (PlPoint3{0.0, -3.0, 0.0}));
  EXPECT_EQ(boundsMax, (PlPoint3{1.5, 2.5, 5.0}));
  EXPECT_TRUE(std::signbit(boundsMin[0]));
  EXPECT_FALSE(std::signbit(boundsMin[2]));
  FoldPlGeometryBounds(std::vector<PlPoint3>{{-7.0, 9.0, 1.0}}, boundsMin, boundsMax);
  EXPECT_EQ(boundsMin, (PlPoint3{-7.0, -3.0, 0.0}));
  EXPECT_EQ(boundsMax, (PlPoint3{1.5, 9.0, 5.0}));
}

TEST(GeometryMesh, EdgeRunsListEdgesByLowerVertexInOrder) {
  PlGeometryMesh mesh;
  mesh.vertices.assign(5, PlPoint3{0.0, 0.0, 0.0});
  mesh.triangles = {{3, 1, 0}, {1, 4, 2}, {0, 1, 2}};
  int checkpoints = 0;
  const PlMeshEdgeRuns runs = BuildPlMeshEdgeRuns(
      mesh, [&] { ++checkpoints; }, 2);
  EXPECT_EQ(checkpoints, 2);  // before triangles 0 and 2
  EXPECT_EQ(runs.offsets, (std::vector<std::uint32_t>{0, 4, 8, 9, 9, 9}));
  // (higher << 1) | 1 when the edge runs upwards from its lower vertex.
  EXPECT_EQ(runs.entries, (std::vector<std::uint32_t>{
                              (1 << 1), (1 << 1) | 1, (2 << 1), (3 << 1) | 1,  // lower 0
                              (2 << 1), (2 << 1) | 1, (3 << 1), (4 << 1) | 1,  // lower 1
                              (4 << 1),                                        // lower 2
                          }));
}

TEST(GeometryMesh, NarrowsDiagnosticMessagesToPrintableText) {
  EXPECT_EQ(NarrowPlDiagnosticMessage("bounds\tdiffer\x7f\n"), "bounds?differ??");
  EXPECT_EQ(NarrowPlDiagnosticMessage("caf\xc3\xa9 ~ok"), "caf?? ~ok");
  EXPECT_EQ(NarrowPlDiagnosticMessage(std::string(255, 'x') + "\x01yz"),
            std::string(255, 'x') + "?");
}
