#include "package/manifest.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "package/asset_identity.h"
#include "package/package_archive.h"
#include "support/expect_error.h"
#include "support/package_box_analytic.h"
#include "support/test_geometry.h"

namespace {

enum Kind { imported, step, generated };

// One manifest run over members derived from a 100 mm box. An imported STL
// mold shell, a reviewed STEP selection that agrees with its request, or a
// generated box whose twelve headings the 0, 30 and 60 degree grids serve.
struct Job {
  explicit Job(Kind k) : kind(k) {
    request.inputPath = "/models/a\x01\"b\xc3\xa9.stl";
    request.sourceFormat = PlCadPrepSourceFormat::stl;
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {270, 0, 180, 90};
    if (kind == step) {
      request.sourceFormat = PlCadPrepSourceFormat::step;
      request.componentRole = "component";
      deviationMm = 2.0;
      const std::vector<std::uint32_t> turns = {0, 90, 180, 270};
      const std::vector<std::string> roles = {"component"};
      evidence = {kSelection, kHash, request.sourceToMount, turns, roles, "none", 1, 0, 0.25,
                  1.5,        true};
    } else if (kind == generated) {
      request.sourceFormat = PlCadPrepSourceFormat::shapeDefinition;
      request.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
      analytic = PackageBoxAnalytic(20000, provenance);
    }
  }

  // `change` runs once the members are built and reserved.
  PlCadPrepManifest Build(const std::function<void(Job&)>& change = {}) {
    context = MakePlCadPrepOperationContext(request, cancellation);
    const std::size_t analyticBytes = analytic.size();
    members = BuildPlCadPrepDerivedMembers(BoxImport({0, 0, 0}, 100), request, context, {},
                                           analytic, ReserveMemory(context, analyticBytes, "mesh"));
    members.collision.mesh.surfaceDeviationMm = deviationMm;
    if (kind == generated) members.collision.sourceHash = provenance.definitionSourceHash;
    if (change) change(*this);
    if (kind == step) return BuildPlCadPrepManifest(request, members, evidence, context);
    if (kind == generated) return BuildPlCadPrepManifest(request, members, provenance, context);
    return BuildPlCadPrepManifest(request, members, PlCadPrepMeshSourceProvenance(), context);
  }

  // The identity over the identity manifest and the members the package carries.
  std::string ExpectedAssetId(const PlCadPrepManifest& manifest) const {
    const std::string identity = "{" + manifest.bytes.substr(84 + 1);
    std::vector<PlCadPrepIdentityRecord> records;
    for (const PlCadPrepArchiveMember& m : PlCadPrepPackageMembers(manifest, members)) {
      records.push_back({m.name, m.bytes});
    }
    records[0] = {"manifest.identity.json",
                  {reinterpret_cast<const std::uint8_t*>(identity.data()), identity.size()}};
    return ComputePlCadPrepAssetIdentity(std::move(records));
  }

  std::string Orientation(std::uint32_t angleDeg, std::size_t grid) const {
    const PlCadPrepVoxelNames names = PlCadPrepVoxelNameList(members).at(grid);
    return "{\"angleMilliDeg\":" + std::to_string(angleDeg * 1000) +
           ",\"gridAngleMilliDeg\":" + std::to_string(names.angleDeg * 1000) + ",\"refine\":\"" +
           names.refine + "\",\"search\":\"" + names.search + "\"}";
  }

  void Deviations(double healingMm, double tessellationMm, double collisionMm) {
    evidence.sourceHealingDeviationMm = healingMm;
    evidence.tessellationDeviationMm = tessellationMm;
    members.collision.mesh.surfaceDeviationMm = collisionMm;
  }
  void Unbounded(double healingMm) {
    evidence.sourceHealingDeviationBounded = false;
    evidence.sourceHealingDeviationMm = healingMm;
  }
  void Components(std::uint64_t closed, std::uint64_t open) {
    evidence.closedComponentCount = closed;
    evidence.openComponentCount = open;
  }
  void AddAnalytic() {
    members.analytic = {1, 2, 3};
    members.analyticMemory = ReserveMemory(context, 3, "mesh");
    members.analyticOutput = ReserveOutput(context, 3, "mesh");
  }
  // Holds all but `memoryBytes` of the run's memory limit.
  void LeaveRoom(std::uint64_t memoryBytes) {
    const PlCadPrepResourceLedger& l = *context.ledger;
    held = ReserveMemory(context, l.maxMemoryBytes - l.memoryReserved - memoryBytes, "x");
  }

  static inline const std::string kHash = "sha256:" + std::string(64, 'c');
  static inline const std::string kSelection = "sha256:" + std::string(64, 'e');
  Kind kind;
  double deviationMm = 0.05;
  std::vector<std::uint8_t> analytic;
  PlCadPrepRequest request;
  PlCadPrepComponentSelectionEvidence evidence;
  PlCadPrepGeneratedProvenance provenance;
  NeverCancelled cancellation;
  PlCadPrepOperationContext context;
  PlCadPrepDerivedMembers members;
  PlCadPrepMemoryReservation held;
};

TEST(Manifest, WritesTheCanonicalImportedManifestWithExactReservations) {
  Job job(imported);
  job.request.sourceToMount = {1, -0.0, 0, 12.5, 0, 1, 0, -0.1, 0, 0, 1, 0, 0, 0, 0, 1};
  std::uint64_t memoryBefore = 0, outputBefore = 0;
  const PlCadPrepManifest manifest = job.Build([&](Job& j) {
    memoryBefore = j.context.ledger->memoryReserved;
    outputBefore = j.context.ledger->outputReserved;
  });
  const std::string assetId = job.ExpectedAssetId(manifest);
  EXPECT_EQ(manifest.assetId, assetId);
  EXPECT_EQ(
      manifest.bytes,
      "{\"assetId\":\"" + assetId +
          "\",\"converter\":{\"buildId\":\"PeltoCadPrep-contract-20260804\",\"policyVersion\":"
          "\"pelto.geometry.prepare.v1\"},\"mountFrame\":{\"coordinateSystem\":"
          "\"right-handed-x-right-y-mount-normal-z-forward\",\"orientations\":[" +
          job.Orientation(0, 0) + "," + job.Orientation(90, 0) + "," + job.Orientation(180, 0) +
          "," + job.Orientation(270, 0) +
          "],\"sourceToMount\":[1,0,0,12.5,0,1,0,-0.100000000000000006,0,0,1,0,0,0,0,1]},"
          "\"schema\":\"pelto.geometry.asset.v3\",\"sources\":[{\"allowedOrientationsDeg\":"
          "[270,0,180,90],\"format\":\"stl\",\"included\":false,\"name\":"
          "\"a\\u0001\\\"b\xc3\xa9.stl\",\"role\":\"mold_shell\",\"sha256\":\"" +
          Job::kHash +
          "\"}],\"states\":{\"cycleSolid\":{\"components\":[\"mold_shell\"],\"mesh\":"
          "\"collision.pmesh\",\"preview\":\"preview.glb\",\"voxelLevelsMm\":[50,30]}},\"units\":"
          "\"mm\",\"validation\":{\"authoritative\":true,\"closedComponentCount\":1,"
          "\"maxSurfaceDeviationMm\":0.0500000000000000028,\"openComponentCount\":0,"
          "\"triangleCount\":12,\"watertight\":true}}");
  EXPECT_EQ(manifest.memory.bytes, manifest.bytes.capacity() + manifest.assetId.capacity());
  EXPECT_EQ(manifest.output.bytes, manifest.bytes.size());
  EXPECT_EQ(job.context.ledger->memoryReserved, memoryBefore + manifest.memory.bytes);
  EXPECT_EQ(job.context.ledger->outputReserved, outputBefore + manifest.output.bytes);
  Job again(imported);
  again.request.sourceToMount = job.request.sourceToMount;
  EXPECT_EQ(again.Build().bytes, manifest.bytes);
}

TEST(Manifest, WritesReviewedStepSelectionEvidence) {
  Job job(step);
  job.request.allowedOrientationsDeg = {0, 90, 180, 270};
  job.request.inputPath = "/models/assembly.step";
  job.request.sourceToMount[1] = -0.0;  // the evidence holds +0.0 there
  job.evidence.retainedRoles = {"component", "mold_shell"};
  job.evidence.freeShellDecision = "physical";
  job.evidence.closedComponentCount = 2;
  job.evidence.openComponentCount = 1;
  job.evidence.tessellationDeviationMm = -0.0;
  const PlCadPrepManifest manifest = job.Build();
  EXPECT_EQ(manifest.assetId, job.ExpectedAssetId(manifest));
  const std::string tail =
      "\"sources\":[{\"allowedOrientationsDeg\":[0,90,180,270],\"componentSelectionSha256\":"
      "\"sha256:" +
      std::string(64, 'e') +
      "\",\"format\":\"step\",\"freeShellOverlayDecision\":\"physical\",\"included\":false,"
      "\"name\":\"assembly.step\",\"role\":\"component\",\"sha256\":\"" +
      Job::kHash +
      "\",\"sourceHealingDeviationBounded\":true,\"sourceHealingDeviationMm\":1.5,"
      "\"tessellationDeviationMm\":0}],\"states\":{\"cycleSolid\":{\"components\":"
      "[\"mold_shell\",\"component\"],\"mesh\":\"collision.pmesh\",\"preview\":\"preview.glb\","
      "\"voxelLevelsMm\":[50,30]}},\"units\":\"mm\",\"validation\":{\"authoritative\":true,"
      "\"closedComponentCount\":2,\"maxSurfaceDeviationMm\":2,\"openComponentCount\":1,"
      "\"triangleCount\":12,\"watertight\":true}}";
  ASSERT_GT(manifest.bytes.size(), tail.size());
  EXPECT_EQ(manifest.bytes.substr(manifest.bytes.size() - tail.size()), tail);
}

TEST(Manifest, WritesTheGeneratedSourceAndBindsTheAnalyticMember) {
  Job job(generated);
  const PlCadPrepManifest manifest = job.Build();
  EXPECT_EQ(manifest.assetId, job.ExpectedAssetId(manifest));
  EXPECT_NE(manifest.bytes.find(
                "\"sources\":[{\"format\":\"pelto.shape.definition.v1\",\"generatorProfile\":"
                "\"pelto.shape.generator.v1\",\"included\":false,\"name\":"
                "\"shape-definition.json\",\"role\":\"mold_shell\",\"sha256\":\"" +
                job.provenance.definitionSourceHash + "\",\"shapeDefinitionId\":\"" +
                job.provenance.shapeDefinitionId +
                "\"}],\"states\":{\"cycleSolid\":{\"analytic\":\"analytic.pshape\","
                "\"components\":[\"mold_shell\"],"),
            std::string::npos);
  EXPECT_NE(manifest.bytes.find(job.Orientation(240, 2)), std::string::npos);
  EXPECT_NE(manifest.bytes.find(job.Orientation(300, 1)), std::string::npos);
}

// Each row changes a sound run once its members exist: a row with a code must
// fail with it, a row without one must pass and write `message` into the manifest.
TEST(Manifest, RefusesEveryInconsistentRunWithItsOwnFailure) {
  const char* sel = "invalid_component_selection_evidence";
  const char* gen = "invalid_generated_source_evidence";
  const char* asset = "invalid_geometry_asset";
  const char* contract = "derived members do not satisfy the version 3 geometry asset contract";
  const char* deviation = "STEP tessellation or source-healing deviation is invalid";
  const char* authority = "collision deviation omits or exceeds STEP authority evidence";
  const char* closed = "\"authoritative\":false,\"closedComponentCount\":1,";
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    Kind kind;
    std::function<void(Job&)> change;
    const char* code;
    const char* message;
  } cases[] = {
      {step, [](Job& j) { j.request.sourceFormat = PlCadPrepSourceFormat::stl; }, sel,
       "component selection evidence is permitted only for STEP sources"},
      {step, [](Job& j) { j.evidence.evidenceIdentity = "sha256:" + std::string(64, 'E'); }, sel,
       "component selection evidence identity is not canonical SHA-256"},
      {step, [](Job& j) { j.evidence.sourceIdentity.clear(); }, sel,
       "component selection source identity is not canonical SHA-256"},
      {step, [](Job& j) { j.evidence.freeShellDecision = "unreviewed"; }, sel,
       "component selection free-shell decision is not recognized"},
      {step,
       [](Job& j) {
         j.evidence.retainedRoles = {"fixture", "component", "x"};
       },
       sel, "component selection evidence contains an unsupported role"},
      {step,
       [](Job& j) {
         j.evidence.retainedRoles = {"mold_shell", "fixture", "mold_shell"};
       },
       sel, "component selection evidence repeats mold_shell"},
      {step,
       [](Job& j) {
         j.evidence.retainedRoles = {"fixture", "fixture"};
       },
       sel, "component selection evidence repeats fixture"},
      // Roles are read in evidence order, so the repeat comes before the bad role.
      {step,
       [](Job& j) {
         j.evidence.retainedRoles = {"component", "component", "x"};
       },
       sel, "component selection evidence repeats component"},
      {step, [](Job& j) { j.evidence.retainedRoles.clear(); }, sel,
       "component selection evidence retains no role"},
      {step, [](Job& j) { j.evidence.sourceIdentity = "sha256:" + std::string(64, 'd'); }, sel,
       "component selection source differs from collision provenance"},
      {step, [](Job& j) { j.request.componentRole = "mold_shell"; }, sel,
       "reviewed STEP source must use the generic component request role"},
      {step, [](Job& j) { j.evidence.tessellationDeviationMm = -1e-300; }, sel, deviation},
      {step, [](Job& j) { j.evidence.sourceHealingDeviationMm = -1e-300; }, sel, deviation},
      {step, [inf](Job& j) { j.Unbounded(inf); }, sel, deviation},
      {step, [](Job& j) { j.Deviations(5.000000000000001, 0.0, 20.0); }, sel,
       "STEP source-healing deviation exceeds geometry authority limit"},
      {step, [](Job& j) { j.Deviations(5.0, 15.000000000000004, 30.0); }, sel, authority},
      {step, [](Job& j) { j.Deviations(5.0, 15.0, 20.0); }, nullptr, "\"authoritative\":true"},
      {step, [](Job& j) { j.Deviations(1.5, 0.25, 1.74); }, sel, authority},
      {step, [](Job& j) { j.Deviations(1.5, 0.25, 1.75); }, nullptr, "\"authoritative\":true"},
      {step, [](Job& j) { j.Unbounded(7.0); }, nullptr, closed},
      {step, [](Job& j) { j.evidence.sourceToMount[4] = 1e-300; }, sel,
       "manifest mount transform differs from reviewed STEP evidence"},
      {step,
       [](Job& j) {
         j.evidence.orientationsDeg = {0, 90, 180};
       },
       sel, "manifest orientations differ from reviewed STEP evidence"},
      {step, [](Job& j) { j.Components(0, 0); }, sel,
       "reviewed composition evidence carries no retained component"},
      {step, [](Job& j) { j.Components(0, 3); }, nullptr,
       "\"authoritative\":false,\"closedComponentCount\":0,\"maxSurfaceDeviationMm\":2,"
       "\"openComponentCount\":3,"},
      {imported, [](Job& j) { j.members.collision.mesh.watertight = false; }, nullptr,
       "\"authoritative\":false,\"closedComponentCount\":0,\"maxSurfaceDeviationMm\":0."
       "0500000000000000028,\"openComponentCount\":1,"},
      {imported, [](Job& j) { j.members.baseRefine.grid.solid = false; }, nullptr, closed},
      {imported, [](Job& j) { j.request.maxTriangles -= 1; }, "invalid_limits",
       "manifest request and operation-context limits disagree"},
      {imported, [](Job& j) { j.AddAnalytic(); }, "invalid_analytic_descriptor",
       "imported geometry cannot publish a generated analytic member"},
      {imported, [](Job& j) { j.members.collision.sourceHash = "sha256:" + std::string(64, 'C'); },
       "invalid_source_hash", "source hash is not a canonical SHA-256 identity"},
      {imported, [](Job& j) { j.members.baked.resize(6); }, "invalid_orientation",
       "version 3 baked-angle table is incomplete"},
      {imported, [](Job& j) { j.members.baked.resize(5); }, asset,
       "version 3 baked-angle member is invalid"},
      {imported,
       [](Job& j) {
         j.request.allowedOrientationsDeg = {0, 45, 90, 180, 270};
       },
       "invalid_orientation", "version 3 orientation has no baked grid"},
      // An angle too large for milli-degrees saturates instead of wrapping to a valid one.
      {imported,
       [](Job& j) {
         j.request.allowedOrientationsDeg = {0, 90, 180, 270, 4294980};
       },
       asset, contract},
      {imported, [inf](Job& j) { j.request.sourceToMount[3] = inf; }, "invalid_number",
       "manifest number must be finite"},
      {imported, [](Job& j) { j.LeaveRoom(524'288); }, nullptr, "\"authoritative\":true"},
      {imported, [](Job& j) { j.LeaveRoom(524'287); }, "memory_limit_exceeded",
       "preparation exceeds maxMemoryBytes"},
      {generated, [](Job& j) { j.request.sourceFormat = PlCadPrepSourceFormat::stl; }, gen,
       "generated provenance requires the generated-definition source format"},
      {generated, [](Job& j) { j.provenance.shapeDefinitionId = "sha256:" + std::string(64, 'D'); },
       gen, "generated provenance identities are not canonical SHA-256"},
      {generated, [](Job& j) { j.provenance.definitionSourceHash.clear(); }, gen,
       "generated provenance identities are not canonical SHA-256"},
      {generated, [](Job& j) { j.members.analytic.resize(8); }, "invalid_analytic_descriptor",
       "generated analytic member does not match its exact definition source"},
      {generated,
       [](Job& j) {
         PlCadPrepGeneratedProvenance other;
         j.members.analytic = PackageBoxAnalytic(20001, other);
       },
       "invalid_analytic_descriptor",
       "generated analytic member does not match its exact definition source"},
      {generated, [](Job& j) { j.members.collision.sourceHash = Job::kHash; }, gen,
       "generated definition source differs from collision provenance"},
      {generated, [](Job& j) { j.request.allowedOrientationsDeg.pop_back(); }, asset, contract},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Job job(cases[i].kind);
    if (cases[i].code == nullptr) {
      EXPECT_NE(job.Build(cases[i].change).bytes.find(cases[i].message), std::string::npos);
    } else {
      ExpectPlCadPrepError([&] { (void)job.Build(cases[i].change); }, cases[i].code, "package",
                           cases[i].message);
    }
  }
}

TEST(Manifest, EnforcesTheByteLimitBeforeAndAfterTheAssetId) {
  // The file name appears once, so its length moves the manifest byte by byte.
  const auto build = [](std::size_t nameBytes) {
    Job job(imported);
    job.request.inputPath = "/models/" + std::string(nameBytes, 'n');
    return job.Build().bytes.size();
  };
  const std::size_t atLimit = 1 + (kManifestMaxBytes - build(1));
  EXPECT_EQ(build(atLimit), kManifestMaxBytes);
  // The final manifest one byte over, then the identity manifest at and one over the limit.
  for (const std::size_t extra : {1, 84, 85}) {
    ExpectPlCadPrepError([&] { (void)build(atLimit + extra); }, "output_limit_exceeded", "package",
                         "canonical geometry manifest exceeds the version 3 byte limit");
  }
}

}  // namespace
