#include "mesh/geometry_mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/test_geometry.h"

using Code = PlMemberDiagnosticCode;

TEST(GeometryMesh, AppliesContractRulesInOrder) {
  const char* limit = "mesh exceeds the configured vertex or triangle limit";
  const char* deviation = "mesh surface deviation is invalid";
  const char* badVertex = "mesh vertex is non-finite or outside the coordinate limit";
  const char* badBounds = "declared mesh bounds do not match its vertices";
  const char* badIndex = "mesh contains an invalid triangle index";
  const char* badEdge = "mesh is marked watertight but has a non-manifold boundary edge";
  using M = PlGeometryMesh&;
  using L = PlRuntimeMeshLimits&;
  const struct {
    void (*change)(M, L);
    Code code;
    const char* message;
  } cases[] = {
      {[](M m, L) { m.boundsMin[0] = -0.0001; }, Code::passed, ""},
      {[](M m, L) { m.vertices[7][0] = m.boundsMax[0] = 100001.0; }, Code::passed, ""},
      {[](M m, L) { m.triangles.pop_back(), m.watertight = false; }, Code::passed, ""},
      {[](M m, L) { m.triangles.clear(); }, Code::missingContent,
       "mesh has no vertices or triangles"},
      {[](M m, L l) { l.maxVertices = 7, m.surfaceDeviationMm = NAN; }, Code::limitExceeded, limit},
      {[](M, L l) { l.maxTriangles = 11; }, Code::limitExceeded, limit},
      {[](M m, L) { m.surfaceDeviationMm = m.vertices[3][1] = NAN; }, Code::invalidNumber,
       deviation},
      {[](M m, L) { m.surfaceDeviationMm = -1e-300; }, Code::invalidNumber, deviation},
      {[](M m, L) { m.vertices[5][2] = NAN; }, Code::invalidNumber, badVertex},
      {[](M m, L) { m.vertices[0][1] = m.boundsMin[1] = -100001.0000001; }, Code::invalidNumber,
       badVertex},
      {[](M m, L) { m.boundsMin[0] = -std::nextafter(0.0001, 1.0); }, Code::boundsMismatch,
       badBounds},
      {[](M m, L) { m.boundsMax[1] = NAN, m.triangles[0][0] = 8; }, Code::boundsMismatch,
       badBounds},
      {[](M m, L) { m.triangles[4][2] = 8; }, Code::invalidTopology, badIndex},
      {[](M m, L) { m.triangles[11][2] = m.triangles[11][0]; }, Code::invalidTopology, badIndex},
      {[](M m, L) {
         m.vertices.push_back({0.5, 0.5, 0.5});
       },
       Code::invalidTopology, "mesh contains an unreferenced vertex"},
      {[](M m, L) { m.triangles.pop_back(); }, Code::invalidTopology, badEdge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 1);
    PlRuntimeMeshLimits limits = kPlRuntimeMeshLimits;
    c.change(mesh, limits);
    const PlMemberDiagnostic diagnostic = CheckPlRuntimeMeshContract(mesh, limits);
    EXPECT_EQ(diagnostic.code, c.code);
    EXPECT_EQ(diagnostic.member, "collision.pmesh");
    EXPECT_EQ(diagnostic.message, c.message);
  }
}
