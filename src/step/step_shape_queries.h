#pragma once
// What the import asks of a transferred shape: its census, the faces of a
// scope, the exact box, the size of its triangulations and the bound of its
// subshape tolerances. Each polls the run's context as it walks the shape.
#include <TopoDS_Shape.hxx>
#include <cstdint>
#include <string>
#include <string_view>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "step/step_import_settings.h"

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

// The faces a scope keeps: the whole shape (scope 0), a compound of the
// distinct solids (1), or of the distinct shells outside every solid (2).
struct PlCadPrepStepFaceSelection {
  TopoDS_Shape shape;
  std::uint64_t solidCount = 0;
  std::uint64_t freeShellCount = 0;
};

// The largest raw and placed subshape tolerance and placement scale.
struct PlCadPrepStepToleranceBound {
  double maxSubshapeToleranceMm = 0.0;
  double maxPlacedToleranceMm = 0.0;
  double maxPlacementScale = 1.0;
};

// Polls the context before the first item and then every `interval` items.
class PlCadPrepStepItemCheckpoint {
 public:
  PlCadPrepStepItemCheckpoint(const PlCadPrepOperationContext& runContext,
                              std::string_view stageName, std::uint64_t everyItems)
      : context(runContext), stage(stageName), interval(everyItems) {}
  void Tick() {
    if (count % interval == 0) CheckpointStage(context, stage);
    ++count;
  }

 private:
  const PlCadPrepOperationContext& context;
  std::string_view stage;
  std::uint64_t interval;
  std::uint64_t count = 0;
};

// Occurrences count every appearance under the transferred shape; distinct
// counts identify items by TShape and location (stage "heal").
PlCadPrepStepShapeCensus CountPlCadPrepStepShape(const TopoDS_Shape& shape,
                                                 const PlCadPrepOperationContext& context);

// The faces of `faceScope`; with `requireSome`, an empty solids or free-shell
// selection fails (stage "heal").
PlCadPrepStepFaceSelection SelectPlCadPrepStepFaces(const TopoDS_Shape& shape,
                                                    std::uint32_t faceScope, bool requireSome,
                                                    const PlCadPrepOperationContext& context);

// The box of the exact geometry (triangulations are not used). False when it
// is void, not finite, or inverted, since it then bounds nothing.
bool MeasurePlCadPrepStepBox(const TopoDS_Shape& shape, PlPoint3& boundsMin, PlPoint3& boundsMax);

// What the triangulations of `shape` hold, on top of `baseBytes` (stage "mesh").
std::uint64_t EstimatePlCadPrepStepTriangulationBytes(const TopoDS_Shape& shape,
                                                      std::uint64_t baseBytes,
                                                      const PlCadPrepOperationContext& context);

// The largest raw and placed tolerance over the distinct boundary faces of
// `shape` and their distinct edges and vertices (stage "heal"). The shape maps
// are reserved from a first counting pass before they are built.
PlCadPrepStepToleranceBound BoundPlCadPrepStepTolerances(const TopoDS_Shape& shape,
                                                         const PlCadPrepOperationContext& context);
