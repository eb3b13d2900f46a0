#include "step/step_selection_writer.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json_text.h"
#include "mesh/geometry_mesh.h"
#include "request/step_side_requests.h"
#include "step/step_review_model.h"
#include "step/step_scope_import.h"
#include "step/step_selection_record.h"
#include "step/step_side_command.h"
#include "step/step_solid_diagnostics.h"

namespace {

void AppendDouble(std::string& out, double v) {
  // The request check has already refused non-finite deflections and matrices.
  PlRequire(AppendJsonGeneral17Double(out, v), "a selection record number is not finite");
}

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

void WriteOverlay(JsonTextWriter& json, const PlCadPrepStepSelectionOverlay& overlay) {
  json.BeginObject("freeShellOverlay");
  json.String("decision", PlCadPrepStepFreeShellDecisionName(overlay.decision));
  json.Unsigned("freeShellOccurrenceCount", overlay.freeShellOccurrenceCount);
  json.Unsigned("selectedFreeShellOccurrenceCount", overlay.selectedFreeShellOccurrenceCount);
  json.Unsigned("edgeParityClosedFreeShellOccurrenceCount",
                overlay.edgeParityClosedFreeShellOccurrenceCount);
  json.Unsigned("retainedTriangleCount", overlay.retainedTriangleCount);
  json.String("placedMeshStreamSha256", overlay.placedMeshStreamSha256);
  json.String("reviewMeshStreamSha256", overlay.reviewMeshStreamSha256);
  json.Bool("watertight", overlay.watertight);
  json.Unsigned("untriangulatedBoundaryFaceCount", overlay.untriangulatedBoundaryFaceCount);
  json.EndObject();
}

void WriteComponent(JsonTextWriter& json, const PlCadPrepStepSelectionComponent& component) {
  json.BeginObject();
  json.Unsigned("selectedSolidOrdinal", component.selectedSolidOrdinal);
  json.String("samePolicyOccurrenceSha256", component.samePolicyOccurrenceSha256);
  json.String("placedMeshStreamSha256", component.placedMeshStreamSha256);
  json.String("reviewMeshStreamSha256", component.reviewMeshStreamSha256);
  json.String("role", PlCadPrepStepComponentRoleName(component.role));
  json.Bool("watertight", component.watertight);
  json.Unsigned("untriangulatedBoundaryFaceCount", component.untriangulatedBoundaryFaceCount);
  json.Unsigned("retainedTriangleCount", component.retainedTriangleCount);
  json.EndObject();
}

std::string ComposeRecordText(const PlCadPrepStepRecordRequest& request,
                              std::string_view sourceSha256,
                              const std::vector<PlCadPrepStepSelectionComponent>& components,
                              const PlCadPrepStepSelectionOverlay* overlay) {
  const auto geometryIssues = std::count_if(components.begin(), components.end(), [](auto& c) {
    return !c.watertight || c.untriangulatedBoundaryFaceCount > 0;
  });
  std::string out;
  JsonTextWriter json(out);
  json.BeginObject();
  json.String("schema", kPlCadPrepStepSelectionSchema);
  json.String("reviewSchema", kPlCadPrepStepReviewSchema);
  json.String("sourceSha256", sourceSha256);
  json.String("diagnosticPolicy", kPlCadPrepStepDiagnosticPolicy);
  json.String("faceScope", PlCadPrepStepFaceScopeName(kPlCadPrepStepScopeSolidsOnlyDiagnostic));
  AppendDouble(json.Key("targetLinearDeflectionMm"), request.targetLinearDeflectionMm);
  AppendDouble(json.Key("angularDeflectionRadians"), kPlCadPrepStepSideAngularDeflectionRadians);
  json.BeginArray("sourceToMount");
  for (const double v : request.sourceToMount) AppendDouble(json.Element(), v);
  json.EndArray();
  json.BeginArray("allowedOrientationsDeg");
  for (const std::int32_t degrees : request.allowedOrientationsDeg) {
    // Orientations are read as unsigned integers below 360.
    PlRequire(degrees >= 0, "a selection record orientation is negative");
    json.Unsigned(static_cast<std::uint64_t>(degrees));
  }
  json.EndArray();
  json.Bool("roleReviewComplete", true);
  json.Bool("authoritative", false);
  json.Bool("collisionReady", false);
  json.Unsigned("unreviewedComponentCount", 0);
  json.Unsigned("geometryIssueComponentCount", static_cast<std::uint64_t>(geometryIssues));
  if (overlay != nullptr) {
    WriteOverlay(json, *overlay);
  } else {
    json.Key("freeShellOverlay") += "null";
  }
  json.BeginArray("components");
  for (const PlCadPrepStepSelectionComponent& component : components) {
    WriteComponent(json, component);
  }
  json.EndArray();
  json.EndObject();
  return out;
}

}  // namespace

void WritePlCadPrepStepSelectionRecord(const PlCadPrepStepRecordRequest& request,
                                       const PlCadPrepCancellation& cancellation,
                                       const ProgressCallback& progress) {
  ValidatePlCadPrepStepRecordRequest(request);
  const PlCadPrepOperationContext context = PlCadPrepStepSideContext(request, cancellation);
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
