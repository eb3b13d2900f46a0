#include "mesh/geometry_mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/test_geometry.h"

namespace {

using Code = PlMemberDiagnosticCode;
using Change = std::function<void(PlGeometryMesh&, PlRuntimeMeshLimits&)>;

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
    Change change;
    Code code;
    const char* message;
  } cases[] = {
      {[](auto&, auto&) {}, Code::passed, ""},
      {[](auto& m, auto&) { m.boundsMin[0] = -0.0001; }, Code::passed, ""},
      {[](auto& m, auto&) {
         m.vertices[7][0] = m.boundsMax[0] = 100001.0;
         m.vertices[0][1] = m.boundsMin[1] = -100001.0;
       },
       Code::passed, ""},
      {[](auto& m, auto&) { m.triangles.pop_back(), m.watertight = false; }, Code::passed, ""},
      {[](auto& m, auto&) { m.vertices.clear(); }, Code::missingContent, empty},
      {[](auto& m, auto&) { m.triangles.clear(); }, Code::missingContent, empty},
      {[&](auto& m, auto& l) { l.maxVertices = 7, m.surfaceDeviationMm = nan; },
       Code::limitExceeded, limit},
      {[](auto&, auto& l) { l.maxTriangles = 11; }, Code::limitExceeded, limit},
      {[&](auto& m, auto&) { m.surfaceDeviationMm = m.vertices[3][1] = nan; }, Code::invalidNumber,
       deviation},
      {[](auto& m, auto&) { m.surfaceDeviationMm = -1e-300; }, Code::invalidNumber, deviation},
      {[&](auto& m, auto&) { m.vertices[5][2] = nan; }, Code::invalidNumber, badVertex},
      {[](auto& m, auto&) { m.vertices[7][1] = 100001.0000001; }, Code::invalidNumber, badVertex},
      {[](auto& m, auto&) { m.boundsMin[0] = -std::nextafter(0.0001, 1.0); }, Code::boundsMismatch,
       badBounds},
      {[](auto& m, auto&) { m.boundsMax[2] = 0.5; }, Code::boundsMismatch, badBounds},
      {[&](auto& m, auto&) { m.boundsMax[1] = nan, m.triangles[0][0] = 8; }, Code::boundsMismatch,
       badBounds},
      {[](auto& m, auto&) { m.triangles[4][2] = 8; }, Code::invalidTopology, badIndex},
      {[](auto& m, auto&) { m.triangles[11][2] = m.triangles[11][0]; }, Code::invalidTopology,
       badIndex},
      {[](auto& m, auto&) {
         m.vertices.push_back({0.5, 0.5, 0.5});
       },
       Code::invalidTopology, "mesh contains an unreferenced vertex"},
      {[](auto& m, auto&) { m.triangles.pop_back(); }, Code::invalidTopology, badEdge},
      {[](auto& m, auto&) {
         m.vertices.push_back({0.5, 0.5, 2.0});
         m.boundsMax[2] = 2.0;
         m.triangles.push_back({4, 5, 8});
       },
       Code::invalidTopology, badEdge},
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
