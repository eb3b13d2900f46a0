#include "step/step_role_composition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

using Role = PlCadPrepStepComponentRole;

constexpr const char* kStale = "step_component_selection_stale";

class StepRoleComposition : public TempDirTest {
 protected:
  // Three boxes of 1, 2 and 3 mm along x, each its own solid, and optionally
  // a free 1 mm shell at x = 20.
  void WriteSource(bool freeShell) {
    const TopoDS_Shape a = MakeTestBox(1, 1, 1);
    const TopoDS_Shape b = MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0));
    const TopoDS_Shape c = MakeTestBox(3, 3, 3, gp_Pnt(10, 0, 0));
    const TopoDS_Compound compound =
        freeShell ? MakeTestCompound({a, b, c, MakeTestFreeShell(1, 1, 1, gp_Pnt(20, 0, 0))})
                  : MakeTestCompound({a, b, c});
    const std::filesystem::path path = dir / "assembly.step";
    WriteTestStep(compound, path);
    request = TestStepRequest(path);
    request.componentRole = "component";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
  }

  // The select command's record for the source, excluding the solids whose
  // role is "exclude", then given the other roles as a reviewer would.
  void Review(const std::vector<Role>& roles, const char* decision = "none") {
    PlCadPrepStepRecordRequest select;
    select.schema = "pelto.geometry.select.request.v1";
    select.requestId = "s1";
    select.inputPath = request.inputPath;
    select.outputPath = dir / ("selection" + std::to_string(++reviews) + ".json");
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
  }

  PlCadPrepStepRoleComposition Prepare() {
    return PreparePlCadPrepStepRoleComposition(record, request,
                                               PlCadPrepStepReplaySolidsOptions(record), context);
  }

  PlCadPrepStepImport ImportSolids(PlCadPrepStepRoleComposition& composition,
                                   const PlCadPrepStepImportOptions& options) {
    return ImportPlCadPrepStep(
        request, options, context, {},
        [&](const PlCadPrepStepSolidDiagnostic& d, const PlGeometryMesh& mesh) {
          composition.ComposeSolid(d, mesh);
        },
        {});
  }

  PlCadPrepStepImport ImportFreeShells() {
    PlCadPrepStepImportOptions options;
    options.faceScope = kPlCadPrepStepScopeFreeShellsOnlyDiagnostic;
    return ImportPlCadPrepStep(request, options, context, {}, {}, {});
  }

  // Every solids step: compose during the import, finish, prove the bound.
  PlCadPrepStepRoleComposition ComposeRetained() {
    PlCadPrepStepRoleComposition composition = Prepare();
    const PlCadPrepStepImport solids =
        ImportSolids(composition, PlCadPrepStepReplaySolidsOptions(record));
    composition.FinishRetainedComposition(solids);
    composition.ProveRetainedDeviation(solids);
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
  int reviews = 0;
};

// A record that satisfies the request checks without any source behind it.
void SyntheticRecord(PlCadPrepStepSelection& record, PlCadPrepRequest& request) {
  request = TestStepRequest("/nonexistent/source.step");
  request.allowedOrientationsDeg = {0, 90, 180, 270};
  record.diagnosticPolicy = std::string(kPlCadPrepStepDiagnosticPolicy);
  record.faceScope = "solids_only_diagnostic";
  record.targetLinearDeflectionMm = 0.5;
  record.angularDeflectionRadians = 0.5;
  record.sourceToMount = request.sourceToMount;
  record.allowedOrientationsDeg = {0, 90, 180, 270};
  record.roleReviewComplete = true;
  for (const Role role : {Role::component, Role::exclude}) {
    PlCadPrepStepSelectionComponent component;
    component.selectedSolidOrdinal = record.components.size() + 1;
    component.role = role;
    component.retainedTriangleCount = 12;
    record.components.push_back(component);
  }
}

TEST_F(StepRoleComposition, ChecksTheRecordAgainstTheRequestInOrder) {
  using Change =
      std::function<void(PlCadPrepStepSelection&, PlCadPrepRequest&, PlCadPrepStepImportOptions&)>;
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
      {"unreviewed component",
       [](auto& r, auto&, auto&) { r.components[1].role = Role::unreviewed; },
       "step_component_selection_incomplete", kIncompleteRoles},
      // An undecided overlay is judged before the request's units.
      {"undecided overlay",
       [](auto& r, auto& q, auto&) { r.hasFreeShellOverlay = true, q.sourceUnits = "mm"; },
       "step_component_selection_incomplete", kIncompleteRoles},
      {"units", [](auto&, auto& q, auto&) { q.sourceUnits = "mm"; }, kStale, kPolicy},
      {"import scope", [](auto&, auto&, auto& o) { o.faceScope = 2; }, kStale, kPolicy},
      {"policy", [](auto& r, auto&, auto&) { r.diagnosticPolicy += "x"; }, kStale, kPolicy},
      {"linear deflection one ulp",
       [](auto& r, auto&, auto&) { r.targetLinearDeflectionMm = std::nextafter(0.5, 1.0); }, kStale,
       kPolicy},
      {"angular deflection", [](auto&, auto&, auto& o) { o.angularDeflectionRadians = 0.25; },
       kStale, kPolicy},
      {"more components than maxTriangles", [](auto&, auto& q, auto&) { q.maxTriangles = 1; },
       kStale, kPolicy},
      {"orientations", [](auto& r, auto&, auto&) { r.allowedOrientationsDeg.pop_back(); }, kStale,
       kPolicy},
      {"mount translation",
       [](auto&, auto& q, auto&) { q.sourceToMount[3] = std::nextafter(0.0, 1.0); }, kStale,
       "STEP component selection mount transform changed"},
      {"every solid excluded", [](auto& r, auto&, auto&) { r.components[0].role = Role::exclude; },
       "step_role_composition_missing_component", "STEP role composition retains no component"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlCadPrepStepSelection selection;
    PlCadPrepRequest prepare;
    SyntheticRecord(selection, prepare);
    PlCadPrepStepImportOptions options = PlCadPrepStepReplaySolidsOptions(selection);
    c.change(selection, prepare, options);
    ExpectPlCadPrepError(
        [&] { (void)PreparePlCadPrepStepRoleComposition(selection, prepare, options, context); },
        c.code, "preflight", c.message);
  }

  // Zeros of either sign are one value, in the transform and in reordered orientations.
  PlCadPrepStepSelection selection;
  PlCadPrepRequest prepare;
  SyntheticRecord(selection, prepare);
  selection.sourceToMount[1] = -0.0;
  prepare.allowedOrientationsDeg = {270, 180, 90, 0};
  EXPECT_NO_THROW((void)PreparePlCadPrepStepRoleComposition(
      selection, prepare, PlCadPrepStepReplaySolidsOptions(selection), context));
}

TEST_F(StepRoleComposition, BudgetBoundsAreInclusiveAndRejectNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(IsPlCadPrepStepToleranceWithinBudget(true, 5.0));
  EXPECT_TRUE(IsPlCadPrepStepToleranceWithinBudget(true, -0.0));
  EXPECT_FALSE(IsPlCadPrepStepToleranceWithinBudget(true, std::nextafter(5.0, 6.0)));
  EXPECT_FALSE(IsPlCadPrepStepToleranceWithinBudget(true, nan));
  EXPECT_FALSE(IsPlCadPrepStepToleranceWithinBudget(false, 0.0));

  EXPECT_TRUE(IsPlCadPrepStepDeviationWithinBudget(5.0, 15.0));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(5.0, 15.000001));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(0.0, std::nextafter(15.0, 16.0)));
  EXPECT_TRUE(IsPlCadPrepStepDeviationWithinBudget(5.5, 14.5));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(5.5, 14.500001));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(0.0, -1e-300));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(0.0, nan));
  EXPECT_FALSE(IsPlCadPrepStepDeviationWithinBudget(nan, 1.0));
}

TEST_F(StepRoleComposition, ComposesRetainedSolidsIntoOneProvenResultOnce) {
  WriteSource(false);
  Review({Role::moldShell, Role::exclude, Role::component});
  PlCadPrepStepRoleComposition composition = ComposeRetained();
  PlCadPrepStepComposedResult result = composition.TakeComposedResult({});

  const PlGeometryMesh& mesh = result.import.mesh;
  EXPECT_EQ(mesh.triangles.size(), Triangles(0) + Triangles(2));
  for (const PlPoint3& v : mesh.vertices) EXPECT_FALSE(v[0] > 4.0 && v[0] < 8.0);
  EXPECT_TRUE(mesh.watertight);
  EXPECT_EQ(result.members.collision.sourceHash, record.sourceSha256);

  const PlCadPrepComponentSelectionEvidence& e = result.evidence;
  EXPECT_EQ(e.evidenceIdentity, record.recordSha256);
  EXPECT_EQ(e.retainedRoles, (std::vector<std::string>{"mold_shell", "component"}));
  EXPECT_EQ(e.freeShellDecision, "none");
  EXPECT_EQ(e.closedComponentCount, 2u);
  EXPECT_EQ(e.openComponentCount, 0u);
  EXPECT_TRUE(e.sourceHealingDeviationBounded);
  // Unplaced solids: the scaled deflection is the linear deflection itself.
  EXPECT_EQ(e.tessellationDeviationMm, 0.5);
  EXPECT_EQ(mesh.surfaceDeviationMm, e.sourceHealingDeviationMm + e.tessellationDeviationMm);

  ExpectPlCadPrepError([&] { (void)composition.TakeComposedResult({}); },
                       "step_prepared_members_consumed", "package",
                       "STEP prepared members were already consumed");
  ExpectPlCadPrepError([&] { (void)composition.TakeComposedResult({}); },
                       "step_role_composition_failed", "mesh",
                       "STEP role composition previously failed");
}

TEST_F(StepRoleComposition, AFailedStepFailsEveryLaterStep) {
  WriteSource(false);
  Review({Role::component, Role::component, Role::exclude});
  PlCadPrepStepRoleComposition composition = Prepare();
  std::vector<std::pair<PlCadPrepStepSolidDiagnostic, PlGeometryMesh>> solids;
  const PlCadPrepStepImport import =
      ImportPlCadPrepStep(request, PlCadPrepStepReplaySolidsOptions(record), context, {},
                          [&](const PlCadPrepStepSolidDiagnostic& d, const PlGeometryMesh& m) {
                            solids.emplace_back(d, m);
                          },
                          {});
  ASSERT_EQ(solids.size(), 3u);
  composition.ComposeSolid(solids[0].first, solids[0].second);
  ExpectPlCadPrepError([&] { composition.ComposeSolid(solids[0].first, solids[0].second); },
                       "duplicate_step_component_replay", "validate",
                       "STEP role composition replayed one component twice");

  const struct {
    const char* name;
    std::function<void()> step;
    const char* stage;
  } cases[] = {
      {"compose", [&] { composition.ComposeSolid(solids[1].first, solids[1].second); }, "validate"},
      {"finish", [&] { composition.FinishRetainedComposition(import); }, "validate"},
      {"retained proof", [&] { composition.ProveRetainedDeviation(import); }, "heal"},
      {"surface replay", [&] { composition.ReplaySourceSurface(import); }, "validate"},
      {"physical proof", [&] { composition.ProvePhysicalDeviation(import); }, "heal"},
      {"take", [&] { (void)composition.TakeComposedResult({}); }, "mesh"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectPlCadPrepError(c.step, "step_role_composition_failed", c.stage,
                         "STEP role composition previously failed");
  }
}

TEST_F(StepRoleComposition, ReplayRefusesChangedSolidEvidence) {
  WriteSource(false);
  Review({Role::component, Role::exclude, Role::component});
  // The excluded solid is replayed like every other one.
  ++record.components[1].retainedTriangleCount;
  PlCadPrepStepRoleComposition composition = Prepare();
  ExpectPlCadPrepError(
      [&] { (void)ImportSolids(composition, PlCadPrepStepReplaySolidsOptions(record)); }, kStale,
      "validate", "STEP component selection diagnostic evidence changed");
}

TEST_F(StepRoleComposition, FinishRequiresTheRetainedReviewRemesh) {
  WriteSource(false);
  Review({Role::component, Role::exclude, Role::component});
  PlCadPrepStepRoleComposition composition = Prepare();
  // Without retained keys the import never remeshes the retained solids alone.
  PlCadPrepStepImportOptions plain;
  plain.faceScope = kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  const PlCadPrepStepImport solids = ImportSolids(composition, plain);
  ExpectPlCadPrepError([&] { composition.FinishRetainedComposition(solids); },
                       "step_role_retained_mesh_missing", "validate",
                       "STEP role composition requires a retained-only review remesh");
}

TEST_F(StepRoleComposition, ResidueOverlayNeedsSurfaceReplayOnly) {
  WriteSource(true);
  Review({Role::component, Role::fixture, Role::exclude}, "residue");
  ASSERT_TRUE(record.hasFreeShellOverlay);
  {
    PlCadPrepStepRoleComposition composition = ComposeRetained();
    ExpectPlCadPrepError([&] { (void)composition.TakeComposedResult({}); },
                         "step_component_selection_replay_incomplete", "validate",
                         "STEP component selection replay is incomplete");
  }
  PlCadPrepStepRoleComposition composition = ComposeRetained();
  composition.ReplaySourceSurface(ImportFreeShells());
  const PlCadPrepStepComposedResult result = composition.TakeComposedResult({});
  // Residue surfaces are reviewed but never published.
  EXPECT_EQ(result.import.mesh.triangles.size(), Triangles(0) + Triangles(1));
  EXPECT_EQ(result.evidence.freeShellDecision, "residue");
  EXPECT_EQ(result.evidence.retainedRoles, (std::vector<std::string>{"fixture", "component"}));
}

TEST_F(StepRoleComposition, PhysicalOverlayNeedsSurfaceReplayAndItsOwnProof) {
  WriteSource(true);
  Review({Role::exclude, Role::component, Role::component}, "physical");
  const PlCadPrepStepImport shells = ImportFreeShells();
  {
    PlCadPrepStepRoleComposition composition = ComposeRetained();
    composition.ReplaySourceSurface(shells);
    ExpectPlCadPrepError([&] { (void)composition.TakeComposedResult({}); },
                         "step_physical_free_shell_requires_healing", "heal",
                         "physical STEP source surfaces require a bounded deviation");
  }
  PlCadPrepStepRoleComposition composition = ComposeRetained();
  composition.ReplaySourceSurface(shells);
  composition.ProvePhysicalDeviation(shells);
  ExpectPlCadPrepError([&] { composition.ProvePhysicalDeviation(shells); },
                       "step_source_deviation_proof_complete", "heal",
                       "the STEP physical-surface deviation bound is one-shot");

  PlCadPrepStepRoleComposition fresh = ComposeRetained();
  fresh.ReplaySourceSurface(shells);
  fresh.ProvePhysicalDeviation(shells);
  const PlCadPrepStepComposedResult result = fresh.TakeComposedResult({});
  // The free shell follows the retained solids in the published mesh.
  EXPECT_EQ(result.import.mesh.triangles.size(),
            Triangles(1) + Triangles(2) + record.freeShellOverlay.retainedTriangleCount);
  EXPECT_EQ(result.evidence.freeShellDecision, "physical");
  EXPECT_EQ(result.evidence.closedComponentCount, 2u);
  EXPECT_EQ(result.evidence.openComponentCount, 0u);
}

}  // namespace
