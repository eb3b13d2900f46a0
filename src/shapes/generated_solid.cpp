#include "shapes/generated_solid.h"

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <BRepCheck_Analyzer.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRepPrimAPI_MakeCone.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <BRepPrimAPI_MakePrism.hxx>
#include <BRepPrimAPI_MakeRevol.hxx>
#include <BRepPrimAPI_MakeSphere.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS_Face.hxx>
#include <TopoDS_Wire.hxx>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <gp_Ax1.hxx>
#include <gp_Ax2.hxx>
#include <gp_Dir.hxx>
#include <gp_Pnt.hxx>
#include <gp_Vec.hxx>
#include <string>
#include <vector>

#include "core/error.h"

namespace {

constexpr double kMmPerUm = 0.001;
// The floor of the curved kinds' carrier margin, in millimetres.
constexpr double kMinCarrierMarginMm = 1.0;

// A point of an outline in its own plane: (x, z) for prism outlines, (x, y)
// for the wedge profile and the revolved carrier outlines.
using OutlinePoint = std::array<double, 2>;

double Mm(std::int64_t um) { return static_cast<double>(um) * kMmPerUm; }

// The carrier of a curved kind grows by 0.5 mm radially and along its axis at
// once; the margin covers the diagonal of both and is never below 1 mm.
double CurvedCarrierMarginMm() {
  return std::max(std::hypot(kPlGeneratedCarrierGrowthMm, kPlGeneratedCarrierGrowthMm),
                  kMinCarrierMarginMm);
}

// The record of a curved kind before its solid and carrier are made.
PlGeneratedSolid CurvedRecord() {
  PlGeneratedSolid record;
  record.carrierMarginMm = CurvedCarrierMarginMm();
  return record;
}

// Upright curved kinds stand on the plate along +y.
gp_Ax2 UprightAxis() {
  return gp_Ax2(gp_Pnt(0.0, 0.0, 0.0), gp_Dir(0.0, 1.0, 0.0), gp_Dir(1.0, 0.0, 0.0));
}

void SetBounds(PlGeneratedSolid& record, double minX, double minY, double minZ, double maxX,
               double maxY, double maxZ) {
  record.boundsMin = {minX, minY, minZ};
  record.boundsMax = {maxX, maxY, maxZ};
}

// A closed polygon through `points` (already placed in 3-D) and its planar
// face. The messages differ per caller, so they are passed in whole.
TopoDS_Face OutlineFace(const std::vector<gp_Pnt>& points, const char* notClosed,
                        const char* noFace) {
  BRepBuilderAPI_MakePolygon polygon;
  for (const gp_Pnt& point : points) polygon.Add(point);
  polygon.Close();
  if (!polygon.IsDone()) throw PlCadPrepError("generated_solid_failed", notClosed, "heal");
  BRepBuilderAPI_MakeFace face(polygon.Wire(), Standard_True);
  if (!face.IsDone()) throw PlCadPrepError("generated_solid_failed", noFace, "heal");
  return face.Face();
}

// The outline in (x, z) at y = 0, extruded by `heightMm` along +y.
TopoDS_Shape OutlinePrism(const std::vector<OutlinePoint>& outline, double heightMm) {
  std::vector<gp_Pnt> points;
  points.reserve(outline.size());
  for (const OutlinePoint& point : outline) points.emplace_back(point[0], 0.0, point[1]);
  const TopoDS_Face face = OutlineFace(points, "generated prism outline could not be closed",
                                       "generated prism outline could not form a face");
  BRepPrimAPI_MakePrism prism(face, gp_Vec(0.0, heightMm, 0.0), Standard_False, Standard_True);
  if (!prism.IsDone()) {
    throw PlCadPrepError("generated_solid_failed", "generated prism could not be constructed",
                         "heal");
  }
  return prism.Shape();
}

// A flat kind: the outline prism, centred on its half spans, resting on the plate.
PlGeneratedSolid FlatPrism(const std::vector<OutlinePoint>& outline, double heightMm,
                           double halfXMm, double halfZMm) {
  PlGeneratedSolid record;
  record.solid = OutlinePrism(outline, heightMm);
  SetBounds(record, -halfXMm, 0.0, -halfZMm, halfXMm, heightMm, halfZMm);
  return record;
}

// The outline in (x, y) at z = 0, revolved a full turn about `axis`.
TopoDS_Shape RevolvedCarrier(const std::vector<OutlinePoint>& outline, const gp_Ax1& axis) {
  std::vector<gp_Pnt> points;
  points.reserve(outline.size());
  for (const OutlinePoint& point : outline) points.emplace_back(point[0], point[1], 0.0);
  const TopoDS_Face face =
      OutlineFace(points, "generated curved carrier outline could not be closed",
                  "generated curved carrier outline could not form a face");
  BRepPrimAPI_MakeRevol revol(face, axis, Standard_False);
  if (!revol.IsDone()) {
    throw PlCadPrepError("generated_solid_failed",
                         "generated curved carrier could not be constructed", "heal");
  }
  return revol.Shape();
}

PlGeneratedSolid Box(const PlShapeDefinition& d) {
  const double x = Mm(d.xSpanUm);
  const double h = Mm(d.heightUm);
  const double z = Mm(d.zSpanUm);
  PlGeneratedSolid record;
  record.solid = BRepPrimAPI_MakeBox(gp_Pnt(-x / 2, 0.0, -z / 2), x, h, z).Shape();
  SetBounds(record, -x / 2, 0.0, -z / 2, x / 2, h, z / 2);
  return record;
}

PlGeneratedSolid Cylinder(const PlShapeDefinition& d) {
  const double r = Mm(d.diameterUm) / 2;
  const double l = Mm(d.axisLengthUm);
  const double grow = kPlGeneratedCarrierGrowthMm;
  PlGeneratedSolid record = CurvedRecord();
  if (d.mount == PlShapeMount::upright) {
    const gp_Ax2 axis = UprightAxis();
    record.solid = BRepPrimAPI_MakeCylinder(axis, r, l).Shape();
    // Resting on the plate, the carrier grows upwards only.
    record.carrier = BRepPrimAPI_MakeCylinder(axis, r + grow, l + grow).Shape();
    SetBounds(record, -r, 0.0, -r, r, l, r);
  } else {
    const gp_Dir along(1.0, 0.0, 0.0);
    record.solid = BRepPrimAPI_MakeCylinder(gp_Ax2(gp_Pnt(-l / 2, r, 0.0), along), r, l).Shape();
    record.carrier = BRepPrimAPI_MakeCylinder(gp_Ax2(gp_Pnt(-l / 2 - grow, r, 0.0), along),
                                              r + grow, l + 2 * grow)
                         .Shape();
    SetBounds(record, -l / 2, 0.0, -r, l / 2, 2 * r, r);
  }
  return record;
}

PlGeneratedSolid Frustum(const PlShapeDefinition& d) {
  const double r1 = Mm(d.largeDiameterUm) / 2;
  const double r2 = Mm(d.smallDiameterUm) / 2;
  const double l = Mm(d.axisLengthUm);
  const double grow = kPlGeneratedCarrierGrowthMm;
  PlGeneratedSolid record = CurvedRecord();
  if (d.mount == PlShapeMount::upright) {
    const gp_Ax2 axis = UprightAxis();
    record.solid = BRepPrimAPI_MakeCone(axis, r1, r2, l).Shape();
    record.carrier = RevolvedCarrier(
        {{0.0, 0.0}, {r1 + grow, 0.0}, {r2 + grow, l}, {r2 + grow, l + grow}, {0.0, l + grow}},
        gp_Ax1(gp_Pnt(0.0, 0.0, 0.0), gp_Dir(0.0, 1.0, 0.0)));
    SetBounds(record, -r1, 0.0, -r1, r1, l, r1);
  } else {
    record.solid =
        BRepPrimAPI_MakeCone(gp_Ax2(gp_Pnt(-l / 2, r1, 0.0), gp_Dir(1.0, 0.0, 0.0)), r1, r2, l)
            .Shape();
    record.carrier = RevolvedCarrier({{-l / 2 - grow, r1},
                                      {-l / 2 - grow, 2 * r1 + grow},
                                      {-l / 2, 2 * r1 + grow},
                                      {l / 2, r1 + r2 + grow},
                                      {l / 2 + grow, r1 + r2 + grow},
                                      {l / 2 + grow, r1}},
                                     gp_Ax1(gp_Pnt(0.0, r1, 0.0), gp_Dir(1.0, 0.0, 0.0)));
    SetBounds(record, -l / 2, 0.0, -r1, l / 2, 2 * r1, r1);
  }
  return record;
}

PlGeneratedSolid LPrism(const PlShapeDefinition& d) {
  const double x = Mm(d.outsideXSpanUm);
  const double z = Mm(d.outsideZSpanUm);
  const double a = x / 2;
  const double b = z / 2;
  const double nx = Mm(d.notchXSpanUm);
  const double nz = Mm(d.notchZSpanUm);
  // The notch is cut from the (+x, +z) corner, then mirrored into its quadrant.
  std::vector<OutlinePoint> outline = {{-a, -b},         {-a, b},     {a - nx, b},
                                       {a - nx, b - nz}, {a, b - nz}, {a, -b}};
  const bool positiveX = d.notchQuadrant == PlNotchQuadrant::positiveXNegativeZ ||
                         d.notchQuadrant == PlNotchQuadrant::positiveXPositiveZ;
  const bool positiveZ = d.notchQuadrant == PlNotchQuadrant::negativeXPositiveZ ||
                         d.notchQuadrant == PlNotchQuadrant::positiveXPositiveZ;
  const double sx = positiveX ? 1.0 : -1.0;
  const double sz = positiveZ ? 1.0 : -1.0;
  for (OutlinePoint& point : outline) point = {point[0] * sx, point[1] * sz};
  // One mirror alone flips the turning sense; reversing the order restores it.
  if (sx * sz < 0.0) std::reverse(outline.begin(), outline.end());

  return FlatPrism(outline, Mm(d.heightUm), a, b);
}

PlGeneratedSolid TriangularPrism(const PlShapeDefinition& d) {
  const double b = Mm(d.baseZSpanUm);
  const double depth = Mm(d.pointXDepthUm);
  const double offset = Mm(d.pointZOffsetUm);
  return FlatPrism({{-depth / 2, -b / 2}, {-depth / 2, b / 2}, {depth / 2, offset}},
                   Mm(d.heightUm), depth / 2, b / 2);
}

PlGeneratedSolid Wedge(const PlShapeDefinition& d) {
  const double x = Mm(d.xSpanUm);
  const double z = Mm(d.zSpanUm);
  const double high = Mm(d.highHeightUm);
  const double low = Mm(d.lowHeightUm);
  // The top slopes down from `high` at -x to `low` at +x.
  const TopoDS_Face face = OutlineFace({gp_Pnt(-x / 2, 0.0, -z / 2), gp_Pnt(x / 2, 0.0, -z / 2),
                                        gp_Pnt(x / 2, low, -z / 2), gp_Pnt(-x / 2, high, -z / 2)},
                                       "generated wedge could not be constructed",
                                       "generated wedge could not be constructed");
  BRepPrimAPI_MakePrism prism(face, gp_Vec(0.0, 0.0, z), Standard_False, Standard_True);
  if (!prism.IsDone()) {
    throw PlCadPrepError("generated_solid_failed", "generated wedge could not be constructed",
                         "heal");
  }
  PlGeneratedSolid record;
  record.solid = prism.Shape();
  SetBounds(record, -x / 2, 0.0, -z / 2, x / 2, high, z / 2);
  return record;
}

PlGeneratedSolid PolygonPrism(const PlShapeDefinition& d) {
  std::int64_t minX = d.vertices.front().xUm;
  std::int64_t maxX = minX;
  std::int64_t minZ = d.vertices.front().zUm;
  std::int64_t maxZ = minZ;
  for (const PlShapePoint& point : d.vertices) {
    minX = std::min(minX, point.xUm);
    maxX = std::max(maxX, point.xUm);
    minZ = std::min(minZ, point.zUm);
    maxZ = std::max(maxZ, point.zUm);
  }
  // Moving by half the span centres only a seated polygon, which validation
  // guarantees (the analytic descriptor relies on the same).
  PlRequire(minX == 0 && minZ == 0, "a validated polygon is seated at the origin");
  const std::int64_t spanX = maxX - minX;
  const std::int64_t spanZ = maxZ - minZ;
  std::vector<OutlinePoint> outline;
  outline.reserve(d.vertices.size());
  // Doubled micrometres stay exact integers; halving them is exact in binary.
  for (const PlShapePoint& point : d.vertices) {
    outline.push_back({static_cast<double>(2 * point.xUm - spanX) / 2 * kMmPerUm,
                       static_cast<double>(2 * point.zUm - spanZ) / 2 * kMmPerUm});
  }
  return FlatPrism(outline, Mm(d.heightUm), Mm(spanX) / 2, Mm(spanZ) / 2);
}

PlGeneratedSolid Sphere(const PlShapeDefinition& d) {
  const double r = Mm(d.diameterUm) / 2;
  const gp_Pnt centre(0.0, r, 0.0);
  PlGeneratedSolid record = CurvedRecord();
  record.solid = BRepPrimAPI_MakeSphere(centre, r).Shape();
  record.carrier = BRepPrimAPI_MakeSphere(centre, r + kPlGeneratedCarrierGrowthMm).Shape();
  SetBounds(record, -r, 0.0, -r, r, 2 * r, r);
  return record;
}

}  // namespace

PlGeneratedSolid BuildPlGeneratedSolid(const PlShapeDefinition& definition) {
  // Indexed by the kind's index; the levels shape has no solid builder.
  using Builder = PlGeneratedSolid (*)(const PlShapeDefinition&);
  constexpr Builder kBuilders[] = {Box,     Cylinder,     LPrism,  TriangularPrism, Wedge,
                                   Frustum, PolygonPrism, nullptr, Sphere};
  const auto index = static_cast<std::size_t>(definition.kind);
  if (index >= std::size(kBuilders) || kBuilders[index] == nullptr) {
    throw PlCadPrepError("backend_not_implemented",
                         "levels shape uses the direct triangle-mesh publisher", "heal");
  }
  return kBuilders[index](definition);
}

bool IsPlGeneratedSolidValid(const TopoDS_Shape& shape) {
  if (shape.IsNull()) return false;
  int solids = 0;
  for (TopExp_Explorer explorer(shape, TopAbs_SOLID); explorer.More(); explorer.Next()) ++solids;
  if (solids != 1) return false;
  const BRepCheck_Analyzer analyzer(shape, Standard_True);
  return analyzer.IsValid() == Standard_True;
}

PlGeneratedSolid MakePlGeneratedSolid(const PlShapeDefinition& definition) {
  PlShapeDefinition validated = definition;
  try {
    ValidatePlShapeDefinition(validated);
  } catch (const PlShapeDefinitionError& error) {
    throw PlCadPrepError(std::string(PlShapeDefinitionEventCode(error.category)), error.what(),
                         "heal");
  }
  PlGeneratedSolid record = BuildPlGeneratedSolid(validated);
  // A flat kind has no carrier of its own; its carrier is the solid once checked.
  if (!IsPlGeneratedSolidValid(record.solid) ||
      (!record.carrier.IsNull() && !IsPlGeneratedSolidValid(record.carrier))) {
    throw PlCadPrepError("generated_solid_invalid",
                         "shape definition did not produce one valid positive solid", "heal");
  }
  if (record.carrier.IsNull()) record.carrier = record.solid;
  return record;
}
