#include "step/step_import.h"

#include <gtest/gtest.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <Message_ProgressScope.hxx>
#include <XSAlgo.hxx>
#include <XSAlgo_AlgoContainer.hxx>
#include <cmath>
#include <gp_Pln.hxx>
#include <optional>

#include "core/sha256.h"
#include "kernel/occt_progress.h"
#include "step/step_scope_import.h"
#include "support/change_case.h"
#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

const std::string kKeyA = "sha256:" + std::string(64, 'a');
const std::string kKeyB = "sha256:" + std::string(64, 'b');
constexpr std::uint32_t kSolids = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
constexpr std::uint32_t kShells = kPlCadPrepStepScopeFreeShellsOnlyDiagnostic;

class FlagCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return raised; }
  bool raised = false;
};

// The `done` values a stage reported, and whether every total was `total`.
struct ProgressLog {
  std::vector<std::pair<std::string, std::uint64_t>> calls;
  bool totalsOk = true;
  ProgressCallback Callback(std::uint64_t total = 1000) {
    return [this, total](std::string_view stage, std::uint64_t done, std::uint64_t t) {
      calls.emplace_back(std::string(stage), done);
      totalsOk = totalsOk && (stage == "import" || t == total);
    };
  }
  std::vector<std::uint64_t> Steps(std::string_view stage) const {
    std::vector<std::uint64_t> steps;
    for (const auto& [s, done] : calls) {
      if (s == stage) steps.push_back(done);
    }
    return steps;
  }
};

// One import as a table row states it: the face scope (solids with `keys`) or the bounds alone.
struct Attempt {
  explicit Attempt(PlCadPrepStepImportSettings s, std::uint32_t faceScope = 0)
      : settings(std::move(s)), scope(faceScope) {}
  PlCadPrepStepImportSettings settings;
  PlCadPrepLimits limits;
  std::uint32_t scope;
  PlCadPrepStepOccurrenceKeys keys;
  std::string proofKey;
  bool boundsOnly = false;
};

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
    WriteTestStep(shape, dir / name, unit);
    return dir / name;
  }
  // Everything reserved during an import is given back when it returns.
  template <typename Import>
  auto Run(const PlCadPrepLimits& limits, Import&& import) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(limits, never);
    auto result = import(context);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
    return result;
  }
  PlCadPrepStepSolidsImport Solids(const PlCadPrepStepImportSettings& settings,
                                   const PlCadPrepStepOccurrenceKeys& keys = {},
                                   const ProgressCallback& progress = {}) {
    return Run({}, [&](const PlCadPrepOperationContext& context) {
      return ImportPlCadPrepStepSolids(settings, keys, context, progress, {}, {});
    });
  }
  PlCadPrepStepFacesImport Faces(const PlCadPrepStepImportSettings& settings,
                                 std::uint32_t scope = 0, const std::string& proofKey = {},
                                 const ProgressCallback& progress = {},
                                 const PlCadPrepLimits& limits = {}) {
    return Run(limits, [&](const PlCadPrepOperationContext& context) {
      return ImportPlCadPrepStepFaces(settings, scope, proofKey, context, progress);
    });
  }
  void ExpectImportError(const Attempt& a, std::string_view code, std::string_view stage,
                         std::string_view message) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(a.limits, never);
    ExpectPlCadPrepError(
        [&] {
          if (a.boundsOnly) {
            (void)MeasurePlCadPrepStepBounds(a.settings, context, {});
          } else if (a.scope == kSolids) {
            (void)ImportPlCadPrepStepSolids(a.settings, a.keys, context, {}, {}, {});
          } else {
            (void)ImportPlCadPrepStepFaces(a.settings, a.scope, a.proofKey, context, {});
          }
        },
        code, stage, message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
  static std::vector<std::string> Keys(const PlCadPrepStepSolidsImport& result) {
    std::vector<std::string> keys;
    for (const auto& d : result.classification.diagnostics) {
      keys.push_back(d.samePolicyOccurrenceSha256);
    }
    return keys;
  }
  NeverCancelled never;
};

TEST_F(StepImport, RejectsOptionsInTheirFixedOrder) {
  const char* kUnits = "STEP import must preserve the units declared by the source file";
  const char* kTess = "invalid_tessellation_options";
  const char* kDefl = "STEP tessellation deflections exceed the finite version 1 policy";
  const char* kProofCode = "invalid_step_source_proof_options";
  const char* kProof = "strict STEP source proof requires one exact retained mesh scope";
  const char* kLarge = "step_occurrence_selection_too_large";
  const char* kLargeMsg = "STEP occurrence role selection exceeds the request limit";
  const char* kKey = "invalid_step_occurrence_key";
  const char* kDup = "duplicate_step_occurrence_key";
  const std::string a = kKeyA, b = kKeyB;
  using Keys = std::vector<std::string>;
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  // Each row changes the defaults; later rows keep earlier rules satisfied.
  const ChangeCase<Attempt, const char*> cases[] = {
      {"units", [](Attempt& t) { t.settings.sourceUnits = "mm"; },
       "step_units_must_come_from_source", kUnits},
      {"bounds units", [](Attempt& t) { t.settings.sourceUnits = "mm", t.boundsOnly = true; },
       "step_units_must_come_from_source", kUnits},
      {"linear above 15", [](Attempt& t) { t.settings.targetLinearDeflectionMm = 15.000001; },
       kTess, kDefl},
      {"linear zero", [](Attempt& t) { t.settings.targetLinearDeflectionMm = 0.0; }, kTess, kDefl},
      {"angular nan", [](Attempt& t) { t.settings.angularDeflectionRadians = std::nan(""); }, kTess,
       kDefl},
      // Deflections are judged before the scope.
      {"angular above pi",
       [](Attempt& t) {
         t.settings.angularDeflectionRadians = std::nextafter(3.141592653589793, 4.0), t.scope = 7;
       },
       kTess, kDefl},
      {"scope", [](Attempt& t) { t.scope = 3; }, "invalid_step_face_scope",
       "STEP face scope is not recognized"},
      {"proof key outside free shells", [&](Attempt& t) { t.proofKey = a; }, kProofCode, kProof},
      {"proof key in capitals",
       [](Attempt& t) { t.scope = 2, t.proofKey = "sha256:" + std::string(64, 'A'); }, kProofCode,
       kProof},
      {"more keys than triangles",
       [](Attempt& t) {
         t.scope = kSolids, t.keys.reviewed = {"x", "y"}, t.limits.maxTriangles = 1;
       },
       kLarge, kLargeMsg},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attempt attempt{TestStepSettings(dir / "missing.step")};  // preflight never reads the source
    c.change(attempt);
    ExpectImportError(attempt, c.code, "preflight", c.message);
  }
  // Occurrence keys of the solids scope: reviewed, retained, source-proof pairs.
  const struct {
    Keys reviewed, retained;
    Pairs proofs;
    const char* code;
    const char* message;
  } keys[] = {
      {{"x"}, {}, {{"x", "y"}}, kProofCode, kProof},
      {{}, {"x"}, {}, kLarge, kLargeMsg},
      {{a, a + "0"}, {}, {}, kKey, "STEP occurrence selection key is not canonical SHA-256"},
      {{a, b, a}, {}, {}, kDup, "STEP occurrence selection contains a duplicate key"},
      {{a, b}, {"sha256:1"}, {}, kKey, "retained STEP occurrence key is not canonical SHA-256"},
      {{a, b}, {b, b}, {}, kDup, "retained STEP occurrence selection contains a duplicate key"},
      {{a},
       {b},
       {},
       "invalid_step_occurrence_role_selection",
       "retained STEP occurrences are not a subset of reviewed occurrences"},
      {{},
       {},
       {{a, "sha256:"}},
       "invalid_step_source_proof_mesh_key",
       "strict STEP source-proof component identity is not canonical"},
      {{},
       {},
       {{b, a}, {a, a}, {b, b}},
       "ambiguous_step_source_proof_mesh",
       "strict STEP source proof repeats a reviewed occurrence"},
  };
  for (const auto& k : keys) {
    SCOPED_TRACE(k.message);
    Attempt attempt(TestStepSettings(dir / "missing.step"), kSolids);
    attempt.keys.reviewed = k.reviewed, attempt.keys.retained = k.retained;
    attempt.keys.sourceProofPairs = k.proofs;
    ExpectImportError(attempt, k.code, "preflight", k.message);
  }
}

TEST_F(StepImport, ImportsABoxWithItsEvidence) {
  const std::filesystem::path path = Write("box.step", MakeTestBox(10, 20, 30));
  const std::string bytes = ReadFile(path);
  ProgressLog log;
  const PlCadPrepStepFacesImport result = Faces(TestStepSettings(path), 0, {}, log.Callback());
  const PlCadPrepStepSurface& surface = result.surface;
  const PlCadPrepStepShapeCensus& n = result.census;
  EXPECT_EQ(result.source.sourceSha256, Sha256Identity(std::string_view(bytes)));
  EXPECT_EQ(result.source.sourceBytes, bytes.size());
  EXPECT_EQ(result.source.declaredLengthUnits, std::vector<std::string>{"millimetre"});
  EXPECT_EQ(n.shapeType, "solid");
  // Roots, transferred roots, census, faces, triangulated faces, triangles seen and kept.
  EXPECT_EQ(
      (std::vector<std::uint64_t>{
          result.source.rootCount, result.transferredRootCount, n.directChildCount,
          n.directShellCount, n.solidOccurrenceCount, n.distinctSolidCount, n.shellOccurrenceCount,
          n.closedShellOccurrenceCount, n.freeShellCount, n.wireOccurrenceCount,
          n.edgeOccurrenceCount, n.vertexOccurrenceCount, surface.faceCounts.boundaryFaceCount,
          surface.faceCounts.triangulatedBoundaryFaceCount,
          surface.faceCounts.tessellatedTriangleCount, surface.faceCounts.retainedTriangleCount,
          result.tessellation.meshStatusFlags, surface.mesh.vertices.size()}),
      (std::vector<std::uint64_t>{1, 1, 1, 1, 1, 1, 1, 1, 0, 6, 24, 48, 6, 6, 12, 12, 0, 8}));
  // Six faces of four nodes (24 bytes each) and two triangles (12 bytes each).
  EXPECT_EQ(result.tessellation.triangulationMemoryEstimateBytes,
            bytes.size() + 6 * (4 * 24 + 2 * 12));
  EXPECT_EQ(surface.maxSubshapeToleranceMm, 1e-7);
  EXPECT_EQ(surface.maxPlacementScale, 1.0);
  // Healing may move the surface, so only a strict import may claim a bound.
  EXPECT_EQ((std::vector<bool>{result.source.mixedLengthUnits, surface.retainedOnlyRemesh,
                               surface.tessellationComplete, surface.sourceDeviationBounded,
                               surface.mesh.watertight}),
            (std::vector<bool>{false, false, true, false, true}));
  EXPECT_EQ(surface.mesh.surfaceDeviationMm, kPlCadPrepStepUnboundedDeviationMm);
  EXPECT_EQ(surface.mesh.boundsMax, (PlPoint3{10.0, 20.0, 30.0}));
  EXPECT_EQ(log.Steps("import"), std::vector<std::uint64_t>{bytes.size()});
  EXPECT_TRUE(log.totalsOk);
  for (const char* stage : {"heal", "mesh"}) {
    const std::vector<std::uint64_t> steps = log.Steps(stage);
    EXPECT_TRUE(!steps.empty() && steps.back() <= 1000u &&
                std::is_sorted(steps.begin(), steps.end()))
        << stage;
  }
}

TEST_F(StepImport, RecordsEveryLengthUnitAndPlacesInchesInMillimetres) {
  PlCadPrepStepImportSettings settings = TestStepSettings(dir / "two-units.step");
  TestStepWriter writer;
  writer.Add(MakeTestBox(1, 1, 1));
  writer.Add(MakeTestBox(1, 2, 3, gp_Pnt(5, 0, 0)), "INCH");
  writer.Write(settings.sourcePath);
  settings.sourceToMount[3] = 100.0;
  const PlCadPrepStepSolidsImport result = Solids(settings);
  EXPECT_EQ(result.source.declaredLengthUnits, (std::vector<std::string>{"millimetre", "INCH"}));
  EXPECT_TRUE(result.source.mixedLengthUnits);
  EXPECT_EQ(result.source.rootCount, 2u);
  const PlPoint3 max = result.surface.mesh.boundsMax;  // inches round in the last bit
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(max[i], (PlPoint3{252.4, 50.8, 76.2})[i], 1e-9);
}

TEST_F(StepImport, SelectsReviewedKeysAndRemeshesOnlyTheRetainedSolids) {
  const PlCadPrepStepImportSettings settings = TestStepSettings(WriteMixed());
  const PlCadPrepStepSolidsImport all = Solids(settings);
  EXPECT_EQ(all.census.distinctSolidCount + 10 * all.census.freeShellCount, 12u);
  EXPECT_EQ(all.tessellation.selectedSolidCount + 10 * all.tessellation.selectedFreeShellCount, 2u);
  EXPECT_EQ(all.surface.mesh.triangles.size(), 24u);  // the free shell stays out
  EXPECT_EQ(all.classification.counters.classifiedSolidCount, 2u);
  const std::vector<std::string> keys = Keys(all);

  PlCadPrepStepOccurrenceKeys selection;
  selection.reviewed = {keys[1], keys[0]};
  const PlCadPrepStepSolidsImport reviewed = Solids(settings, selection);
  EXPECT_EQ(reviewed.classification.counters.reviewedKeysMatchedCount, 2u);
  EXPECT_TRUE(reviewed.classification.diagnostics[0].selected);
  EXPECT_FALSE(reviewed.surface.retainedOnlyRemesh);

  selection.retained = {keys[1]};
  ProgressLog log;
  const PlCadPrepStepSolidsImport result = Solids(settings, selection, log.Callback());
  EXPECT_TRUE(result.surface.retainedOnlyRemesh);
  EXPECT_EQ(result.classification.counters.retainedSolidCount, 1u);
  EXPECT_EQ(result.surface.mesh.triangles.size(), 12u);
  EXPECT_EQ(result.surface.mesh.boundsMin, (PlPoint3{5.0, 0.0, 0.0}));
  // The first pass reports in the lower half, the remesh in the upper half.
  const std::vector<std::uint64_t> steps = log.Steps("mesh");
  ASSERT_FALSE(steps.empty());
  EXPECT_LE(steps.front(), 500u);
  EXPECT_GT(steps.back(), 500u);

  Attempt stale(settings, kSolids);
  stale.keys.reviewed = {keys[0], kKeyA};
  ExpectImportError(stale, "step_occurrence_selection_stale", "validate",
                    "STEP occurrence selection does not match this source and policy");
}

TEST_F(StepImport, StrictProofsBoundTheDeviation) {
  const PlCadPrepStepImportSettings settings = TestStepSettings(WriteMixed());
  Attempt strict(settings, kSolids);
  for (const auto& d : Solids(settings).classification.diagnostics) {
    strict.keys.sourceProofPairs.emplace_back(d.samePolicyOccurrenceSha256,
                                              d.placedMeshStreamSha256);
  }
  const PlCadPrepStepSurface solids = Solids(settings, strict.keys).surface;
  EXPECT_EQ((std::vector<bool>{solids.strictSourceProof, solids.retainedOnlyRemesh,
                               solids.tessellationComplete, solids.sourceDeviationBounded}),
            (std::vector<bool>{true, true, true, true}));
  EXPECT_EQ(solids.mesh.triangles.size(), 24u);
  EXPECT_EQ(solids.mesh.surfaceDeviationMm,
            solids.maxPlacedToleranceMm + solids.maxPlacementScale * 0.5);
  strict.keys.sourceProofPairs[0].second = kKeyA;
  ExpectImportError(strict, "step_source_proof_mesh_stale", "validate",
                    "strict STEP source-proof meshes do not match this transfer");

  Attempt shell(settings, kShells);
  const PlCadPrepStepFacesImport plain = Faces(settings, kShells);
  EXPECT_EQ(plain.tessellation.selectedFreeShellCount, 1u);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), never);
  const PlCadPrepStepSurface shells =
      Faces(settings, kShells, PlCadPrepStepPlacedMeshStreamSha256(plain.surface.mesh, context))
          .surface;
  EXPECT_TRUE(shells.strictSourceProof && shells.sourceDeviationBounded);
  EXPECT_EQ(shells.mesh.surfaceDeviationMm, shells.maxPlacedToleranceMm + 0.5);
  shell.proofKey = kKeyB;
  ExpectImportError(shell, "step_source_proof_mesh_stale", "heal",
                    "strict STEP free-shell mesh differs from reviewed evidence");
}

TEST_F(StepImport, MeasuresBoundsWithoutTessellating) {
  const PlCadPrepStepBounds bounds =
      Run({}, [&](const PlCadPrepOperationContext& context) {
        return MeasurePlCadPrepStepBounds(TestStepSettings(WriteMixed()), context, {});
      }).bounds;
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
  const char* kMemory = "preparation exceeds maxMemoryBytes";
  const char* kNoSolid = "STEP solids-only diagnostic found no solid";
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
      {"no free shell", [](Attempt& t) { t.scope = kShells; }, "step_no_selected_free_shells",
       "heal", "STEP free-shell diagnostic found no shell outside a solid"},
      {"no solid", [&](Attempt& t) { t.settings = TestStepSettings(shell), t.scope = kSolids; },
       "step_no_selected_solids", "heal", kNoSolid},
      {"no solid to measure",
       [&](Attempt& t) { t.settings = TestStepSettings(shell), t.boundsOnly = true; },
       "step_no_selected_solids", "heal", kNoSolid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attempt attempt{TestStepSettings(path)};
    c.change(attempt);
    ExpectImportError(attempt, c.code, c.stage, c.message);
  }
}

TEST_F(StepImport, RejectsSourcesTheReaderCannotUse) {
  const std::string box = ReadFile(Write("box.step", MakeTestBox(10, 20, 30)));
  const auto replaced = [&box](const std::string& from, const std::string& to) {
    std::string text = box;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::size_t shapeDef = box.find("#3 = SHAPE_DEFINITION_REPRESENTATION");
  const char* kParse = "Open CASCADE could not parse the STEP source";
  const char* kUnits = "STEP source declares no transferable length unit";
  const StagedChangeCase<std::string> cases[] = {
      {"empty", [](std::string& t) { t.clear(); }, "input_read_failed", "import",
       "STEP source size changed after preflight"},
      {"garbage", [](std::string& t) { t = "solid cube\nendsolid\n"; }, "step_read_failed",
       "import", kParse},
      {"truncated", [](std::string& t) { t.resize(t.size() / 2); }, "step_read_failed", "import",
       kParse},
      // The reader finds units only through transfer roots.
      {"no roots",
       [](std::string& t) {
         t = t.substr(0, t.find("DATA;") + 6) +
             "#1 = CARTESIAN_POINT('',(0.,0.,0.));\nENDSEC;\nEND-ISO-10303-21;\n";
       },
       "step_units_missing", "import", kUnits},
      {"no length unit",
       [&](std::string& t) {
         t = replaced("( LENGTH_UNIT() NAMED_UNIT(*) SI_UNIT(.MILLI.,.METRE.) )",
                      "( NAMED_UNIT(*) PLANE_ANGLE_UNIT() SI_UNIT($,.RADIAN.) )");
       },
       "step_units_missing", "import", kUnits},
      {"no shape representation",
       [&](std::string& t) { t.erase(shapeDef, t.find(";\n", shapeDef) + 2 - shapeDef); },
       "step_transfer_failed", "heal", "Open CASCADE could not transfer any STEP root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = box;
    c.change(text);
    ExpectImportError(Attempt(TestStepSettings(WriteFile(std::string(c.name) + ".step", text))),
                      c.code, c.stage, c.message);
  }
}

TEST_F(StepImport, KeepsAnUntriangulatedFaceButDropsTheBound) {
  // A face bounded by a collinear, zero-area wire: the mesher gives it no triangles.
  BRepBuilderAPI_MakePolygon wire(gp_Pnt(0, 0, 0), gp_Pnt(1, 0, 0), gp_Pnt(2, 0, 0), true);
  BRepBuilderAPI_MakeFace face(gp_Pln(), wire.Wire(), true);
  const PlCadPrepStepSurface result =
      Faces(TestStepSettings(Write("flat.step", MakeTestCompound({MakeTestBox(1, 1, 1), face}))))
          .surface;
  EXPECT_EQ(result.faceCounts.boundaryFaceCount, 7u);
  EXPECT_EQ(result.faceCounts.untriangulatedBoundaryFaceCount, 1u);
  EXPECT_EQ(result.effectiveMeshStatusNames,
            (std::vector<std::string>{"self_intersecting_wire", "failure"}));
  EXPECT_FALSE(result.tessellationComplete);
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
      cancellation.raised = cancellation.raised || at == stage;
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
  int checked = 0;
  const ProgressCallback watch = [&](std::string_view stage, std::uint64_t, std::uint64_t) {
    if (stage != "heal" || checked++ > 0) return;
    EXPECT_EQ(Interface_Static::RVal("read.maxprecision.val"), 1.0);
    EXPECT_EQ(Interface_Static::IVal("read.maxprecision.mode"), 0);
    EXPECT_NE(XSAlgo::AlgoContainer(), before);
  };
  const PlCadPrepStepSolidsImport first = Solids(settings, {}, watch);
  EXPECT_GT(checked, 0);
  Attempt stale(settings, kSolids);
  stale.keys.reviewed = {kKeyA};
  ExpectImportError(stale, "step_occurrence_selection_stale", "validate",
                    "STEP occurrence selection does not match this source and policy");
  EXPECT_EQ(Interface_Static::RVal("read.maxprecision.val"), 0.25);
  EXPECT_EQ(Interface_Static::IVal("read.maxprecision.mode"), 1);
  EXPECT_EQ(XSAlgo::AlgoContainer(), before);
  // A strict import in between changes nothing for the next plain one.
  const PlCadPrepStepSolidDiagnostic& solid = first.classification.diagnostics[0];
  (void)Solids(settings,
               {{}, {}, {{solid.samePolicyOccurrenceSha256, solid.placedMeshStreamSha256}}});
  EXPECT_EQ(Keys(Solids(settings)), Keys(first));
  ASSERT_TRUE(Interface_Static::SetRVal("read.maxprecision.val", 1.0));
  ASSERT_TRUE(Interface_Static::SetIVal("read.maxprecision.mode", 0));
}

TEST(StepImportShapeFix, TurnsOffTopologyAndGeometryChangesAndEverythingWhenStrict) {
  const PlCadPrepStepShapeFixParameters defaults;
  const PlCadPrepStepShapeFixParameters plain = PlCadPrepStepImportShapeFixParameters(false);
  const PlCadPrepStepShapeFixParameters strict = PlCadPrepStepImportShapeFixParameters(true);
  for (std::size_t i = 0; i < kPlCadPrepStepFixModeFields.size(); ++i) {
    SCOPED_TRACE(i + 1);
    const auto field = kPlCadPrepStepFixModeFields[i];
    EXPECT_EQ(plain.*field, i == 20 || i == 21 ? PlCadPrepStepFixMode::notFix : defaults.*field);
    EXPECT_EQ(strict.*field, PlCadPrepStepFixMode::notFix);
  }
  EXPECT_EQ(&(plain.*kPlCadPrepStepFixModeFields[20]), &plain.modifyTopologyMode);
  EXPECT_EQ(&(plain.*kPlCadPrepStepFixModeFields[21]), &plain.modifyGeometryMode);
  EXPECT_EQ(defaults.modifyGeometryMode, PlCadPrepStepFixMode::fix);
  EXPECT_EQ((std::vector<double>{strict.tolerance3d, strict.maxTolerance3d, strict.minTolerance3d}),
            (std::vector<double>{1e-6, 1.0, 1e-7}));
  EXPECT_EQ(strict.detalizationLevel, kPlCadPrepStepShapeLevelVertex);
  EXPECT_FALSE(strict.nonManifold);
}

TEST(StepImportOcctProgress, ReportsEachNewStepOfItsSpanAndStopsTheKernel) {
  PlCadPrepRequest request;
  request.maxElapsedMs = 1000;
  FlagCancellation cancellation;
  PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
  ProgressLog log;
  PlCadPrepOcctProgress indicator(context, log.Callback(), "mesh", 500, 2, 1000);
  {
    Message_ProgressScope scope(indicator.Start(), "work", 8);
    for (int i = 0; i < 8; ++i) scope.Next();
  }
  // Eight steps over a span of two reach only 500, 501 and 502.
  EXPECT_EQ(log.Steps("mesh"), (std::vector<std::uint64_t>{500, 501, 502}));
  EXPECT_TRUE(log.totalsOk);
  EXPECT_EQ(indicator.LastReported(), std::optional<std::uint64_t>(502));

  PlCadPrepOcctProgress heal(context, {}, "heal", 0, 1000, 1000);
  Message_ProgressScope scope(heal.Start(), "work", 1);
  EXPECT_FALSE(scope.UserBreak());
  cancellation.raised = true;
  EXPECT_TRUE(scope.UserBreak());
  cancellation.raised = false;
  context.startNs -= 2'000'000'000;  // two seconds ago, past the one-second limit
  EXPECT_TRUE(scope.UserBreak());
}

TEST_F(StepImport, ImportsTheCorpus) {
  const std::filesystem::path corpus = std::filesystem::path(PL_CORPUS_DIR) / "step";
  if (!std::filesystem::is_directory(corpus)) {
    GTEST_SKIP() << "skipped: the corpus folder " << corpus << " is not present";
  }
  // Selected solids or free shells, boundary and untriangulated faces, triangles seen and kept.
  const PlCadPrepStepSolidsImport transformer =
      Solids(TestStepSettings(corpus / "Transformer_Breve_TEZ-47x57.step"));
  const PlCadPrepStepFacesImport shells = Faces(TestStepSettings(corpus / "SOD_323.stp"), kShells);
  const PlCadPrepStepFacesImport frame = Faces(TestStepSettings(corpus / "frame.step"));
  const auto counts = [](std::uint64_t selected, const PlCadPrepStepSurface& s) {
    return std::vector<std::uint64_t>{selected,
                                      s.faceCounts.boundaryFaceCount,
                                      s.faceCounts.untriangulatedBoundaryFaceCount,
                                      s.faceCounts.tessellatedTriangleCount,
                                      s.mesh.triangles.size(),
                                      s.tessellationComplete};
  };
  EXPECT_EQ(counts(transformer.tessellation.selectedSolidCount, transformer.surface),
            (std::vector<std::uint64_t>{14, 87, 9, 3875, 3859, 0}));
  EXPECT_EQ(transformer.classification.counters.emptySolidCount +
                transformer.classification.counters.watertightSolidCount +
                transformer.classification.counters.nonWatertightSolidCount,
            14u);
  EXPECT_EQ(counts(shells.tessellation.selectedFreeShellCount, shells.surface),
            (std::vector<std::uint64_t>{75, 75, 2, 213, 206, 0}));
  EXPECT_EQ(counts(0, frame.surface), (std::vector<std::uint64_t>{0, 375, 0, 10032, 10011, 1}));
  EXPECT_EQ(frame.source.declaredLengthUnits, std::vector<std::string>{"INCH"});
}

}  // namespace
