#include "step/step_role_composition.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/checked.h"
#include "mesh/triangle_mesh_builder.h"

namespace {

constexpr std::size_t kComposeCheckpointTriangles = 2048;

bool SameSortedOrientations(const std::vector<std::int32_t>& recorded,
                            const std::vector<std::uint32_t>& requested) {
  std::vector<std::int64_t> a(recorded.begin(), recorded.end());
  std::vector<std::int64_t> b(requested.begin(), requested.end());
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

bool IsRetainedRole(PlCadPrepStepComponentRole role) {
  return role == PlCadPrepStepComponentRole::moldShell ||
         role == PlCadPrepStepComponentRole::fixture ||
         role == PlCadPrepStepComponentRole::component;
}

// A complete tessellation whose placed tolerance is finite and within [0, 5].
bool IsToleranceWithinBudget(bool tessellationComplete, double toleranceMm) {
  return tessellationComplete && std::isfinite(toleranceMm) && toleranceMm >= 0.0 &&
         toleranceMm <= kPlCadPrepStepMaxSourceToleranceMm;
}

// A scaled deflection finite and within [0, 15] whose sum with the tolerance is
// finite and at most 20.
bool IsDeviationWithinBudget(double toleranceMm, double scaledDeflectionMm) {
  if (!std::isfinite(scaledDeflectionMm) || scaledDeflectionMm < 0.0 ||
      scaledDeflectionMm > kPlCadPrepStepMaxScaledDeflectionMm) {
    return false;
  }
  const double bound = toleranceMm + scaledDeflectionMm;
  return std::isfinite(bound) && bound <= kPlCadPrepStepMaxSourceDeviationMm;
}

// Adds every triangle of `mesh` (already in the mount frame) to `builder`.
// `onBadIndex` throws the caller's own failure for an index outside the mesh.
template <typename OnBadIndex>
void AppendMeshTriangles(const PlGeometryMesh& mesh, PlTriangleMeshBuilder& builder,
                         const PlCadPrepOperationContext& context, OnBadIndex&& onBadIndex) {
  const std::size_t vertexCount = mesh.vertices.size();
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
    if (i % kComposeCheckpointTriangles == 0) CheckpointStage(context, "mesh");
    const std::array<std::uint32_t, 3>& t = mesh.triangles[i];
    if (t[0] >= vertexCount || t[1] >= vertexCount || t[2] >= vertexCount) onBadIndex();
    builder.AddTriangle(mesh.vertices[t[0]], mesh.vertices[t[1]], mesh.vertices[t[2]]);
  }
}

// The record's rules against this request, in their fixed order.
void CheckRecordAgainstRequest(const PlCadPrepStepSelection& record,
                               const PlCadPrepRequest& request,
                               const PlCadPrepStepImportSettings& settings) {
  const bool unreviewedComponent =
      std::any_of(record.components.begin(), record.components.end(),
                  [](const PlCadPrepStepSelectionComponent& c) {
                    return c.role == PlCadPrepStepComponentRole::unreviewed;
                  });
  const bool undecidedOverlay =
      record.hasFreeShellOverlay &&
      record.freeShellOverlay.decision != PlCadPrepStepFreeShellDecision::physical &&
      record.freeShellOverlay.decision != PlCadPrepStepFreeShellDecision::residue;
  if (!record.roleReviewComplete || record.unreviewedComponentCount != 0 || unreviewedComponent ||
      undecidedOverlay) {
    throw PlCadPrepError("step_component_selection_incomplete",
                         "STEP component roles or source-surface decision are incomplete",
                         "preflight");
  }
  if (request.sourceFormat != PlCadPrepSourceFormat::step || request.sourceUnits != "source" ||
      record.diagnosticPolicy != kPlCadPrepStepDiagnosticPolicy ||
      record.faceScope != PlCadPrepStepFaceScopeName(kPlCadPrepStepScopeSolidsOnlyDiagnostic) ||
      !SameRecordedValue(record.targetLinearDeflectionMm, settings.targetLinearDeflectionMm) ||
      !SameRecordedValue(record.angularDeflectionRadians, settings.angularDeflectionRadians)) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP component selection does not match the request policy", "preflight");
  }
  if (record.components.size() > request.maxTriangles ||
      !SameSortedOrientations(record.allowedOrientationsDeg, request.allowedOrientationsDeg)) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP component selection does not match the request policy", "preflight");
  }
  for (std::size_t i = 0; i < record.sourceToMount.size(); ++i) {
    if (!SameRecordedValue(record.sourceToMount[i], request.sourceToMount[i])) {
      throw PlCadPrepError("step_component_selection_stale",
                           "STEP component selection mount transform changed", "preflight");
    }
  }
}

}  // namespace

PlCadPrepStepImportSettings PlCadPrepStepReplaySettings(const PlCadPrepStepSelection& record,
                                                        const PlCadPrepRequest& request) {
  PlCadPrepStepImportSettings settings;
  settings.sourcePath = request.inputPath;
  settings.sourceUnits = request.sourceUnits;
  settings.sourceToMount = request.sourceToMount;
  settings.targetLinearDeflectionMm = record.targetLinearDeflectionMm;
  settings.angularDeflectionRadians = record.angularDeflectionRadians;
  return settings;
}

PlCadPrepStepOccurrenceKeys PlCadPrepStepReplayKeys(const PlCadPrepStepSelection& record) {
  PlCadPrepStepOccurrenceKeys keys;
  keys.reviewed.reserve(record.components.size());
  for (const PlCadPrepStepSelectionComponent& component : record.components) {
    keys.reviewed.push_back(component.samePolicyOccurrenceSha256);
    if (IsRetainedRole(component.role)) {
      keys.retained.push_back(component.samePolicyOccurrenceSha256);
    }
  }
  return keys;
}

PlCadPrepStepRoleComposition::PlCadPrepStepRoleComposition(const PlCadPrepStepSelection& selection,
                                                           const PlCadPrepRequest& prepare,
                                                           const PlCadPrepOperationContext& run)
    : record(&selection),
      request(&prepare),
      context(&run),
      linearDeflectionMm(selection.targetLinearDeflectionMm),
      replayed(selection.components.size(), false) {
  // Every context the pipeline makes carries the run's cancellation.
  if (run.cancellation == nullptr) {
    throw std::logic_error("a STEP role composition was made without the run's cancellation");
  }
  builder =
      std::make_unique<PlTriangleMeshBuilder>(PlMeshLimitsOf(prepare), *run.cancellation, &run);
}

PlCadPrepStepRoleComposition::PlCadPrepStepRoleComposition(
    PlCadPrepStepRoleComposition&&) noexcept = default;
PlCadPrepStepRoleComposition& PlCadPrepStepRoleComposition::operator=(
    PlCadPrepStepRoleComposition&&) noexcept = default;
PlCadPrepStepRoleComposition::~PlCadPrepStepRoleComposition() = default;

void PlCadPrepStepRoleComposition::Begin(const char* stage) {
  // A step that threw never cleared the flag, so it doubles as the failed state.
  if (busy) {
    throw PlCadPrepError("step_role_composition_failed", "STEP role composition previously failed",
                         stage);
  }
  busy = true;
}

bool PlCadPrepStepRoleComposition::PhysicalOverlay() const {
  return record->hasFreeShellOverlay &&
         record->freeShellOverlay.decision == PlCadPrepStepFreeShellDecision::physical;
}

void PlCadPrepStepRoleComposition::ComposeSolid(const PlCadPrepStepSolidDiagnostic& diagnostic,
                                                const PlGeometryMesh& mesh) {
  Begin("validate");
  if (composed) {
    throw PlCadPrepError("step_role_composition_complete", "STEP role composition is one-shot",
                         "validate");
  }
  const std::uint64_t ordinal = diagnostic.selectedSolidOrdinal;
  if (ordinal == 0 || ordinal > record->components.size() ||
      record->components[ordinal - 1].selectedSolidOrdinal != ordinal) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP role composition ordinal no longer exists", "validate");
  }
  const std::size_t index = static_cast<std::size_t>(ordinal - 1);
  if (replayed[index]) {
    throw PlCadPrepError("duplicate_step_component_replay",
                         "STEP role composition replayed one component twice", "validate");
  }
  if (PlCadPrepStepPlacedMeshStreamSha256(mesh, *context) != diagnostic.placedMeshStreamSha256) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP role composition mesh differs from its diagnostic", "validate");
  }

  if (replayComplete) {
    throw PlCadPrepError("step_component_selection_replay_complete",
                         "STEP component selection replay is one-shot", "validate");
  }
  const PlCadPrepStepSelectionComponent& component = record->components[index];
  // The review identity is computed last: it needs a mesh with triangles, and
  // it is the only comparison that costs a pass over the mesh.
  if (diagnostic.empty ||
      component.samePolicyOccurrenceSha256 != diagnostic.samePolicyOccurrenceSha256 ||
      component.placedMeshStreamSha256 != diagnostic.placedMeshStreamSha256 ||
      component.watertight != diagnostic.watertight ||
      component.untriangulatedBoundaryFaceCount != diagnostic.untriangulatedBoundaryFaceCount ||
      component.retainedTriangleCount != diagnostic.retainedTriangleCount ||
      component.reviewMeshStreamSha256 != PlCadPrepStepReviewMeshStreamSha256(mesh, *context)) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP component selection diagnostic evidence changed", "validate");
  }
  replayed[index] = true;

  switch (component.role) {
    case PlCadPrepStepComponentRole::exclude:
      busy = false;
      return;
    case PlCadPrepStepComponentRole::moldShell:
      moldShellPresent = true;
      break;
    case PlCadPrepStepComponentRole::fixture:
      fixturePresent = true;
      break;
    case PlCadPrepStepComponentRole::component:
      componentPresent = true;
      break;
    default:
      throw PlCadPrepError("step_component_selection_incomplete",
                           "STEP role composition contains an unreviewed component", "validate");
  }
  if (diagnostic.watertight) {
    ++watertightCount;
  } else {
    ++openCount;
  }
  AppendMeshTriangles(mesh, *builder, *context, [] {
    throw PlCadPrepError("invalid_step_component_mesh",
                         "STEP role composition has an out-of-range triangle index", "mesh");
  });
  busy = false;
}

void PlCadPrepStepRoleComposition::FinishRetainedComposition(
    const PlCadPrepStepSolidsImport& solids) {
  Begin("validate");
  if (composed) {
    throw PlCadPrepError("step_role_composition_complete", "STEP role composition is one-shot",
                         "validate");
  }
  const bool everyReplayed =
      std::all_of(replayed.begin(), replayed.end(), [](bool r) { return r; });
  if (!everyReplayed) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "STEP role composition did not replay every source component", "validate");
  }
  if (solids.surface.strictSourceProof) {
    throw PlCadPrepError("step_role_review_transfer_required",
                         "STEP role composition requires the review transfer first", "validate");
  }
  if (!solids.surface.retainedOnlyRemesh) {
    throw PlCadPrepError("step_role_retained_mesh_missing",
                         "STEP role composition requires a retained-only review remesh",
                         "validate");
  }
  // The per-solid meshes carry no deviation claim; the proven bound is set
  // when the result is taken.
  composedMesh = builder->Finish(0.0);
  builder.reset();

  const std::uint64_t componentCount = record->components.size();
  if (solids.surface.faceScope != kPlCadPrepStepScopeSolidsOnlyDiagnostic ||
      solids.source.sourceSha256 != record->sourceSha256 ||
      solids.classification.counters.classifiedSolidCount != componentCount ||
      solids.classification.counters.reviewedKeysMatchedCount != componentCount) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP component selection no longer covers the full source", "validate");
  }
  const std::uint64_t freeShells =
      record->hasFreeShellOverlay ? record->freeShellOverlay.freeShellOccurrenceCount : 0;
  const std::uint64_t closedFreeShells =
      record->hasFreeShellOverlay
          ? record->freeShellOverlay.edgeParityClosedFreeShellOccurrenceCount
          : 0;
  if (solids.census.freeShellCount != freeShells ||
      solids.census.closedFreeShellCount != closedFreeShells) {
    throw PlCadPrepError("step_component_selection_stale", "STEP source-surface inventory changed",
                         "validate");
  }
  // The entry check already holds this; the replay states its own completion
  // rule so that it never rests on an earlier step's guard.
  if (!std::all_of(replayed.begin(), replayed.end(), [](bool r) { return r; })) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "not every reviewed STEP component was replayed", "validate");
  }
  replayComplete = true;

  retainedMeshSha256 = PlCadPrepStepPlacedMeshStreamSha256(*composedMesh, *context);
  if (PlCadPrepStepPlacedMeshStreamSha256(solids.surface.mesh, *context) != retainedMeshSha256) {
    throw PlCadPrepError("step_role_retained_mesh_mismatch",
                         "retained STEP remesh differs from reviewed role composition", "mesh");
  }
  composed = true;
  busy = false;
}

void PlCadPrepStepRoleComposition::ProveRetainedDeviation(const PlCadPrepStepSolidsImport& solids) {
  Begin("heal");
  if (!composed || !composedMesh) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "measured STEP source deviation preceded role composition", "validate");
  }
  if (retainedProofDone) {
    throw PlCadPrepError("step_source_deviation_proof_complete",
                         "the STEP source-deviation bound is one-shot", "heal");
  }
  if (!solids.surface.retainedOnlyRemesh || solids.surface.strictSourceProof) {
    throw PlCadPrepError("step_source_deviation_proof_invalid",
                         "measured adoption requires the retained review transfer", "heal");
  }
  if (solids.source.sourceSha256 != record->sourceSha256) {
    throw PlCadPrepError("step_component_selection_stale",
                         "measured adoption used a different source", "heal");
  }
  // Until a physical overlay is merged, the composed mesh is the retained one.
  if (PlCadPrepStepPlacedMeshStreamSha256(solids.surface.mesh, *context) != retainedMeshSha256) {
    throw PlCadPrepError("step_source_deviation_proof_mismatch",
                         "measured adoption differs from the reviewed role composition", "heal");
  }
  const double tolerance = solids.surface.maxPlacedToleranceMm;
  if (!IsToleranceWithinBudget(solids.surface.tessellationComplete, tolerance)) {
    throw PlCadPrepError("step_source_deviation_unbounded",
                         "the measured review transfer exceeds the source-deviation budget",
                         "heal");
  }
  const double scaled = solids.surface.maxPlacementScale * linearDeflectionMm;
  if (!IsDeviationWithinBudget(tolerance, scaled)) {
    throw PlCadPrepError("step_source_deviation_unbounded",
                         "measured STEP surface deviation exceeds version 1", "heal");
  }
  sourceDeviationMm = tolerance + scaled;
  maxScaledDeflectionMm = scaled;
  maxPlacedToleranceMm = tolerance;
  retainedProofDone = true;
  busy = false;
}

void PlCadPrepStepRoleComposition::ReplaySourceSurface(const PlCadPrepStepFacesImport& freeShells) {
  Begin("validate");
  if (!composed || consumed) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "STEP source-surface replay preceded role composition", "validate");
  }
  if (!replayComplete || surfaceReplayed || !record->hasFreeShellOverlay) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "STEP source-surface replay is out of sequence", "validate");
  }
  const PlCadPrepStepSelectionOverlay& overlay = record->freeShellOverlay;
  // The two identities come last: each is a pass over the free-shell mesh.
  if (freeShells.surface.faceScope != kPlCadPrepStepScopeFreeShellsOnlyDiagnostic ||
      freeShells.source.sourceSha256 != record->sourceSha256 ||
      freeShells.census.freeShellCount != overlay.freeShellOccurrenceCount ||
      freeShells.tessellation.selectedFreeShellCount != overlay.selectedFreeShellOccurrenceCount ||
      freeShells.census.closedFreeShellCount != overlay.edgeParityClosedFreeShellOccurrenceCount ||
      freeShells.surface.mesh.triangles.size() != overlay.retainedTriangleCount ||
      freeShells.surface.mesh.watertight != overlay.watertight ||
      freeShells.surface.faceCounts.untriangulatedBoundaryFaceCount !=
          overlay.untriangulatedBoundaryFaceCount ||
      PlCadPrepStepPlacedMeshStreamSha256(freeShells.surface.mesh, *context) !=
          overlay.placedMeshStreamSha256 ||
      PlCadPrepStepReviewMeshStreamSha256(freeShells.surface.mesh, *context) !=
          overlay.reviewMeshStreamSha256) {
    throw PlCadPrepError("step_component_selection_stale",
                         "STEP source-surface review evidence changed", "validate");
  }
  surfaceReplayed = true;
  // Residue surfaces were reviewed but are not published.
  if (!PhysicalOverlay()) {
    busy = false;
    return;
  }

  if (!retainedProofDone || !composedMesh) {
    throw PlCadPrepError("step_source_deviation_proof_missing",
                         "physical STEP surfaces require the retained-solid deviation bound first",
                         "heal");
  }
  if (!freeShells.surface.tessellationComplete ||
      freeShells.surface.faceCounts.untriangulatedBoundaryFaceCount != 0) {
    throw PlCadPrepError("step_physical_free_shell_requires_healing",
                         "physical STEP source surfaces are incompletely tessellated", "heal");
  }
  PlTriangleMeshBuilder merged(PlMeshLimitsOf(*request), *context->cancellation, context);
  const auto badIndex = [] {
    throw PlCadPrepError("invalid_step_component_mesh",
                         "STEP physical surface has an out-of-range triangle index", "mesh");
  };
  AppendMeshTriangles(*composedMesh, merged, *context, badIndex);
  AppendMeshTriangles(freeShells.surface.mesh, merged, *context, badIndex);
  composedMesh = merged.Finish(0.0);
  physicalOverlayPrepared = true;
  busy = false;
}

void PlCadPrepStepRoleComposition::ProvePhysicalDeviation(
    const PlCadPrepStepFacesImport& freeShells) {
  Begin("heal");
  if (!retainedProofDone || !physicalOverlayPrepared || !composedMesh) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "measured STEP physical-surface deviation preceded review composition",
                         "validate");
  }
  if (physicalProofDone) {
    throw PlCadPrepError("step_source_deviation_proof_complete",
                         "the STEP physical-surface deviation bound is one-shot", "heal");
  }
  if (!PhysicalOverlay()) {
    throw PlCadPrepError("step_source_deviation_proof_invalid",
                         "measured physical-surface adoption has no reviewed physical overlay",
                         "heal");
  }
  if (freeShells.surface.faceScope != kPlCadPrepStepScopeFreeShellsOnlyDiagnostic ||
      freeShells.surface.strictSourceProof ||
      freeShells.source.sourceSha256 != record->sourceSha256 ||
      PlCadPrepStepPlacedMeshStreamSha256(freeShells.surface.mesh, *context) !=
          record->freeShellOverlay.placedMeshStreamSha256) {
    throw PlCadPrepError("step_source_deviation_proof_mismatch",
                         "measured physical surfaces differ from reviewed evidence", "heal");
  }
  const double tolerance = freeShells.surface.maxPlacedToleranceMm;
  if (!IsToleranceWithinBudget(freeShells.surface.tessellationComplete, tolerance)) {
    throw PlCadPrepError("step_source_deviation_unbounded",
                         "the measured free-shell transfer exceeds the source-deviation budget",
                         "heal");
  }
  const double scaled = freeShells.surface.maxPlacementScale * linearDeflectionMm;
  const double combinedTolerance = std::max(maxPlacedToleranceMm, tolerance);
  const double combinedScaled = std::max(maxScaledDeflectionMm, scaled);
  // The free-shell s is checked on its own first: max() would hide a NaN.
  if (!std::isfinite(scaled) || scaled < 0.0 ||
      !IsDeviationWithinBudget(combinedTolerance, combinedScaled)) {
    throw PlCadPrepError("step_source_deviation_unbounded",
                         "combined measured STEP surface deviation exceeds version 1", "heal");
  }
  sourceDeviationMm = combinedTolerance + combinedScaled;
  maxScaledDeflectionMm = combinedScaled;
  maxPlacedToleranceMm = combinedTolerance;
  physicalProofDone = true;
  busy = false;
}

PlCadPrepTriangleImport PlCadPrepStepRoleComposition::TakeComposedImport() {
  Begin("mesh");
  if (consumed) {
    throw PlCadPrepError("step_prepared_members_consumed",
                         "STEP prepared members were already consumed", "package");
  }
  if (!composed || !composedMesh) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "STEP role composition is incomplete", "mesh");
  }
  if (!replayComplete || (record->hasFreeShellOverlay && !surfaceReplayed)) {
    throw PlCadPrepError("step_component_selection_replay_incomplete",
                         "STEP component selection replay is incomplete", "validate");
  }
  if (!retainedProofDone) {
    throw PlCadPrepError("step_source_deviation_proof_missing",
                         "STEP role composition requires a bounded source deviation", "heal");
  }
  if (PhysicalOverlay() && (!physicalOverlayPrepared || !physicalProofDone)) {
    throw PlCadPrepError("step_physical_free_shell_requires_healing",
                         "physical STEP source surfaces require a bounded deviation", "heal");
  }

  PlCadPrepTriangleImport import;
  import.mesh = std::move(*composedMesh);
  composedMesh.reset();
  import.mesh.surfaceDeviationMm = sourceDeviationMm;
  import.sourceHash = record->sourceSha256;
  composedWatertight = import.mesh.watertight;
  consumed = true;
  busy = false;
  return import;
}

PlCadPrepComponentSelectionEvidence PlCadPrepStepRoleComposition::TakeEvidence() {
  PlRequire(consumed && !evidenceTaken,
            "STEP selection evidence is taken once, after the composed mesh");
  Begin("package");
  std::vector<std::string_view> roles;
  if (moldShellPresent) {
    roles.push_back(PlCadPrepStepComponentRoleName(PlCadPrepStepComponentRole::moldShell));
  }
  if (fixturePresent) {
    roles.push_back(PlCadPrepStepComponentRoleName(PlCadPrepStepComponentRole::fixture));
  }
  if (componentPresent) {
    roles.push_back(PlCadPrepStepComponentRoleName(PlCadPrepStepComponentRole::component));
  }
  const std::string_view decision =
      record->hasFreeShellOverlay
          ? PlCadPrepStepFreeShellDecisionName(record->freeShellOverlay.decision)
          : std::string_view("none");

  // Reserved before the evidence grows: its texts, the transform, the orientations.
  std::uint64_t bytes = 0;
  std::uint64_t orientationBytes = 0;
  bool fits = CheckedAdd(record->recordSha256.size(), record->sourceSha256.size(), bytes) &&
              CheckedAdd(bytes, sizeof(double) * request->sourceToMount.size(), bytes) &&
              CheckedMultiply(request->allowedOrientationsDeg.size(), sizeof(std::uint32_t),
                              orientationBytes) &&
              CheckedAdd(bytes, orientationBytes, bytes) &&
              CheckedAdd(bytes, decision.size(), bytes);
  for (const std::string_view role : roles) fits = fits && CheckedAdd(bytes, role.size(), bytes);
  if (!fits) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP provenance memory estimate overflowed",
                         "package");
  }
  evidenceMemory = ReserveMemory(*context, bytes, "package");

  PlCadPrepComponentSelectionEvidence evidence;
  evidence.evidenceIdentity = record->recordSha256;
  evidence.sourceIdentity = record->sourceSha256;
  evidence.sourceToMount = request->sourceToMount;
  evidence.orientationsDeg = request->allowedOrientationsDeg;
  evidence.retainedRoles.assign(roles.begin(), roles.end());
  evidence.freeShellDecision = std::string(decision);
  evidence.closedComponentCount = watertightCount;
  evidence.openComponentCount = openCount;
  // Physical surfaces that close the merged mesh close every retained component with it.
  if (PhysicalOverlay() && composedWatertight) {
    evidence.closedComponentCount = watertightCount + openCount;
    evidence.openComponentCount = 0;
  }
  evidence.sourceHealingDeviationBounded = retainedProofDone;
  evidence.sourceHealingDeviationMm = maxPlacedToleranceMm;
  evidence.tessellationDeviationMm = maxScaledDeflectionMm;
  evidenceTaken = true;
  busy = false;
  return evidence;
}

PlCadPrepStepRoleComposition PreparePlCadPrepStepRoleComposition(
    const PlCadPrepStepSelection& record, const PlCadPrepRequest& request,
    const PlCadPrepStepImportSettings& settings, const PlCadPrepOperationContext& context) {
  CheckRecordAgainstRequest(record, request, settings);
  const bool anyRetained =
      std::any_of(record.components.begin(), record.components.end(),
                  [](const PlCadPrepStepSelectionComponent& c) { return IsRetainedRole(c.role); });
  if (!anyRetained) {
    throw PlCadPrepError("step_role_composition_missing_component",
                         "STEP role composition retains no component", "preflight");
  }
  return PlCadPrepStepRoleComposition(record, request, context);
}
