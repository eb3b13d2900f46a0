#include "package/asset_validator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "members/derived_members.h"
#include "shapes/analytic_member.h"
#include "shapes/shape_definition.h"
#include "support/test_geometry.h"

namespace {

const std::string kHash = "sha256:" + std::string(64, 'c');
const std::vector<std::uint8_t> kAnalyticBytes = {'P', 'L', 'A', 'N', 'L', 'Y', '1', 0};

// A certified member of a 20 x 10 x 30 mm box, with the identities it carries.
struct BoxAnalytic {
  BoxAnalytic() {
    PlShapeDefinition box;
    box.kind = PlShapeKind::box;
    box.xSpanUm = 20000;
    box.heightUm = 10000;
    box.zSpanUm = 30000;
    definitionSourceHash = PlShapeDefinitionSourceHash(box);
    shapeDefinitionId = PlShapeDefinitionId(box);
    bytes =
        EncodePlAnalyticShape(BuildPlAnalyticShape(box, shapeDefinitionId, definitionSourceHash));
  }
  std::string definitionSourceHash;
  std::string shapeDefinitionId;
  std::vector<std::uint8_t> bytes;
};

const BoxAnalytic& Analytic() {
  static const BoxAnalytic analytic;
  return analytic;
}

std::vector<PlCadPrepManifestOrientation> Family(std::uint32_t gridAngleDeg,
                                                 const std::string& search,
                                                 const std::string& refine) {
  std::vector<PlCadPrepManifestOrientation> family;
  for (std::uint32_t k = 0; k < 4; ++k) {
    family.push_back({(gridAngleDeg + 90 * k) * 1000, gridAngleDeg * 1000, search, refine});
  }
  return family;
}

// A valid authoritative model: one zero-degree family over one search and one
// refine member. Holds the data the model borrows, so it stays in place.
struct Asset {
  Asset() { Rename(); }
  Asset(const Asset&) = delete;
  Asset& operator=(const Asset&) = delete;

  // Recomputes the content names after a grid changed.
  void Rename() {
    model.schema = "pelto.geometry.asset.v3";
    model.sourceHash = kHash;
    model.collisionMesh = &mesh;
    model.closedComponentCount = 1;
    model.authoritative = true;
    model.voxelMembers = {{Name(search), &search}, {Name(refine), &refine}};
    model.orientations = Family(0, Name(search), Name(refine));
  }
  static std::string Name(const PlVoxelGrid& grid) { return PlCadPrepVoxelMemberName(grid); }

  PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 100.0);
  PlVoxelGrid search = OneCellGrid(50, 0);
  PlVoxelGrid refine = OneCellGrid(30, 0);
  PlVoxelGrid otherSearch = OneCellGrid(50, 1);
  PlVoxelGrid otherRefine = OneCellGrid(30, 1);
  PlCadPrepManifestModel model;
};

void ExpectDiagnostic(const PlMemberDiagnostic& d, PlMemberDiagnosticCode code,
                      const std::string& member, const std::string& message) {
  EXPECT_EQ(d.code, code);
  EXPECT_EQ(d.member, member);
  EXPECT_EQ(d.message, message);
}

TEST(AssetValidator, AcceptsOneZeroFamilyOverTwoMembers) {
  Asset asset;
  const PlMemberDiagnostic d = ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits);
  EXPECT_TRUE(d.Passed()) << d.message;
  asset.model.assetId = "sha256:" + std::string(64, 'f');
  EXPECT_TRUE(ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits).Passed());
}

TEST(AssetValidator, AcceptsABakedFamilyBesideTheZeroFamily) {
  Asset asset;
  const std::string search30 = Asset::Name(asset.otherSearch);
  const std::string refine30 = Asset::Name(asset.otherRefine);
  asset.model.voxelMembers.push_back({search30, &asset.otherSearch});
  asset.model.voxelMembers.push_back({refine30, &asset.otherRefine});
  // Ascending angles interleave the two families.
  std::vector<PlCadPrepManifestOrientation> zero = asset.model.orientations;
  std::vector<PlCadPrepManifestOrientation> thirty = Family(30, search30, refine30);
  asset.model.orientations.clear();
  for (std::size_t k = 0; k < 4; ++k) {
    asset.model.orientations.push_back(zero[k]);
    asset.model.orientations.push_back(thirty[k]);
  }
  // Grids without solid occupancy are fine as long as no authority is claimed.
  asset.model.authoritative = false;
  const PlMemberDiagnostic d = ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits);
  EXPECT_TRUE(d.Passed()) << d.message;
}

// A change that gives the model a generated provenance; an empty field stays absent.
std::function<void(Asset&)> Provenance(const std::string& sourceHash,
                                       const std::string& definitionId,
                                       std::span<const std::uint8_t> analytic) {
  return [sourceHash, definitionId, analytic](Asset& a) {
    a.model.definitionSourceHash = sourceHash;
    a.model.shapeDefinitionId = definitionId;
    a.model.analytic = analytic;
  };
}

TEST(AssetValidator, ReportsTheFirstViolation) {
  using Code = PlMemberDiagnosticCode;
  struct Case {
    const char* name;
    std::function<void(Asset&)> change;
    Code code;
    std::string member;
    std::string message;
  };
  const std::string orderMessage =
      "version 3 orientations must be ascending unique angles with a first-quarter grid angle and "
      "an exact quarter-turn difference";
  const std::string aliasMessage =
      "version 3 quarter-turn aliases must completely and exactly reference their baked base "
      "grids";
  const std::string searchName = Asset::Name(OneCellGrid(50, 0));
  const std::string refineName = Asset::Name(OneCellGrid(30, 0));
  const std::string otherSearchName = Asset::Name(OneCellGrid(50, 1));
  const Case cases[] = {
      {"upper-case asset id", [](Asset& a) { a.model.assetId = "sha256:" + std::string(64, 'A'); },
       Code::identity, "manifest.json", "geometry asset ID is not a canonical SHA-256 identity"},
      {"72-byte asset id", [](Asset& a) { a.model.assetId = kHash + "0"; }, Code::identity,
       "manifest.json", "geometry asset ID is not a canonical SHA-256 identity"},
      {"generated without definition id", Provenance(kHash, "", kAnalyticBytes),
       Code::missingContent, "analytic.pshape",
       "generated version 3 geometry requires its immutable analytic member"},
      {"generated without analytic member", Provenance(kHash, kHash, {}),
       Code::missingContent, "analytic.pshape",
       "generated version 3 geometry requires its immutable analytic member"},
      {"generated analytic member that does not decode", Provenance(kHash, kHash, kAnalyticBytes),
       Code::identity, "analytic.pshape",
       "analytic member does not match generated source provenance"},
      {"generated analytic member of another definition",
       Provenance(kHash, Analytic().shapeDefinitionId, Analytic().bytes),
       Code::identity, "analytic.pshape",
       "analytic member does not match generated source provenance"},
      // The member certifies twelve headings; the table holds one family of four.
      {"generated orientations that are not its headings",
       Provenance(Analytic().definitionSourceHash, Analytic().shapeDefinitionId, Analytic().bytes),
       Code::orientationTable, "analytic.pshape",
       "generated manifest headings do not match the analytic member"},
      {"imported with definition id", [](Asset& a) { a.model.shapeDefinitionId = kHash; },
       Code::missingContent, "analytic.pshape",
       "generated version 3 geometry requires its immutable analytic member"},
      {"imported with analytic member", [](Asset& a) { a.model.analytic = kAnalyticBytes; },
       Code::unexpectedContent, "analytic.pshape",
       "imported geometry cannot carry generated analytic authority"},
      {"no orientation", [](Asset& a) { a.model.orientations.clear(); }, Code::orientationTable,
       "manifest.json", "geometry asset has no allowed mounting orientation"},
      {"twenty-five orientations",
       [](Asset& a) {
         a.model.orientations.clear();
         for (std::uint32_t i = 0; i < 25; ++i) {
           a.model.orientations.push_back({i * 1000, i * 1000, "s", "r"});
         }
       },
       Code::orientationTable, "manifest.json",
       "version 3 permits at most twenty-four orientations"},
      {"angle of a full turn",
       [](Asset& a) {
         a.model.orientations.push_back({360000, 0, "s", "r"});
       },
       Code::orientationTable, "manifest.json", orderMessage},
      {"grid angle of a quarter turn",
       [](Asset& a) {
         a.model.orientations[0] = {0, 90000, "s", "r"};
       },
       Code::orientationTable, "manifest.json", orderMessage},
      {"repeated angle", [](Asset& a) { a.model.orientations[1].angleMilliDeg = 0; },
       Code::orientationTable, "manifest.json", orderMessage},
      {"45 degrees on the zero grid",
       [](Asset& a) { a.model.orientations[1].angleMilliDeg = 45000; }, Code::orientationTable,
       "manifest.json", orderMessage},
      {"missing collision mesh", [](Asset& a) { a.model.collisionMesh = nullptr; },
       Code::missingContent, "collision.pmesh", "mesh has no vertices or triangles"},
      {"watertight mesh with an open edge", [](Asset& a) { a.mesh.triangles.pop_back(); },
       Code::invalidTopology, "collision.pmesh",
       "mesh is marked watertight but has a non-manifold boundary edge"},
      {"one voxel member", [](Asset& a) { a.model.voxelMembers.pop_back(); }, Code::voxelGrid,
       "manifest.json", "version 3 requires between two and twelve named voxel members"},
      {"thirteen voxel members",
       [](Asset& a) { a.model.voxelMembers.resize(13, a.model.voxelMembers[0]); }, Code::voxelGrid,
       "manifest.json", "version 3 requires between two and twelve named voxel members"},
      {"repeated member name",
       [](Asset& a) { a.model.voxelMembers.push_back(a.model.voxelMembers[0]); }, Code::voxelGrid,
       searchName, "version 3 voxel members require unique content-addressed names"},
      {"name not derived from content",
       [](Asset& a) {
         a.model.voxelMembers[0].name = "search_50mm_" + std::string(64, '0') + ".pvox";
       },
       Code::voxelGrid, "search_50mm_" + std::string(64, '0') + ".pvox",
       "version 3 voxel members require unique content-addressed names"},
      {"empty name of an unnameable grid",
       [](Asset& a) {
         a.search.cellSizeMm = 40;
         a.model.voxelMembers[0].name.clear();
       },
       Code::voxelGrid, "", "version 3 voxel members require unique content-addressed names"},
      {"empty search reference", [](Asset& a) { a.model.orientations[2].search.clear(); },
       Code::orientationTable, "manifest.json",
       "geometry orientation contains an empty voxel member reference"},
      {"search reference to a refine member",
       [refineName](Asset& a) { a.model.orientations[0].search = refineName; }, Code::voxelGrid,
       refineName, "voxel cell size does not match the required level"},
      {"refine reference to the preview",
       [](Asset& a) { a.model.orientations[0].refine = "preview.glb"; }, Code::voxelGrid,
       "preview.glb", "geometry orientation references a non-voxel member"},
      {"refine reference to the manifest",
       [](Asset& a) { a.model.orientations[0].refine = "manifest.json"; }, Code::voxelGrid,
       "manifest.json", "geometry orientation references a non-voxel member"},
      {"search reference to the analytic member",
       [](Asset& a) { a.model.orientations[0].search = "analytic.pshape"; }, Code::missingContent,
       "analytic.pshape", "geometry orientation references an absent archive member"},
      {"unreferenced member",
       [](Asset& a) {
         a.model.voxelMembers.push_back({Asset::Name(a.otherSearch), &a.otherSearch});
       },
       Code::unexpectedContent, otherSearchName,
       "version 3 archive contains an unreferenced voxel member"},
      {"three quarter turns", [](Asset& a) { a.model.orientations.pop_back(); },
       Code::orientationTable, "manifest.json",
       "each version 3 baked base requires four quarter-turn aliases"},
      {"no zero-degree family",
       [](Asset& a) {
         a.model.orientations = Family(30, Asset::Name(a.search), Asset::Name(a.refine));
       },
       Code::orientationTable, "manifest.json",
       "version 3 requires the protected zero-degree quarter-turn family"},
      {"alias on another search grid",
       [](Asset& a) {
         a.model.voxelMembers.push_back({Asset::Name(a.otherSearch), &a.otherSearch});
         a.model.orientations[1].search = Asset::Name(a.otherSearch);
       },
       Code::orientationTable, "manifest.json", aliasMessage},
      {"authority without solid occupancy",
       [](Asset& a) {
         a.refine.solid = false;
         a.Rename();
       },
       Code::authority, Asset::Name(OneCellGrid(30, 0, false)),
       "authoritative geometry requires conservative solid occupancy at both voxel levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Asset asset;
    c.change(asset);
    ExpectDiagnostic(ValidatePlCadPrepAsset(asset.model, kPlRuntimeMeshLimits), c.code, c.member,
                     c.message);
  }
}

// A generated asset's orientations are the twelve 30-degree headings of its
// member, here served by the zero, 30 and 60 degree families.
TEST(AssetValidator, MatchesGeneratedOrientationsToTheirCertifiedHeadings) {
  const PlVoxelGrid grids[] = {OneCellGrid(50, 0), OneCellGrid(30, 0), OneCellGrid(50, 1),
                               OneCellGrid(30, 1), OneCellGrid(50, 2), OneCellGrid(30, 2)};
  const PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 100.0);
  const auto model = [&](const std::uint32_t(&gridAnglesDeg)[3]) {
    PlCadPrepManifestModel m;
    m.schema = "pelto.geometry.asset.v3";
    m.sourceHash = Analytic().definitionSourceHash;
    m.definitionSourceHash = Analytic().definitionSourceHash;
    m.shapeDefinitionId = Analytic().shapeDefinitionId;
    m.analytic = Analytic().bytes;
    m.collisionMesh = &mesh;
    m.closedComponentCount = 1;
    for (std::size_t f = 0; f < 3; ++f) {
      const std::string search = Asset::Name(grids[2 * f]);
      const std::string refine = Asset::Name(grids[2 * f + 1]);
      m.voxelMembers.push_back({search, &grids[2 * f]});
      m.voxelMembers.push_back({refine, &grids[2 * f + 1]});
      for (const PlCadPrepManifestOrientation& o : Family(gridAnglesDeg[f], search, refine)) {
        m.orientations.push_back(o);
      }
    }
    std::sort(m.orientations.begin(), m.orientations.end(),
              [](const auto& a, const auto& b) { return a.angleMilliDeg < b.angleMilliDeg; });
    return m;
  };
  const PlMemberDiagnostic passed =
      ValidatePlCadPrepAsset(model({0, 30, 60}), kPlRuntimeMeshLimits);
  EXPECT_TRUE(passed.Passed()) << passed.message;
  // Twelve sound orientations, but the second is 15 degrees where heading 30 stands.
  ExpectDiagnostic(ValidatePlCadPrepAsset(model({0, 15, 60}), kPlRuntimeMeshLimits),
                   PlMemberDiagnosticCode::orientationTable, "analytic.pshape",
                   "generated manifest headings do not match the analytic member");
}

TEST(AssetValidator, ChecksEachGridAgainstTheGivenLimits) {
  Asset asset;
  PlRuntimeMeshLimits limits;
  limits.maxVoxelCells = 0;
  // The grid contract reports under its own member name here.
  ExpectDiagnostic(ValidatePlCadPrepAsset(asset.model, limits),
                   PlMemberDiagnosticCode::limitExceeded, "pvox",
                   "voxel grid exceeds the configured cell limit");
}

TEST(AssetValidator, ChecksOrientationReferencesAtTheirLevel) {
  Asset asset;
  const std::string search = Asset::Name(asset.search);
  const PlMemberDiagnostic passed =
      CheckPlCadPrepOrientationReference(asset.model, search, 50, kPlRuntimeMeshLimits);
  EXPECT_TRUE(passed.Passed());
  ExpectDiagnostic(
      CheckPlCadPrepOrientationReference(asset.model, search, 30, kPlRuntimeMeshLimits),
      PlMemberDiagnosticCode::voxelGrid, search,
      "voxel cell size does not match the required level");
  ExpectDiagnostic(
      CheckPlCadPrepOrientationReference(asset.model, "collision.pmesh", 50, kPlRuntimeMeshLimits),
      PlMemberDiagnosticCode::voxelGrid, "collision.pmesh",
      "geometry orientation references a non-voxel member");
}

}  // namespace
