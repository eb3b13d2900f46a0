// The select command: imports the solids (and the free shells when the source
// has any), turns the request's exclusions and free-shell decision into a
// component-selection record, proves the text with the record reader and
// writes it by exclusive creation.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_text.h"
#include "mesh/geometry_mesh.h"
#include "request/step_side_requests.h"
#include "step/step_scope_import.h"
#include "step/step_review_model.h"
#include "step/step_selection_record.h"
#include "step/step_side_command.h"
#include "step/step_solid_diagnostics.h"

namespace {

void AppendDouble(std::string& out, double v) {
  // The request check has already refused non-finite deflections and matrices.
  if (!AppendJsonGeneral17Double(out, v)) {
    throw std::logic_error("a selection record number is not finite");
  }
}

void AppendFlag(std::string& out, bool v) { out += v ? "true" : "false"; }

PlCadPrepStepSelectionOverlay MeasureFreeShells(const PlCadPrepStepImportSettings& settings,
                                                const PlCadPrepStepRecordRequest& request,
                                                const PlCadPrepOperationContext& context,
                                                const ProgressCallback& progress) {
  const PlCadPrepStepFacesImport shells = ImportPlCadPrepStepFaces(
      settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {}, context, progress);
  const PlGeometryMesh& mesh = shells.surface.mesh;
  PlCadPrepStepSelectionOverlay evidence;
  evidence.decision = request.freeShellDecision == "physical"
                          ? PlCadPrepStepFreeShellDecision::physical
                          : PlCadPrepStepFreeShellDecision::residue;
  evidence.freeShellOccurrenceCount = shells.census.freeShellCount;
  evidence.selectedFreeShellOccurrenceCount = shells.tessellation.selectedFreeShellCount;
  evidence.edgeParityClosedFreeShellOccurrenceCount = shells.census.closedFreeShellCount;
  evidence.retainedTriangleCount = mesh.triangles.size();
  evidence.placedMeshStreamSha256 = PlCadPrepStepPlacedMeshStreamSha256(mesh, context);
  evidence.reviewMeshStreamSha256 = PlCadPrepStepReviewMeshStreamSha256(mesh, context);
  // The same closed-mesh test that decides a solid's watertight flag.
  evidence.watertight = mesh.watertight;
  evidence.untriangulatedBoundaryFaceCount =
      shells.surface.faceCounts.untriangulatedBoundaryFaceCount;
  return evidence;
}

void AppendOverlay(std::string& out, const PlCadPrepStepSelectionOverlay& overlay) {
  out += "{\"decision\":";
  AppendJsonString(out, PlCadPrepStepFreeShellDecisionName(overlay.decision));
  out += ",\"freeShellOccurrenceCount\":";
  AppendJsonUnsigned(out, overlay.freeShellOccurrenceCount);
  out += ",\"selectedFreeShellOccurrenceCount\":";
  AppendJsonUnsigned(out, overlay.selectedFreeShellOccurrenceCount);
  out += ",\"edgeParityClosedFreeShellOccurrenceCount\":";
  AppendJsonUnsigned(out, overlay.edgeParityClosedFreeShellOccurrenceCount);
  out += ",\"retainedTriangleCount\":";
  AppendJsonUnsigned(out, overlay.retainedTriangleCount);
  out += ",\"placedMeshStreamSha256\":";
  AppendJsonString(out, overlay.placedMeshStreamSha256);
  out += ",\"reviewMeshStreamSha256\":";
  AppendJsonString(out, overlay.reviewMeshStreamSha256);
  out += ",\"watertight\":";
  AppendFlag(out, overlay.watertight);
  out += ",\"untriangulatedBoundaryFaceCount\":";
  AppendJsonUnsigned(out, overlay.untriangulatedBoundaryFaceCount);
  out += '}';
}

void AppendComponent(std::string& out, const PlCadPrepStepSelectionComponent& component) {
  out += "{\"selectedSolidOrdinal\":";
  AppendJsonUnsigned(out, component.selectedSolidOrdinal);
  out += ",\"samePolicyOccurrenceSha256\":";
  AppendJsonString(out, component.samePolicyOccurrenceSha256);
  out += ",\"placedMeshStreamSha256\":";
  AppendJsonString(out, component.placedMeshStreamSha256);
  out += ",\"reviewMeshStreamSha256\":";
  AppendJsonString(out, component.reviewMeshStreamSha256);
  out += ",\"role\":";
  AppendJsonString(out, PlCadPrepStepComponentRoleName(component.role));
  out += ",\"watertight\":";
  AppendFlag(out, component.watertight);
  out += ",\"untriangulatedBoundaryFaceCount\":";
  AppendJsonUnsigned(out, component.untriangulatedBoundaryFaceCount);
  out += ",\"retainedTriangleCount\":";
  AppendJsonUnsigned(out, component.retainedTriangleCount);
  out += '}';
}

std::string ComposeRecordText(const PlCadPrepStepRecordRequest& request,
                              std::string_view sourceSha256,
                              const std::vector<PlCadPrepStepSelectionComponent>& components,
                              const PlCadPrepStepSelectionOverlay* overlay) {
  const auto geometryIssues = std::count_if(components.begin(), components.end(), [](auto& c) {
    return !c.watertight || c.untriangulatedBoundaryFaceCount > 0;
  });
  std::string out = "{\"schema\":";
  AppendJsonString(out, kPlCadPrepStepSelectionSchema);
  out += ",\"reviewSchema\":";
  AppendJsonString(out, kPlCadPrepStepReviewSchema);
  out += ",\"sourceSha256\":";
  AppendJsonString(out, sourceSha256);
  out += ",\"diagnosticPolicy\":";
  AppendJsonString(out, kPlCadPrepStepDiagnosticPolicy);
  out += ",\"faceScope\":";
  AppendJsonString(out, PlCadPrepStepFaceScopeName(kPlCadPrepStepScopeSolidsOnlyDiagnostic));
  out += ",\"targetLinearDeflectionMm\":";
  AppendDouble(out, request.targetLinearDeflectionMm);
  out += ",\"angularDeflectionRadians\":";
  AppendDouble(out, kPlCadPrepStepSideAngularDeflectionRadians);
  out += ",\"sourceToMount\":[";
  for (std::size_t i = 0; i < request.sourceToMount.size(); ++i) {
    if (i > 0) out += ',';
    AppendDouble(out, request.sourceToMount[i]);
  }
  out += "],\"allowedOrientationsDeg\":[";
  for (std::size_t i = 0; i < request.allowedOrientationsDeg.size(); ++i) {
    if (i > 0) out += ',';
    // Orientations are read as unsigned integers below 360.
    if (request.allowedOrientationsDeg[i] < 0) {
      throw std::logic_error("a selection record orientation is negative");
    }
    AppendJsonUnsigned(out, static_cast<std::uint64_t>(request.allowedOrientationsDeg[i]));
  }
  out += "],\"roleReviewComplete\":true,\"authoritative\":false,\"collisionReady\":false";
  out += ",\"unreviewedComponentCount\":0,\"geometryIssueComponentCount\":";
  AppendJsonUnsigned(out, static_cast<std::uint64_t>(geometryIssues));
  out += ",\"freeShellOverlay\":";
  if (overlay != nullptr) {
    AppendOverlay(out, *overlay);
  } else {
    out += "null";
  }
  out += ",\"components\":[";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) out += ',';
    AppendComponent(out, components[i]);
  }
  out += "]}";
  return out;
}

}  // namespace

void WritePlCadPrepStepSelectionRecord(const PlCadPrepStepRecordRequest& request,
                                       const PlCadPrepCancellation& cancellation,
                                       const ProgressCallback& progress) {
  ValidatePlCadPrepStepRecordRequest(request);
  const PlCadPrepOperationContext context =
      MakePlCadPrepOperationContext(PlCadPrepStepSideLimits(request), cancellation);
  const PlCadPrepStepImportSettings settings =
      PlCadPrepStepSideImportSettings(request, request.sourceToMount);

  std::vector<PlCadPrepStepSelectionComponent> components;
  std::string sourceSha256;
  std::uint64_t freeShellCount = 0;
  {
    // Only the per-solid evidence outlives the solids import; its mesh is let go here.
    const PlCadPrepStepSolidMeshCallback collect = [&](const PlCadPrepStepSolidDiagnostic& solid,
                                                       const PlGeometryMesh& mesh) {
      PlCadPrepStepSelectionComponent component;
      component.selectedSolidOrdinal = solid.selectedSolidOrdinal;
      component.samePolicyOccurrenceSha256 = solid.samePolicyOccurrenceSha256;
      component.placedMeshStreamSha256 = solid.placedMeshStreamSha256;
      component.reviewMeshStreamSha256 = PlCadPrepStepReviewMeshStreamSha256(mesh, context);
      component.watertight = solid.watertight;
      component.untriangulatedBoundaryFaceCount = solid.untriangulatedBoundaryFaceCount;
      component.retainedTriangleCount = solid.retainedTriangleCount;
      components.push_back(std::move(component));
    };
    const PlCadPrepStepSolidsImport solids =
        ImportPlCadPrepStepSolids(settings, {}, context, progress, collect, {});
    sourceSha256 = solids.source.sourceSha256;
    freeShellCount = solids.census.freeShellCount;
  }

  if (components.empty()) {
    throw PlCadPrepError("step_no_placed_solid",
                         "the STEP source contains no placed solid to retain", "import");
  }
  const std::vector<std::uint64_t>& excluded = request.excludedSolidOrdinals;
  if (!excluded.empty() &&
      *std::max_element(excluded.begin(), excluded.end()) > components.size()) {
    throw PlCadPrepError("invalid_excluded_solid",
                         "a solid was excluded that this source does not contain", "import");
  }
  // Exclusions are unique and name collected solids by now, so this counts distinct solids.
  if (excluded.size() >= components.size()) {
    throw PlCadPrepError("invalid_excluded_solid",
                         "every solid was excluded, so there is no mold left to publish", "import");
  }
  for (PlCadPrepStepSelectionComponent& component : components) {
    const bool isExcluded = std::find(excluded.begin(), excluded.end(),
                                      component.selectedSolidOrdinal) != excluded.end();
    component.role =
        isExcluded ? PlCadPrepStepComponentRole::exclude : PlCadPrepStepComponentRole::component;
  }

  const bool decided =
      request.freeShellDecision == "physical" || request.freeShellDecision == "residue";
  if (freeShellCount > 0 && !decided) {
    throw PlCadPrepError("invalid_free_shell_decision",
                         "the source has free shells, so they must be decided physical or residue",
                         "import");
  }
  if (freeShellCount == 0 && request.freeShellDecision != "none") {
    throw PlCadPrepError("invalid_free_shell_decision",
                         "the source has no free shell, so the decision must be none", "import");
  }
  PlCadPrepStepSelectionOverlay overlay;
  if (freeShellCount > 0) overlay = MeasureFreeShells(settings, request, context, progress);

  const std::string text =
      ComposeRecordText(request, sourceSha256, components, freeShellCount > 0 ? &overlay : nullptr);
  // The reader is the contract: a record it refuses is never written.
  (void)ParsePlCadPrepStepSelectionRecord(text, context);
  WritePlCadPrepStepRecordFile(request.outputPath, text, context,
                               "the selection record could not be written");
}
