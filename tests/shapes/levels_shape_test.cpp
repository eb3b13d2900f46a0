#include "shapes/levels_shape.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "support/expect_error.h"

namespace {

using Polygon = std::vector<PlShapePoint>;
using Levels = std::vector<PlShapeLevel>;
using Triangles = std::vector<std::array<std::uint32_t, 3>>;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t k100m = 100'000'000;

struct RaisedCancellation final : PlCadPrepCancellation {
  bool IsCancelled() const override { return true; }
};

// Normal form: smallest point first, turning so that the doubled area is negative.
Polygon Square(std::int64_t x, std::int64_t z, std::int64_t side) {
  return {{x, z}, {x, z + side}, {x + side, z + side}, {x + side, z}};
}
const Polygon kL = {{0, 0}, {0, 20000}, {10000, 20000}, {10000, 10000}, {20000, 10000}, {20000, 0}};
Levels Prism(const Polygon& polygon, std::int64_t heightUm) {
  return {{polygon, 0}, {polygon, heightUm}};
}

PlGeometryMesh Mesh(const Levels& levels, const PlCadPrepRequest& request = {}) {
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

// The twisted tops turn a 16.49 mm square inside the base; only the outward-folding diagonal
// of each side quad gives the convex hull's volume, h / 6 * (400 + 272 + 4 * 368) mm^3.
TEST(LevelsShape, MeshesAreClosedOutwardWithExactCountsBoundsAndVolumes) {
  const Polygon base = Square(0, 0, 20000);
  // {levels, triangles, bounds high, volume}
  // clang-format off
  const std::tuple<Levels, std::size_t, PlPoint3, double> cases[] = {
      {Prism(Square(0, 0, 10000), 5000), 12, {10, 5, 10}, 500},
      {Prism(kL, 4000), 8 + 12, {20, 4, 20}, 1200},
      {{{Square(0, 0, 30000), 0}, {Square(5000, 5000, 20000), 10000}, {Square(10000, 10000, 10000), 20000}}, 4 + 16, {30, 20, 30}, 26000 / 3.0},
      {{{base, 0}, {{{0, 4000}, {4000, 20000}, {20000, 16000}, {16000, 0}}, 10000}}, 12, {20, 10, 20}, 21440 / 6.0},
      {{{base, 0}, {{{4000, 0}, {0, 16000}, {16000, 20000}, {20000, 4000}}, 10000}}, 12, {20, 10, 20}, 21440 / 6.0},
  };
  // clang-format on
  for (const auto& [levels, triangles, high, volume] : cases) {
    const PlGeometryMesh mesh = Mesh(levels);
    EXPECT_EQ(mesh.triangles.size(), triangles);
    EXPECT_TRUE(mesh.watertight);
    EXPECT_EQ(mesh.boundsMin, (PlPoint3{0.0, 0.0, 0.0}));
    EXPECT_EQ(mesh.boundsMax, high);
    EXPECT_NEAR(Volume(mesh), volume, 1e-6) << triangles;
  }
  const Polygon edge{{0, 0}, {0, k100m}, {k100m, k100m - 1}, {k100m, 0}};
  PlCadPrepRequest request;
  request.sourceToMount[3] = -50000.0;
  const PlGeometryMesh large = Mesh({{edge, 0}, {Square(1, 1, k100m - 2), k100m}}, request);
  EXPECT_EQ(large.boundsMin, (PlPoint3{-50000.0, 0.0, 0.0}));
  EXPECT_EQ(large.boundsMax, (PlPoint3{50000.0, 100000.0, 100000.0}));
  EXPECT_NEAR(Volume(large), 1e15, 1e9);
}

TEST(LevelsShape, ValidationReportsEachRuleWithItsCategory) {
  using C = PlLevelsShapeCategory;
  const Polygon sq = Square(0, 0, 10000);
  Polygon closing = Square(0, 0, 10), reversed(sq.rbegin(), sq.rend());
  closing.push_back(closing.front());
  const Polygon notch = {{0, 0}, {0, 20}, {20, 20}, {10, 10}, {20, 0}};
  const Polygon bow = {{0, 0}, {0, 10000}, {10000, 0}, {10000, 10000}};
  const Polygon kite = {{10000, 0}, {0, 10000}, {10000, 10000}, {20000, 5000}};
  // clang-format off
  const std::tuple<Levels, C, std::string> cases[] = {
      {{{sq, 0}, {kL, 10}}, C::levels, "levels shape levels must share one apex count of 3..256"},
      {Prism(sq, 0), C::definition, "levels shape levels must rise strictly from the plate"},
      {{{notch, 0}, {closing, 10}}, C::polygon, "level 1: polygon must not repeat its first vertex as a closing vertex"},
      {Prism({{0, 0}, {0, 5}, {0, 9}}, 10), C::polygon, "polygon X span must be positive"},
      {Prism({{0, 0}, {0, 5}, {k100m + 1, 0}}, 10), C::polygon, "polygon X span exceeds 100 m"},
      {Prism({{0, 0}, {5, 0}, {9, 0}}, 10), C::polygon, "polygon Z span must be positive"},
      {Prism({{0, 0}, {0, k100m + 1}, {5, 0}}, 10), C::polygon, "polygon Z span exceeds 100 m"},
      {{{sq, 1}, {sq, 10}}, C::levels, "levels shape is not seated"},
      {{{sq, 0}, {bow, 10}}, C::polygon, "level 1: polygon has crossing, touching, or overlapping non-neighbour edges"},
      {Prism({{0, 0}, {5, 5}, {10, 10}}, 10), C::polygon, "level 0: polygon has zero area"},
      {{{sq, 0}, {reversed, 10}}, C::levels, "level 1 turns the other way"},
      {Prism({sq[1], sq[2], sq[3], sq[0]}, 10), C::levels, "level 0 is not in canonical order"},
      {{{sq, 0}, {sq, 10}, {kite, 20}}, C::levels, "ties 4 and 1 cross between levels 1 and 2"},
  };
  // clang-format on
  for (const auto& [levels, category, message] : cases) {
    const PlLevelsShapeValidation result = ValidatePlLevelsShape(levels);
    EXPECT_EQ(result.category, category) << message;
    EXPECT_EQ(result.message, message);
  }
}

TEST(LevelsShape, ExactPolygonTestsHoldAtTheEdgesOfTheRange) {
  // Apex 3 lies on the diagonals cut off at apexes 0 and 1, so neither is an ear.
  EXPECT_EQ(PlEarClipPolygon({{0, 0}, {0, 20}, {20, 20}, {10, 10}, {20, 0}}),
            (Triangles{{1, 2, 3}, {0, 1, 3}, {0, 3, 4}}));
  EXPECT_EQ(PlEarClipPolygon(kL), (Triangles{{0, 1, 2}, {0, 2, 3}, {5, 0, 3}, {3, 4, 5}}));
  EXPECT_THROW((void)PlEarClipPolygon(Polygon(kL.rbegin(), kL.rend())), std::invalid_argument);
  // {a0, a1, b0, b1, meet}: an end touch and the full 64-bit range (65-bit differences).
  // clang-format off
  const std::tuple<PlShapePoint, PlShapePoint, PlShapePoint, PlShapePoint, bool> segments[] = {
      {{0, 0}, {3, 3}, {3, 3}, {5, 5}, true}, {{0, 0}, {2, 2}, {3, 3}, {5, 5}, false},
      {{kMin, kMin}, {kMax, kMax}, {kMin, kMin + 1}, {kMax, kMax - 1}, true},
      {{kMin, kMin}, {kMax, kMax}, {kMin, kMin + 2}, {kMax - 1, kMax}, false},
  };
  // clang-format on
  for (const auto& [a0, a1, b0, b1, meet] : segments) {
    EXPECT_EQ(PlSegmentsMeet(a0, a1, b0, b1), meet) << a0.xUm << "," << a0.zUm << " " << b0.zUm;
    EXPECT_EQ(PlSegmentsMeet(b1, b0, a1, a0), meet);
  }
}

TEST(LevelsShape, PublisherFailuresCarryTheirCodes) {
  // clang-format off
  const std::tuple<Levels, const char*, const char*> invalid[] = {
      {Prism(Square(5, 0, 10), 10), "invalid_shape_levels", "levels shape is not seated"},
      {Prism({{0, 0}, {5, 5}, {10, 10}}, 10), "invalid_shape_polygon", "level 0: polygon has zero area"},
      {Prism(Square(0, 0, 10), 0), "invalid_shape_definition", "levels shape levels must rise strictly from the plate"},
  };
  // clang-format on
  for (const auto& [levels, code, message] : invalid)
    ExpectPlCadPrepError([&] { (void)Mesh(levels); }, code, "import", message);
  PlCadPrepRequest request;
  request.maxTriangles = 11;
  ExpectPlCadPrepError([&] { (void)Mesh(Prism(Square(0, 0, 10), 10), request); },
                       "triangle_limit_exceeded", "import", "mesh exceeds maxTriangles");
  const RaisedCancellation cancelled;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancelled);
  ExpectPlCadPrepError(
      [&] { (void)BuildPlLevelsShapeMesh(Prism(Square(0, 0, 10), 10), request, context); },
      "cancelled", "mesh", "preparation was cancelled");
}
