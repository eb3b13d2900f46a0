#include "package/asset_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "members/derived_members.h"
#include "support/package_box_analytic.h"
#include "support/test_geometry.h"

namespace {

using Code = PlMemberDiagnosticCode;

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
    for (std::size_t f = 0; f < gridAnglesDeg.size(); ++f) {
      grids.push_back(OneCellGrid(50, static_cast<std::int32_t>(f)));
      grids.push_back(OneCellGrid(30, static_cast<std::int32_t>(f)));
    }
    for (std::size_t f = 0; f < gridAnglesDeg.size(); ++f) {
      model.voxelMembers.push_back({Name(grids[2 * f]), &grids[2 * f]});
      model.voxelMembers.push_back({Name(grids[2 * f + 1]), &grids[2 * f + 1]});
      for (std::uint32_t k = 0; k < 4; ++k) {
        model.orientations.push_back({(gridAnglesDeg[f] + 90 * k) * 1000, gridAnglesDeg[f] * 1000,
                                      Name(grids[2 * f]), Name(grids[2 * f + 1])});
      }
    }
    std::sort(model.orientations.begin(), model.orientations.end(),
              [](const auto& a, const auto& b) { return a.angleMilliDeg < b.angleMilliDeg; });
  }
  void Generated(const std::string& hash, const std::string& id,
                 std::span<const std::uint8_t> analytic) {
    model.definitionSourceHash = hash;
    model.shapeDefinitionId = id;
    model.analytic = analytic;
  }
  PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 100.0);
  std::vector<PlVoxelGrid> grids;
  PlCadPrepManifestModel model;
};

void ExpectDiagnostic(const PlMemberDiagnostic& d, Code code, const std::string& member,
                      const std::string& message) {
  EXPECT_EQ(d.code, code);
  EXPECT_EQ(d.member, member);
  EXPECT_EQ(d.message, message);
}

TEST(AssetValidator, AcceptsASoundModel) {
  Asset asset;
  asset.model.assetId = "sha256:" + std::string(64, 'f');
  EXPECT_TRUE(ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits).Passed());
  // Six families: twenty-four orientations over twelve voxel members, both at their limit.
  EXPECT_TRUE(
      ValidatePlCadPrepAsset(Asset({0, 10, 20, 30, 40, 50}).model, kPlRuntimeMeshLimits).Passed());
  EXPECT_TRUE(CheckPlCadPrepOrientationReference(asset.model, Name(asset.grids[0]), 50,
                                                 kPlRuntimeMeshLimits)
                  .Passed());
}

TEST(AssetValidator, ReportsTheFirstViolation) {
  const std::string order =
      "version 3 orientations must be ascending unique angles with a first-quarter grid angle and "
      "an exact quarter-turn difference";
  const std::string missingAnalytic =
      "generated version 3 geometry requires its immutable analytic member";
  const std::string otherAnalytic = "analytic member does not match generated source provenance";
  const std::string names = "version 3 voxel members require unique content-addressed names";
  const std::string count = "version 3 requires between two and twelve named voxel members";
  const std::string search = Name(OneCellGrid(50, 0));
  const std::string refine = Name(OneCellGrid(30, 0));
  const std::string fake = "search_50mm_" + std::string(64, '0') + ".pvox";
  const std::vector<std::uint32_t> zero = {0}, pair = {0, 30}, thirty = {30}, skewed = {0, 15, 60},
                                   six = {0, 10, 20, 30, 40, 50},
                                   seven = {0, 10, 20, 30, 40, 50, 60};
  const struct {
    std::vector<std::uint32_t> families;
    std::function<void(Asset&)> change;
    Code code;
    std::string member;
    std::string message;
  } cases[] = {
      {zero, [](Asset& a) { a.model.assetId = "sha256:" + std::string(64, 'A'); }, Code::identity,
       "manifest.json", "geometry asset ID is not a canonical SHA-256 identity"},
      {zero, [](Asset& a) { a.Generated(kHash, "", kNotAnalytic); }, Code::missingContent,
       "analytic.pshape", missingAnalytic},
      {zero, [](Asset& a) { a.Generated(kHash, kHash, {}); }, Code::missingContent,
       "analytic.pshape", missingAnalytic},
      {zero, [](Asset& a) { a.Generated(kHash, kHash, kNotAnalytic); }, Code::identity,
       "analytic.pshape", otherAnalytic},
      {zero, [](Asset& a) { a.Generated(kHash, kBox.shapeDefinitionId, kBoxBytes); },
       Code::identity, "analytic.pshape", otherAnalytic},
      {zero,
       [](Asset& a) {
         a.Generated(kBox.definitionSourceHash, kBox.definitionSourceHash, kBoxBytes);
       },
       Code::identity, "analytic.pshape", otherAnalytic},
      {zero,
       [](Asset& a) { a.Generated(kBox.definitionSourceHash, kBox.shapeDefinitionId, kBoxBytes); },
       Code::orientationTable, "analytic.pshape",
       "generated manifest headings do not match the analytic member"},
      // Twelve sound orientations, but the second is 15 degrees where heading 30 stands.
      {skewed,
       [](Asset& a) { a.Generated(kBox.definitionSourceHash, kBox.shapeDefinitionId, kBoxBytes); },
       Code::orientationTable, "analytic.pshape",
       "generated manifest headings do not match the analytic member"},
      {zero, [](Asset& a) { a.model.shapeDefinitionId = kHash; }, Code::missingContent,
       "analytic.pshape", missingAnalytic},
      {zero, [](Asset& a) { a.model.analytic = kNotAnalytic; }, Code::unexpectedContent,
       "analytic.pshape", "imported geometry cannot carry generated analytic authority"},
      {zero, [](Asset& a) { a.model.orientations.clear(); }, Code::orientationTable,
       "manifest.json", "geometry asset has no allowed mounting orientation"},
      {seven, [](Asset& a) { a.model.orientations.pop_back(); }, Code::orientationTable,
       "manifest.json", "version 3 permits at most twenty-four orientations"},
      {zero,
       [](Asset& a) {
         a.model.orientations.push_back({360000, 0, "s", "r"});
       },
       Code::orientationTable, "manifest.json", order},
      {zero,
       [](Asset& a) {
         a.model.orientations[0] = {0, 90000, "s", "r"};
       },
       Code::orientationTable, "manifest.json", order},
      {zero, [](Asset& a) { a.model.orientations[1].angleMilliDeg = 0; }, Code::orientationTable,
       "manifest.json", order},
      {zero, [](Asset& a) { a.model.orientations[1].angleMilliDeg = 45000; },
       Code::orientationTable, "manifest.json", order},
      {zero, [](Asset& a) { a.model.collisionMesh = nullptr; }, Code::missingContent,
       "collision.pmesh", "mesh has no vertices or triangles"},
      {zero, [](Asset& a) { a.model.voxelMembers.pop_back(); }, Code::voxelGrid, "manifest.json",
       count},
      {six, [](Asset& a) { a.model.voxelMembers.push_back(a.model.voxelMembers[0]); },
       Code::voxelGrid, "manifest.json", count},
      {zero, [](Asset& a) { a.model.voxelMembers.push_back(a.model.voxelMembers[0]); },
       Code::voxelGrid, search, names},
      {zero, [fake](Asset& a) { a.model.voxelMembers[0].name = fake; }, Code::voxelGrid, fake,
       names},
      {zero,
       [](Asset& a) {
         a.grids[0].cellSizeMm = 40;
         a.model.voxelMembers[0].name.clear();
       },
       Code::voxelGrid, "", names},
      {zero, [](Asset& a) { a.model.orientations[2].search.clear(); }, Code::orientationTable,
       "manifest.json", "geometry orientation contains an empty voxel member reference"},
      {zero, [refine](Asset& a) { a.model.orientations[0].search = refine; }, Code::voxelGrid,
       refine, "voxel cell size does not match the required level"},
      {zero, [](Asset& a) { a.model.orientations[0].refine = "preview.glb"; }, Code::voxelGrid,
       "preview.glb", "geometry orientation references a non-voxel member"},
      {zero, [](Asset& a) { a.model.orientations[0].search = "analytic.pshape"; },
       Code::missingContent, "analytic.pshape",
       "geometry orientation references an absent archive member"},
      {pair, [](Asset& a) { a.model.orientations.erase(a.model.orientations.begin() + 1); },
       Code::orientationTable, "manifest.json",
       "each version 3 baked base requires four quarter-turn aliases"},
      {pair,
       [](Asset& a) {
         for (auto& o : a.model.orientations) o.refine = a.model.voxelMembers[1].name;
       },
       Code::unexpectedContent, Name(OneCellGrid(30, 1)),
       "version 3 archive contains an unreferenced voxel member"},
      {thirty, [](Asset&) {}, Code::orientationTable, "manifest.json",
       "version 3 requires the protected zero-degree quarter-turn family"},
      {pair, [](Asset& a) { a.model.orientations[2].search = a.model.voxelMembers[2].name; },
       Code::orientationTable, "manifest.json",
       "version 3 quarter-turn aliases must completely and exactly reference their baked base "
       "grids"},
      {zero,
       [](Asset& a) {
         a.grids[1].solid = false;
         a.model.voxelMembers[1].name = Name(a.grids[1]);
         for (auto& o : a.model.orientations) o.refine = Name(a.grids[1]);
       },
       Code::authority, Name(OneCellGrid(30, 0, false)),
       "authoritative geometry requires conservative solid occupancy at both voxel levels"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Asset asset(cases[i].families);
    cases[i].change(asset);
    ExpectDiagnostic(ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits), cases[i].code,
                     cases[i].member, cases[i].message);
  }
  Asset asset;
  PlRuntimeMeshLimits limits;
  limits.maxVoxelCells = 0;  // the grid contract reports under its own member name
  ExpectDiagnostic(ValidatePlCadPrepAsset(asset.model, limits), Code::limitExceeded, "pvox",
                   "voxel grid exceeds the configured cell limit");
  ExpectDiagnostic(
      CheckPlCadPrepOrientationReference(asset.model, "collision.pmesh", 50, kPlRuntimeMeshLimits),
      Code::voxelGrid, "collision.pmesh", "geometry orientation references a non-voxel member");
}

}  // namespace
