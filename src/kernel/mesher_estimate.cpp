#include "kernel/mesher_estimate.h"

#include <BRepAdaptor_Surface.hxx>
#include <GeomAbs_SurfaceType.hxx>
#include <GeomAdaptor_Surface.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <algorithm>
#include <cmath>
#include <gp_Cone.hxx>
#include <gp_Cylinder.hxx>
#include <gp_Sphere.hxx>
#include <gp_Torus.hxx>
#include <gp_Trsf.hxx>
#include <limits>

namespace {

constexpr std::uint64_t kEstimateCheckpointFaces = 128;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
// Triangles per cell of the parameter grid: the mesher's surface-deflection
// control splits every grid cell about four ways (spheres and tori meet it
// exactly; cones and cylinders stay near half of it).
constexpr double kTrianglesPerGridCell = 4.0;
// Every double at or above this no longer converts to a 64-bit count.
constexpr double kSaturatedCount = 18446744073709549568.0;

// The mesher's grid on a curved face, counted in lines along u and along v.
struct FaceGrid {
  double uLines = 0.0;
  double vLines = 0.0;
};

// The angle between grid lines on a circle of `radiusMm`: the chord whose
// sagitta is the linear deflection, never wider than the angular deflection.
double StepAngle(double radiusMm, double linearDeflectionMm, double angularDeflectionRadians) {
  const double ratio = radiusMm > linearDeflectionMm ? linearDeflectionMm / radiusMm : 1.0;
  return std::min(angularDeflectionRadians, 2.0 * std::acos(1.0 - ratio));
}

// Grid lines across `span` at `step`, both ends included.
double Lines(double span, double step) { return std::ceil(span / step) + 1.0; }

// A parameter span of a closed direction never exceeds its period; a span the
// face does not bound (not finite) is the whole period.
double ClosedSpan(double first, double last, double period) {
  const double span = std::abs(last - first);
  return std::isfinite(span) ? std::min(span, period) : period;
}

// The grid of a face on a plane, cylinder, cone, sphere or torus from its
// parameter bounds and radii, the lengths scaled by the face's placement.
// Planar faces are meshed from their boundary nodes alone, which the edges of
// the curved faces next to them bound; B-spline, revolved, offset and other
// free-form faces have no radius to count from, and their boxes say nothing
// about their curvature. Both count as no grid here: the process-wide memory
// limit of the executable stops a free-form face that runs away.
bool CurvedFaceGrid(const BRepAdaptor_Surface& surface, double linearDeflectionMm,
                    double angularDeflectionRadians, FaceGrid& grid) {
  const GeomAdaptor_Surface& local = surface.Surface();
  const double scale = std::abs(surface.Trsf().ScaleFactor());
  const double u0 = surface.FirstUParameter();
  const double u1 = surface.LastUParameter();
  const double v0 = surface.FirstVParameter();
  const double v1 = surface.LastVParameter();
  const auto angle = [&](double radiusMm) {
    return StepAngle(radiusMm, linearDeflectionMm, angularDeflectionRadians);
  };
  switch (local.GetType()) {
    case GeomAbs_Cylinder: {
      // The rulings are straight: the mesher puts no line between the ends.
      const double radius = std::abs(local.Cylinder().Radius()) * scale;
      grid.uLines = Lines(ClosedSpan(u0, u1, kTwoPi), angle(radius));
      grid.vLines = 2.0;
      return true;
    }
    case GeomAbs_Cone: {
      // The rulings are divided at the chord length of the widest circle.
      const gp_Cone cone = local.Cone();
      const double slope = std::sin(cone.SemiAngle());
      const double radius = std::max(std::abs(cone.RefRadius() + v0 * slope),
                                     std::abs(cone.RefRadius() + v1 * slope)) *
                            scale;
      const double slant = std::abs(v1 - v0) * scale;
      if (!std::isfinite(radius) || !std::isfinite(slant)) return false;
      const double step = angle(radius);
      grid.uLines = Lines(ClosedSpan(u0, u1, kTwoPi), step);
      grid.vLines = Lines(slant, radius * step);
      return true;
    }
    case GeomAbs_Sphere: {
      const double step = angle(std::abs(local.Sphere().Radius()) * scale);
      grid.uLines = Lines(ClosedSpan(u0, u1, kTwoPi), step);
      grid.vLines = Lines(ClosedSpan(v0, v1, kPi), step);
      return true;
    }
    case GeomAbs_Torus: {
      // Along u the outer equator is the widest circle; along v the tube.
      const gp_Torus torus = local.Torus();
      const double tube = std::abs(torus.MinorRadius()) * scale;
      const double outer = (std::abs(torus.MajorRadius()) * scale) + tube;
      grid.uLines = Lines(ClosedSpan(u0, u1, kTwoPi), angle(outer));
      grid.vLines = Lines(ClosedSpan(v0, v1, kTwoPi), angle(tube));
      return true;
    }
    default:
      return false;
  }
}

// A count that is not finite or too large for 64 bits saturates.
std::uint64_t SaturatedCount(double count) {
  if (!(count < kSaturatedCount)) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(count);
}

}  // namespace

PlCadPrepMesherEstimate EstimatePlCadPrepMesher(const TopoDS_Shape& shape,
                                                double linearDeflectionMm,
                                                double angularDeflectionRadians,
                                                const PlCadPrepOperationContext& context) {
  // The mesher works on one face at a time and frees its working set before
  // the next, so only the largest working set counts, next to every face's
  // finished triangles. A face met again under another placement counts again.
  double largestWorkingBytes = 0.0;
  double allTriangles = 0.0;
  std::uint64_t faces = 0;
  for (TopExp_Explorer explorer(shape, TopAbs_FACE); explorer.More(); explorer.Next()) {
    if (faces % kEstimateCheckpointFaces == 0) CheckpointStage(context, "mesh");
    ++faces;
    const BRepAdaptor_Surface surface(TopoDS::Face(explorer.Current()), Standard_True);
    FaceGrid grid;
    if (!CurvedFaceGrid(surface, linearDeflectionMm, angularDeflectionRadians, grid)) continue;
    const double triangles = kTrianglesPerGridCell * grid.uLines * grid.vLines;
    const double rows = std::max(grid.uLines, grid.vLines);
    const double working =
        static_cast<double>(kPlCadPrepMesherBytesPerTriangleRow) * triangles * rows;
    // A count that is not finite reaches the triangle sum too and saturates it.
    largestWorkingBytes = std::max(largestWorkingBytes, working);
    allTriangles += triangles;
  }
  PlCadPrepMesherEstimate estimate;
  estimate.triangles = SaturatedCount(allTriangles);
  estimate.bytes = SaturatedCount(
      largestWorkingBytes + static_cast<double>(kPlCadPrepMesherBytesPerTriangle) * allTriangles);
  return estimate;
}
