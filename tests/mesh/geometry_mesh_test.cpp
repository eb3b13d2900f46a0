#include "mesh/geometry_mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "support/test_geometry.h"

using Code = PlMemberDiagnosticCode;

TEST(GeometryMesh, AppliesContractRulesInOrder) {
  const char* deviation = "mesh surface deviation is invalid";
  const char* vertex = "mesh vertex is non-finite or outside the coordinate limit";
  const char* bounds = "declared mesh bounds do not match its vertices";
  using M = PlGeometryMesh&;
  using L = PlRuntimeMeshLimits&;
  for (const auto& [change, code, message] :
       {std::tuple<void (*)(M, L), Code, const char*>{[](M m, L) { m.boundsMin[0] = -0.0001; },
                                                      Code::passed, ""},
        {[](M m, L) { m.vertices[7][0] = m.boundsMax[0] = 100001.0; }, Code::passed, ""},
        {[](M m, L) { m.triangles.clear(); }, Code::missingContent,
         "mesh has no vertices or triangles"},
        {[](M m, L l) { l.maxVertices = 7, m.surfaceDeviationMm = NAN; }, Code::limitExceeded,
         "mesh exceeds the configured vertex or triangle limit"},
        {[](M m, L) { m.surfaceDeviationMm = -1e-300; }, Code::invalidNumber, deviation},
        {[](M m, L) { m.vertices[5][2] = NAN; }, Code::invalidNumber, vertex},
        {[](M m, L) { m.vertices[0][1] = m.boundsMin[1] = -100001.0000001; }, Code::invalidNumber,
         vertex},
        {[](M m, L) { m.boundsMin[0] = -std::nextafter(0.0001, 1.0); }, Code::boundsMismatch,
         bounds},
        {[](M m, L) { m.boundsMax[1] = NAN, m.triangles[0][0] = 8; }, Code::boundsMismatch, bounds},
        {[](M m, L) { m.triangles[4][2] = 8; }, Code::invalidTopology,
         "mesh contains an invalid triangle index"},
        {[](M m, L) {
           m.vertices.push_back({0.5, 0.5, 0.5});
         },
         Code::invalidTopology, "mesh contains an unreferenced vertex"},
        {[](M m, L) { m.triangles.pop_back(); }, Code::invalidTopology,
         "mesh is marked watertight but has a non-manifold boundary edge"}}) {
    SCOPED_TRACE(message);
    PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 1);
    PlRuntimeMeshLimits limits = kPlRuntimeMeshLimits;
    change(mesh, limits);
    const PlMemberDiagnostic d = CheckPlRuntimeMeshContract(mesh, limits);
    EXPECT_EQ(d.code, code);
    EXPECT_EQ(d.member, "collision.pmesh");
    EXPECT_EQ(d.message, message);
  }
}

// A mesh that shares its topology with a proven one skips only the topology checks.
TEST(GeometryMesh, AProvenTopologyStillChecksEverythingElse) {
  const PlGeometryMesh proven = ClosedBox({0, 0, 0}, 1);
  PlGeometryMesh open = proven;
  open.triangles.pop_back();
  open.watertight = false;
  using M = PlGeometryMesh&;
  for (const auto& [change, against, code] :
       {std::tuple<void (*)(M), const PlGeometryMesh*, Code>{[](M) {}, &proven, Code::passed},
        {[](M m) { m.vertices[3][1] = m.boundsMax[1] = 100001.5; }, &proven, Code::invalidNumber},
        {[](M m) { m.boundsMin[2] = -1.0; }, &proven, Code::boundsMismatch},
        {[](M m) { m.triangles[2][1] = 9; }, &proven, Code::invalidTopology},
        {[](M m) { m.triangles.pop_back(); }, &open, Code::invalidTopology},
        {[](M m) { m.triangles.pop_back(), m.watertight = false; }, &open, Code::passed}}) {
    PlGeometryMesh mesh = proven;
    change(mesh);
    SCOPED_TRACE(static_cast<int>(code));
    const PlMemberDiagnostic full = CheckPlRuntimeMeshContract(mesh, kPlRuntimeMeshLimits);
    const PlMemberDiagnostic fast =
        CheckPlRuntimeMeshContract(mesh, kPlRuntimeMeshLimits, *against);
    EXPECT_EQ(fast.code, code);
    EXPECT_EQ(std::tie(fast.code, fast.member, fast.message),
              std::tie(full.code, full.member, full.message));
  }
}

// Counted edges stand for the edge count alone: indices and references are still checked.
TEST(GeometryMesh, CountedEdgesSkipOnlyTheEdgeCount) {
  PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 1);
  mesh.triangles.pop_back();
  EXPECT_EQ(CheckPlRuntimeMeshContractWithCountedEdges(mesh, kPlRuntimeMeshLimits).code,
            Code::passed);
  mesh.triangles[0][2] = mesh.triangles[0][0];
  EXPECT_EQ(CheckPlRuntimeMeshContractWithCountedEdges(mesh, kPlRuntimeMeshLimits).message,
            "mesh contains an invalid triangle index");
}
