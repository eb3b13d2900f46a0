#include "package/manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
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
const std::string kHash = "sha256:" + std::string(64, 'c');
const std::string kSel = "sha256:" + std::string(64, 'e');
const std::string kUpper = "sha256:" + std::string(64, 'E');
const char* kMs = "mold_shell";
constexpr PlCadPrepSourceFormat kStl = PlCadPrepSourceFormat::stl;

// One manifest run over members derived from a 100 mm box: an imported STL mold shell, a
// reviewed STEP selection that agrees with its request, or a generated box of twelve headings.
struct Job {
  explicit Job(Kind k) : kind(k) {
    rq.inputPath = "/models/a\x01\"b\xc3\xa9.stl";
    rq.sourceFormat = kind == step ? PlCadPrepSourceFormat::step : kStl;
    rq.componentRole = kind == step ? "component" : kMs;
    rq.allowedOrientationsDeg = {270, 0, 180, 90};
    ev = {kSel, kHash, rq.sourceToMount, {0, 90, 180, 270}, {"component"}, "none", 1, 0, 0.25,
          1.5,  true};
    if (kind == generated) {
      rq.sourceFormat = PlCadPrepSourceFormat::shapeDefinition;
      rq.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
      analytic = PackageBoxAnalytic(20000, pv);
    }
  }

  // `change` runs once the members are built and reserved.
  PlCadPrepManifest Build(const std::function<void(Job&)>& change = {}) {
    context = MakePlCadPrepOperationContext(rq, cancellation);
    const std::size_t analyticBytes = analytic.size();
    m = BuildPlCadPrepDerivedMembers(BoxImport({0, 0, 0}, 100), rq, context, {}, analytic,
                                     ReserveMemory(context, analyticBytes, "mesh"));
    m.collision.mesh.surfaceDeviationMm = kind == step ? 2.0 : 0.05;
    if (kind == generated) m.collision.sourceHash = pv.definitionSourceHash;
    if (change) change(*this);
    if (kind == step) return BuildPlCadPrepManifest(rq, m, ev, context);
    if (kind == generated) return BuildPlCadPrepManifest(rq, m, pv, context);
    return BuildPlCadPrepManifest(rq, m, PlCadPrepMeshSourceProvenance(), context);
  }

  // The identity over the identity manifest and the members the package carries.
  std::string ExpectedAssetId(const PlCadPrepManifest& manifest) const {
    const std::string identity = "{" + manifest.bytes.substr(84 + 1);
    std::vector<PlCadPrepIdentityRecord> records;
    for (const auto& a : PlCadPrepPackageMembers(manifest, m)) records.push_back({a.name, a.bytes});
    records[0] = {"manifest.identity.json",
                  {reinterpret_cast<const std::uint8_t*>(identity.data()), identity.size()}};
    return ComputePlCadPrepAssetIdentity(std::move(records));
  }

  std::string Orientation(std::uint32_t angleDeg) const {
    const PlCadPrepVoxelNames names = PlCadPrepVoxelNameList(m).at(0);
    return "{\"angleMilliDeg\":" + std::to_string(angleDeg * 1000) +
           ",\"gridAngleMilliDeg\":0,\"refine\":\"" + names.refine + "\",\"search\":\"" +
           names.search + "\"}";
  }

  Kind kind;
  std::vector<std::uint8_t> analytic;
  PlCadPrepRequest rq;
  PlCadPrepComponentSelectionEvidence ev;
  PlCadPrepGeneratedProvenance pv;
  NeverCancelled cancellation;
  PlCadPrepOperationContext context;
  PlCadPrepDerivedMembers m;
};

TEST(Manifest, WritesTheCanonicalImportedManifestWithExactReservations) {
  Job job(imported);
  job.rq.sourceToMount = {1, -0.0, 0, 12.5, 0, 1, 0, -0.1, 0, 0, 1, 0, 0, 0, 0, 1};
  const PlCadPrepManifest manifest = job.Build();
  const std::string assetId = job.ExpectedAssetId(manifest);
  EXPECT_EQ(manifest.assetId, assetId);
  EXPECT_EQ(
      manifest.bytes,
      "{\"assetId\":\"" + assetId +
          "\",\"converter\":{\"buildId\":\"PeltoCadPrep-contract-20260804\",\"policyVersion\":"
          "\"pelto.geometry.prepare.v1\"},\"mountFrame\":{\"coordinateSystem\":"
          "\"right-handed-x-right-y-mount-normal-z-forward\",\"orientations\":[" +
          job.Orientation(0) + "," + job.Orientation(90) + "," + job.Orientation(180) + "," +
          job.Orientation(270) +
          "],\"sourceToMount\":[1,0,0,12.5,0,1,0,-0.100000000000000006,0,0,1,0,0,0,0,1]},"
          "\"schema\":\"pelto.geometry.asset.v3\",\"sources\":[{\"allowedOrientationsDeg\":"
          "[270,0,180,90],\"format\":\"stl\",\"included\":false,\"name\":"
          "\"a\\u0001\\\"b\xc3\xa9.stl\",\"role\":\"mold_shell\",\"sha256\":\"" +
          kHash +
          "\"}],\"states\":{\"cycleSolid\":{\"components\":[\"mold_shell\"],\"mesh\":"
          "\"collision.pmesh\",\"preview\":\"preview.glb\",\"voxelLevelsMm\":[50,30]}},\"units\":"
          "\"mm\",\"validation\":{\"authoritative\":true,\"closedComponentCount\":1,"
          "\"maxSurfaceDeviationMm\":0.0500000000000000028,\"openComponentCount\":0,"
          "\"triangleCount\":12,\"watertight\":true}}");
  EXPECT_EQ(manifest.memory.bytes, manifest.bytes.capacity() + manifest.assetId.capacity());
  EXPECT_EQ(manifest.output.bytes, manifest.bytes.size());
}

struct Row {
  Kind kind;
  const char* code;
  std::string message;
  std::function<void(Job&)> change;
};
#define ROW(kind, code, message, ...) Row(kind, code, message, [](Job& j) { __VA_ARGS__; })

// A row with a code must fail with it; one without must pass and write `message`.
TEST(Manifest, RefusesEveryInconsistentRunWithItsOwnFailure) {
  const char *sel = "invalid_component_selection_evidence", *asset = "invalid_geometry_asset",
             *orient = "invalid_orientation";
  const std::string cs = "component selection ", ev = cs + "evidence ", st = "reviewed STEP ";
  const std::string dv = "STEP tessellation or source-healing deviation is invalid";
  const Row cases[] = {
      ROW(step, sel, ev + "is permitted only for STEP sources", j.rq.sourceFormat = kStl),
      ROW(step, sel, ev + "identity is not canonical SHA-256", j.ev.evidenceIdentity = kUpper),
      ROW(step, sel, ev + "contains an unsupported role", j.ev.retainedRoles = {"fixture", "x"}),
      ROW(step, sel, ev + "retains no role", j.ev.retainedRoles = {}),
      ROW(step, sel, cs + "source differs from collision provenance", j.ev.sourceIdentity = kSel),
      ROW(step, sel, st + "source must use the generic component request role",
          j.rq.componentRole = kMs),
      ROW(step, nullptr, "\"authoritative\":false,", j.ev.sourceHealingDeviationBounded = false),
      ROW(step, sel, dv, j.ev.tessellationDeviationMm = std::nan("")),
      ROW(step, sel, dv, j.ev.tessellationDeviationMm = -0.5),
      ROW(step, sel, dv, j.ev.sourceHealingDeviationMm = std::nan("")),
      ROW(step, nullptr, "\"sourceHealingDeviationMm\":0,", j.ev.sourceHealingDeviationMm = 0.0),
      ROW(step, sel, "STEP source-healing deviation exceeds geometry authority limit",
          j.ev.sourceHealingDeviationMm = 5.000000000000001),
      ROW(step, sel, "collision deviation omits or exceeds STEP authority evidence",
          j.m.collision.mesh.surfaceDeviationMm = 1.74),
      ROW(step, nullptr, "\"authoritative\":true", j.m.collision.mesh.surfaceDeviationMm = 1.75),
      ROW(imported, nullptr, "\"authoritative\":false,", j.m.collision.mesh.watertight = false),
      ROW(imported, orient, "version 3 baked-angle table is incomplete", j.m.baked.resize(6)),
      ROW(imported, asset, "version 3 baked-angle member is invalid", j.m.baked.resize(5)),
      ROW(imported, orient, "version 3 orientation has no baked grid",
          j.rq.allowedOrientationsDeg = {0, 45, 90, 180, 270}),
      // An angle too large for milli-degrees saturates instead of wrapping to a valid one.
      ROW(imported, asset, "derived members do not satisfy the version 3 geometry asset contract",
          j.rq.allowedOrientationsDeg = {0, 90, 180, 270, 4294980}),
      ROW(generated, "invalid_analytic_descriptor",
          "generated analytic member does not match its exact definition source",
          j.m.analytic.resize(8)),
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
    job.rq.inputPath = "/models/" + std::string(nameBytes, 'n');
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
