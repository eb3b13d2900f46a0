#include "package/asset_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "members/derived_members.h"
#include "support/package_box_analytic.h"
#include "support/test_geometry.h"

namespace {

PlCadPrepGeneratedProvenance kBox;
const std::vector<std::uint8_t> kBoxBytes = PackageBoxAnalytic(20000, kBox);
const std::string kHash = "sha256:" + std::string(64, 'c');
const std::vector<std::uint8_t> kNotAnalytic = {'P', 'L', 'A', 'N', 'L', 'Y', '1', 0};

std::string Name(const PlVoxelGrid& grid) { return PlCadPrepVoxelMemberName(grid); }

// A valid authoritative model with families of four quarter turns over one-cell grid pairs
// (the first at 0 degrees); the model borrows the grids and the mesh.
struct Asset {
  explicit Asset(std::vector<std::uint32_t> gridAnglesDeg = {0}) {
    model.schema = "pelto.geometry.asset.v3";
    model.sourceHash = kHash;
    model.collisionMesh = &mesh;
    model.closedComponentCount = 1;
    model.authoritative = true;
    grids.reserve(2 * gridAnglesDeg.size());
    for (std::size_t f = 0; f < gridAnglesDeg.size(); ++f) {
      for (const int mm : {50, 30}) {
        grids.push_back(OneCellGrid(mm, static_cast<std::int32_t>(f)));
        model.voxelMembers.push_back({Name(grids.back()), &grids.back()});
      }
      for (std::uint32_t k = 0; k < 4; ++k) {
        model.orientations.push_back({(gridAnglesDeg[f] + 90 * k) * 1000, gridAnglesDeg[f] * 1000,
                                      Name(grids[2 * f]), Name(grids[2 * f + 1])});
      }
    }
    std::sort(model.orientations.begin(), model.orientations.end(),
              [](const auto& a, const auto& b) { return a.angleMilliDeg < b.angleMilliDeg; });
  }
  void Gen(const std::string& hash, const std::string& id, std::span<const std::uint8_t> bytes) {
    model.definitionSourceHash = hash;
    model.shapeDefinitionId = id;
    model.analytic = bytes;
  }
  void RefineAll(const std::string& name) {
    for (auto& o : model.orientations) o.refine = name;
  }
  PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 100.0);
  std::vector<PlVoxelGrid> grids;
  PlCadPrepManifestModel model;
};

struct Row {
  std::vector<std::uint32_t> families;
  PlMemberDiagnosticCode code;
  std::string member, message;
  std::function<void(Asset&)> change;
};
#define ROW(families, code, member, message, ...) \
  Row(families, code, member, message, [](Asset& a) { __VA_ARGS__; })

// The first row is sound: six families, twenty-four orientations over twelve voxel members.
TEST(AssetValidator, PassesASoundModelAndReportsTheFirstViolation) {
  const std::string mj = "manifest.json", ap = "analytic.pshape", v3 = "version 3 ";
  const std::vector<std::uint32_t> one = {0}, pair = {0, 30}, six = {0, 10, 20, 30, 40, 50};
  const auto box = [](Asset& a) {
    a.Gen(kBox.definitionSourceHash, kBox.shapeDefinitionId, kBoxBytes);
  };
  using enum PlMemberDiagnosticCode;
  const auto ot = orientationTable;
  const Row cases[] = {
    ROW(six, passed, "", "", a.model.assetId = kHash),
    ROW(one, identity, mj, "geometry asset ID is not a canonical SHA-256 identity",
        a.model.assetId = "sha256:" + std::string(64, 'A')),
    ROW(one, missingContent, ap,
        "generated " + v3 + "geometry requires its immutable analytic member",
        a.Gen(kHash, "", kNotAnalytic)),
    ROW(one, identity, ap, "analytic member does not match generated source provenance",
        a.Gen(kHash, kBox.shapeDefinitionId, kBoxBytes)),
    Row({0, 15, 60}, ot, ap, "generated manifest headings do not match the analytic member", box),
    ROW(one, unexpectedContent, ap, "imported geometry cannot carry generated analytic authority",
        a.model.analytic = kNotAnalytic),
    ROW(one, ot, mj,
        v3 + "orientations must be ascending unique angles with a first-quarter grid angle and an "
             "exact quarter-turn difference",
        a.model.orientations[1].angleMilliDeg = 45000),
    ROW(one, missingContent, ap, "geometry orientation references an absent archive member",
        a.model.orientations[0].search = "analytic.pshape"),
    ROW(pair, ot, mj, "each version 3 baked base requires four quarter-turn aliases",
        a.model.orientations.erase(a.model.orientations.begin() + 1)),
    ROW(pair, unexpectedContent, Name(OneCellGrid(30, 1)),
        v3 + "archive contains an unreferenced voxel member",
        a.RefineAll(a.model.voxelMembers[1].name)),
    ROW({30}, ot, mj, v3 + "requires the protected zero-degree quarter-turn family", (void)a),
    ROW(pair, ot, mj,
        v3 + "quarter-turn aliases must completely and exactly reference their baked base grids",
        a.model.orientations[2].search = a.model.voxelMembers[2].name),
    ROW(six, voxelGrid, mj, v3 + "requires between two and twelve named voxel members",
        a.model.voxelMembers.push_back(a.model.voxelMembers[0])),
    ROW(one, authority, Name(OneCellGrid(30, 0, false)),
        "authoritative geometry requires conservative solid occupancy at both voxel levels",
        a.grids[1].solid = false;
        a.model.voxelMembers[1].name = Name(a.grids[1]); a.RefineAll(Name(a.grids[1]))),
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Asset asset(cases[i].families);
    cases[i].change(asset);
    const PlMemberDiagnostic d = ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits);
    EXPECT_EQ(std::tie(d.code, d.member, d.message),
              std::tie(cases[i].code, cases[i].member, cases[i].message));
  }
  PlRuntimeMeshLimits limits;
  limits.maxVoxelCells = 0;  // the grid contract reports under its own member name
  EXPECT_EQ(ValidatePlCadPrepAsset(Asset().model, limits).message,
            "voxel grid exceeds the configured cell limit");
}

// Given a proven mesh, the collision mesh gets the verdict of the full contract: topology
// faults are still found when it does not share the proven mesh's topology.
TEST(AssetValidator, ProvenMeshLeavesEveryVerdictAsItIs) {
  const PlGeometryMesh proven = ClosedBox({0, 0, 0}, 100.0);
  struct Case {
    bool passes;
    std::function<void(PlGeometryMesh&)> change;
  };
  const Case cases[] = {
      {true, [](PlGeometryMesh&) {}},
      {true,
       [](PlGeometryMesh& m) {
         m.triangles[0] = {0, 1, 2};
       }},
      {false,
       [](PlGeometryMesh& m) {
         m.triangles[0] = {0, 0, 1};
       }},
      {false,
       [](PlGeometryMesh& m) {
         m.triangles[0] = {0, 2, 8};
       }},
      {false, [](PlGeometryMesh& m) { m.triangles.pop_back(); }},
      {false, [](PlGeometryMesh& m) { m.vertices[0][0] = -1.0; }},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Asset asset;
    cases[i].change(asset.mesh);
    const PlMemberDiagnostic full = ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits);
    const PlMemberDiagnostic given =
        ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits, proven);
    EXPECT_EQ(std::tie(given.code, given.member, given.message),
              std::tie(full.code, full.member, full.message));
    EXPECT_EQ(full.Passed(), cases[i].passes);
  }
}

}  // namespace
