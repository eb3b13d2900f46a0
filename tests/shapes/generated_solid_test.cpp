#include "shapes/generated_solid.h"

#include <gtest/gtest.h>

#include <BRepBndLib.hxx>
#include <BRepClass3d_SolidClassifier.hxx>
#include <BRepGProp.hxx>
#include <Bnd_Box.hxx>
#include <GProp_GProps.hxx>
#include <numbers>
#include <string>
#include <utility>

#include "support/expect_error.h"
#include "support/shape_documents.h"

namespace {

constexpr double kPi = std::numbers::pi;

// The definition whose canonical shape object is `shape`.
PlShapeDefinition Shape(const std::string& shape) {
  return ParsePlShapeDefinition(ShapeDefinitionDocument(shape));
}

double Volume(const TopoDS_Shape& shape) {
  GProp_GProps properties;
  BRepGProp::VolumeProperties(shape, properties);
  return properties.Mass();
}

// The tight box of the exact geometry, not of any tessellation or tolerance.
void ExpectExtent(const TopoDS_Shape& shape, const PlPoint3& low, const PlPoint3& high) {
  Bnd_Box box;
  BRepBndLib::AddOptimal(shape, box, Standard_False, Standard_False);
  PlPoint3 min{};
  PlPoint3 max{};
  box.Get(min[0], min[1], min[2], max[0], max[1], max[2]);
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(min[axis], low[axis], 1e-4) << "axis " << axis;
    EXPECT_NEAR(max[axis], high[axis], 1e-4) << "axis " << axis;
  }
}

void ExpectBounds(const PlGeneratedSolid& record, const PlPoint3& low, const PlPoint3& high) {
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(record.boundsMin[axis], low[axis], 1e-9);
    EXPECT_NEAR(record.boundsMax[axis], high[axis], 1e-9);
  }
}

bool Inside(const TopoDS_Shape& solid, double x, double y, double z) {
  BRepClass3d_SolidClassifier classifier(solid, gp_Pnt(x, y, z), 1e-7);
  return classifier.State() == TopAbs_IN;
}

TEST(GeneratedSolid, BuildsEveryKindWithItsBoundsVolumeAndCarrier) {
  struct Case {
    const char* name;
    PlPoint3 low;
    PlPoint3 high;
    double volume;
    // The carrier's extent: the solid's own for the flat kinds.
    PlPoint3 carrierLow;
    PlPoint3 carrierHigh;
    std::string shape;
  };
  const double cylinder = kPi * 25 * 40;
  const double frustum = kPi * 30 * (100 + 50 + 25) / 3;
  // clang-format off
  const Case cases[] = {
      {"box", {-10, 0, -15}, {10, 10, 15}, 6000, {-10, 0, -15}, {10, 10, 15},
       R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})"},
      // Upright carriers stay on the plate and grow upwards only.
      {"upright cylinder", {-5, 0, -5}, {5, 40, 5}, cylinder, {-5.5, 0, -5.5}, {5.5, 40.5, 5.5},
       R"({"axisLengthUm":40000,"diameterUm":10000,"kind":"cylinder","mount":"upright"})"},
      // Radius 5.5 mm over a length of 41 mm.
      {"laid-down cylinder", {-20, 0, -5}, {20, 10, 5}, cylinder,
       {-20.5, -0.5, -5.5}, {20.5, 10.5, 5.5},
       R"({"axisLengthUm":40000,"diameterUm":10000,"kind":"cylinder","mount":"laidDown"})"},
      {"upright frustum", {-10, 0, -10}, {10, 30, 10}, frustum,
       {-10.5, 0, -10.5}, {10.5, 30.5, 10.5},
       R"({"axisLengthUm":30000,"kind":"frustum","largeDiameterUm":20000,"mount":"upright",)"
       R"("smallDiameterUm":10000})"},
      {"laid-down frustum", {-15, 0, -10}, {15, 20, 10}, frustum,
       {-15.5, -0.5, -10.5}, {15.5, 20.5, 10.5},
       R"({"axisLengthUm":30000,"kind":"frustum","largeDiameterUm":20000,"mount":"laidDown",)"
       R"("smallDiameterUm":10000})"},
      {"L-prism", {-20, 0, -15}, {20, 10, 15}, 10 * (40 * 30 - 10 * 8),
       {-20, 0, -15}, {20, 10, 15}, LPrismShape("positiveXPositiveZ")},
      {"triangular prism", {-10, 0, -15.0005}, {10, 5, 15.0005}, 30.001 * 20 / 2 * 5,
       {-10, 0, -15.0005}, {10, 5, 15.0005}, TriangularPrismShape(30001, "0")},
      {"wedge", {-20, 0, -10}, {20, 30, 10}, 40 * 20 * 20, {-20, 0, -10}, {20, 30, 10},
       R"({"highHeightUm":30000,"kind":"wedge","lowHeightUm":10000,"xSpanUm":40000,)"
       R"("zSpanUm":20000})"},
      // Seated at x = 0 and z = 0, the polygon is centred by half its spans.
      {"polygon prism", {-20, 0, -15}, {20, 7, 15}, 7 * 700.0, {-20, 0, -15}, {20, 7, 15},
       R"({"heightUm":7000,"kind":"polygonPrism","vertices":[{"xUm":0,"zUm":0},)"
       R"({"xUm":0,"zUm":20000},{"xUm":10000,"zUm":30000},{"xUm":40000,"zUm":0}]})"},
      {"sphere", {-50, 0, -50}, {50, 100, 50}, 4 * kPi * 125000 / 3,
       {-50.5, -0.5, -50.5}, {50.5, 100.5, 50.5}, R"({"diameterUm":100000,"kind":"sphere"})"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PlGeneratedSolid record = MakePlGeneratedSolid(Shape(c.shape));
    ExpectBounds(record, c.low, c.high);
    ExpectExtent(record.solid, c.low, c.high);
    // A positive volume also proves the solid is not inside out.
    EXPECT_NEAR(Volume(record.solid), c.volume, c.volume * 1e-6);
    ExpectExtent(record.carrier, c.carrierLow, c.carrierHigh);
    const bool curved = c.carrierLow != c.low;
    EXPECT_EQ(record.carrierMarginMm, curved ? 1.0 : 0.0);
    EXPECT_EQ(record.carrier.IsSame(record.solid), !curved);
    EXPECT_TRUE(IsPlGeneratedSolidValid(record.carrier));
  }
  const PlGeneratedSolid laidDown = MakePlGeneratedSolid(Shape(cases[2].shape));
  EXPECT_NEAR(Volume(laidDown.carrier), kPi * 5.5 * 5.5 * 41, 1e-6);
}

TEST(GeneratedSolid, CutsTheLPrismNotchAtTheNamedCorner) {
  const std::pair<const char*, std::pair<double, double>> cases[] = {
      {"negativeXNegativeZ", {-1, -1}},
      {"negativeXPositiveZ", {-1, 1}},
      {"positiveXNegativeZ", {1, -1}},
      {"positiveXPositiveZ", {1, 1}},
  };
  for (const auto& [quadrant, notch] : cases) {
    SCOPED_TRACE(quadrant);
    const PlGeneratedSolid record = MakePlGeneratedSolid(Shape(LPrismShape(quadrant)));
    ExpectBounds(record, {-20, 0, -15}, {20, 10, 15});
    EXPECT_NEAR(Volume(record.solid), 10 * (40 * 30 - 10 * 8), 1e-6);
    // Each corner probe sits 1 mm inside the outside rectangle, within the notch's reach.
    for (const double px : {-1.0, 1.0}) {
      for (const double pz : {-1.0, 1.0}) {
        const bool notched = px == notch.first && pz == notch.second;
        EXPECT_EQ(Inside(record.solid, px * 19, 5, pz * 14), !notched) << px << "," << pz;
      }
    }
  }
}

TEST(GeneratedSolid, KeepsTheTrianglePointAnywhereOnTheBroadBaseAndSlopesTheWedge) {
  // Half of the odd base span 30001 is floored to 15000.
  for (const char* offset : {"-15000", "15000"}) {
    SCOPED_TRACE(offset);
    const PlGeneratedSolid record =
        MakePlGeneratedSolid(Shape(TriangularPrismShape(30001, offset)));
    EXPECT_NEAR(Volume(record.solid), 30.001 * 20 / 2 * 5, 1e-6);
    EXPECT_TRUE(Inside(record.solid, 9.9, 2.5, std::stod(offset) * 0.001 * 0.999));
  }
  // The top falls from 30 mm at x = -20 to 10 mm at x = +20.
  const PlGeneratedSolid wedge = MakePlGeneratedSolid(
      Shape(R"({"highHeightUm":30000,"kind":"wedge","lowHeightUm":10000,"xSpanUm":40000,)"
            R"("zSpanUm":20000})"));
  EXPECT_TRUE(Inside(wedge.solid, -19, 29, 0));
  EXPECT_FALSE(Inside(wedge.solid, 19, 29, 0));
  EXPECT_TRUE(Inside(wedge.solid, 19, 9, 0));
}

TEST(GeneratedSolid, RefusesWhatCannotBecomeOneSolid) {
  PlShapeDefinition levels;
  levels.kind = PlShapeKind::apexShape;
  ExpectPlCadPrepError([&] { (void)BuildPlGeneratedSolid(levels); }, "backend_not_implemented",
                       "heal", "levels shape uses the direct triangle-mesh publisher");

  PlShapeDefinition unseated;
  unseated.kind = PlShapeKind::polygonPrism;
  unseated.heightUm = 1000;
  unseated.vertices = {{5000, 0}, {5000, 10000}, {15000, 0}};
  ExpectPlCadPrepError([&] { (void)MakePlGeneratedSolid(unseated); }, "invalid_shape_polygon",
                       "heal", "polygon shape is not seated");

  PlShapeDefinition frustum =
      Shape(R"({"axisLengthUm":30000,"kind":"frustum","largeDiameterUm":20000,"mount":"upright",)"
            R"("smallDiameterUm":10000})");
  frustum.smallDiameterUm = frustum.largeDiameterUm;
  ExpectPlCadPrepError([&] { (void)MakePlGeneratedSolid(frustum); }, "invalid_shape_definition",
                       "heal", "frustum large diameter must exceed small diameter");
  EXPECT_FALSE(IsPlGeneratedSolidValid(TopoDS_Shape()));
}

}  // namespace
