#include "kernel/triangle_extraction.h"

#include <BRep_Tool.hxx>
#include <Poly_Triangulation.hxx>
#include <TopAbs_Orientation.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopTools_DataMapOfShapeInteger.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Face.hxx>
#include <cmath>
#include <gp_Pnt.hxx>
#include <gp_Trsf.hxx>
#include <new>
#include <stdexcept>
#include <utility>

#include "kernel/kernel_failures.h"

namespace {

constexpr std::uint64_t kFaceCheckpointInterval = 128;
constexpr std::uint64_t kTriangleCheckpointInterval = 4096;

// One bit per orientation already met for a face (same TShape and location).
int OrientationBit(TopAbs_Orientation orientation) { return 1 << static_cast<int>(orientation); }

bool NodeInRange(int node, int nodeCount) { return node >= 1 && node <= nodeCount; }

class FaceExtraction {
 public:
  FaceExtraction(const std::array<double, 16>& mount, const PlCadPrepOperationContext& runContext,
                 PlTriangleMeshBuilder& target)
      : sourceToMount(mount), context(runContext), builder(target) {}

  void Run(const TopoDS_Shape& shape) {
    std::uint64_t faceOccurrences = 0;
    for (TopExp_Explorer explorer(shape, TopAbs_FACE); explorer.More(); explorer.Next()) {
      if (faceOccurrences % kFaceCheckpointInterval == 0) CheckpointStage(context, "mesh");
      ++faceOccurrences;
      const TopoDS_Face& face = TopoDS::Face(explorer.Current());
      if (!Admit(face)) continue;
      ++counters.boundaryFaceCount;
      ExtractFace(face);
    }
  }

  PlCadPrepTriangleCounters counters;

 private:
  // False for a repeated occurrence and for INTERNAL/EXTERNAL faces, which
  // bound no volume. The other orientation of a face already met is a face
  // shared by two shells and still contributes its own side.
  bool Admit(const TopoDS_Face& face) {
    const int bit = OrientationBit(face.Orientation());
    if (int* seen = seenOrientations.ChangeSeek(face)) {
      if ((*seen & bit) != 0) {
        ++counters.duplicateFaceOccurrenceCount;
        return false;
      }
      ++counters.sharedFaceCount;
      *seen |= bit;
    } else {
      seenOrientations.Bind(face, bit);
    }
    if (face.Orientation() == TopAbs_INTERNAL || face.Orientation() == TopAbs_EXTERNAL) {
      ++counters.internalOrExternalFaceCount;
      return false;
    }
    return true;
  }

  void ExtractFace(const TopoDS_Face& face) {
    TopLoc_Location location;
    const Handle(Poly_Triangulation)& triangulation =
        BRep_Tool::Triangulation(face, location, Poly_MeshPurpose_NONE);
    if (triangulation.IsNull() || triangulation->NbTriangles() < 1) {
      ++counters.untriangulatedBoundaryFaceCount;
      return;
    }
    ++counters.triangulatedBoundaryFaceCount;

    const gp_Trsf placement = location.Transformation();
    const double scale = placement.ScaleFactor();
    if (!std::isfinite(scale) || !(std::abs(scale) > 0.0)) {
      throw PlCadPrepError("invalid_step_location", "STEP face has an invalid location scale",
                           "mesh");
    }
    if (std::abs(scale) > counters.maxLocationScale) counters.maxLocationScale = std::abs(scale);

    // A mirroring placement turns the outward normal inwards, exactly as a
    // REVERSED orientation does; both together cancel out.
    const bool reversed = (face.Orientation() == TopAbs_REVERSED) != (scale < 0.0);
    const int nodeCount = triangulation->NbNodes();
    const int triangleCount = triangulation->NbTriangles();
    for (int t = 1; t <= triangleCount; ++t) {
      if (counters.tessellatedTriangleCount >= context.ledger->maxTriangles) {
        throw PlCadPrepError("triangle_limit_exceeded", "STEP tessellation exceeds maxTriangles",
                             "mesh");
      }
      if (counters.tessellatedTriangleCount % kTriangleCheckpointInterval == 0) {
        CheckpointStage(context, "mesh");
      }
      ++counters.tessellatedTriangleCount;

      int n1 = 0;
      int n2 = 0;
      int n3 = 0;
      triangulation->Triangle(t).Get(n1, n2, n3);
      if (reversed) std::swap(n2, n3);
      if (!NodeInRange(n1, nodeCount) || !NodeInRange(n2, nodeCount) ||
          !NodeInRange(n3, nodeCount)) {
        throw PlCadPrepError("invalid_step_triangulation",
                             "Open CASCADE produced an out-of-range mesh index", "mesh");
      }
      const PlPoint3 a = Place(triangulation->Node(n1), placement);
      const PlPoint3 b = Place(triangulation->Node(n2), placement);
      const PlPoint3 c = Place(triangulation->Node(n3), placement);
      // Slivers are an artefact of the mesher, not of the source, so they are
      // dropped here rather than failing the import as a mesh file's would.
      if (IsZeroAreaTriangle(a, b, c)) {
        ++counters.discardedDegenerateTriangleCount;
        continue;
      }
      builder.AddTriangle(a, b, c);
      ++counters.retainedTriangleCount;
    }
  }

  // The transfer already delivers millimetres, so the unit scale is 1.
  PlPoint3 Place(gp_Pnt node, const gp_Trsf& placement) const {
    node.Transform(placement);
    return MountPoint(sourceToMount, 1.0, node.X(), node.Y(), node.Z());
  }

  const std::array<double, 16>& sourceToMount;
  const PlCadPrepOperationContext& context;
  PlTriangleMeshBuilder& builder;
  TopTools_DataMapOfShapeInteger seenOrientations;
};

}  // namespace

PlCadPrepTriangleCounters ExtractPlCadPrepShapeTriangles(
    const TopoDS_Shape& shape, const std::array<double, 16>& sourceToMount,
    const PlCadPrepOperationContext& context, PlTriangleMeshBuilder& builder) {
  FaceExtraction extraction(sourceToMount, context, builder);
  extraction.Run(shape);
  return extraction.counters;
}

PlCadPrepTriangleCounters ExtractPlCadPrepStepTriangles(const TopoDS_Shape& shape,
                                                        const std::array<double, 16>& sourceToMount,
                                                        const PlCadPrepOperationContext& context,
                                                        PlTriangleMeshBuilder& builder) {
  PlCadPrepTriangleCounters counters;
  RunStepKernelWork("mesh", [&] {
    counters = ExtractPlCadPrepShapeTriangles(shape, sourceToMount, context, builder);
  });
  return counters;
}
