#include "step/step_import.h"

#include <gtest/gtest.h>

#include "core/sha256.h"
#include "step/step_scope_import.h"
#include "support/step_error_cases.h"

namespace {

const std::string kKeyA = "sha256:" + std::string(64, 'a');
const std::string kKeyB = "sha256:" + std::string(64, 'b');
constexpr std::uint32_t kSolids = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
constexpr std::uint32_t kShells = kPlCadPrepStepScopeFreeShellsOnlyDiagnostic;
const char* const kProofStale = "step_source_proof_mesh_stale";

// One import: the face scope (solids with `keys`), its limits and source-proof key.
struct Attempt {
  PlCadPrepStepImportSettings settings = {};
  std::uint32_t scope = 0;
  PlCadPrepStepOccurrenceKeys keys = {};
  PlCadPrepLimits limits = {};
  std::string proofKey = {};
};

PlCadPrepStepOccurrenceKeys Keys(std::vector<std::string> reviewed,
                                 std::vector<std::string> retained = {},
                                 std::vector<std::pair<std::string, std::string>> proofs = {}) {
  return {std::move(reviewed), std::move(retained), std::move(proofs)};
}

class StepImport : public TempDirTest {
 protected:
  // Runs the attempt as a solids import (a faces import is copied into it); everything
  // reserved is given back when it returns or throws.
  PlCadPrepStepSolidsImport Import(const Attempt& a) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(a.limits, never);
    struct Release {
      const PlCadPrepOperationContext& context;
      ~Release() { EXPECT_EQ(context.ledger->memoryReserved, 0u); }
    } release{context};
    if (a.scope == kSolids) {
      return ImportPlCadPrepStepSolids(a.settings, a.keys, context, {}, {}, {});
    }
    const PlCadPrepStepFacesImport f =
        ImportPlCadPrepStepFaces(a.settings, a.scope, a.proofKey, context, {});
    return {f.source, f.transferredRootCount, f.census, f.tessellation, {}, f.surface};
  }
  void ExpectImportError(const Attempt& a, std::string_view code, std::string_view stage,
                         std::string_view message) {
    ExpectPlCadPrepError([&] { (void)Import(a); }, code, stage, message);
  }
  NeverCancelled never;
};

// Each row breaks one rule of the defaults; preflight never reads the (missing) source.
TEST_F(StepImport, RejectsOptionsInTheirFixedOrder) {
  const PlCadPrepStepImportSettings d = TestStepSettings(dir / "missing.step");
  const auto with = [&](const char* units, double linear, double angular) {
    PlCadPrepStepImportSettings s = d;
    s.sourceUnits = units, s.targetLinearDeflectionMm = linear,
    s.angularDeflectionRadians = angular;
    return s;
  };
  const char* kTess = "invalid_tessellation_options";
  const char* kDefl = "STEP tessellation deflections exceed the finite version 1 policy";
  const std::string a = kKeyA, b = kKeyB;
  PlCadPrepLimits one;
  one.maxTriangles = 1;
  const struct {
    Attempt attempt;
    const char* code;
    const char* message;
  } cases[] = {
      {{with("source", 15.000001, 0.5)}, kTess, kDefl},
      {{with("source", 0.5, 3.1415927), 7}, kTess, kDefl},  // deflections before the scope
      {{d, 3}, "invalid_step_face_scope", "STEP face scope is not recognized"},
      {{d, 0, {}, {}, a},
       "invalid_step_source_proof_options",
       "strict STEP source proof requires one exact retained mesh scope"},
      {{d, kSolids, Keys({"x", "y"}), one},
       "step_occurrence_selection_too_large",
       "STEP occurrence role selection exceeds the request limit"},
      {{d, kSolids, Keys({}, {}, {{b, a}, {a, a}, {b, b}})},
       "ambiguous_step_source_proof_mesh",
       "strict STEP source proof repeats a reviewed occurrence"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectImportError(c.attempt, c.code, "preflight", c.message);
  }
}

TEST_F(StepImport, ImportsABoxWithItsEvidence) {
  WriteTestStep(MakeTestBox(10, 20, 30), dir / "box.step");
  const std::string bytes = ReadFile(dir / "box.step");
  const PlCadPrepStepSolidsImport result = Import({TestStepSettings(dir / "box.step")});
  const PlCadPrepStepSurface& surface = result.surface;
  const PlCadPrepStepShapeCensus& n = result.census;
  EXPECT_EQ(result.source.sourceSha256, Sha256Identity(std::string_view(bytes)));
  EXPECT_EQ(
      (std::vector<std::uint64_t>{
          result.source.rootCount, result.transferredRootCount, n.directChildCount,
          n.directShellCount, n.solidOccurrenceCount, n.distinctSolidCount, n.shellOccurrenceCount,
          n.closedShellOccurrenceCount, n.freeShellCount, n.wireOccurrenceCount,
          n.edgeOccurrenceCount, n.vertexOccurrenceCount, surface.faceCounts.boundaryFaceCount,
          surface.faceCounts.triangulatedBoundaryFaceCount,
          surface.faceCounts.tessellatedTriangleCount, surface.faceCounts.retainedTriangleCount,
          result.tessellation.meshStatusFlags, surface.mesh.vertices.size(),
          result.tessellation.triangulationMemoryEstimateBytes - bytes.size()}),
      // The estimate: six faces of four nodes (24 bytes each) and two triangles (12 bytes each).
      (std::vector<std::uint64_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 6, 24, 48, 6, 6, 12, 12, 0, 8, 720}));
  EXPECT_EQ(surface.mesh.surfaceDeviationMm, kPlCadPrepStepUnboundedDeviationMm);
}

TEST_F(StepImport, RemeshesOnlyTheRetainedSolidsAndBoundsStrictProofs) {
  // Two boxes (1 mm and 2 mm) and a free 1 mm shell at x = 10.
  WriteTestStep(MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                                  MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0))}),
                dir / "mixed.step");
  const PlCadPrepStepImportSettings settings = TestStepSettings(dir / "mixed.step");
  const PlCadPrepStepSolidsImport all = Import({settings, kSolids});
  EXPECT_EQ(all.tessellation.selectedSolidCount + 10 * all.tessellation.selectedFreeShellCount, 2u);
  EXPECT_EQ(all.surface.mesh.triangles.size(), 24u);  // the free shell stays out
  const PlCadPrepStepSolidDiagnostic& d0 = all.classification.diagnostics.at(0);
  const PlCadPrepStepSolidDiagnostic& d1 = all.classification.diagnostics.at(1);
  const std::string k0 = d0.samePolicyOccurrenceSha256, k1 = d1.samePolicyOccurrenceSha256;
  const PlCadPrepStepSolidsImport retained = Import({settings, kSolids, Keys({k1, k0}, {k1})});
  const PlCadPrepStepSolidCounters& counters = retained.classification.counters;
  EXPECT_TRUE(retained.surface.retainedOnlyRemesh);
  EXPECT_EQ(counters.reviewedKeysMatchedCount * 10 + counters.retainedSolidCount, 21u);
  EXPECT_EQ(retained.surface.mesh.triangles.size(), 12u);
  EXPECT_EQ(retained.surface.mesh.boundsMin, (PlPoint3{5.0, 0.0, 0.0}));
  ExpectImportError({settings, kSolids, Keys({k0, kKeyA})}, "step_occurrence_selection_stale",
                    "validate", "STEP occurrence selection does not match this source and policy");

  Attempt strict{settings, kSolids,
                 Keys({}, {}, {{k0, d0.placedMeshStreamSha256}, {k1, d1.placedMeshStreamSha256}})};
  const PlCadPrepStepSurface solids = Import(strict).surface;
  EXPECT_TRUE(solids.strictSourceProof && solids.retainedOnlyRemesh &&
              solids.sourceDeviationBounded);
  EXPECT_EQ(solids.mesh.triangles.size(), 24u);
  EXPECT_EQ(solids.mesh.surfaceDeviationMm,
            solids.maxPlacedToleranceMm + solids.maxPlacementScale * 0.5);
  strict.keys.sourceProofPairs[0].second = kKeyA;
  ExpectImportError(strict, kProofStale, "validate",
                    "strict STEP source-proof meshes do not match this transfer");

  Attempt shell{settings, kShells};
  shell.proofKey = kKeyB;
  ExpectImportError(shell, kProofStale, "heal",
                    "strict STEP free-shell mesh differs from reviewed evidence");
}

TEST_F(StepImport, LimitsAreInclusiveAndSourcesMustBeReadable) {
  const std::filesystem::path path = dir / "box.step";
  WriteTestStep(MakeTestBox(1, 1, 1), path);
  WriteTestStep(MakeTestFreeShell(1, 1, 1, gp_Pnt()), dir / "shell.step");
  const std::string box = ReadFile(path);
  const std::uint64_t size = box.size();
  const auto boxWithin = [&](std::uint64_t triangles, std::uint64_t input, std::uint64_t memory) {
    Attempt a{TestStepSettings(path)};
    a.limits.maxTriangles = triangles, a.limits.maxInputBytes = input;
    a.limits.maxMemoryBytes = memory;
    return a;
  };
  Attempt extremes = boxWithin(12, size, 1u << 30);
  extremes.settings.targetLinearDeflectionMm = 15.0;
  extremes.settings.angularDeflectionRadians = 3.141592653589793;
  EXPECT_EQ(Import(extremes).surface.mesh.triangles.size(), 12u);

  const std::string mm = "( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )";
  const std::string noUnit = std::string(box).replace(
      box.find(mm), mm.size(), "( NAMED_UNIT(*) PLANE_ANGLE_UNIT() SI_UNIT($,.RADIAN.) )");
  const auto run = [this](const Attempt& a) { return [this, a] { (void)Import(a); }; };
  const auto read = [&](const char* name, const std::string& text) {
    return run({TestStepSettings(WriteFile(name, text))});
  };
  const char* kMemory = "preparation exceeds maxMemoryBytes";
  ExpectStepErrors({
      {run(boxWithin(11, size, 1u << 30)), "triangle_limit_exceeded", "mesh",
       "STEP tessellation exceeds maxTriangles"},
      {run(boxWithin(12, size, size - 1)), "memory_limit_exceeded", "import", kMemory},
      // The snapshot fits, the triangulation estimate (source size + 720) does not.
      {run(boxWithin(12, size, size + 719)), "memory_limit_exceeded", "mesh", kMemory},
      {run({TestStepSettings(path), kShells}), "step_no_selected_free_shells", "heal",
       "STEP free-shell diagnostic found no shell outside a solid"},
      {run({TestStepSettings(dir / "shell.step"), kSolids}), "step_no_selected_solids", "heal",
       "STEP solids-only diagnostic found no solid"},
      {read("units.step", noUnit), "step_units_missing", "import",
       "STEP source declares no transferable length unit"},
  });
}

TEST_F(StepImport, ImportsTheCorpus) {
  const std::filesystem::path corpus = std::filesystem::path(PL_CORPUS_DIR) / "step";
  if (!std::filesystem::is_directory(corpus)) {
    GTEST_SKIP() << "skipped: the corpus folder " << corpus << " is not present";
  }
  // Selected solids or free shells, boundary and untriangulated faces, triangles seen and kept.
  using Counts = std::array<std::uint64_t, 5>;
  for (const auto& [file, scope, counts] :
       {std::tuple{"Transformer_Breve_TEZ-47x57.step", kSolids, Counts{14, 87, 9, 3875, 3859}},
        std::tuple{"SOD_323.stp", kShells, Counts{75, 75, 2, 213, 206}}}) {
    const PlCadPrepStepSolidsImport r = Import({TestStepSettings(corpus / file), scope});
    const auto& f = r.surface.faceCounts;
    EXPECT_EQ((Counts{r.tessellation.selectedSolidCount + r.tessellation.selectedFreeShellCount,
                      f.boundaryFaceCount, f.untriangulatedBoundaryFaceCount,
                      f.tessellatedTriangleCount, r.surface.mesh.triangles.size()}),
              counts)
        << file;
    EXPECT_FALSE(r.surface.tessellationComplete) << file;
  }
}

}  // namespace
