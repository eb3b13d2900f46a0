#include "shapes/generated_solid.h"

#include <gtest/gtest.h>

#include <BRepBndLib.hxx>
#include <BRepClass3d_SolidClassifier.hxx>
#include <BRepGProp.hxx>
#include <Bnd_Box.hxx>
#include <GProp_GProps.hxx>
#include <numbers>

#include "support/expect_error.h"
#include "support/shape_documents.h"

namespace {

constexpr double kPi = std::numbers::pi;

PlGeneratedSolid Make(const std::string& shape) {
  return MakePlGeneratedSolid(ParsePlShapeDefinition(ShapeDefinitionDocument(shape)));
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
  PlPoint3 min{}, max{};
  box.Get(min[0], min[1], min[2], max[0], max[1], max[2]);
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(min[axis], low[axis], 1e-4) << axis;
    EXPECT_NEAR(max[axis], high[axis], 1e-4) << axis;
  }
}

// Curved kinds carry a solid 0.5 mm larger on every side; upright ones stay on the plate.
TEST(GeneratedSolid, BuildsEachCarrierFamilyWithItsBoundsAndVolume) {
  enum Carrier { flat, upright, around };
  const std::tuple<std::string, PlPoint3, PlPoint3, double, Carrier> cases[] = {
      {LPrismShape("positiveXPositiveZ"), {-20, 0, -15}, {20, 10, 15}, 11200, flat},
      {FrustumShape(30000, 20000, "upright", 10000),
       {-10, 0, -10},
       {10, 30, 10},
       kPi * 30 * 175 / 3,
       upright},
      {CylinderShape(40000, 10000, "laidDown"), {-20, 0, -5}, {20, 10, 5}, kPi * 25 * 40, around},
      {FrustumShape(30000, 20000, "laidDown", 10000),
       {-15, 0, -10},
       {15, 20, 10},
       kPi * 30 * 175 / 3,
       around},
  };
  for (const auto& [shape, low, high, volume, carrier] : cases) {
    SCOPED_TRACE(shape);
    const PlGeneratedSolid record = Make(shape);
    EXPECT_EQ(std::tie(record.boundsMin, record.boundsMax), std::tie(low, high));
    ExpectExtent(record.solid, low, high);
    // A positive volume also proves the solid is not inside out.
    EXPECT_NEAR(Volume(record.solid), volume, volume * 1e-6);
    const double g = carrier == flat ? 0.0 : 0.5, below = carrier == around ? g : 0.0;
    ExpectExtent(record.carrier, {low[0] - g, low[1] - below, low[2] - g},
                 {high[0] + g, high[1] + g, high[2] + g});
    EXPECT_EQ(record.carrierMarginMm, 2 * g);
    EXPECT_EQ(record.carrier.IsSame(record.solid), carrier == flat);
    EXPECT_TRUE(IsPlGeneratedSolidValid(record.carrier));
  }
  // The notch of the positive-X positive-Z L-prism is cut from that corner only.
  const TopoDS_Shape lPrism = Make(LPrismShape("positiveXPositiveZ")).solid;
  EXPECT_EQ(BRepClass3d_SolidClassifier(lPrism, gp_Pnt(19, 5, 14), 1e-7).State(), TopAbs_OUT);
  EXPECT_EQ(BRepClass3d_SolidClassifier(lPrism, gp_Pnt(19, 5, -14), 1e-7).State(), TopAbs_IN);
}

}  // namespace
