#include "step/step_shape_queries.h"

#include <BRepBndLib.hxx>
#include <BRep_Tool.hxx>
#include <Bnd_Box.hxx>
#include <Poly_Triangulation.hxx>
#include <TopAbs_Orientation.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopTools_MapOfShape.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Builder.hxx>
#include <TopoDS_Compound.hxx>
#include <TopoDS_Iterator.hxx>
#include <cmath>
#include <cstddef>
#include <gp_Trsf.hxx>

#include "core/checked.h"

namespace {

constexpr std::uint64_t kCensusCheckpointItems = 4096;
constexpr std::uint64_t kSelectionCheckpointItems = 128;
constexpr std::uint64_t kEstimateCheckpointFaces = 128;
constexpr std::uint64_t kToleranceCheckpointFaces = 4096;
constexpr std::uint64_t kTriangulationBytesPerNode = 24;
constexpr std::uint64_t kTriangulationBytesPerTriangle = 12;
constexpr std::uint64_t kToleranceMapBytesPerItem = 128;
constexpr std::uint64_t kToleranceMapBaseBytes = 4096;

std::string ShapeTypeName(TopAbs_ShapeEnum type) {
  switch (type) {
    case TopAbs_COMPOUND:
      return "compound";
    case TopAbs_COMPSOLID:
      return "compsolid";
    case TopAbs_SOLID:
      return "solid";
    case TopAbs_SHELL:
      return "shell";
    case TopAbs_FACE:
      return "face";
    case TopAbs_WIRE:
      return "wire";
    case TopAbs_EDGE:
      return "edge";
    case TopAbs_VERTEX:
      return "vertex";
    case TopAbs_SHAPE:
      return "shape";
  }
  return "unknown";
}

std::uint64_t CountOccurrences(const TopoDS_Shape& shape, TopAbs_ShapeEnum type,
                               PlCadPrepStepItemCheckpoint& checkpoint) {
  std::uint64_t count = 0;
  for (TopExp_Explorer explorer(shape, type); explorer.More(); explorer.Next()) {
    checkpoint.Tick();
    ++count;
  }
  return count;
}

bool IsInternalOrExternal(const TopoDS_Shape& shape) {
  return shape.Orientation() == TopAbs_INTERNAL || shape.Orientation() == TopAbs_EXTERNAL;
}

class ToleranceBoundPass {
 public:
  void Consider(const TopoDS_Shape& item, double tolerance) {
    if (!std::isfinite(tolerance) || tolerance < 0.0) {
      throw PlCadPrepError("step_transfer_tolerance_unbounded",
                           "STEP transfer produced an invalid subshape tolerance", "heal");
    }
    const double scale = std::abs(item.Location().Transformation().ScaleFactor());
    if (!std::isfinite(scale) || !(scale > 0.0)) {
      throw PlCadPrepError("step_transfer_tolerance_unbounded",
                           "STEP transfer tolerance has an invalid placement scale", "heal");
    }
    const double placed = scale * tolerance;
    if (!std::isfinite(placed)) {
      throw PlCadPrepError("step_transfer_tolerance_unbounded",
                           "STEP transfer tolerance cannot be bounded after placement", "heal");
    }
    if (tolerance > bound.maxSubshapeToleranceMm) bound.maxSubshapeToleranceMm = tolerance;
    if (placed > bound.maxPlacedToleranceMm) bound.maxPlacedToleranceMm = placed;
    if (scale > bound.maxPlacementScale) bound.maxPlacementScale = scale;
  }

  PlCadPrepStepToleranceBound bound;
};

}  // namespace

// Occurrences count every appearance under the transferred shape; distinct
// counts identify items by TShape and location, as every map of the import does.
PlCadPrepStepShapeCensus CountPlCadPrepStepShape(const TopoDS_Shape& shape,
                                                 const PlCadPrepOperationContext& context) {
  PlCadPrepStepItemCheckpoint checkpoint(context, "heal", kCensusCheckpointItems);
  PlCadPrepStepShapeCensus census;
  census.shapeType = ShapeTypeName(shape.ShapeType());
  for (TopoDS_Iterator child(shape); child.More(); child.Next()) {
    checkpoint.Tick();
    ++census.directChildCount;
    switch (child.Value().ShapeType()) {
      case TopAbs_COMPOUND:
        ++census.directCompoundCount;
        break;
      case TopAbs_COMPSOLID:
        ++census.directCompsolidCount;
        break;
      case TopAbs_SOLID:
        ++census.directSolidCount;
        break;
      case TopAbs_SHELL:
        ++census.directShellCount;
        break;
      case TopAbs_FACE:
        ++census.directFaceCount;
        break;
      default:
        ++census.directOtherCount;
        break;
    }
  }
  census.compsolidOccurrenceCount = CountOccurrences(shape, TopAbs_COMPSOLID, checkpoint);

  TopTools_MapOfShape distinctSolids;
  for (TopExp_Explorer explorer(shape, TopAbs_SOLID); explorer.More(); explorer.Next()) {
    checkpoint.Tick();
    ++census.solidOccurrenceCount;
    distinctSolids.Add(explorer.Current());
  }
  census.distinctSolidCount = static_cast<std::uint64_t>(distinctSolids.Extent());

  TopTools_MapOfShape distinctShells;
  for (TopExp_Explorer explorer(shape, TopAbs_SHELL); explorer.More(); explorer.Next()) {
    checkpoint.Tick();
    ++census.shellOccurrenceCount;
    if (BRep_Tool::IsClosed(explorer.Current())) ++census.closedShellOccurrenceCount;
    distinctShells.Add(explorer.Current());
  }
  census.distinctShellCount = static_cast<std::uint64_t>(distinctShells.Extent());

  for (TopExp_Explorer explorer(shape, TopAbs_SHELL, TopAbs_SOLID); explorer.More();
       explorer.Next()) {
    checkpoint.Tick();
    ++census.freeShellCount;
    if (BRep_Tool::IsClosed(explorer.Current())) ++census.closedFreeShellCount;
  }

  census.wireOccurrenceCount = CountOccurrences(shape, TopAbs_WIRE, checkpoint);
  census.edgeOccurrenceCount = CountOccurrences(shape, TopAbs_EDGE, checkpoint);
  census.vertexOccurrenceCount = CountOccurrences(shape, TopAbs_VERTEX, checkpoint);
  return census;
}

// With `requireSome`, an empty solids or free-shell selection is an error.
PlCadPrepStepFaceSelection SelectPlCadPrepStepFaces(const TopoDS_Shape& shape,
                                                    std::uint32_t faceScope, bool requireSome,
                                                    const PlCadPrepOperationContext& context) {
  PlCadPrepStepFaceSelection selection;
  if (faceScope == kPlCadPrepStepScopeAllTransferredBoundaryFaces) {
    selection.shape = shape;
    return selection;
  }
  const bool solids = faceScope == kPlCadPrepStepScopeSolidsOnlyDiagnostic;
  PlCadPrepStepItemCheckpoint checkpoint(context, "heal", kSelectionCheckpointItems);
  TopoDS_Builder builder;
  TopoDS_Compound compound;
  builder.MakeCompound(compound);
  TopTools_MapOfShape seen;
  std::uint64_t count = 0;
  TopExp_Explorer explorer;
  if (solids) {
    explorer.Init(shape, TopAbs_SOLID);
  } else {
    explorer.Init(shape, TopAbs_SHELL, TopAbs_SOLID);
  }
  for (; explorer.More(); explorer.Next()) {
    checkpoint.Tick();
    if (seen.Add(explorer.Current())) {
      builder.Add(compound, explorer.Current());
      ++count;
    }
  }
  if (requireSome && count == 0) {
    if (solids) {
      throw PlCadPrepError("step_no_selected_solids", "STEP solids-only diagnostic found no solid",
                           "heal");
    }
    throw PlCadPrepError("step_no_selected_free_shells",
                         "STEP free-shell diagnostic found no shell outside a solid", "heal");
  }
  selection.shape = compound;
  (solids ? selection.solidCount : selection.freeShellCount) = count;
  return selection;
}

// The box of the exact geometry (triangulations are not used). False when it
// is void, not finite, or inverted, since it then bounds nothing.
bool MeasurePlCadPrepStepBox(const TopoDS_Shape& shape, PlPoint3& boundsMin, PlPoint3& boundsMax) {
  Bnd_Box box;
  BRepBndLib::Add(shape, box, Standard_False);
  if (box.IsVoid()) return false;
  PlPoint3 low{};
  PlPoint3 high{};
  box.Get(low[0], low[1], low[2], high[0], high[1], high[2]);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!std::isfinite(low[axis]) || !std::isfinite(high[axis]) || low[axis] > high[axis]) {
      return false;
    }
  }
  boundsMin = low;
  boundsMax = high;
  return true;
}

// What the triangulations of `shape` hold, on top of `baseBytes`.
std::uint64_t EstimatePlCadPrepStepTriangulationBytes(const TopoDS_Shape& shape,
                                                      std::uint64_t baseBytes,
                                                      const PlCadPrepOperationContext& context) {
  PlCadPrepStepItemCheckpoint checkpoint(context, "mesh", kEstimateCheckpointFaces);
  std::uint64_t total = baseBytes;
  for (TopExp_Explorer explorer(shape, TopAbs_FACE); explorer.More(); explorer.Next()) {
    checkpoint.Tick();
    TopLoc_Location location;
    const Handle(Poly_Triangulation)& triangulation =
        BRep_Tool::Triangulation(TopoDS::Face(explorer.Current()), location);
    if (triangulation.IsNull()) continue;
    std::uint64_t nodeBytes = 0;
    std::uint64_t triangleBytes = 0;
    if (!CheckedMultiply(static_cast<std::uint64_t>(triangulation->NbNodes()),
                         kTriangulationBytesPerNode, nodeBytes) ||
        !CheckedMultiply(static_cast<std::uint64_t>(triangulation->NbTriangles()),
                         kTriangulationBytesPerTriangle, triangleBytes) ||
        !CheckedAdd(total, nodeBytes, total) || !CheckedAdd(total, triangleBytes, total)) {
      throw PlCadPrepError("memory_limit_exceeded", "STEP mesh memory estimate overflowed", "mesh");
    }
  }
  return total;
}

// The largest raw and placed tolerance over the distinct boundary faces of
// `shape` and their distinct edges and vertices. The shape maps are reserved
// from a first counting pass before they are built.
PlCadPrepStepToleranceBound BoundPlCadPrepStepTolerances(const TopoDS_Shape& shape,
                                                         const PlCadPrepOperationContext& context) {
  std::uint64_t items = 0;
  {
    PlCadPrepStepItemCheckpoint checkpoint(context, "heal", kToleranceCheckpointFaces);
    for (TopExp_Explorer faces(shape, TopAbs_FACE); faces.More(); faces.Next()) {
      checkpoint.Tick();
      if (IsInternalOrExternal(faces.Current())) continue;
      ++items;
      for (TopExp_Explorer edges(faces.Current(), TopAbs_EDGE); edges.More(); edges.Next()) {
        ++items;
      }
      for (TopExp_Explorer vertices(faces.Current(), TopAbs_VERTEX); vertices.More();
           vertices.Next()) {
        ++items;
      }
    }
  }
  std::uint64_t mapBytes = 0;
  if (!CheckedMultiply(items, kToleranceMapBytesPerItem, mapBytes) ||
      !CheckedAdd(mapBytes, kToleranceMapBaseBytes, mapBytes)) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP tolerance shape-map estimate overflowed",
                         "heal");
  }
  const PlCadPrepMemoryReservation reservation = ReserveMemory(context, mapBytes, "heal");

  ToleranceBoundPass pass;
  TopTools_MapOfShape seenFaces;
  TopTools_MapOfShape seenEdges;
  TopTools_MapOfShape seenVertices;
  PlCadPrepStepItemCheckpoint checkpoint(context, "heal", kToleranceCheckpointFaces);
  for (TopExp_Explorer faces(shape, TopAbs_FACE); faces.More(); faces.Next()) {
    checkpoint.Tick();
    const TopoDS_Shape& face = faces.Current();
    if (IsInternalOrExternal(face) || !seenFaces.Add(face)) continue;
    pass.Consider(face, BRep_Tool::Tolerance(TopoDS::Face(face)));
    for (TopExp_Explorer edges(face, TopAbs_EDGE); edges.More(); edges.Next()) {
      if (seenEdges.Add(edges.Current())) {
        pass.Consider(edges.Current(), BRep_Tool::Tolerance(TopoDS::Edge(edges.Current())));
      }
    }
    for (TopExp_Explorer vertices(face, TopAbs_VERTEX); vertices.More(); vertices.Next()) {
      if (seenVertices.Add(vertices.Current())) {
        pass.Consider(vertices.Current(), BRep_Tool::Tolerance(TopoDS::Vertex(vertices.Current())));
      }
    }
  }
  if (!std::isfinite(pass.bound.maxPlacedToleranceMm) || pass.bound.maxPlacedToleranceMm < 0.0) {
    throw PlCadPrepError("step_transfer_tolerance_unbounded",
                         "STEP transfer tolerance cannot be bounded after placement", "heal");
  }
  return pass.bound;
}
