#include "step/step_role_composition.h"

#include <gtest/gtest.h>

#include <cmath>

#include "step/step_selection_writer.h"
#include "support/mesh_reader_fixture.h"
#include "support/step_files.h"

namespace {

using Role = PlCadPrepStepComponentRole;
using Composition = PlCadPrepStepRoleComposition;

constexpr const char* kStale = "step_component_selection_stale";
constexpr const char* kReplayIncomplete = "step_component_selection_replay_incomplete";

// One step that must fail; by default with the failed-state refusal.
struct StepCase {
  const char* name;
  std::function<void()> run;
  const char* stage = "validate";
  const char* code = "step_role_composition_failed";
  const char* message = "STEP role composition previously failed";
};

void ExpectStepCases(const std::vector<StepCase>& cases) {
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectPlCadPrepError(c.run, c.code, c.stage, c.message);
  }
}

template <typename Import, typename Change>
Import Changed(const Import& import, Change&& change) {
  Import copy = import;
  change(copy);
  return copy;
}

class StepRoleComposition : public TempDirTest {
 protected:
  // Reviews boxes of 1, 2 and 3 mm along x and a free 1 mm shell at x = 20
  // with the select command, gives the components `roles`, and runs both
  // replay imports once, keeping every solid the solids import reports so
  // that each composition is fed alike.
  void Review(const std::vector<Role>& roles, const std::string& decision) {
    WriteTestStep(MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                                    MakeTestBox(3, 3, 3, gp_Pnt(10, 0, 0)),
                                    MakeTestFreeShell(1, 1, 1, gp_Pnt(20, 0, 0))}),
                  dir / "assembly.step");
    request = TestStepRequest(dir / "assembly.step");
    request.componentRole = "component";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    PlCadPrepStepRecordRequest select;
    select.schema = "pelto.geometry.select.request.v1";
    select.requestId = "s1";
    select.inputPath = request.inputPath;
    select.outputPath = dir / "selection.json";
    select.targetLinearDeflectionMm = 0.5;
    select.freeShellDecision = decision;
    select.allowedOrientationsDeg = {270, 0, 180, 90};
    for (std::size_t i = 0; i < roles.size(); ++i) {
      if (roles[i] == Role::exclude) select.excludedSolidOrdinals.push_back(i + 1);
    }
    WritePlCadPrepStepSelectionRecord(select, never, {});
    record = ReadPlCadPrepStepSelectionRecord(select.outputPath, context);
    ASSERT_EQ(record.components.size(), roles.size());
    for (std::size_t i = 0; i < roles.size(); ++i) record.components[i].role = roles[i];
    const PlCadPrepStepImportSettings settings = PlCadPrepStepReplaySettings(record, request);
    solids =
        ImportPlCadPrepStepSolids(settings, PlCadPrepStepReplayKeys(record), context, {},
                                  [&](const PlCadPrepStepSolidDiagnostic& d,
                                      const PlGeometryMesh& m) { reported.emplace_back(d, m); },
                                  {});
    ASSERT_EQ(reported.size(), roles.size());
    freeShells = ImportPlCadPrepStepFaces(settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {},
                                          context, {});
  }

  // Makes retained component `i` open in the record and in its report alike.
  void MakeOpen(std::size_t i) {
    record.components[i].watertight = reported[i].first.watertight = false;
  }

  Composition Prepare() const {
    return PreparePlCadPrepStepRoleComposition(
        record, request, PlCadPrepStepReplaySettings(record, request), context);
  }

  void Feed(Composition& composition, std::size_t count) const {
    for (std::size_t i = 0; i < count; ++i) {
      composition.ComposeSolid(reported[i].first, reported[i].second);
    }
  }

  // Every reported solid composed and the composition finished.
  Composition Composed() const {
    Composition composition = Prepare();
    Feed(composition, reported.size());
    composition.FinishRetainedComposition(solids);
    return composition;
  }

  // ... the retained deviation proven, and the free shells replayed.
  Composition Replayed() const {
    Composition composition = Composed();
    composition.ProveRetainedDeviation(solids);
    composition.ReplaySourceSurface(freeShells);
    return composition;
  }

  std::uint64_t Triangles(std::size_t component) const {
    return record.components.at(component).retainedTriangleCount;
  }

  NeverCancelled never;
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(PlCadPrepRequest(), never);
  PlCadPrepRequest request;
  PlCadPrepStepSelection record;
  std::vector<std::pair<PlCadPrepStepSolidDiagnostic, PlGeometryMesh>> reported;
  PlCadPrepStepSolidsImport solids;
  PlCadPrepStepFacesImport freeShells;
};

TEST_F(StepRoleComposition, ChecksTheRecordAgainstTheRequestInOrder) {
  Review({Role::component, Role::exclude, Role::component}, "residue");
  using Change =
      std::function<void(PlCadPrepStepSelection&, PlCadPrepRequest&, PlCadPrepStepImportSettings&)>;
  constexpr const char* kPolicy = "STEP component selection does not match the request policy";
  constexpr const char* kIncompleteRoles =
      "STEP component roles or source-surface decision are incomplete";
  const struct {
    const char* name;
    Change change;
    const char* code;
    const char* message;
  } cases[] = {
      {"review incomplete", [](auto& r, auto&, auto&) { r.roleReviewComplete = false; },
       "step_component_selection_incomplete", kIncompleteRoles},
      // An undecided overlay is judged before the request's units.
      {"undecided overlay",
       [](auto& r, auto& q, auto&) {
         r.freeShellOverlay.decision = PlCadPrepStepFreeShellDecision::unreviewed;
         q.sourceUnits = "mm";
       },
       "step_component_selection_incomplete", kIncompleteRoles},
      {"units", [](auto&, auto& q, auto&) { q.sourceUnits = "mm"; }, kStale, kPolicy},
      {"linear deflection one ulp",
       [](auto& r, auto&, auto&) { r.targetLinearDeflectionMm = std::nextafter(0.5, 1.0); }, kStale,
       kPolicy},
      {"more components than maxTriangles", [](auto&, auto& q, auto&) { q.maxTriangles = 2; },
       kStale, kPolicy},
      {"mount translation one ulp",
       [](auto&, auto& q, auto&) { q.sourceToMount[3] = std::nextafter(0.0, 1.0); }, kStale,
       "STEP component selection mount transform changed"},
      {"every solid excluded",
       [](auto& r, auto&, auto&) { r.components[0].role = r.components[2].role = Role::exclude; },
       "step_role_composition_missing_component", "STEP role composition retains no component"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepSelection selection =
        ReadPlCadPrepStepSelectionRecord(dir / "selection.json", context);
    PlCadPrepRequest prepare = request;
    PlCadPrepStepImportSettings settings = PlCadPrepStepReplaySettings(selection, prepare);
    c.change(selection, prepare, settings);
    ExpectPlCadPrepError(
        [&] { (void)PreparePlCadPrepStepRoleComposition(selection, prepare, settings, context); },
        c.code, "preflight", c.message);
  }

  // Zeros of either sign are one value, and orientations compare as sets
  // (the record holds them as 270, 0, 180, 90).
  request.sourceToMount[1] = -0.0;
  EXPECT_NO_THROW((void)Prepare());
}

TEST_F(StepRoleComposition, ResidueOverlayNeedsSurfaceReplayOnly) {
  Review({Role::moldShell, Role::exclude, Role::component}, "residue");
  // Residue surfaces close nothing: the open solid stays open.
  MakeOpen(2);
  ExpectPlCadPrepError(
      [&] {
        Composition composition = Composed();
        composition.ProveRetainedDeviation(solids);
        (void)composition.TakeComposedImport();
      },
      kReplayIncomplete, "validate", "STEP component selection replay is incomplete");

  Composition composition = Replayed();
  const PlGeometryMesh mesh = composition.TakeComposedImport().mesh;
  // Neither the excluded solid nor the residue shell is published.
  EXPECT_EQ(mesh.triangles.size(), Triangles(0) + Triangles(2));
  for (const PlPoint3& v : mesh.vertices) EXPECT_TRUE(v[0] < 4.0 || (v[0] > 8.0 && v[0] < 14.0));
  const PlCadPrepComponentSelectionEvidence e = composition.TakeEvidence();
  EXPECT_EQ(e.orientationsDeg, request.allowedOrientationsDeg);  // request order, not record order
  EXPECT_EQ(e.retainedRoles, (std::vector<std::string>{"mold_shell", "component"}));
  EXPECT_EQ(e.closedComponentCount, 1u);
  EXPECT_EQ(e.openComponentCount, 1u);

  ExpectPlCadPrepError([&] { (void)composition.TakeComposedImport(); },
                       "step_prepared_members_consumed", "package",
                       "STEP prepared members were already consumed");
  ExpectPlCadPrepError([&] { (void)composition.TakeComposedImport(); },
                       "step_role_composition_failed", "mesh",
                       "STEP role composition previously failed");
}

TEST_F(StepRoleComposition, AFailedStepFailsEveryLaterStep) {
  Review({Role::component, Role::component, Role::exclude}, "residue");
  Composition composition = Prepare();
  Feed(composition, 1);
  ExpectPlCadPrepError([&] { Feed(composition, 1); }, "duplicate_step_component_replay", "validate",
                       "STEP role composition replayed one component twice");
  ExpectStepCases({
      {"compose", [&] { composition.ComposeSolid(reported[1].first, reported[1].second); }},
      {"finish", [&] { composition.FinishRetainedComposition(solids); }},
      {"retained proof", [&] { composition.ProveRetainedDeviation(solids); }, "heal"},
      {"surface replay", [&] { composition.ReplaySourceSurface(freeShells); }},
      {"physical proof", [&] { composition.ProvePhysicalDeviation(freeShells); }, "heal"},
      {"take", [&] { (void)composition.TakeComposedImport(); }, "mesh"},
  });
}

TEST_F(StepRoleComposition, RefusesChangedImportsAndStepsOutOfOrder) {
  Review({Role::component, Role::exclude, Role::component}, "residue");
  using Change = std::function<void(PlCadPrepStepSolidsImport&)>;
  const auto finishWith = [&](const Change& change) {
    Composition composition = Prepare();
    Feed(composition, reported.size());
    composition.FinishRetainedComposition(Changed(solids, change));
  };
  const auto proveWith = [&](const Change& change) {
    Composed().ProveRetainedDeviation(Changed(solids, change));
  };
  // The excluded solid is replayed like every other one.
  PlCadPrepStepSolidDiagnostic excluded = reported[1].first;
  ++excluded.retainedTriangleCount;
  const std::string otherSource = record.components[0].samePolicyOccurrenceSha256;
  ExpectStepCases({
      {"excluded solid's evidence", [&] { Prepare().ComposeSolid(excluded, reported[1].second); },
       "validate", kStale, "STEP component selection diagnostic evidence changed"},
      {"compose after finish",
       [&] { Composed().ComposeSolid(reported[0].first, reported[0].second); }, "validate",
       "step_role_composition_complete", "STEP role composition is one-shot"},
      {"finish a strict import",
       [&] { finishWith([](auto& s) { s.surface.strictSourceProof = true; }); }, "validate",
       "step_role_review_transfer_required",
       "STEP role composition requires the review transfer first"},
      {"finish without the remesh",
       [&] { finishWith([](auto& s) { s.surface.retainedOnlyRemesh = false; }); }, "validate",
       "step_role_retained_mesh_missing",
       "STEP role composition requires a retained-only review remesh"},
      {"finish another source",
       [&] { finishWith([&](auto& s) { s.source.sourceSha256 = otherSource; }); }, "validate",
       kStale, "STEP component selection no longer covers the full source"},
      {"finish another remesh",
       [&] { finishWith([](auto& s) { s.surface.mesh.triangles.pop_back(); }); }, "mesh",
       "step_role_retained_mesh_mismatch",
       "retained STEP remesh differs from reviewed role composition"},
      {"prove a strict import",
       [&] { proveWith([](auto& s) { s.surface.strictSourceProof = true; }); }, "heal",
       "step_source_deviation_proof_invalid",
       "measured adoption requires the retained review transfer"},
      {"prove another mesh",
       [&] { proveWith([](auto& s) { s.surface.mesh.triangles.pop_back(); }); }, "heal",
       "step_source_deviation_proof_mismatch",
       "measured adoption differs from the reviewed role composition"},
      {"replay other free shells",
       [&] {
         Composition composition = Composed();
         composition.ProveRetainedDeviation(solids);
         composition.ReplaySourceSurface(
             Changed(freeShells, [](auto& s) { s.surface.mesh.watertight = false; }));
       },
       "validate", kStale, "STEP source-surface review evidence changed"},
      // A residue replay needs no retained proof, but the result does.
      {"take before proof",
       [&] {
         Composition composition = Composed();
         composition.ReplaySourceSurface(freeShells);
         (void)composition.TakeComposedImport();
       },
       "heal", "step_source_deviation_proof_missing",
       "STEP role composition requires a bounded source deviation"},
  });
}

TEST_F(StepRoleComposition, RetainedDeviationBudgetIsInclusive) {
  Review({Role::component, Role::exclude, Role::component}, "residue");
  constexpr const char* kTransfer =
      "the measured review transfer exceeds the source-deviation budget";
  constexpr const char* kVersion1 = "measured STEP surface deviation exceeds version 1";
  // The linear deflection is 0.5 mm, so s is half the placement scale.
  const struct {
    const char* name;
    double tolerance;
    double scale;
    bool complete;
    const char* message;  // null: proven
  } cases[] = {
      {"5 + 15 = 20", 5.0, 30.0, true, nullptr},
      {"s = 15.000001", 5.0, 30.000002, true, kVersion1},
      {"tolerance above 5", std::nextafter(5.0, 6.0), 1.0, true, kTransfer},
      {"incomplete tessellation", 0.0, 1.0, false, kTransfer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PlCadPrepStepSolidsImport measured = Changed(solids, [&](PlCadPrepStepSolidsImport& s) {
      s.surface.maxPlacedToleranceMm = c.tolerance;
      s.surface.maxPlacementScale = c.scale;
      s.surface.tessellationComplete = c.complete;
    });
    Composition composition = Composed();
    if (c.message != nullptr) {
      ExpectPlCadPrepError([&] { composition.ProveRetainedDeviation(measured); },
                           "step_source_deviation_unbounded", "heal", c.message);
      continue;
    }
    composition.ProveRetainedDeviation(measured);
    composition.ReplaySourceSurface(freeShells);
    EXPECT_EQ(composition.TakeComposedImport().mesh.surfaceDeviationMm, 20.0);
    const PlCadPrepComponentSelectionEvidence e = composition.TakeEvidence();
    EXPECT_EQ(e.sourceHealingDeviationMm, 5.0);
    EXPECT_EQ(e.tessellationDeviationMm, 15.0);
  }
}

TEST_F(StepRoleComposition, PhysicalOverlayNeedsSurfaceReplayAndItsOwnProof) {
  Review({Role::exclude, Role::component, Role::component}, "physical");
  // The closed free shell closes the merged mesh, and with it every retained solid.
  MakeOpen(1);
  const auto proveWith = [&](const std::function<void(PlCadPrepStepFacesImport&)>& change) {
    Replayed().ProvePhysicalDeviation(Changed(freeShells, change));
  };
  constexpr const char* kUnbounded = "step_source_deviation_unbounded";
  constexpr const char* kCombined = "combined measured STEP surface deviation exceeds version 1";
  ExpectStepCases({
      {"take without the physical proof", [&] { (void)Replayed().TakeComposedImport(); }, "heal",
       "step_physical_free_shell_requires_healing",
       "physical STEP source surfaces require a bounded deviation"},
      {"incompletely tessellated",
       [&] {
         Composition composition = Composed();
         composition.ProveRetainedDeviation(solids);
         composition.ReplaySourceSurface(
             Changed(freeShells, [](auto& s) { s.surface.tessellationComplete = false; }));
       },
       "heal", "step_physical_free_shell_requires_healing",
       "physical STEP source surfaces are incompletely tessellated"},
      {"prove a strict import",
       [&] { proveWith([](auto& s) { s.surface.strictSourceProof = true; }); }, "heal",
       "step_source_deviation_proof_mismatch",
       "measured physical surfaces differ from reviewed evidence"},
      {"free-shell tolerance above 5",
       [&] { proveWith([](auto& s) { s.surface.maxPlacedToleranceMm = 5.5; }); }, "heal",
       kUnbounded, "the measured free-shell transfer exceeds the source-deviation budget"},
      {"free-shell s = 15.000001",
       [&] { proveWith([](auto& s) { s.surface.maxPlacementScale = 30.000002; }); }, "heal",
       kUnbounded, kCombined},
      // max() with the retained s would hide it.
      {"free-shell s not finite",
       [&] { proveWith([](auto& s) { s.surface.maxPlacementScale = std::nan(""); }); }, "heal",
       kUnbounded, kCombined},
      {"prove twice",
       [&] {
         Composition composition = Replayed();
         composition.ProvePhysicalDeviation(freeShells);
         composition.ProvePhysicalDeviation(freeShells);
       },
       "heal", "step_source_deviation_proof_complete",
       "the STEP physical-surface deviation bound is one-shot"},
  });

  Composition composition = Replayed();
  composition.ProvePhysicalDeviation(
      Changed(freeShells, [](auto& s) { s.surface.maxPlacementScale = 2.0; }));
  const PlGeometryMesh mesh = composition.TakeComposedImport().mesh;
  const PlCadPrepComponentSelectionEvidence e = composition.TakeEvidence();
  // The free shell follows the retained solids in the published mesh.
  EXPECT_EQ(mesh.triangles.size(),
            Triangles(1) + Triangles(2) + record.freeShellOverlay.retainedTriangleCount);
  EXPECT_TRUE(mesh.watertight);
  EXPECT_EQ(e.closedComponentCount, 2u);
  EXPECT_EQ(e.openComponentCount, 0u);
  // The larger free-shell placement scale governs the combined s.
  EXPECT_EQ(e.tessellationDeviationMm, 1.0);
  EXPECT_EQ(mesh.surfaceDeviationMm, e.sourceHealingDeviationMm + 1.0);
}

}  // namespace
