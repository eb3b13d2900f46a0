#include "step/step_import.h"

#include <gtest/gtest.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <Interface_Static.hxx>
#include <Message_ProgressScope.hxx>
#include <XSAlgo.hxx>
#include <XSAlgo_AlgoContainer.hxx>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gp_Dir.hxx>
#include <gp_Pln.hxx>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "kernel/occt_compat.h"
#include "kernel/occt_progress.h"
#include "step/step_scope_import.h"
#include "support/change_case.h"
#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

constexpr std::string_view kKeyA =
    "sha256:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
constexpr std::string_view kKeyB =
    "sha256:bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";

// Reports cancellation once the flag it watches is raised.
class FlagCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return raised; }
  bool raised = false;
};

struct ProgressLog {
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> calls;
  ProgressCallback Callback() {
    return [this](std::string_view stage, std::uint64_t done, std::uint64_t total) {
      calls.emplace_back(std::string(stage), done, total);
    };
  }
  std::vector<std::uint64_t> Steps(std::string_view stage) const {
    std::vector<std::uint64_t> steps;
    for (const auto& [s, done, total] : calls) {
      if (s == stage) steps.push_back(done);
    }
    return steps;
  }
};

// One import as a row of a table states it: settings and limits, the face
// scope (the solids scope with `keys`) or the bounds alone.
struct Attempt {
  explicit Attempt(PlCadPrepStepImportSettings importSettings)
      : settings(std::move(importSettings)) {}

  PlCadPrepStepImportSettings settings;
  PlCadPrepLimits limits;
  std::uint32_t scope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  PlCadPrepStepOccurrenceKeys keys;
  std::string proofKey;
  bool boundsOnly = false;
};

void RunAttempt(const Attempt& a, const PlCadPrepOperationContext& context) {
  if (a.boundsOnly) {
    (void)MeasurePlCadPrepStepBounds(a.settings, context, {});
  } else if (a.scope == kPlCadPrepStepScopeSolidsOnlyDiagnostic) {
    (void)ImportPlCadPrepStepSolids(a.settings, a.keys, context, {}, {}, {});
  } else {
    (void)ImportPlCadPrepStepFaces(a.settings, a.scope, a.proofKey, context, {});
  }
}

class StepImport : public TempDirTest {
 protected:
  // Two boxes (1 mm and 2 mm) and a free 1 mm shell at x = 10.
  std::filesystem::path WriteMixed() {
    return Write("mixed.step",
                 MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                                   MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0))}));
  }

  std::filesystem::path Write(const std::string& name, const TopoDS_Shape& shape,
                              const char* unit = "MM") {
    const std::filesystem::path path = dir / name;
    WriteTestStep(shape, path, unit);
    return path;
  }

  // Runs `import` with a fresh context; everything reserved during the import
  // is given back when it returns.
  template <typename Import>
  auto Run(const PlCadPrepLimits& limits, Import&& import) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(limits, never);
    auto result = import(context);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
    return result;
  }

  PlCadPrepStepSolidsImport Solids(const PlCadPrepStepImportSettings& settings,
                                   const PlCadPrepStepOccurrenceKeys& keys = {},
                                   const ProgressCallback& progress = {},
                                   const PlCadPrepStepSolidMeshCallback& onSolidMesh = {},
                                   const PlCadPrepStepSolidDiagnosticCallback& onDiagnostic = {},
                                   const PlCadPrepLimits& limits = {}) {
    return Run(limits, [&](const PlCadPrepOperationContext& context) {
      return ImportPlCadPrepStepSolids(settings, keys, context, progress, onSolidMesh,
                                       onDiagnostic);
    });
  }

  PlCadPrepStepFacesImport Faces(
      const PlCadPrepStepImportSettings& settings,
      std::uint32_t scope = kPlCadPrepStepScopeAllTransferredBoundaryFaces,
      const std::string& proofKey = {}, const ProgressCallback& progress = {},
      const PlCadPrepLimits& limits = {}) {
    return Run(limits, [&](const PlCadPrepOperationContext& context) {
      return ImportPlCadPrepStepFaces(settings, scope, proofKey, context, progress);
    });
  }

  void ExpectImportError(const Attempt& attempt, std::string_view code, std::string_view stage,
                         std::string_view message) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(attempt.limits, never);
    ExpectPlCadPrepError([&] { RunAttempt(attempt, context); }, code, stage, message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }

  std::vector<std::string> Keys(const PlCadPrepStepSolidsImport& result) {
    std::vector<std::string> keys;
    for (const PlCadPrepStepSolidDiagnostic& d : result.classification.diagnostics) {
      keys.push_back(d.samePolicyOccurrenceSha256);
    }
    return keys;
  }

  NeverCancelled never;
};

// Inch conversions round in the last bit; millimetre files stay exact.
void ExpectPointNear(const PlPoint3& actual, const PlPoint3& expected) {
  for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(actual[axis], expected[axis], 1e-9) << axis;
}

TEST_F(StepImport, RejectsOptionsInTheirFixedOrder) {
  const std::string a(kKeyA);
  const std::string b(kKeyB);
  constexpr const char* kTess = "invalid_tessellation_options";
  constexpr const char* kDeflections =
      "STEP tessellation deflections exceed the finite version 1 policy";
  constexpr const char* kProofCode = "invalid_step_source_proof_options";
  constexpr const char* kProof = "strict STEP source proof requires one exact retained mesh scope";
  constexpr const char* kLarge = "step_occurrence_selection_too_large";
  constexpr const char* kLargeMsg = "STEP occurrence role selection exceeds the request limit";
  constexpr std::uint32_t kSolids = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  // Each row changes the defaults; later rows keep earlier rules satisfied.
  const ChangeCase<Attempt, const char*> cases[] = {
      {"units", [](Attempt& t) { t.settings.sourceUnits = "mm"; },
       "step_units_must_come_from_source",
       "STEP import must preserve the units declared by the source file"},
      {"units of a bounds measurement",
       [](Attempt& t) { t.settings.sourceUnits = "mm", t.boundsOnly = true; },
       "step_units_must_come_from_source",
       "STEP import must preserve the units declared by the source file"},
      {"linear above 15", [](Attempt& t) { t.settings.targetLinearDeflectionMm = 15.000001; },
       kTess, kDeflections},
      {"linear zero", [](Attempt& t) { t.settings.targetLinearDeflectionMm = 0.0; }, kTess,
       kDeflections},
      {"angular nan", [](Attempt& t) { t.settings.angularDeflectionRadians = std::nan(""); }, kTess,
       kDeflections},
      // Deflections are judged before the scope.
      {"angular above pi",
       [](Attempt& t) {
         t.settings.angularDeflectionRadians = std::nextafter(3.141592653589793, 4.0), t.scope = 7;
       },
       kTess, kDeflections},
      {"scope", [](Attempt& t) { t.scope = 3; }, "invalid_step_face_scope",
       "STEP face scope is not recognized"},
      {"strict with reviewed keys",
       [](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {"x"};
         t.keys.sourceProofPairs = {{"x", "y"}};
       },
       kProofCode, kProof},
      {"proof key outside free shells", [&](Attempt& t) { t.proofKey = a; }, kProofCode, kProof},
      {"proof key in capitals",
       [](Attempt& t) { t.scope = 2, t.proofKey = "sha256:" + std::string(64, 'A'); }, kProofCode,
       kProof},
      {"more keys than triangles",
       [](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {"x", "y"}, t.limits.maxTriangles = 1;
       },
       kLarge, kLargeMsg},
      {"more retained than reviewed",
       [](Attempt& t) { t.scope = kSolids, t.keys.retained = {"x"}; }, kLarge, kLargeMsg},
      {"reviewed not canonical",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {a, a + "0"};
       },
       "invalid_step_occurrence_key", "STEP occurrence selection key is not canonical SHA-256"},
      {"reviewed repeated",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {a, b, a};
       },
       "duplicate_step_occurrence_key", "STEP occurrence selection contains a duplicate key"},
      {"retained not canonical",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {a, b}, t.keys.retained = {"sha256:1"};
       },
       "invalid_step_occurrence_key", "retained STEP occurrence key is not canonical SHA-256"},
      {"retained repeated",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {a, b}, t.keys.retained = {b, b};
       },
       "duplicate_step_occurrence_key",
       "retained STEP occurrence selection contains a duplicate key"},
      {"retained not reviewed",
       [&](Attempt& t) { t.scope = kSolids, t.keys.reviewed = {a}, t.keys.retained = {b}; },
       "invalid_step_occurrence_role_selection",
       "retained STEP occurrences are not a subset of reviewed occurrences"},
      {"proof identity not canonical",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.sourceProofPairs = {{a, "sha256:"}};
       },
       "invalid_step_source_proof_mesh_key",
       "strict STEP source-proof component identity is not canonical"},
      {"proof key repeated",
       [&](Attempt& t) {
         t.scope = kSolids, t.keys.sourceProofPairs = {{b, a}, {a, a}, {b, b}};
       },
       "ambiguous_step_source_proof_mesh",
       "strict STEP source proof repeats a reviewed occurrence"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The path does not exist: preflight never touches the source.
    Attempt attempt{TestStepSettings(dir / "missing.step")};
    c.change(attempt);
    ExpectImportError(attempt, c.code, "preflight", c.message);
  }
}

TEST_F(StepImport, ImportsABoxWithItsEvidence) {
  const std::filesystem::path path = Write("box.step", MakeTestBox(10, 20, 30));
  const std::string bytes = ReadFile(path);
  ProgressLog log;
  const PlCadPrepStepFacesImport result = Faces(
      TestStepSettings(path), kPlCadPrepStepScopeAllTransferredBoundaryFaces, {}, log.Callback());
  const PlCadPrepStepSurface& surface = result.surface;

  EXPECT_EQ(result.source.sourceSha256, Sha256Identity(std::string_view(bytes)));
  EXPECT_EQ(result.source.sourceBytes, bytes.size());
  EXPECT_EQ(result.source.declaredLengthUnits, std::vector<std::string>{"millimetre"});
  const PlCadPrepStepShapeCensus& n = result.census;
  EXPECT_EQ(n.shapeType, "solid");
  // Roots, transferred roots, census, faces, triangulated faces, triangles seen and kept.
  EXPECT_EQ(
      (std::vector<std::uint64_t>{
          result.source.rootCount, result.transferredRootCount, n.directChildCount,
          n.directShellCount, n.solidOccurrenceCount, n.distinctSolidCount, n.shellOccurrenceCount,
          n.closedShellOccurrenceCount, n.freeShellCount, n.wireOccurrenceCount,
          n.edgeOccurrenceCount, n.vertexOccurrenceCount, surface.faceCounts.boundaryFaceCount,
          surface.faceCounts.triangulatedBoundaryFaceCount,
          surface.faceCounts.tessellatedTriangleCount, surface.faceCounts.retainedTriangleCount}),
      (std::vector<std::uint64_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 6, 24, 48, 6, 6, 12, 12}));
  EXPECT_EQ(result.tessellation.meshStatusFlags, 0u);
  EXPECT_TRUE(result.tessellation.meshStatusNames.empty());
  // Six faces of four nodes (24 bytes each) and two triangles (12 bytes each).
  EXPECT_EQ(result.tessellation.triangulationMemoryEstimateBytes,
            bytes.size() + 6 * (4 * 24 + 2 * 12));
  EXPECT_EQ(surface.maxSubshapeToleranceMm, 1e-7);
  EXPECT_EQ(surface.maxPlacementScale, 1.0);
  // Mixed units, retained-only remesh, complete, deviation bounded, watertight. Healing may
  // move the surface, so only a strict import may claim a bound.
  EXPECT_EQ((std::vector<bool>{result.source.mixedLengthUnits, surface.retainedOnlyRemesh,
                               surface.tessellationComplete, surface.sourceDeviationBounded,
                               surface.mesh.watertight}),
            (std::vector<bool>{false, false, true, false, true}));
  EXPECT_EQ(surface.mesh.surfaceDeviationMm, kPlCadPrepStepUnboundedDeviationMm);
  EXPECT_EQ(surface.mesh.vertices.size(), 8u);
  EXPECT_EQ(surface.mesh.triangles.size(), 12u);
  EXPECT_EQ(surface.mesh.boundsMin, (PlPoint3{0.0, 0.0, 0.0}));
  EXPECT_EQ(surface.mesh.boundsMax, (PlPoint3{10.0, 20.0, 30.0}));

  EXPECT_EQ(log.Steps("import"), std::vector<std::uint64_t>{bytes.size()});
  for (const char* stage : {"heal", "mesh"}) {
    SCOPED_TRACE(stage);
    const std::vector<std::uint64_t> steps = log.Steps(stage);
    ASSERT_FALSE(steps.empty());
    EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
    EXPECT_TRUE(std::adjacent_find(steps.begin(), steps.end()) == steps.end());
    EXPECT_LE(steps.back(), 1000u);
  }
  for (const auto& [stage, done, total] : log.calls) {
    if (stage != "import") {
      EXPECT_EQ(total, 1000u);
    }
  }
}

TEST_F(StepImport, PlacesInchesInMillimetresThroughTheMountTransform) {
  const std::filesystem::path path = Write("inch.step", MakeTestBox(1, 2, 3), "INCH");
  PlCadPrepStepImportSettings settings = TestStepSettings(path);
  settings.sourceToMount[3] = 100.0;
  const PlCadPrepStepFacesImport result = Faces(settings);
  EXPECT_EQ(result.source.declaredLengthUnits, std::vector<std::string>{"INCH"});
  ExpectPointNear(result.surface.mesh.boundsMin, {100.0, 0.0, 0.0});
  ExpectPointNear(result.surface.mesh.boundsMax, {125.4, 50.8, 76.2});
}

TEST_F(StepImport, RecordsTwoLengthUnitsWithoutRejectingThem) {
  const std::filesystem::path path = dir / "two-units.step";
  TestStepWriter writer;
  writer.Add(MakeTestBox(1, 1, 1));
  writer.Add(MakeTestBox(1, 1, 1, gp_Pnt(5, 0, 0)), "INCH");
  writer.Write(path);
  const PlCadPrepStepSolidsImport result = Solids(TestStepSettings(path));
  EXPECT_EQ(result.source.declaredLengthUnits, (std::vector<std::string>{"millimetre", "INCH"}));
  EXPECT_TRUE(result.source.mixedLengthUnits);
  EXPECT_EQ(result.source.rootCount, 2u);
  EXPECT_EQ(result.classification.diagnostics.size(), 2u);
  ExpectPointNear(result.surface.mesh.boundsMax, {152.4, 25.4, 25.4});
}

TEST_F(StepImport, ClassifiesEachSelectedSolidOnce) {
  const std::filesystem::path path = WriteMixed();
  std::vector<std::uint64_t> meshOrdinals;
  std::vector<std::uint64_t> diagnosticOrdinals;
  const PlCadPrepOperationContext identityContext =
      MakePlCadPrepOperationContext(PlCadPrepLimits(), never);
  const PlCadPrepStepSolidsImport result = Solids(
      TestStepSettings(path), {}, {},
      [&](const PlCadPrepStepSolidDiagnostic& d, const PlGeometryMesh& mesh) {
        meshOrdinals.push_back(d.selectedSolidOrdinal);
        EXPECT_EQ(mesh.triangles.size(), 12u);
        EXPECT_EQ(PlCadPrepStepPlacedMeshStreamSha256(mesh, identityContext),
                  d.placedMeshStreamSha256);
      },
      [&](const PlCadPrepStepSolidDiagnostic& d) {
        diagnosticOrdinals.push_back(d.selectedSolidOrdinal);
      });

  EXPECT_EQ(result.census.distinctSolidCount, 2u);
  EXPECT_EQ(result.census.freeShellCount, 1u);
  EXPECT_EQ(result.tessellation.selectedSolidCount, 2u);
  EXPECT_EQ(result.tessellation.selectedFreeShellCount, 0u);
  EXPECT_EQ(meshOrdinals, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(diagnosticOrdinals, (std::vector<std::uint64_t>{1, 2}));
  ASSERT_EQ(result.classification.diagnostics.size(), 2u);
  for (const PlCadPrepStepSolidDiagnostic& d : result.classification.diagnostics) {
    EXPECT_TRUE(d.hasMesh);
    EXPECT_TRUE(d.watertight);
    EXPECT_TRUE(IsCanonicalSha256Identity(d.samePolicyOccurrenceSha256));
    EXPECT_FALSE(d.selected);
  }
  EXPECT_EQ(result.classification.diagnostics[1].boundsMax, (PlPoint3{7.0, 2.0, 2.0}));
  const PlCadPrepStepSolidCounters& c = result.classification.counters;
  EXPECT_EQ(c.classifiedSolidCount, 2u);
  EXPECT_EQ(c.solidsWithUntriangulatedFacesCount + c.solidsWithoutUntriangulatedFacesCount, 2u);
  EXPECT_EQ(c.emptySolidCount + c.watertightSolidCount + c.nonWatertightSolidCount, 2u);
  // The free shell stays out of the solids scope.
  EXPECT_EQ(result.surface.mesh.triangles.size(), 24u);
  EXPECT_EQ(result.surface.mesh.boundsMax, (PlPoint3{7.0, 2.0, 2.0}));
}

TEST_F(StepImport, TellsTwoPlacementsOfOneSolidApart) {
  const TopoDS_Shape box = MakeTestBox(1, 1, 1);
  const auto path = Write("twice.step", MakeTestCompound({box, MovedTestShape(box, 3, 0, 0)}));
  const PlCadPrepStepSolidsImport result = Solids(TestStepSettings(path));
  const std::vector<PlCadPrepStepSolidDiagnostic>& solids = result.classification.diagnostics;
  ASSERT_EQ(solids.size(), 2u);
  EXPECT_NE(solids[0].samePolicyOccurrenceSha256, solids[1].samePolicyOccurrenceSha256);
  EXPECT_EQ(result.surface.mesh.boundsMax, (PlPoint3{4.0, 1.0, 1.0}));
}

TEST_F(StepImport, KeysAreStableAndBoundToSourceAndPolicy) {
  const std::filesystem::path path = WriteMixed();
  const PlCadPrepStepImportSettings settings = TestStepSettings(path);
  const std::vector<std::string> keys = Keys(Solids(settings));
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(Keys(Solids(settings)), keys);

  const auto expectAllChanged = [&](const std::vector<std::string>& changed) {
    ASSERT_EQ(changed.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_NE(changed[i], keys[i]);
  };
  PlCadPrepStepImportSettings angular = settings;
  angular.angularDeflectionRadians = 0.25;
  expectAllChanged(Keys(Solids(angular)));

  PlCadPrepStepImportSettings oneBit = settings;
  oneBit.sourceToMount[7] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(0.0) ^ 1u);
  expectAllChanged(Keys(Solids(oneBit)));

  std::string bytes = ReadFile(path);
  const std::size_t author = bytes.find("'Author'");
  ASSERT_NE(author, std::string::npos);
  bytes[author + 1] = 'B';
  const std::filesystem::path edited = WriteFile("edited.step", bytes);
  expectAllChanged(Keys(Solids(TestStepSettings(edited))));
}

TEST_F(StepImport, SelectsReviewedKeysAndRemeshesOnlyTheRetainedSolids) {
  const PlCadPrepStepImportSettings settings = TestStepSettings(WriteMixed());
  const std::vector<std::string> keys = Keys(Solids(settings));

  PlCadPrepStepOccurrenceKeys selection;
  selection.reviewed = {keys[1], keys[0]};
  const PlCadPrepStepSolidsImport reviewed = Solids(settings, selection);
  EXPECT_EQ(reviewed.classification.counters.reviewedKeysMatchedCount, 2u);
  for (const PlCadPrepStepSolidDiagnostic& d : reviewed.classification.diagnostics) {
    EXPECT_TRUE(d.selected);
  }
  EXPECT_FALSE(reviewed.surface.retainedOnlyRemesh);

  selection.retained = {keys[1]};
  ProgressLog log;
  const PlCadPrepStepSolidsImport result = Solids(settings, selection, log.Callback());
  EXPECT_TRUE(result.surface.retainedOnlyRemesh);
  EXPECT_EQ(result.classification.counters.retainedSolidCount, 1u);
  EXPECT_EQ(result.surface.effectiveMeshStatusFlags, 0u);
  EXPECT_EQ(result.surface.mesh.triangles.size(), 12u);
  EXPECT_EQ(result.surface.mesh.boundsMin, (PlPoint3{5.0, 0.0, 0.0}));
  EXPECT_EQ(result.surface.mesh.boundsMax, (PlPoint3{7.0, 2.0, 2.0}));
  // The first pass reports in the lower half, the remesh in the upper half.
  const std::vector<std::uint64_t> steps = log.Steps("mesh");
  ASSERT_FALSE(steps.empty());
  EXPECT_LE(steps.front(), 500u);
  EXPECT_GT(steps.back(), 500u);
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));

  Attempt stale{settings};
  stale.scope = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  stale.keys.reviewed = {keys[0], std::string(kKeyA)};
  ExpectImportError(stale, "step_occurrence_selection_stale", "validate",
                    "STEP occurrence selection does not match this source and policy");
}

TEST_F(StepImport, StrictSolidProofBoundsTheDeviation) {
  const PlCadPrepStepImportSettings settings = TestStepSettings(WriteMixed());
  const PlCadPrepStepSolidsImport plain = Solids(settings);

  Attempt strict{settings};
  strict.scope = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  for (const PlCadPrepStepSolidDiagnostic& d : plain.classification.diagnostics) {
    strict.keys.sourceProofPairs.emplace_back(d.samePolicyOccurrenceSha256,
                                              d.placedMeshStreamSha256);
  }
  const PlCadPrepStepSurface result = Solids(settings, strict.keys).surface;
  EXPECT_TRUE(result.strictSourceProof);
  EXPECT_TRUE(result.retainedOnlyRemesh);
  EXPECT_TRUE(result.tessellationComplete);
  EXPECT_TRUE(result.sourceDeviationBounded);
  EXPECT_EQ(result.mesh.triangles.size(), 24u);
  EXPECT_EQ(result.mesh.surfaceDeviationMm,
            result.maxPlacedToleranceMm + result.maxPlacementScale * 0.5);

  Attempt wrong = strict;
  wrong.keys.sourceProofPairs[0].second = std::string(kKeyA);
  ExpectImportError(wrong, "step_source_proof_mesh_stale", "validate",
                    "strict STEP source-proof meshes do not match this transfer");
}

TEST_F(StepImport, StrictFreeShellProofComparesTheWholeMesh) {
  const std::filesystem::path path =
      Write("shell.step", MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0)));
  const PlCadPrepStepImportSettings settings = TestStepSettings(path);
  const PlCadPrepStepFacesImport plain =
      Faces(settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic);
  EXPECT_EQ(plain.tessellation.selectedFreeShellCount, 1u);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), never);

  Attempt strict{settings};
  strict.scope = kPlCadPrepStepScopeFreeShellsOnlyDiagnostic;
  strict.proofKey = PlCadPrepStepPlacedMeshStreamSha256(plain.surface.mesh, context);
  const PlCadPrepStepSurface result = Faces(settings, strict.scope, strict.proofKey).surface;
  EXPECT_TRUE(result.strictSourceProof);
  EXPECT_TRUE(result.sourceDeviationBounded);
  EXPECT_EQ(result.mesh.surfaceDeviationMm, result.maxPlacedToleranceMm + 0.5);

  strict.proofKey = std::string(kKeyB);
  ExpectImportError(strict, "step_source_proof_mesh_stale", "heal",
                    "strict STEP free-shell mesh differs from reviewed evidence");
}

TEST_F(StepImport, MeasuresBoundsWithoutTessellating) {
  const PlCadPrepStepBoundsImport result =
      Run(PlCadPrepLimits(), [&](const PlCadPrepOperationContext& context) {
        return MeasurePlCadPrepStepBounds(TestStepSettings(WriteMixed()), context, {});
      });
  const PlCadPrepStepBounds& bounds = result.bounds;
  EXPECT_EQ(bounds.selectedSolidCount, 2u);
  // The exact box grows by the shape tolerance (1e-7 mm).
  EXPECT_NEAR(bounds.sourceBoundsMax[0], 11.0, 1e-6);
  EXPECT_NEAR(bounds.solidBoundsMax[0], 7.0, 1e-6);
  EXPECT_NEAR(bounds.solidBoundsMin[0], 0.0, 1e-6);
}

TEST_F(StepImport, LimitsAreInclusiveAndScopesNeedTheirShapes) {
  const std::filesystem::path path = Write("box.step", MakeTestBox(1, 1, 1));
  const std::uint64_t size = ReadFile(path).size();
  PlCadPrepLimits limits;
  limits.maxTriangles = 12;
  limits.maxInputBytes = size;
  PlCadPrepStepImportSettings extremes = TestStepSettings(path);
  extremes.targetLinearDeflectionMm = 15.0;
  extremes.angularDeflectionRadians = 3.141592653589793;
  EXPECT_EQ(Faces(extremes, 0, {}, {}, limits).surface.mesh.triangles.size(), 12u);

  // One less of any limit fails at the stage that first meets it.
  const std::filesystem::path shell = Write("shell.step", MakeTestFreeShell(1, 1, 1, gp_Pnt()));
  constexpr const char* kMemory = "preparation exceeds maxMemoryBytes";
  const StagedChangeCase<Attempt> cases[] = {
      {"triangles", [](Attempt& t) { t.limits.maxTriangles = 11; }, "triangle_limit_exceeded",
       "mesh", "STEP tessellation exceeds maxTriangles"},
      {"input bytes", [&](Attempt& t) { t.limits.maxInputBytes = size - 1; }, "input_read_failed",
       "import", "STEP source size changed after preflight"},
      {"snapshot memory", [&](Attempt& t) { t.limits.maxMemoryBytes = size - 1; },
       "memory_limit_exceeded", "import", kMemory},
      // The snapshot fits, the triangulation estimate (source size + 720) does not.
      {"mesh memory", [&](Attempt& t) { t.limits.maxMemoryBytes = size + 719; },
       "memory_limit_exceeded", "mesh", kMemory},
      {"no free shell", [](Attempt& t) { t.scope = 2; }, "step_no_selected_free_shells", "heal",
       "STEP free-shell diagnostic found no shell outside a solid"},
      {"no solid",
       [&](Attempt& t) {
         t.settings = TestStepSettings(shell), t.scope = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
       },
       "step_no_selected_solids", "heal", "STEP solids-only diagnostic found no solid"},
      {"no solid to measure",
       [&](Attempt& t) { t.settings = TestStepSettings(shell), t.boundsOnly = true; },
       "step_no_selected_solids", "heal", "STEP solids-only diagnostic found no solid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attempt attempt{TestStepSettings(path)};
    c.change(attempt);
    ExpectImportError(attempt, c.code, c.stage, c.message);
  }
}

TEST_F(StepImport, RejectsSourcesTheReaderCannotUse) {
  const std::filesystem::path boxPath = Write("box.step", MakeTestBox(10, 20, 30));
  const std::string box = ReadFile(boxPath);
  const auto without = [&box](const std::string& entityStart) {
    std::string text = box;
    const std::size_t at = text.find(entityStart);
    text.erase(at, text.find(";\n", at) + 2 - at);
    return text;
  };
  const std::string header = box.substr(0, box.find("DATA;") + 6);
  std::string angleOnly = box;
  const std::string millimetre = "( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )";
  angleOnly.replace(angleOnly.find(millimetre), millimetre.size(),
                    "( NAMED_UNIT(*) PLANE_ANGLE_UNIT() SI_UNIT($,.RADIAN.) )");
  const struct {
    const char* name;
    std::string text;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {"empty", "", "input_read_failed", "import", "STEP source size changed after preflight"},
      {"garbage", "solid cube\nendsolid\n", "step_read_failed", "import",
       "Open CASCADE could not parse the STEP source"},
      {"truncated", box.substr(0, box.size() / 2), "step_read_failed", "import",
       "Open CASCADE could not parse the STEP source"},
      // The reader finds units only through transfer roots, so a file
      // without roots reports its missing units first.
      {"no roots", header + "#1 = CARTESIAN_POINT('',(0.,0.,0.));\nENDSEC;\nEND-ISO-10303-21;\n",
       "step_units_missing", "import", "STEP source declares no transferable length unit"},
      {"no length unit", angleOnly, "step_units_missing", "import",
       "STEP source declares no transferable length unit"},
      {"no shape representation", without("#3 = SHAPE_DEFINITION_REPRESENTATION"),
       "step_transfer_failed", "heal", "Open CASCADE could not transfer any STEP root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = WriteFile(std::string(c.name) + ".step", c.text);
    ExpectImportError(Attempt(TestStepSettings(path)), c.code, c.stage, c.message);
  }
}

TEST_F(StepImport, KeepsAnUntriangulatedFaceButDropsTheBound) {
  // A face bounded by a collinear, zero-area wire: the mesher gives it no triangles.
  BRepBuilderAPI_MakePolygon wire(gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(2, 0, 0), Standard_True);
  BRepBuilderAPI_MakeFace face(gp_Pln(gp_Pnt(0, 0, 0), gp_Dir(0, 0, 1)), wire.Wire(),
                               Standard_True);
  ASSERT_TRUE(face.IsDone());
  const std::filesystem::path path =
      Write("flat.step", MakeTestCompound({MakeTestBox(1, 1, 1), face.Shape()}));
  const PlCadPrepStepSurface result = Faces(TestStepSettings(path)).surface;
  EXPECT_EQ(result.faceCounts.boundaryFaceCount, 7u);
  EXPECT_EQ(result.faceCounts.untriangulatedBoundaryFaceCount, 1u);
  EXPECT_EQ(result.effectiveMeshStatusNames,
            (std::vector<std::string>{"self_intersecting_wire", "failure"}));
  EXPECT_FALSE(result.tessellationComplete);
  EXPECT_EQ(result.mesh.surfaceDeviationMm, kPlCadPrepStepUnboundedDeviationMm);
  EXPECT_EQ(result.mesh.triangles.size(), 12u);
}

TEST_F(StepImport, StopsInsideTheKernelWhenCancelled) {
  const std::filesystem::path path = WriteMixed();
  for (const char* stage : {"import", "heal", "mesh"}) {
    SCOPED_TRACE(stage);
    FlagCancellation cancellation;
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(PlCadPrepLimits(), cancellation);
    // The first report of a stage raises the flag; the next poll stops the run.
    const ProgressCallback progress = [&](std::string_view at, std::uint64_t, std::uint64_t) {
      if (at == stage) cancellation.raised = true;
    };
    ExpectPlCadPrepError(
        [&] {
          (void)ImportPlCadPrepStepSolids(TestStepSettings(path), {}, context, progress, {}, {});
        },
        "cancelled", stage, "preparation was cancelled");
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
}

TEST_F(StepImport, RestoresTheKernelSettingsAfterEveryImport) {
  const PlCadPrepStepImportSettings settings = TestStepSettings(WriteMixed());
  STEPControl_Writer definesStatics;  // the static parameters exist once a controller is made
  ASSERT_TRUE(Interface_Static::SetRVal("read.maxprecision.val", 0.25));
  ASSERT_TRUE(Interface_Static::SetIVal("read.maxprecision.mode", 1));
  const Handle(XSAlgo_AlgoContainer) before = XSAlgo::AlgoContainer();

  bool sawImportSettings = false;
  const ProgressCallback watch = [&](std::string_view stage, std::uint64_t, std::uint64_t) {
    if (stage != "heal" || sawImportSettings) return;
    sawImportSettings = true;
    EXPECT_EQ(Interface_Static::RVal("read.maxprecision.val"), 1.0);
    EXPECT_EQ(Interface_Static::IVal("read.maxprecision.mode"), 0);
    EXPECT_NE(XSAlgo::AlgoContainer(), before);
  };
  const PlCadPrepStepSolidsImport first = Solids(settings, {}, watch);
  EXPECT_TRUE(sawImportSettings);
  EXPECT_EQ(Interface_Static::RVal("read.maxprecision.val"), 0.25);
  EXPECT_EQ(Interface_Static::IVal("read.maxprecision.mode"), 1);
  EXPECT_EQ(XSAlgo::AlgoContainer(), before);

  Attempt stale{settings};
  stale.scope = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  stale.keys.reviewed = {std::string(kKeyA)};
  ExpectImportError(stale, "step_occurrence_selection_stale", "validate",
                    "STEP occurrence selection does not match this source and policy");
  EXPECT_EQ(Interface_Static::RVal("read.maxprecision.val"), 0.25);
  EXPECT_EQ(XSAlgo::AlgoContainer(), before);

  // A strict import in between changes nothing for the next plain one.
  const PlCadPrepStepSolidDiagnostic& solid = first.classification.diagnostics[0];
  PlCadPrepStepOccurrenceKeys strict;
  strict.sourceProofPairs = {{solid.samePolicyOccurrenceSha256, solid.placedMeshStreamSha256}};
  (void)Solids(settings, strict);
  EXPECT_EQ(Keys(Solids(settings)), Keys(first));

  ASSERT_TRUE(Interface_Static::SetRVal("read.maxprecision.val", 1.0));
  ASSERT_TRUE(Interface_Static::SetIVal("read.maxprecision.mode", 0));
}

TEST(StepImportShapeFix, TurnsOffTopologyAndGeometryChangesAndEverythingWhenStrict) {
  const PlCadPrepStepShapeFixParameters defaults;
  const PlCadPrepStepShapeFixParameters plain = PlCadPrepStepImportShapeFixParameters(false);
  for (std::size_t i = 0; i < kPlCadPrepStepFixModeFields.size(); ++i) {
    SCOPED_TRACE(i + 1);
    const auto field = kPlCadPrepStepFixModeFields[i];
    const bool modification = i + 1 == 21 || i + 1 == 22;
    EXPECT_EQ(plain.*field, modification ? PlCadPrepStepFixMode::notFix : defaults.*field);
  }
  EXPECT_EQ(&(plain.*kPlCadPrepStepFixModeFields[20]), &plain.modifyTopologyMode);
  EXPECT_EQ(&(plain.*kPlCadPrepStepFixModeFields[21]), &plain.modifyGeometryMode);
  EXPECT_EQ(defaults.modifyGeometryMode, PlCadPrepStepFixMode::fix);

  const PlCadPrepStepShapeFixParameters strict = PlCadPrepStepImportShapeFixParameters(true);
  for (const auto field : kPlCadPrepStepFixModeFields) {
    EXPECT_EQ(strict.*field, PlCadPrepStepFixMode::notFix);
  }
  EXPECT_EQ(strict.tolerance3d, 1e-6);
  EXPECT_EQ(strict.maxTolerance3d, 1.0);
  EXPECT_EQ(strict.minTolerance3d, 1e-7);
  EXPECT_EQ(strict.detalizationLevel, kPlCadPrepStepShapeLevelVertex);
  EXPECT_FALSE(strict.nonManifold);
}

TEST(StepImportOcctProgress, ReportsEachNewStepOfItsSpan) {
  PlCadPrepRequest request;
  NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  ProgressLog log;
  PlCadPrepOcctProgress indicator(context, log.Callback(), "mesh", 500, 2, 1000);
  {
    Message_ProgressScope scope(indicator.Start(), "work", 8);
    for (int i = 0; i < 8; ++i) scope.Next();
  }
  // Eight steps over a span of two reach only 500, 501 and 502.
  EXPECT_EQ(log.Steps("mesh"), (std::vector<std::uint64_t>{500, 501, 502}));
  EXPECT_EQ(indicator.LastReported(), std::optional<std::uint64_t>(502));
  for (const auto& [stage, done, total] : log.calls) EXPECT_EQ(total, 1000u);
}

TEST(StepImportOcctProgress, AsksTheKernelToStopWhenTheRunMustStop) {
  PlCadPrepRequest request;
  request.maxElapsedMs = 1000;
  FlagCancellation cancellation;
  PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
  PlCadPrepOcctProgress indicator(context, {}, "heal", 0, 1000, 1000);
  Message_ProgressScope scope(indicator.Start(), "work", 1);
  EXPECT_FALSE(scope.UserBreak());
  cancellation.raised = true;
  EXPECT_TRUE(scope.UserBreak());
  cancellation.raised = false;
  context.startNs -= 2'000'000'000;  // two seconds ago, past the one-second limit
  EXPECT_TRUE(scope.UserBreak());
}

TEST_F(StepImport, ImportsTheCorpus) {
  const std::filesystem::path corpus = std::filesystem::path(PL_CORPUS_DIR) / "step";
  if (!std::filesystem::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
  const struct {
    const char* file;
    std::uint32_t scope;
    std::uint64_t selected;  // solids (scope 1) or free shells (scope 2)
    std::uint64_t boundaryFaces;
    std::uint64_t untriangulatedFaces;
    std::uint64_t trianglesSeen;
    std::uint64_t trianglesKept;
    const char* units;
    bool complete;
  } cases[] = {
      {"TestPoint_Bridge_Pitch2.54mm_Drill1.0mm.step", 1, 1, 5, 0, 828, 828, "millimetre", true},
      {"R_LDR_5.2x5.2mm_P3.5mm_Horizontal.step", 1, 6, 60, 0, 568, 568, "millimetre", true},
      {"Transformer_Breve_TEZ-47x57.step", 1, 14, 87, 9, 3875, 3859, "millimetre", false},
      {"Relay_DPDT_Omron_G6SK-2.step", 1, 11, 93, 0, 440, 440, "millimetre", true},
      {"as1-tu-203.stp", 1, 18, 160, 0, 4688, 4688, "millimetre", true},
      {"SOD_323.stp", 2, 75, 75, 2, 213, 206, "millimetre", false},
      {"frame.step", 0, 0, 375, 0, 10032, 10011, "INCH", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const PlCadPrepStepImportSettings settings = TestStepSettings(corpus / c.file);
    std::optional<PlCadPrepStepSolidsImport> solids;
    std::optional<PlCadPrepStepFacesImport> faces;
    if (c.scope == 1) {
      solids = Solids(settings);
    } else {
      faces = Faces(settings, c.scope);
    }
    const PlCadPrepStepSourceFacts& source = solids ? solids->source : faces->source;
    const PlCadPrepStepTessellation& tessellation =
        solids ? solids->tessellation : faces->tessellation;
    const PlCadPrepStepSurface& result = solids ? solids->surface : faces->surface;
    EXPECT_EQ(source.declaredLengthUnits, std::vector<std::string>{c.units});
    EXPECT_EQ(c.scope == 2 ? tessellation.selectedFreeShellCount : tessellation.selectedSolidCount,
              c.selected);
    EXPECT_EQ(solids ? solids->classification.diagnostics.size() : 0u,
              c.scope == 1 ? c.selected : 0u);
    EXPECT_EQ(result.faceCounts.boundaryFaceCount, c.boundaryFaces);
    EXPECT_EQ(result.faceCounts.untriangulatedBoundaryFaceCount, c.untriangulatedFaces);
    EXPECT_EQ(result.faceCounts.tessellatedTriangleCount, c.trianglesSeen);
    EXPECT_EQ(result.faceCounts.retainedTriangleCount, c.trianglesKept);
    EXPECT_EQ(result.mesh.triangles.size(), c.trianglesKept);
    EXPECT_EQ(result.tessellationComplete, c.complete);
    EXPECT_EQ(result.mesh.surfaceDeviationMm, kPlCadPrepStepUnboundedDeviationMm);
    if (c.scope == 1) {
      const PlCadPrepStepSolidCounters& s = solids->classification.counters;
      EXPECT_EQ(s.classifiedSolidCount, c.selected);
      EXPECT_EQ(s.emptySolidCount + s.watertightSolidCount + s.nonWatertightSolidCount, c.selected);
    }
  }
}

}  // namespace
