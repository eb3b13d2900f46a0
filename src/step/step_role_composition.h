#pragma once
// The replay of a reviewed component selection against fresh STEP imports: it
// proves every reviewed solid is still there with the same identities, composes
// the retained solids into one mesh by role, proves a bounded deviation from the
// source surfaces, and hands out the derived members with the selection evidence.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"
#include "step/component_selection_evidence.h"
#include "step/step_import_settings.h"
#include "step/step_scope_import.h"
#include "step/step_selection_record.h"
#include "step/step_solid_diagnostics.h"

class PlTriangleMeshBuilder;

// The settings a record is replayed with: the request's source, units and
// sourceToMount with the record's deflections.
PlCadPrepStepImportSettings PlCadPrepStepReplaySettings(const PlCadPrepStepSelection& record,
                                                        const PlCadPrepRequest& request);

// The keys the solids import of a replay is held to: every component's
// same-policy key as reviewed (record order) and the keys of the mold_shell,
// fixture and component roles as retained. The free-shell import of an
// overlay takes no keys and no strict proof.
PlCadPrepStepOccurrenceKeys PlCadPrepStepReplayKeys(const PlCadPrepStepSelection& record);

// One per STEP prepare run. Its steps run once each, in declaration order; a
// step that throws leaves the object failed, and every later step then throws
// "step_role_composition_failed". The record, request and context given to the
// factory must outlive the object.
class PlCadPrepStepRoleComposition {
 public:
  PlCadPrepStepRoleComposition(PlCadPrepStepRoleComposition&&) noexcept;
  PlCadPrepStepRoleComposition& operator=(PlCadPrepStepRoleComposition&&) noexcept;
  PlCadPrepStepRoleComposition(const PlCadPrepStepRoleComposition&) = delete;
  PlCadPrepStepRoleComposition& operator=(const PlCadPrepStepRoleComposition&) = delete;
  ~PlCadPrepStepRoleComposition();

  // The per-solid mesh callback of the solids import: replays the solid's
  // record component and adds a retained one's triangles to the composition.
  void ComposeSolid(const PlCadPrepStepSolidDiagnostic& diagnostic, const PlGeometryMesh& mesh);

  // After the solids import: finishes the composed mesh, completes the replay
  // and proves the import's retained-only remesh is that same mesh.
  void FinishRetainedComposition(const PlCadPrepStepSolidsImport& solids);

  // The measured deviation bound of the retained remesh (stage "heal").
  void ProveRetainedDeviation(const PlCadPrepStepSolidsImport& solids);

  // Records with a free-shell overlay only: replays the free-shell import, and
  // for a physical decision merges its surfaces after the retained solids.
  void ReplaySourceSurface(const PlCadPrepStepFacesImport& freeShells);

  // Physical decision only: the deviation bound combined with the free shells.
  void ProvePhysicalDeviation(const PlCadPrepStepFacesImport& freeShells);

  // Once: the composed mesh with its proven bound and the source digest.
  PlCadPrepTriangleImport TakeComposedImport();

  // Once, after TakeComposedImport and after the members derived from its mesh:
  // reserves the evidence's memory (stage "package"), held until the object is
  // destroyed, and returns the selection evidence.
  PlCadPrepComponentSelectionEvidence TakeEvidence();

 private:
  friend PlCadPrepStepRoleComposition PreparePlCadPrepStepRoleComposition(
      const PlCadPrepStepSelection& record, const PlCadPrepRequest& request,
      const PlCadPrepStepImportSettings& settings, const PlCadPrepOperationContext& context);

  PlCadPrepStepRoleComposition(const PlCadPrepStepSelection& record,
                               const PlCadPrepRequest& request,
                               const PlCadPrepOperationContext& context);

  // Refuses a failed object under `stage`, then marks the step running.
  void Begin(const char* stage);
  bool PhysicalOverlay() const;

  const PlCadPrepStepSelection* record;
  const PlCadPrepRequest* request;
  const PlCadPrepOperationContext* context;
  double linearDeflectionMm = 0.0;
  std::vector<bool> replayed;
  std::unique_ptr<PlTriangleMeshBuilder> builder;
  std::optional<PlGeometryMesh> composedMesh;
  std::string retainedMeshSha256;
  bool moldShellPresent = false;
  bool fixturePresent = false;
  bool componentPresent = false;
  std::uint64_t watertightCount = 0;
  std::uint64_t openCount = 0;
  bool replayComplete = false;
  bool surfaceReplayed = false;
  bool composed = false;
  bool retainedProofDone = false;
  bool physicalOverlayPrepared = false;
  bool physicalProofDone = false;
  bool consumed = false;
  bool evidenceTaken = false;
  bool busy = false;
  // Whether the taken mesh is closed; physical surfaces that close it close
  // every retained component with it.
  bool composedWatertight = false;
  PlCadPrepMemoryReservation evidenceMemory;
  double sourceDeviationMm = 0.0;
  double maxScaledDeflectionMm = 0.0;
  double maxPlacedToleranceMm = 0.0;
};

// Checks the record against the request and the replay's import settings
// (stage "preflight") and creates the composition; at least one component must
// have a retained role ("step_role_composition_missing_component").
PlCadPrepStepRoleComposition PreparePlCadPrepStepRoleComposition(
    const PlCadPrepStepSelection& record, const PlCadPrepRequest& request,
    const PlCadPrepStepImportSettings& settings, const PlCadPrepOperationContext& context);
