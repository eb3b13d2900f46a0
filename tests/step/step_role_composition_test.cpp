#include "step/step_role_composition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "step/step_selection_writer.h"
#include "support/step_error_cases.h"

namespace {

using Role = PlCadPrepStepComponentRole;
using Composition = PlCadPrepStepRoleComposition;
using Solids = PlCadPrepStepSolidsImport;
using Shells = PlCadPrepStepFacesImport;

constexpr const char* kStale = "step_component_selection_stale";
constexpr const char* kUnbounded = "step_source_deviation_unbounded";

constexpr const char* kFailed = "step_role_composition_failed";
constexpr const char* kFailedMsg = "STEP role composition previously failed";

template <typename Import, typename Change>
Import Changed(Import copy, Change&& change) {
  change(copy);
  return copy;
}

class StepRoleComposition : public TempDirTest {
 protected:
  // Reviews boxes of 1, 2 and 3 mm along x and a free 1 mm shell at x = 20 with the select
  // command, gives the components `roles`, and runs both replay imports once.
  void Review(const std::vector<Role>& roles, const std::string& decision) {
    PlCadPrepStepRecordRequest select = MakeTestStepSideRequest<PlCadPrepStepRecordRequest>(
        kPlCadPrepStepRecordRequestSchema, "s1",
        MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                          MakeTestBox(3, 3, 3, gp_Pnt(10, 0, 0)),
                          MakeTestFreeShell(1, 1, 1, gp_Pnt(20, 0, 0))}),
        dir / "assembly.step", dir / "selection.json");
    request = TestStepRequest(select.inputPath);
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    select.freeShellDecision = decision;
    select.allowedOrientationsDeg = {270, 0, 180, 90};
    for (std::size_t i = 0; i < roles.size(); ++i) {
      if (roles[i] == Role::exclude) select.excludedSolidOrdinals.push_back(i + 1);
    }
    WritePlCadPrepStepSelectionRecord(select, never, {});
    record = ReadPlCadPrepStepSelectionRecord(select.outputPath, context);
    for (std::size_t i = 0; i < roles.size(); ++i) record.components.at(i).role = roles[i];
    const PlCadPrepStepImportSettings settings = PlCadPrepStepReplaySettings(record, request);
    solids = ImportPlCadPrepStepSolids(
        settings, PlCadPrepStepReplayKeys(record), context, {},
        [&](const auto& d, const PlGeometryMesh& m) { reported.emplace_back(d, m); }, {});
    freeShells = ImportPlCadPrepStepFaces(settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {},
                                          context, {});
  }
  Composition Prepare() const {
    return PreparePlCadPrepStepRoleComposition(
        record, request, PlCadPrepStepReplaySettings(record, request), context);
  }
  // Every reported solid composed and the composition finished with `finish`; then the retained
  // deviation proven with `prove`, and the free shells replayed, where given.
  Composition Composed(const Solids& finish, std::optional<Solids> prove = {},
                       std::optional<Shells> replay = {}) const {
    Composition composition = Prepare();
    for (const auto& [d, m] : reported) composition.ComposeSolid(d, m);
    composition.FinishRetainedComposition(finish);
    if (prove) composition.ProveRetainedDeviation(*prove);
    if (replay) composition.ReplaySourceSurface(*replay);
    return composition;
  }
  Composition Replayed() const { return Composed(solids, solids, freeShells); }

  NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), never);
  PlCadPrepRequest request;
  PlCadPrepStepSelection record;
  std::vector<std::pair<PlCadPrepStepSolidDiagnostic, PlGeometryMesh>> reported;
  Solids solids;
  Shells freeShells;
};

TEST_F(StepRoleComposition, ResidueOverlayChecksEveryStepAgainstTheReview) {
  Review({Role::moldShell, Role::exclude, Role::component}, "residue");
  // Each returns the failing step: a composition prepared, finished or proven with a
  // changed record, request or solids import.
  const auto prep = [&](auto change) {
    return [&, change] {
      PlCadPrepStepSelection r = ReadPlCadPrepStepSelectionRecord(dir / "selection.json", context);
      PlCadPrepRequest q = request;
      const PlCadPrepStepImportSettings settings = PlCadPrepStepReplaySettings(r, q);
      change(r, q);
      (void)PreparePlCadPrepStepRoleComposition(r, q, settings, context);
    };
  };
  const auto finish = [&](auto change) {
    return [&, change] { (void)Composed(Changed(solids, change)); };
  };
  const auto prove = [&](auto f) { return [&, f] { (void)Composed(solids, Changed(solids, f)); }; };
  const auto measured = [](double tolerance, double scale, bool complete) {
    return [=](Solids& s) {
      s.surface.maxPlacedToleranceMm = tolerance, s.surface.maxPlacementScale = scale;
      s.surface.tessellationComplete = complete;
    };
  };
  // The excluded solid is replayed like every other one.
  PlCadPrepStepSolidDiagnostic excluded = reported[1].first;
  ++excluded.retainedTriangleCount;
  const std::string otherSource = record.components[0].samePolicyOccurrenceSha256;
  const char* kPolicy = "STEP component selection does not match the request policy";
  const char* kTransfer = "the measured review transfer exceeds the source-deviation budget";
  ExpectStepErrors({
      {prep([](auto& r, auto&) { r.roleReviewComplete = false; }),
       "step_component_selection_incomplete", "preflight",
       "STEP component roles or source-surface decision are incomplete"},
      {prep([](auto& r, auto&) { r.targetLinearDeflectionMm = std::nextafter(0.5, 1.0); }), kStale,
       "preflight", kPolicy},
      {prep([](auto&, auto& q) { q.sourceToMount[3] = std::nextafter(0.0, 1.0); }), kStale,
       "preflight", "STEP component selection mount transform changed"},
      {prep([](auto& r, auto&) { r.components[0].role = r.components[2].role = Role::exclude; }),
       "step_role_composition_missing_component", "preflight",
       "STEP role composition retains no component"},
      {[&] { Prepare().ComposeSolid(excluded, reported[1].second); }, kStale, "validate",
       "STEP component selection diagnostic evidence changed"},
      {[&] { Composed(solids).ComposeSolid(reported[0].first, reported[0].second); },
       "step_role_composition_complete", "validate", "STEP role composition is one-shot"},
      {finish([](auto& s) { s.surface.strictSourceProof = true; }),
       "step_role_review_transfer_required", "validate",
       "STEP role composition requires the review transfer first"},
      {finish([](auto& s) { s.surface.retainedOnlyRemesh = false; }),
       "step_role_retained_mesh_missing", "validate",
       "STEP role composition requires a retained-only review remesh"},
      {finish([&](auto& s) { s.source.sourceSha256 = otherSource; }), kStale, "validate",
       "STEP component selection no longer covers the full source"},
      {finish([](auto& s) { s.surface.mesh.triangles.pop_back(); }),
       "step_role_retained_mesh_mismatch", "mesh",
       "retained STEP remesh differs from reviewed role composition"},
      {prove([](auto& s) { s.surface.strictSourceProof = true; }),
       "step_source_deviation_proof_invalid", "heal",
       "measured adoption requires the retained review transfer"},
      {prove([](auto& s) { s.surface.mesh.triangles.pop_back(); }),
       "step_source_deviation_proof_mismatch", "heal",
       "measured adoption differs from the reviewed role composition"},
      // The retained deviation budget is inclusive; with a linear deflection of 0.5 mm, s is
      // half the placement scale.
      {prove(measured(5.0, 30.000002, true)), kUnbounded, "heal",
       "measured STEP surface deviation exceeds version 1"},
      {prove(measured(std::nextafter(5.0, 6.0), 1.0, true)), kUnbounded, "heal", kTransfer},
      // A residue replay needs no retained proof, but the result does.
      {[&] { (void)Composed(solids, {}, freeShells).TakeComposedImport(); },
       "step_source_deviation_proof_missing", "heal",
       "STEP role composition requires a bounded source deviation"},
      {[&] { (void)Composed(solids, solids).TakeComposedImport(); },
       "step_component_selection_replay_incomplete", "validate",
       "STEP component selection replay is incomplete"},
  });
  const Solids atBudget = Changed(solids, measured(5.0, 30.0, true));
  Composition proven = Composed(solids, atBudget, freeShells);
  EXPECT_EQ(proven.TakeComposedImport().mesh.surfaceDeviationMm, 20.0);
  const PlCadPrepComponentSelectionEvidence budget = proven.TakeEvidence();
  EXPECT_EQ(budget.sourceHealingDeviationMm * 100 + budget.tessellationDeviationMm, 515.0);

  // Zeros of either sign are one value, and orientations compare as sets.
  request.sourceToMount[1] = -0.0;
  EXPECT_NO_THROW((void)Prepare());

  // One failed step fails every later one.
  Composition failed = Prepare();
  failed.ComposeSolid(reported[0].first, reported[0].second);
  ExpectPlCadPrepError([&] { failed.ComposeSolid(reported[0].first, reported[0].second); },
                       "duplicate_step_component_replay", "validate",
                       "STEP role composition replayed one component twice");
  ExpectStepErrors(
      {{[&] { failed.FinishRetainedComposition(solids); }, kFailed, "validate", kFailedMsg}});

  Composition composition = Replayed();
  const PlGeometryMesh mesh = composition.TakeComposedImport().mesh;
  // Neither the excluded solid nor the residue shell is published.
  EXPECT_EQ(mesh.triangles.size(), record.components[0].retainedTriangleCount +
                                       record.components[2].retainedTriangleCount);
  const PlCadPrepComponentSelectionEvidence e = composition.TakeEvidence();
  EXPECT_EQ(e.retainedRoles, (std::vector<std::string>{"mold_shell", "component"}));
  ExpectPlCadPrepError([&] { (void)composition.TakeComposedImport(); },
                       "step_prepared_members_consumed", "package",
                       "STEP prepared members were already consumed");
  ExpectStepErrors(
      {{[&] { (void)composition.TakeComposedImport(); }, kFailed, "mesh", kFailedMsg}});
}

TEST_F(StepRoleComposition, PhysicalOverlayNeedsSurfaceReplayAndItsOwnProof) {
  Review({Role::exclude, Role::component, Role::component}, "physical");
  // The closed free shell closes the merged mesh, and with it every retained solid.
  record.components[1].watertight = reported[1].first.watertight = false;
  const auto prove = [&](auto change) {
    return [&, change] { Replayed().ProvePhysicalDeviation(Changed(freeShells, change)); };
  };
  const auto incomplete = [](Shells& s) { s.surface.tessellationComplete = false; };
  const char* kHealing = "step_physical_free_shell_requires_healing";
  ExpectStepErrors({
      {[&] { (void)Replayed().TakeComposedImport(); }, kHealing, "heal",
       "physical STEP source surfaces require a bounded deviation"},
      {[&] { (void)Composed(solids, solids, Changed(freeShells, incomplete)); }, kHealing, "heal",
       "physical STEP source surfaces are incompletely tessellated"},
      {prove([](auto& s) { s.surface.strictSourceProof = true; }),
       "step_source_deviation_proof_mismatch", "heal",
       "measured physical surfaces differ from reviewed evidence"},
  });
}

}  // namespace
