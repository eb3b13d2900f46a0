#pragma once
// STEP ingestion: one call turns a STEP source into a placed millimetre mesh
// plus the evidence later STEP work relies on (source digest, units, transfer
// and shape counts, tessellation status, tolerance bounds, per-solid records).
// It either returns everything or throws; it never returns a partial result.
#include <TopoDS_Shape.hxx>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"
#include "kernel/occt_compat.h"
#include "kernel/tessellation.h"
#include "step/step_solid_diagnostics.h"
#include "kernel/triangle_extraction.h"

// Face scopes; their texts come from PlCadPrepStepFaceScopeName.
inline constexpr std::uint32_t kPlCadPrepStepScopeAllTransferredBoundaryFaces = 0;
inline constexpr std::uint32_t kPlCadPrepStepScopeSolidsOnlyDiagnostic = 1;
inline constexpr std::uint32_t kPlCadPrepStepScopeFreeShellsOnlyDiagnostic = 2;

// Largest accepted linear deflection; the angular one is bounded by pi.
inline constexpr double kPlCadPrepStepMaxLinearDeflectionMm = 15.0;
inline constexpr double kPlCadPrepStepMaxAngularDeflectionRadians = 3.141592653589793;

// The version 1 source-deviation budget, every bound inclusive: placed
// tolerance, scaled deflection, and their sum.
inline constexpr double kPlCadPrepStepMaxSourceToleranceMm = 5.0;
inline constexpr double kPlCadPrepStepMaxScaledDeflectionMm = 15.0;
inline constexpr double kPlCadPrepStepMaxSourceDeviationMm = 20.0;

// Stands for "no bound" wherever a deviation bound cannot be proven.
inline constexpr double kPlCadPrepStepUnboundedDeviationMm = 1.7976931348623157e308;

struct PlCadPrepStepImportOptions {
  double targetLinearDeflectionMm = 0.5;
  double angularDeflectionRadians = 0.5;
  std::uint32_t faceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  std::vector<std::string> reviewedOccurrenceKeys;
  std::vector<std::string> retainedOccurrenceKeys;
  // (same-policy occurrence key, expected placed-mesh-stream identity)
  std::vector<std::pair<std::string, std::string>> sourceProofPairs;
  std::string sourceProofMeshKey;
  bool strictSourceProof = false;
  bool measureSourceBoundsOnly = false;
};

// What the transferred shape holds. Occurrences count every appearance;
// distinct items count each (TShape, location) once.
struct PlCadPrepStepShapeCensus {
  std::string shapeType;  // "compound", "solid", ..., "shape", else "unknown"
  std::uint64_t directChildCount = 0;
  std::uint64_t directCompoundCount = 0;
  std::uint64_t directCompsolidCount = 0;
  std::uint64_t directSolidCount = 0;
  std::uint64_t directShellCount = 0;
  std::uint64_t directFaceCount = 0;
  std::uint64_t directOtherCount = 0;
  std::uint64_t compsolidOccurrenceCount = 0;
  std::uint64_t solidOccurrenceCount = 0;
  std::uint64_t distinctSolidCount = 0;
  std::uint64_t shellOccurrenceCount = 0;
  std::uint64_t closedShellOccurrenceCount = 0;
  std::uint64_t distinctShellCount = 0;
  std::uint64_t freeShellCount = 0;  // shells outside every solid
  std::uint64_t closedFreeShellCount = 0;
  std::uint64_t wireOccurrenceCount = 0;
  std::uint64_t edgeOccurrenceCount = 0;
  std::uint64_t vertexOccurrenceCount = 0;
};

struct PlCadPrepStepImport {
  std::string sourceSha256;
  std::uint64_t sourceBytes = 0;
  std::vector<std::string> declaredLengthUnits;
  bool mixedLengthUnits = false;
  std::uint64_t rootCount = 0;
  std::uint64_t transferredRootCount = 0;
  PlCadPrepStepShapeCensus census;
  std::uint32_t faceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  std::uint64_t selectedSolidCount = 0;
  std::uint64_t selectedFreeShellCount = 0;
  // Of the first tessellation pass, and effective (the retained-only remesh when it ran).
  std::uint32_t meshStatusFlags = 0;
  std::vector<std::string> meshStatusNames;
  std::uint32_t effectiveMeshStatusFlags = 0;
  std::vector<std::string> effectiveMeshStatusNames;
  bool retainedOnlyRemesh = false;
  std::uint64_t triangulationMemoryEstimateBytes = 0;
  double maxSubshapeToleranceMm = 0.0;
  double maxPlacedToleranceMm = 0.0;
  double maxPlacementScale = 1.0;
  // The face and triangle counters of the extraction.
  PlCadPrepTriangleCounters faceCounts;
  bool tessellationComplete = false;
  bool sourceDeviationBounded = false;
  bool strictSourceProof = false;
  bool sourceProofKeyGiven = false;
  // Bounds-only mode: the whole transferred shape and the solids.
  PlPoint3 sourceBoundsMin = {0.0, 0.0, 0.0};
  PlPoint3 sourceBoundsMax = {0.0, 0.0, 0.0};
  PlPoint3 solidBoundsMin = {0.0, 0.0, 0.0};
  PlPoint3 solidBoundsMax = {0.0, 0.0, 0.0};
  bool boundsFinite = false;
  // Solids-only scope.
  std::vector<PlCadPrepStepSolidDiagnostic> solidDiagnostics;
  PlCadPrepStepSolidCounters solidCounters;
  // Empty in bounds-only mode; its surfaceDeviationMm is the deviation bound.
  PlGeometryMesh mesh;
};

// The shape-fix parameters of one import: the reader's defaults with the
// topology- and geometry-modification modes off, and every mode off in strict
// source-proof mode, so that a strict import heals nothing.
PlCadPrepStepShapeFixParameters PlCadPrepStepImportShapeFixParameters(bool strictSourceProof);

// Imports request.inputPath. Either callback may be empty. Throws
// PlCadPrepError with the stage in force ("preflight", "import", "heal", "mesh"
// or "validate" for stale selections).
PlCadPrepStepImport ImportPlCadPrepStep(
    const PlCadPrepRequest& request, const PlCadPrepStepImportOptions& options,
    const PlCadPrepOperationContext& context, const ProgressCallback& progress,
    const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic);
