#include "shapes/levels_shape.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"

namespace {

using Polygon = std::vector<PlShapePoint>;
using Levels = std::vector<PlShapeLevel>;

// Normal form: smallest point first, turning so that the doubled area is negative.
Polygon Square(std::int64_t x, std::int64_t z, std::int64_t side) {
  return {{x, z}, {x, z + side}, {x + side, z + side}, {x + side, z}};
}
const Polygon kL = {{0, 0}, {0, 20000}, {10000, 20000}, {10000, 10000}, {20000, 10000}, {20000, 0}};
Levels Prism(const Polygon& polygon, std::int64_t heightUm) {
  return {{polygon, 0}, {polygon, heightUm}};
}

PlGeometryMesh Mesh(const Levels& levels) {
  const PlCadPrepRequest request;
  const NeverCancelled never;
  return BuildPlLevelsShapeMesh(levels, request, MakePlCadPrepOperationContext(request, never));
}

double Volume(const PlGeometryMesh& m) {
  double volume = 0.0;
  for (const auto& t : m.triangles) {
    const PlPoint3 &a = m.vertices[t[0]], &b = m.vertices[t[1]], &c = m.vertices[t[2]];
    volume += a[0] * (b[1] * c[2] - b[2] * c[1]) + a[1] * (b[2] * c[0] - b[0] * c[2]) +
              a[2] * (b[0] * c[1] - b[1] * c[0]);
  }
  return volume / 6.0;
}

}  // namespace

// The twisted top turns a 16.49 mm square inside the base; only the outward-folding diagonal
// of each side quad gives the convex hull's volume, h / 6 * (400 + 272 + 4 * 368) mm^3.
TEST(LevelsShape, MeshesAreClosedOutwardWithExactCountsBoundsAndVolumes) {
  const Polygon twisted = {{0, 4000}, {4000, 20000}, {20000, 16000}, {16000, 0}};
  // {levels, triangles, bounds high, volume}
  const std::tuple<Levels, std::size_t, PlPoint3, double> cases[] = {
      {Prism(kL, 4000), 8 + 12, {20, 4, 20}, 1200},
      {{{Square(0, 0, 20000), 0}, {twisted, 10000}}, 12, {20, 10, 20}, 21440 / 6.0}};
  for (const auto& [levels, triangles, high, volume] : cases) {
    const PlGeometryMesh mesh = Mesh(levels);
    EXPECT_EQ(mesh.triangles.size(), triangles);
    EXPECT_TRUE(mesh.watertight);
    EXPECT_EQ(mesh.boundsMin, (PlPoint3{0.0, 0.0, 0.0}));
    EXPECT_EQ(mesh.boundsMax, high);
    EXPECT_NEAR(Volume(mesh), volume, 1e-6) << triangles;
  }
}

TEST(LevelsShape, ValidationReportsEachRuleWithItsCategory) {
  using C = PlLevelsShapeCategory;
  const Polygon sq = Square(0, 0, 10000);
  Polygon closing = Square(0, 0, 10), reversed(sq.rbegin(), sq.rend());
  closing.push_back(closing.front());
  const Polygon notch = {{0, 0}, {0, 20}, {20, 20}, {10, 10}, {20, 0}};
  const Polygon kite = {{10000, 0}, {0, 10000}, {10000, 10000}, {20000, 5000}};
  const std::tuple<Levels, C, std::string> cases[] = {
      {{{sq, 0}, {kL, 10}}, C::levels, "levels shape levels must share one apex count of 3..256"},
      {Prism(sq, 0), C::definition, "levels shape levels must rise strictly from the plate"},
      {{{notch, 0}, {closing, 10}},
       C::polygon,
       "level 1: polygon must not repeat its first vertex as a closing vertex"},
      {{{sq, 1}, {sq, 10}}, C::levels, "levels shape is not seated"},
      {{{sq, 0}, {reversed, 10}}, C::levels, "level 1 turns the other way"},
      {Prism({sq[1], sq[2], sq[3], sq[0]}, 10), C::levels, "level 0 is not in canonical order"},
      {{{sq, 0}, {sq, 10}, {kite, 20}}, C::levels, "ties 4 and 1 cross between levels 1 and 2"},
  };
  for (const auto& [levels, category, message] : cases) {
    const PlLevelsShapeValidation result = ValidatePlLevelsShape(levels);
    EXPECT_EQ(result.category, category) << message;
    EXPECT_EQ(result.message, message);
  }
}
