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

TEST(GeneratedSolid, BuildsEveryKindWithItsBoundsVolumeAndCarrier) {
  // Curved kinds carry a solid 0.5 mm larger on every side; upright ones stay on the plate.
  enum Carrier { flat, upright, around };
  const double cylinder = kPi * 25 * 40, frustum = kPi * 30 * (100 + 50 + 25) / 3;
  // clang-format off
  const std::tuple<std::string, PlPoint3, PlPoint3, double, Carrier> cases[] = {
      {BoxShape(10000, 20000, 30000), {-10, 0, -15}, {10, 10, 15}, 6000, flat},
      {CylinderShape(40000, 10000, "upright"), {-5, 0, -5}, {5, 40, 5}, cylinder, upright},
      {CylinderShape(40000, 10000, "laidDown"), {-20, 0, -5}, {20, 10, 5}, cylinder, around},
      {FrustumShape(30000, 20000, "upright", 10000), {-10, 0, -10}, {10, 30, 10}, frustum, upright},
      {FrustumShape(30000, 20000, "laidDown", 10000), {-15, 0, -10}, {15, 20, 10}, frustum, around},
      {LPrismShape("positiveXPositiveZ"), {-20, 0, -15}, {20, 10, 15}, 11200, flat},
      {TriangularPrismShape(30001, "0"), {-10, 0, -15.0005}, {10, 5, 15.0005}, 1500.05, flat},
      {WedgeShape(30000, 10000, 40000, 20000), {-20, 0, -10}, {20, 30, 10}, 16000, flat},
      // Seated at x = 0 and z = 0, the polygon is centred by half its spans.
      {R"({"heightUm":7000,"kind":"polygonPrism","vertices":[{"xUm":0,"zUm":0},{"xUm":0,"zUm":20000},{"xUm":10000,"zUm":30000},{"xUm":40000,"zUm":0}]})", {-20, 0, -15}, {20, 7, 15}, 4900, flat},
      {SphereShape(100000), {-50, 0, -50}, {50, 100, 50}, 4 * kPi * 125000 / 3, around},
  };
  // clang-format on
  for (const auto& [shape, low, high, volume, carrier] : cases) {
    SCOPED_TRACE(shape);
    const PlGeneratedSolid record = Make(shape);
    EXPECT_EQ(record.boundsMin, low);
    EXPECT_EQ(record.boundsMax, high);
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

TEST(GeneratedSolid, RefusesWhatCannotBecomeOneSolid) {
  PlShapeDefinition levels{.kind = PlShapeKind::apexShape};
  ExpectPlCadPrepError([&] { (void)BuildPlGeneratedSolid(levels); }, "backend_not_implemented",
                       "heal", "levels shape uses the direct triangle-mesh publisher");
  PlShapeDefinition unseated{.kind = PlShapeKind::polygonPrism, .heightUm = 1000};
  unseated.vertices = {{5000, 0}, {5000, 10000}, {15000, 0}};
  ExpectPlCadPrepError([&] { (void)MakePlGeneratedSolid(unseated); }, "invalid_shape_polygon",
                       "heal", "polygon shape is not seated");
  PlShapeDefinition frustum =
      ParsePlShapeDefinition(ShapeDefinitionDocument(FrustumShape(30000, 20000, "upright", 10000)));
  frustum.smallDiameterUm = frustum.largeDiameterUm;
  ExpectPlCadPrepError([&] { (void)MakePlGeneratedSolid(frustum); }, "invalid_shape_definition",
                       "heal", "frustum large diameter must exceed small diameter");
  EXPECT_FALSE(IsPlGeneratedSolidValid(TopoDS_Shape()));
}

}  // namespace
