#include "package/manifest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "package/asset_identity.h"
#include "shapes/analytic_member.h"
#include "shapes/shape_definition.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

const std::string kHash = "sha256:" + std::string(64, 'c');
const std::string kSelectionHash = "sha256:" + std::string(64, 'e');
const std::string kDefinitionId = "sha256:" + std::string(64, 'd');
// What `{"assetId":"sha256:<64 hex>",` adds when it replaces the identity manifest's "{".
constexpr std::size_t kAssetIdPrefixBytes = 84;

// An occupied one-cell grid; `originX` tells grids of one level apart.
PlVoxelMember Voxel(std::uint32_t cellSizeMm, std::int32_t originX, bool solid) {
  PlVoxelMember member;
  member.grid = OneCellGrid(cellSizeMm, originX, solid);
  member.bytes = EncodePlVoxelGrid(member.grid);
  return member;
}

std::string VoxelName(const char* prefix, const PlVoxelMember& member) {
  return prefix + Sha256Identity(member.bytes).substr(7) + ".pvox";
}

// What the hand-built derived members look like.
struct MemberSpec {
  double deviationMm = 0.05;
  bool watertight = true;
  bool solid = true;
  std::string sourceHash = kHash;
  std::vector<std::uint8_t> analytic;
  std::vector<std::uint32_t> bakedAngles;
  std::uint32_t bakedCellSizeMm = 50;
};

class Cancellable final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};

// One manifest run: the request, the evidence, derived members assembled by
// hand with their reservations, and the context they were reserved in.
struct ManifestJob {
  ManifestJob() {
    request.inputPath = "/models/part.stl";
    request.sourceFormat = PlCadPrepSourceFormat::stl;
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {270, 0, 180, 90};
  }

  // A reviewed STEP selection that agrees with the request and the members.
  static ManifestJob Step() {
    ManifestJob job;
    job.request.inputPath = "/models/assembly.step";
    job.request.sourceFormat = PlCadPrepSourceFormat::step;
    job.request.componentRole = "component";
    job.recipe.deviationMm = 2.0;
    job.reviewed = true;
    PlCadPrepComponentSelectionEvidence& e = job.evidence;
    e.evidenceIdentity = kSelectionHash;
    e.sourceIdentity = kHash;
    e.sourceToMount = job.request.sourceToMount;
    e.orientationsDeg = {0, 90, 180, 270};
    e.retainedRoles = {"component"};
    e.freeShellDecision = "none";
    e.closedComponentCount = 1;
    e.tessellationDeviationMm = 0.25;
    e.sourceHealingDeviationMm = 1.5;
    e.sourceHealingDeviationBounded = true;
    return job;
  }

  void Prepare() {
    context = MakePlCadPrepOperationContext(request, cancellation);
    if (limitsDisagree) request.maxTriangles -= 1;
    PlGeometryMesh mesh = ClosedBox({0, 0, 0}, 100.0);
    mesh.surfaceDeviationMm = recipe.deviationMm;
    mesh.watertight = recipe.watertight;
    members.collision.bytes = EncodeCollisionMesh(mesh);
    ASSERT_TRUE(
        DecodeCollisionMesh(members.collision.bytes, kPlRuntimeMeshLimits, members.collision.mesh)
            .Passed());
    members.collision.mesh.watertight = recipe.watertight;
    members.collision.sourceHash = recipe.sourceHash;
    members.preview = {'g', 'l', 'T', 'F'};
    members.analytic = recipe.analytic;
    members.baseSearch = Voxel(50, 0, recipe.solid);
    members.baseRefine = Voxel(30, 0, recipe.solid);
    for (const std::uint32_t angle : recipe.bakedAngles) {
      const auto origin = static_cast<std::int32_t>(angle);
      members.baked.push_back(
          PlCadPrepBakedVoxelMembers{angle, Voxel(recipe.bakedCellSizeMm, origin, recipe.solid),
                                     Voxel(30, origin, recipe.solid)});
    }
    std::uint64_t voxelStorage = 0;
    std::uint64_t voxelBytes = 0;
    for (const PlVoxelMember* v : VoxelMembers()) {
      voxelStorage += PlVoxelMemberStorageBytes(*v);
      voxelBytes += v->bytes.size();
    }
    members.collisionMemory =
        ReserveMemory(context, PlCollisionMeshMemberStorageBytes(members.collision), "mesh");
    members.previewMemory = ReserveMemory(context, members.preview.size(), "mesh");
    members.voxelMemory = ReserveMemory(context, voxelStorage, "voxel");
    members.analyticMemory = ReserveMemory(context, members.analytic.size(), "mesh");
    members.collisionOutput = ReserveOutput(context, members.collision.bytes.size(), "mesh");
    members.previewOutput = ReserveOutput(context, members.preview.size(), "mesh");
    members.voxelOutput = ReserveOutput(context, voxelBytes, "voxel");
    members.analyticOutput = ReserveOutput(context, members.analytic.size(), "mesh");
  }

  std::vector<const PlVoxelMember*> VoxelMembers() const {
    std::vector<const PlVoxelMember*> all = {&members.baseSearch, &members.baseRefine};
    for (const PlCadPrepBakedVoxelMembers& entry : members.baked) {
      all.push_back(&entry.search);
      all.push_back(&entry.refine);
    }
    return all;
  }

  // The mesh source, or the reviewed selection's evidence once Step() made one.
  PlCadPrepProvenance ImportedOrigin() const {
    if (reviewed) return evidence;
    return PlCadPrepMeshSourceProvenance();
  }

  PlCadPrepManifest Imported() {
    Prepare();
    return BuildPlCadPrepManifest(request, members, ImportedOrigin(), context);
  }

  PlCadPrepManifest Generated() {
    Prepare();
    return BuildPlCadPrepManifest(request, members, provenance, context);
  }

  PlCadPrepRequest request;
  bool reviewed = false;
  PlCadPrepComponentSelectionEvidence evidence;
  PlCadPrepGeneratedProvenance provenance;
  MemberSpec recipe;
  bool limitsDisagree = false;
  Cancellable cancellation;
  PlCadPrepOperationContext context;
  PlCadPrepDerivedMembers members;
};

std::string Orientation(std::uint32_t angleMilliDeg, std::uint32_t gridMilliDeg,
                        const std::string& refine, const std::string& search) {
  return "{\"angleMilliDeg\":" + std::to_string(angleMilliDeg) +
         ",\"gridAngleMilliDeg\":" + std::to_string(gridMilliDeg) + ",\"refine\":\"" + refine +
         "\",\"search\":\"" + search + "\"}";
}

std::string QuarterTurnOrientations(const ManifestJob& job) {
  const std::string search = VoxelName("search_50mm_", job.members.baseSearch);
  const std::string refine = VoxelName("refine_30mm_", job.members.baseRefine);
  return Orientation(0, 0, refine, search) + "," + Orientation(90000, 0, refine, search) + "," +
         Orientation(180000, 0, refine, search) + "," + Orientation(270000, 0, refine, search);
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The identity recomputed from the records the package must bind.
std::string ExpectedAssetId(const std::string& identityManifest, const ManifestJob& job) {
  std::vector<PlCadPrepIdentityRecord> records = {
      {"manifest.identity.json", Bytes(identityManifest)},
      {"preview.glb", job.members.preview},
      {"collision.pmesh", job.members.collision.bytes}};
  records.push_back(
      {VoxelName("search_50mm_", job.members.baseSearch), job.members.baseSearch.bytes});
  records.push_back(
      {VoxelName("refine_30mm_", job.members.baseRefine), job.members.baseRefine.bytes});
  return ComputePlCadPrepAssetIdentity(std::move(records));
}

void ExpectFinalManifest(const PlCadPrepManifest& manifest, const std::string& identityManifest,
                         const ManifestJob& job) {
  const std::string assetId = ExpectedAssetId(identityManifest, job);
  ASSERT_TRUE(IsCanonicalSha256Identity(assetId));
  EXPECT_EQ(manifest.assetId, assetId);
  EXPECT_EQ(manifest.bytes, "{\"assetId\":\"" + assetId + "\"," + identityManifest.substr(1));
}

TEST(Manifest, WritesTheCanonicalImportedManifest) {
  ManifestJob job;
  job.request.sourceToMount = {1, -0.0, 0, 12.5, 0, 1, 0, -0.1, 0, 0, 1, 0, 0, 0, 0, 1};
  const PlCadPrepManifest manifest = job.Imported();
  const std::string identityManifest =
      "{\"converter\":{\"buildId\":\"PeltoCadPrep-contract-20260804\",\"policyVersion\":"
      "\"pelto.geometry.prepare.v1\"},\"mountFrame\":{\"coordinateSystem\":"
      "\"right-handed-x-right-y-mount-normal-z-forward\",\"orientations\":[" +
      QuarterTurnOrientations(job) +
      "],\"sourceToMount\":[1,0,0,12.5,0,1,0,-0.100000000000000006,0,0,1,0,0,0,0,1]},"
      "\"schema\":\"pelto.geometry.asset.v3\",\"sources\":[{\"allowedOrientationsDeg\":"
      "[270,0,180,90],\"format\":\"stl\",\"included\":false,\"name\":\"part.stl\",\"role\":"
      "\"mold_shell\",\"sha256\":\"" +
      kHash +
      "\"}],\"states\":{\"cycleSolid\":{\"components\":[\"mold_shell\"],\"mesh\":"
      "\"collision.pmesh\",\"preview\":\"preview.glb\",\"voxelLevelsMm\":[50,30]}},\"units\":"
      "\"mm\",\"validation\":{\"authoritative\":true,\"closedComponentCount\":1,"
      "\"maxSurfaceDeviationMm\":0.0500000000000000028,\"openComponentCount\":0,"
      "\"triangleCount\":12,\"watertight\":true}}";
  ExpectFinalManifest(manifest, identityManifest, job);
}

TEST(Manifest, HoldsExactlyTheManifestTextsAsMemoryAndItsBytesAsOutput) {
  ManifestJob job;
  job.Prepare();
  const std::uint64_t memoryBefore = job.context.ledger->memoryReserved;
  const std::uint64_t outputBefore = job.context.ledger->outputReserved;
  const PlCadPrepManifest manifest =
      BuildPlCadPrepManifest(job.request, job.members, job.ImportedOrigin(), job.context);
  EXPECT_EQ(manifest.memory.bytes, manifest.bytes.capacity() + manifest.assetId.capacity());
  EXPECT_EQ(manifest.output.bytes, manifest.bytes.size());
  EXPECT_EQ(manifest.memory.ledger, job.context.ledger);
  // The working reservation is gone; only the exact texts stay held.
  EXPECT_EQ(job.context.ledger->memoryReserved, memoryBefore + manifest.memory.bytes);
  EXPECT_EQ(job.context.ledger->outputReserved, outputBefore + manifest.output.bytes);
}

TEST(Manifest, WritesReviewedStepSelectionEvidence) {
  ManifestJob job = ManifestJob::Step();
  job.request.allowedOrientationsDeg = {0, 90, 180, 270};
  job.request.sourceToMount[1] = -0.0;  // the evidence holds +0.0 there
  job.evidence.retainedRoles = {"component", "mold_shell"};
  job.evidence.freeShellDecision = "physical";
  job.evidence.closedComponentCount = 2;
  job.evidence.openComponentCount = 1;
  job.evidence.tessellationDeviationMm = -0.0;
  const PlCadPrepManifest manifest = job.Imported();
  const std::string identityManifest =
      "{\"converter\":{\"buildId\":\"PeltoCadPrep-contract-20260804\",\"policyVersion\":"
      "\"pelto.geometry.prepare.v1\"},\"mountFrame\":{\"coordinateSystem\":"
      "\"right-handed-x-right-y-mount-normal-z-forward\",\"orientations\":[" +
      QuarterTurnOrientations(job) +
      "],\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]},"
      "\"schema\":\"pelto.geometry.asset.v3\",\"sources\":[{\"allowedOrientationsDeg\":"
      "[0,90,180,270],\"componentSelectionSha256\":\"" +
      kSelectionHash +
      "\",\"format\":\"step\",\"freeShellOverlayDecision\":\"physical\",\"included\":false,"
      "\"name\":\"assembly.step\",\"role\":\"component\",\"sha256\":\"" +
      kHash +
      "\",\"sourceHealingDeviationBounded\":true,\"sourceHealingDeviationMm\":1.5,"
      "\"tessellationDeviationMm\":0}],\"states\":{\"cycleSolid\":{\"components\":"
      "[\"mold_shell\",\"component\"],\"mesh\":\"collision.pmesh\",\"preview\":\"preview.glb\","
      "\"voxelLevelsMm\":[50,30]}},\"units\":\"mm\",\"validation\":{\"authoritative\":true,"
      "\"closedComponentCount\":2,\"maxSurfaceDeviationMm\":2,\"openComponentCount\":1,"
      "\"triangleCount\":12,\"watertight\":true}}";
  ExpectFinalManifest(manifest, identityManifest, job);
}

TEST(Manifest, DecidesAuthorityFromEvidenceCountsAndOccupancy) {
  struct Case {
    const char* name;
    std::function<void(ManifestJob&)> change;
    const char* validation;
  };
  const Case cases[] = {
      {"open imported mesh", [](ManifestJob& j) { j.recipe.watertight = false; },
       "{\"authoritative\":false,\"closedComponentCount\":0,\"maxSurfaceDeviationMm\":"
       "0.0500000000000000028,\"openComponentCount\":1,\"triangleCount\":12,\"watertight\":"
       "false}}"},
      {"grids without solid occupancy", [](ManifestJob& j) { j.recipe.solid = false; },
       "{\"authoritative\":false,\"closedComponentCount\":1,\"maxSurfaceDeviationMm\":"
       "0.0500000000000000028,\"openComponentCount\":0,\"triangleCount\":12,\"watertight\":"
       "true}}"},
      {"unbounded healing evidence",
       [](ManifestJob& j) {
         j = ManifestJob::Step();
         j.evidence.sourceHealingDeviationBounded = false;
         j.evidence.sourceHealingDeviationMm = 7.0;  // only bounded evidence is limited
       },
       "{\"authoritative\":false,\"closedComponentCount\":1,\"maxSurfaceDeviationMm\":2,"
       "\"openComponentCount\":0,\"triangleCount\":12,\"watertight\":true}}"},
      {"only open components retained",
       [](ManifestJob& j) {
         j = ManifestJob::Step();
         j.evidence.closedComponentCount = 0;
         j.evidence.openComponentCount = 3;
       },
       "{\"authoritative\":false,\"closedComponentCount\":0,\"maxSurfaceDeviationMm\":2,"
       "\"openComponentCount\":3,\"triangleCount\":12,\"watertight\":true}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job;
    c.change(job);
    const PlCadPrepManifest manifest = job.Imported();
    const std::string tail = std::string("\"validation\":") + c.validation;
    ASSERT_GE(manifest.bytes.size(), tail.size());
    EXPECT_EQ(manifest.bytes.substr(manifest.bytes.size() - tail.size()), tail);
  }
}

TEST(Manifest, AcceptsEvidenceAtItsLimits) {
  struct Case {
    const char* name;
    std::function<void(ManifestJob&)> change;
  };
  const Case cases[] = {
      {"healing deviation of exactly 5 mm",
       [](ManifestJob& j) {
         j.evidence.sourceHealingDeviationMm = 5.0;
         j.evidence.tessellationDeviationMm = 0.0;
         j.recipe.deviationMm = 5.0;
       }},
      {"combined deviation of exactly 20 mm",
       [](ManifestJob& j) {
         j.evidence.sourceHealingDeviationMm = 5.0;
         j.evidence.tessellationDeviationMm = 15.0;
         j.recipe.deviationMm = 20.0;
       }},
      {"orientations in another order",
       [](ManifestJob& j) {
         j.evidence.orientationsDeg = {270, 180, 90, 0};
       }},
      {"negative zero against positive zero in the transform",
       [](ManifestJob& j) { j.evidence.sourceToMount[2] = -0.0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job = ManifestJob::Step();
    c.change(job);
    const PlCadPrepManifest manifest = job.Imported();
    EXPECT_TRUE(IsCanonicalSha256Identity(manifest.assetId));
  }
}

TEST(Manifest, RefusesInvalidSelectionEvidence) {
  struct Case {
    const char* name;
    std::function<void(ManifestJob&)> change;
    const char* message;
  };
  const Case cases[] = {
      {"STL source", [](ManifestJob& j) { j.request.sourceFormat = PlCadPrepSourceFormat::stl; },
       "component selection evidence is permitted only for STEP sources"},
      {"upper-case evidence identity",
       [](ManifestJob& j) { j.evidence.evidenceIdentity = "sha256:" + std::string(64, 'E'); },
       "component selection evidence identity is not canonical SHA-256"},
      {"empty source identity", [](ManifestJob& j) { j.evidence.sourceIdentity.clear(); },
       "component selection source identity is not canonical SHA-256"},
      {"unreviewed free shells",
       [](ManifestJob& j) { j.evidence.freeShellDecision = "unreviewed"; },
       "component selection free-shell decision is not recognized"},
      {"unsupported role",
       [](ManifestJob& j) {
         j.evidence.retainedRoles = {"component", "fixture", "bracket"};
       },
       "component selection evidence contains an unsupported role"},
      {"mold shell twice",
       [](ManifestJob& j) {
         j.evidence.retainedRoles = {"mold_shell", "component", "mold_shell"};
       },
       "component selection evidence repeats mold_shell"},
      {"fixture twice",
       [](ManifestJob& j) {
         j.evidence.retainedRoles = {"fixture", "fixture"};
       },
       "component selection evidence repeats fixture"},
      // The roles are read in evidence order, so the repeat comes before the bad role.
      {"component twice before an unsupported role",
       [](ManifestJob& j) {
         j.evidence.retainedRoles = {"component", "component", "bracket"};
       },
       "component selection evidence repeats component"},
      {"no role", [](ManifestJob& j) { j.evidence.retainedRoles.clear(); },
       "component selection evidence retains no role"},
      {"other source", [](ManifestJob& j) { j.evidence.sourceIdentity = kDefinitionId; },
       "component selection source differs from collision provenance"},
      {"specific request role", [](ManifestJob& j) { j.request.componentRole = "mold_shell"; },
       "reviewed STEP source must use the generic component request role"},
      {"NaN tessellation deviation",
       [](ManifestJob& j) {
         j.evidence.tessellationDeviationMm = std::numeric_limits<double>::quiet_NaN();
       },
       "STEP tessellation or source-healing deviation is invalid"},
      {"infinite unbounded healing deviation",
       [](ManifestJob& j) {
         j.evidence.sourceHealingDeviationBounded = false;
         j.evidence.sourceHealingDeviationMm = std::numeric_limits<double>::infinity();
       },
       "STEP tessellation or source-healing deviation is invalid"},
      {"negative healing deviation",
       [](ManifestJob& j) { j.evidence.sourceHealingDeviationMm = -1e-300; },
       "STEP tessellation or source-healing deviation is invalid"},
      {"healing deviation just above 5 mm",
       [](ManifestJob& j) {
         j.evidence.sourceHealingDeviationMm = 5.000000000000001;
         j.evidence.tessellationDeviationMm = 0.0;
         j.recipe.deviationMm = 6.0;
       },
       "STEP source-healing deviation exceeds geometry authority limit"},
      {"combined deviation above 20 mm",
       [](ManifestJob& j) {
         j.evidence.sourceHealingDeviationMm = 5.0;
         j.evidence.tessellationDeviationMm = 15.5;
         j.recipe.deviationMm = 30.0;
       },
       "collision deviation omits or exceeds STEP authority evidence"},
      {"combined deviation above the collision deviation",
       [](ManifestJob& j) { j.recipe.deviationMm = 1.5; },
       "collision deviation omits or exceeds STEP authority evidence"},
      {"tiny transform value against zero",
       [](ManifestJob& j) { j.evidence.sourceToMount[4] = 1e-300; },
       "manifest mount transform differs from reviewed STEP evidence"},
      {"other orientations",
       [](ManifestJob& j) {
         j.evidence.orientationsDeg = {0, 90, 180};
       },
       "manifest orientations differ from reviewed STEP evidence"},
      {"no retained component",
       [](ManifestJob& j) {
         j.evidence.closedComponentCount = 0;
         j.evidence.openComponentCount = 0;
       },
       "reviewed composition evidence carries no retained component"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job = ManifestJob::Step();
    c.change(job);
    ExpectPlCadPrepError([&] { (void)job.Imported(); }, "invalid_component_selection_evidence",
                         "package", c.message);
  }
}

TEST(Manifest, RefusesInconsistentImportedPackages) {
  struct Case {
    const char* name;
    std::function<void(ManifestJob&)> change;
    const char* code;
    const char* message;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"limits differ from the context", [](ManifestJob& j) { j.limitsDisagree = true; },
       "invalid_limits", "manifest request and operation-context limits disagree"},
      {"imported analytic member",
       [](ManifestJob& j) {
         j.recipe.analytic = {1, 2, 3};
       },
       "invalid_analytic_descriptor",
       "imported geometry cannot publish a generated analytic member"},
      {"upper-case source hash",
       [](ManifestJob& j) { j.recipe.sourceHash = "sha256:" + std::string(64, 'C'); },
       "invalid_source_hash", "source hash is not a canonical SHA-256 identity"},
      {"seven baked angles",
       [](ManifestJob& j) { j.recipe.bakedAngles = {10, 20, 30, 40, 50, 60}; },
       "invalid_orientation", "version 3 baked-angle table is incomplete"},
      {"baked grid without a member name",
       [](ManifestJob& j) {
         j.recipe.bakedAngles = {30};
         j.recipe.bakedCellSizeMm = 40;
       },
       "invalid_geometry_asset", "version 3 baked-angle member is invalid"},
      {"orientation without its baked grid",
       [](ManifestJob& j) {
         j.request.allowedOrientationsDeg = {0, 45, 90, 180, 270};
       },
       "invalid_orientation", "version 3 orientation has no baked grid"},
      {"three quarter turns",
       [](ManifestJob& j) {
         j.request.allowedOrientationsDeg = {0, 90, 180};
       },
       "invalid_geometry_asset",
       "derived members do not satisfy the version 3 geometry asset contract"},
      {"full-turn orientation",
       [](ManifestJob& j) {
         j.request.allowedOrientationsDeg = {0, 90, 180, 270, 360};
       },
       "invalid_geometry_asset",
       "derived members do not satisfy the version 3 geometry asset contract"},
      {"orientation too large for milli-degrees",
       [](ManifestJob& j) {
         j.request.allowedOrientationsDeg = {0, 90, 180, 270, 4294980};
       },
       "invalid_geometry_asset",
       "derived members do not satisfy the version 3 geometry asset contract"},
      {"infinite transform value", [&inf](ManifestJob& j) { j.request.sourceToMount[3] = inf; },
       "invalid_number", "manifest number must be finite"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job;
    c.change(job);
    ExpectPlCadPrepError([&] { (void)job.Imported(); }, c.code, "package", c.message);
  }
}

TEST(Manifest, RefusesRunsWithoutResources) {
  // `before` changes the job before its members are reserved, `after` once they are.
  const struct {
    const char* name;
    void (*before)(ManifestJob&);
    void (*after)(ManifestJob&);
    const char* code;
    const char* message;
  } cases[] = {
      {"released member reservation", [](ManifestJob&) {},
       [](ManifestJob& j) { j.members.voxelMemory.Release(); }, "invalid_resource_reservation",
       "stage input lacks its required request memory reservation"},
      {"no room for the working memory", [](ManifestJob& j) { j.request.maxMemoryBytes = 100'000; },
       [](ManifestJob&) {}, "memory_limit_exceeded", "preparation exceeds maxMemoryBytes"},
      {"no room for the manifest bytes", [](ManifestJob& j) { j.request.maxOutputBytes = 1'000; },
       [](ManifestJob&) {}, "output_limit_exceeded", "preparation exceeds maxOutputBytes"},
      {"cancelled", [](ManifestJob&) {}, [](ManifestJob& j) { j.cancellation.cancelled = true; },
       "cancelled", "preparation was cancelled"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job;
    c.before(job);
    job.Prepare();
    c.after(job);
    ExpectPlCadPrepError(
        [&] {
          (void)BuildPlCadPrepManifest(job.request, job.members, job.ImportedOrigin(), job.context);
        },
        c.code, "package", c.message);
  }
}

PlShapeDefinition BoxDefinition(std::int64_t xSpanUm) {
  PlShapeDefinition box;
  box.kind = PlShapeKind::box;
  box.xSpanUm = xSpanUm;
  box.heightUm = 10000;
  box.zSpanUm = 30000;
  return box;
}

std::vector<std::uint8_t> AnalyticMember(const PlShapeDefinition& definition) {
  return EncodePlAnalyticShape(BuildPlAnalyticShape(definition, PlShapeDefinitionId(definition),
                                                    PlShapeDefinitionSourceHash(definition)));
}

// A generated box: its provenance, its certified member, its definition as the
// collision source, and the twelve headings served by the 0, 30 and 60 degree grids.
ManifestJob GeneratedJob() {
  ManifestJob job;
  job.request.sourceFormat = PlCadPrepSourceFormat::shapeDefinition;
  job.request.inputPath = "/defs/shape-definition.json";
  job.request.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
  job.recipe.bakedAngles = {30, 60};
  const PlShapeDefinition box = BoxDefinition(20000);
  job.provenance = {PlShapeDefinitionSourceHash(box), PlShapeDefinitionId(box)};
  job.recipe.sourceHash = job.provenance.definitionSourceHash;
  job.recipe.analytic = AnalyticMember(box);
  return job;
}

TEST(Manifest, WritesTheGeneratedSourceAndBindsTheAnalyticMember) {
  ManifestJob job = GeneratedJob();
  const PlCadPrepManifest manifest = job.Generated();
  const std::string& hash = job.provenance.definitionSourceHash;
  EXPECT_NE(manifest.bytes.find(
                "\"sources\":[{\"format\":\"pelto.shape.definition.v1\",\"generatorProfile\":"
                "\"pelto.shape.generator.v1\",\"included\":false,\"name\":"
                "\"shape-definition.json\",\"role\":\"mold_shell\",\"sha256\":\"" +
                hash + "\",\"shapeDefinitionId\":\"" + job.provenance.shapeDefinitionId +
                "\"}],\"states\":{\"cycleSolid\":{\"analytic\":\"analytic.pshape\","
                "\"components\":[\"mold_shell\"],"),
            std::string::npos);
  const PlVoxelMember& search60 = job.members.baked[1].search;
  const PlVoxelMember& refine60 = job.members.baked[1].refine;
  EXPECT_NE(manifest.bytes.find(Orientation(240000, 60000, VoxelName("refine_30mm_", refine60),
                                            VoxelName("search_50mm_", search60))),
            std::string::npos);

  // The identity binds the analytic member beside the manifest and every grid.
  const std::string identityManifest = "{" + manifest.bytes.substr(kAssetIdPrefixBytes + 1);
  std::vector<PlCadPrepIdentityRecord> records = {
      {"manifest.identity.json", Bytes(identityManifest)},
      {"preview.glb", job.members.preview},
      {"collision.pmesh", job.members.collision.bytes},
      {"analytic.pshape", job.members.analytic}};
  for (const PlVoxelMember* voxel : job.VoxelMembers()) {
    const char* prefix = voxel->grid.cellSizeMm == 50 ? "search_50mm_" : "refine_30mm_";
    records.push_back({VoxelName(prefix, *voxel), voxel->bytes});
  }
  EXPECT_EQ(manifest.assetId, ComputePlCadPrepAssetIdentity(std::move(records)));
}

TEST(Manifest, RefusesGeneratedProvenanceThatDoesNotMatch) {
  struct Case {
    const char* name;
    std::function<void(ManifestJob&)> change;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {"STL source format",
       [](ManifestJob& j) { j.request.sourceFormat = PlCadPrepSourceFormat::stl; },
       "invalid_generated_source_evidence",
       "generated provenance requires the generated-definition source format"},
      {"upper-case definition identity",
       [](ManifestJob& j) { j.provenance.shapeDefinitionId = "sha256:" + std::string(64, 'D'); },
       "invalid_generated_source_evidence",
       "generated provenance identities are not canonical SHA-256"},
      {"empty definition source hash",
       [](ManifestJob& j) { j.provenance.definitionSourceHash.clear(); },
       "invalid_generated_source_evidence",
       "generated provenance identities are not canonical SHA-256"},
      {"member that does not decode",
       [](ManifestJob& j) { j.recipe.analytic = {'P', 'L', 'A', 'N', 'L', 'Y', '1', 0}; },
       "invalid_analytic_descriptor",
       "generated analytic member does not match its exact definition source"},
      {"member of another definition",
       [](ManifestJob& j) { j.recipe.analytic = AnalyticMember(BoxDefinition(20001)); },
       "invalid_analytic_descriptor",
       "generated analytic member does not match its exact definition source"},
      {"collision mesh of another source", [](ManifestJob& j) { j.recipe.sourceHash = kHash; },
       "invalid_generated_source_evidence",
       "generated definition source differs from collision provenance"},
      {"orientations that are not the certified headings",
       [](ManifestJob& j) {
         j.request.allowedOrientationsDeg = {0, 90, 180, 270};
         j.recipe.bakedAngles.clear();
       },
       "invalid_geometry_asset",
       "derived members do not satisfy the version 3 geometry asset contract"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestJob job = GeneratedJob();
    c.change(job);
    ExpectPlCadPrepError([&] { (void)job.Generated(); }, c.code, "package", c.message);
  }
}

TEST(Manifest, EscapesTheSourceFileName) {
  ManifestJob job;
  job.request.inputPath = std::string("/models/a\x01\"b\xc3\xa9.stl");
  const PlCadPrepManifest manifest = job.Imported();
  EXPECT_NE(manifest.bytes.find("\"name\":\"a\\u0001\\\"b\xc3\xa9.stl\""), std::string::npos);
}

TEST(Manifest, EnforcesTheByteLimitBeforeAndAfterTheAssetId) {
  // The file name appears once, so its length moves the manifest byte by byte.
  const auto build = [](std::size_t nameBytes) {
    ManifestJob job;
    job.request.inputPath = "/models/" + std::string(nameBytes, 'n');
    return job.Imported();
  };
  const std::size_t shortSize = build(1).bytes.size();
  // The name length at which the final manifest is exactly at the limit.
  const std::size_t atLimit = 1 + (kManifestMaxBytes - shortSize);
  EXPECT_EQ(build(atLimit).bytes.size(), kManifestMaxBytes);
  struct Case {
    const char* name;
    std::size_t identityBytes;
  };
  const Case cases[] = {
      {"final manifest one byte over", kManifestMaxBytes - kAssetIdPrefixBytes + 1},
      {"identity manifest at the limit", kManifestMaxBytes},
      {"identity manifest one byte over", kManifestMaxBytes + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t nameBytes =
        atLimit + (c.identityBytes - (kManifestMaxBytes - kAssetIdPrefixBytes));
    ExpectPlCadPrepError([&] { (void)build(nameBytes); }, "output_limit_exceeded", "package",
                         "canonical geometry manifest exceeds the version 3 byte limit");
  }
}

TEST(Manifest, IsByteIdenticalForEqualInputs) {
  ManifestJob first;
  ManifestJob second;
  first.recipe.bakedAngles = second.recipe.bakedAngles = {30};
  first.request.allowedOrientationsDeg =
      second.request.allowedOrientationsDeg = {0, 30, 90, 120, 180, 210, 270, 300};
  const PlCadPrepManifest a = first.Imported();
  const PlCadPrepManifest b = second.Imported();
  EXPECT_EQ(a.bytes, b.bytes);
  EXPECT_EQ(a.assetId, b.assetId);
  // The baked grids serve all four quarter turns of 30 degrees.
  const std::string search30 = VoxelName("search_50mm_", first.members.baked[0].search);
  const std::string refine30 = VoxelName("refine_30mm_", first.members.baked[0].refine);
  EXPECT_NE(a.bytes.find(Orientation(210000, 30000, refine30, search30)), std::string::npos);
}

TEST(Manifest, BindsRealDerivedMembersByName) {
  PlCadPrepTriangleImport import;
  import.mesh = ClosedBox({0, 0, 0}, 100.0);
  import.sourceHash = kHash;
  PlCadPrepRequest request;
  request.inputPath = "/models/cube.obj";
  request.sourceFormat = PlCadPrepSourceFormat::obj;
  request.componentRole = "fixture";
  request.allowedOrientationsDeg = {0, 90, 180, 270, 30, 120, 210, 300};
  NeverCancelled never;
  std::string previous;
  for (int run = 0; run < 2; ++run) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    const PlCadPrepDerivedMembers members = BuildPlCadPrepDerivedMembers(
        import, request, context, {}, {}, ReserveMemory(context, 0, "mesh"));
    const PlCadPrepManifest manifest = BuildPlCadPrepManifest(
        request, members, PlCadPrepMeshSourceProvenance(), context);
    const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(members);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_NE(manifest.bytes.find(Orientation(0, 0, names[0].refine, names[0].search)),
              std::string::npos);
    EXPECT_NE(manifest.bytes.find(Orientation(300000, 30000, names[1].refine, names[1].search)),
              std::string::npos);
    if (run == 1) {
      EXPECT_EQ(manifest.bytes, previous);
    }
    previous = manifest.bytes;
  }
}

}  // namespace
