#pragma once
// STEP ingestion as one object per source. Opening it snapshots and parses the
// source once; its phases then transfer the roots, count what they hold,
// measure bounds, tessellate a face scope, classify solids and extract the
// placed millimetre triangles, each returning its own result or throwing.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "kernel/occt_compat.h"
#include "kernel/triangle_extraction.h"
#include "mesh/geometry_mesh.h"
#include "step/step_import_settings.h"
#include "step/step_shape_queries.h"
#include "step/step_solid_diagnostics.h"

// The version 1 source-deviation budget, every bound inclusive: placed
// tolerance, scaled deflection, and their sum.
inline constexpr double kPlCadPrepStepMaxSourceToleranceMm = 5.0;
inline constexpr double kPlCadPrepStepMaxScaledDeflectionMm = 15.0;
inline constexpr double kPlCadPrepStepMaxSourceDeviationMm = 20.0;

// Stands for "no bound" wherever a deviation bound cannot be proven.
inline constexpr double kPlCadPrepStepUnboundedDeviationMm = 1.7976931348623157e308;

// The source as opened: its identity, declared length units and root count.
struct PlCadPrepStepSourceFacts {
  std::string sourceSha256;
  std::uint64_t sourceBytes = 0;
  std::vector<std::string> declaredLengthUnits;
  bool mixedLengthUnits = false;
  std::uint64_t rootCount = 0;
};

// The exact boxes of the whole transferred shape and of its solids.
struct PlCadPrepStepBounds {
  std::uint64_t selectedSolidCount = 0;
  PlPoint3 sourceBoundsMin = {0.0, 0.0, 0.0};
  PlPoint3 sourceBoundsMax = {0.0, 0.0, 0.0};
  PlPoint3 solidBoundsMin = {0.0, 0.0, 0.0};
  PlPoint3 solidBoundsMax = {0.0, 0.0, 0.0};
};

// The first tessellation of a face scope's selection.
struct PlCadPrepStepTessellation {
  std::uint32_t faceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  std::uint64_t selectedSolidCount = 0;      // solids scope
  std::uint64_t selectedFreeShellCount = 0;  // free-shells scope
  std::uint32_t meshStatusFlags = 0;
  std::vector<std::string> meshStatusNames;
  std::uint64_t triangulationMemoryEstimateBytes = 0;
};

// The placed mesh of the tessellated selection (or of the retained solids
// after their remesh) with the evidence of how far it may be from the source.
struct PlCadPrepStepSurface {
  std::uint32_t faceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  bool strictSourceProof = false;
  bool retainedOnlyRemesh = false;
  // The mesher status of the pass the triangles come from.
  std::uint32_t effectiveMeshStatusFlags = 0;
  std::vector<std::string> effectiveMeshStatusNames;
  double maxSubshapeToleranceMm = 0.0;
  double maxPlacedToleranceMm = 0.0;
  double maxPlacementScale = 1.0;
  PlCadPrepTriangleCounters faceCounts;
  bool tessellationComplete = false;
  bool sourceDeviationBounded = false;
  // Its surfaceDeviationMm is the deviation bound.
  PlGeometryMesh mesh;
};

// The shape-fix parameters of one import: the reader's defaults with the
// topology- and geometry-modification modes off, and every mode off in strict
// source-proof mode, so that a strict import heals nothing.
PlCadPrepStepShapeFixParameters PlCadPrepStepImportShapeFixParameters(bool strictSourceProof);

// One opened STEP source. The phases run at most once each, in this order:
// Transfer, TakeCensus, then either MeasureBounds or Tessellate, then (solids
// scope) ClassifySolids and, when its keys retain solids, RemeshRetained, and
// finally ExtractTriangles. Calling them out of order is a program fault
// (std::logic_error). Every phase throws PlCadPrepError under the stage in
// force when it fails, kernel and allocation failures included. The kernel's
// global reader settings are the import's from opening until destruction, so
// one source is open at a time. Context and settings must outlive the object.
class PlCadPrepStepSource {
 public:
  // Validates the settings (stage "preflight"), then snapshots, parses and
  // load-checks the source, reads its length units and counts its roots
  // (stage "import"), reporting the snapshot's bytes under "import".
  PlCadPrepStepSource(const PlCadPrepStepImportSettings& settings,
                      const PlCadPrepOperationContext& context, const ProgressCallback& progress);
  PlCadPrepStepSource(const PlCadPrepStepSource&) = delete;
  PlCadPrepStepSource& operator=(const PlCadPrepStepSource&) = delete;
  ~PlCadPrepStepSource();

  const PlCadPrepStepSourceFacts& Facts() const;

  // Transfers every root, healing with PlCadPrepStepImportShapeFixParameters,
  // and proves each produced a shape (stage "heal"). Returns the transferred
  // root count.
  std::uint64_t Transfer(bool strictSourceProof, const ProgressCallback& progress);

  // Counts the transferred shape (stage "heal").
  PlCadPrepStepShapeCensus TakeCensus();

  // Measures without tessellating: "step_no_selected_solids" (stage "heal")
  // without a solid, "step_bounds_unbounded" (stage "mesh") unless both boxes
  // are finite.
  PlCadPrepStepBounds MeasureBounds();

  // Selects the faces of `faceScope` (0, 1 or 2; stage "heal", an empty
  // solids or free-shell selection fails) and tessellates them (stage "mesh")
  // over [0, 500] of the mesh progress when a retained remesh follows, else
  // over all of it, then reserves the triangulation's estimated memory until
  // destruction.
  PlCadPrepStepTessellation Tessellate(std::uint32_t faceScope, bool remeshFollows,
                                       const ProgressCallback& progress);

  // Solids scope only: classifies every selected solid against `keys`
  // (sorted, as ValidatePlCadPrepStepOccurrenceKeys returns them) and keeps
  // the retained and proven solids for RemeshRetained. The callbacks are
  // those of ClassifyPlCadPrepStepSolids.
  PlCadPrepStepSolidClassification ClassifySolids(
      const PlCadPrepStepOccurrenceKeys& keys, const PlCadPrepStepSolidMeshCallback& onSolidMesh,
      const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic);

  // Meshes the retained solids again on their own over [500, 1000] of the
  // mesh progress (stage "mesh"); their triangles then replace the selection's.
  // When every selected solid is retained, that pass would repeat the first
  // one exactly, so its steps, reservation and status are replayed instead.
  void RemeshRetained(const ProgressCallback& progress);

  // Bounds the subshape tolerances (stage "heal"), then extracts and places
  // the triangles (stage "mesh"): "step_no_faces" without a boundary face.
  PlCadPrepStepSurface ExtractTriangles();

 private:
  struct State;
  std::unique_ptr<State> state;
};
