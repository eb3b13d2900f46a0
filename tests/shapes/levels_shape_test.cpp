#include "shapes/levels_shape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_error.h"

namespace {

using Polygon = std::vector<PlShapePoint>;
using Levels = std::vector<PlShapeLevel>;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kHundredMetresUm = 100'000'000;
const NeverCancelled kNever;

class RaisedCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return true; }
};

// Normal form: smallest point first, turning so that the doubled area is negative.
Polygon Square(std::int64_t x, std::int64_t z, std::int64_t side) {
  return {{x, z}, {x, z + side}, {x + side, z + side}, {x + side, z}};
}

Polygon LShape() {
  return {{0, 0}, {0, 20000}, {10000, 20000}, {10000, 10000}, {20000, 10000}, {20000, 0}};
}

// Teeth rising in +z along x; every valley corner is reflex.
Polygon Comb(int teeth) {
  Polygon comb{{0, 0}};
  for (int i = 0; i < teeth; ++i) {
    const std::int64_t x = 3000 * i;
    comb.push_back({x, 10000});
    comb.push_back({x + 1000, 10000});
    comb.push_back({x + 1000, 2000});
    comb.push_back({x + 3000, 2000});
  }
  comb.back() = {3000 * teeth, 0};
  return comb;
}

Levels Prism(const Polygon& polygon, std::int64_t heightUm) {
  return {{polygon, 0}, {polygon, heightUm}};
}

PlGeometryMesh Mesh(const Levels& levels, const PlCadPrepRequest& request = {}) {
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  return BuildPlLevelsShapeMesh(levels, request, context);
}

PlPoint3 Sub(const PlPoint3& a, const PlPoint3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
PlPoint3 Cross(const PlPoint3& u, const PlPoint3& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}
double Dot(const PlPoint3& u, const PlPoint3& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }

double SignedVolume(const PlGeometryMesh& mesh) {
  double sum = 0.0;
  for (const auto& t : mesh.triangles) {
    sum += Dot(mesh.vertices[t[0]], Cross(mesh.vertices[t[1]], mesh.vertices[t[2]]));
  }
  return sum / 6.0;
}

// No vertex lies outside the plane of any triangle: the mesh bounds a convex solid.
void ExpectConvexOutward(const PlGeometryMesh& mesh) {
  for (const auto& t : mesh.triangles) {
    const PlPoint3& a = mesh.vertices[t[0]];
    const PlPoint3 n = Cross(Sub(mesh.vertices[t[1]], a), Sub(mesh.vertices[t[2]], a));
    for (const PlPoint3& v : mesh.vertices) EXPECT_LE(Dot(n, Sub(v, a)), 1e-6);
  }
}

// An independent exact test: parametric intersection by Cramer's rule and,
// for parallel segments, interval overlap along the common line.
bool ReferenceMeet(const PlShapePoint& a0, const PlShapePoint& a1, const PlShapePoint& b0,
                   const PlShapePoint& b1) {
  struct V {
    PlInt128 x, z;
  };
  const auto sub = [](const PlShapePoint& p, const PlShapePoint& q) {
    return V{PlInt128{p.xUm} - q.xUm, PlInt128{p.zUm} - q.zUm};
  };
  const auto cross = [](V u, V v) { return u.x * v.z - u.z * v.x; };
  const auto dot = [](V u, V v) { return u.x * v.x + u.z * v.z; };
  const V r = sub(a1, a0), s = sub(b1, b0), qp = sub(b0, a0);
  PlInt128 denom = cross(r, s);
  if (denom != 0) {
    PlInt128 t = cross(qp, s), u = cross(qp, r);
    if (denom < 0) {
      denom = -denom;
      t = -t;
      u = -u;
    }
    return 0 <= t && t <= denom && 0 <= u && u <= denom;
  }
  const bool rPoint = r.x == 0 && r.z == 0, sPoint = s.x == 0 && s.z == 0;
  if (rPoint && sPoint) return a0 == b0;
  if (rPoint) {
    const V p = sub(a0, b0);
    return cross(p, s) == 0 && dot(p, s) >= 0 && dot(p, s) <= dot(s, s);
  }
  if (cross(qp, r) != 0) return false;
  const PlInt128 t0 = dot(qp, r), t1 = dot(sub(b1, a0), r);
  return std::max(std::min(t0, t1), PlInt128{0}) <= std::min(std::max(t0, t1), dot(r, r));
}

}  // namespace

TEST(LevelsShape, TwoSquareLevelsMakeAClosedOutwardBox) {
  const PlGeometryMesh mesh = Mesh(Prism(Square(0, 0, 10000), 5000));
  EXPECT_EQ(mesh.triangles.size(), 12u);
  EXPECT_EQ(mesh.vertices.size(), 8u);
  EXPECT_TRUE(mesh.watertight);
  EXPECT_EQ(mesh.surfaceDeviationMm, 0.0);
  EXPECT_EQ(mesh.boundsMin, (PlPoint3{0.0, 0.0, 0.0}));
  EXPECT_EQ(mesh.boundsMax, (PlPoint3{10.0, 5.0, 10.0}));
  EXPECT_NEAR(SignedVolume(mesh), 500.0, 1e-9);
  ExpectConvexOutward(mesh);
}

TEST(LevelsShape, ConcaveTaperedAndTwistedShapesCloseOutward) {
  const PlGeometryMesh l = Mesh(Prism(LShape(), 4000));
  EXPECT_TRUE(l.watertight);
  EXPECT_EQ(l.triangles.size(), 8u + 12u);
  EXPECT_NEAR(SignedVolume(l), 300.0 * 4.0, 1e-9);

  const PlGeometryMesh frustum = Mesh({{Square(0, 0, 30000), 0},
                                       {Square(5000, 5000, 20000), 10000},
                                       {Square(10000, 10000, 10000), 20000}});
  EXPECT_TRUE(frustum.watertight);
  EXPECT_EQ(frustum.triangles.size(), 4u + 16u);
  EXPECT_NEAR(SignedVolume(frustum), 10.0 * (1900.0 + 700.0) / 3.0, 1e-6);
  ExpectConvexOutward(frustum);

  // A square top turned either way inside the base: each side quad is
  // non-planar, and only one of its diagonals keeps the solid convex.
  const Polygon turnedRight{{0, 4000}, {4000, 20000}, {20000, 16000}, {16000, 0}};
  const Polygon turnedLeft{{4000, 0}, {0, 16000}, {16000, 20000}, {20000, 4000}};
  for (const Polygon& top : {turnedRight, turnedLeft}) {
    const PlGeometryMesh twisted = Mesh({{Square(0, 0, 20000), 0}, {top, 10000}});
    EXPECT_TRUE(twisted.watertight);
    ExpectConvexOutward(twisted);
  }
}

TEST(LevelsShape, ValidationReportsEachRuleWithItsCategory) {
  using C = PlLevelsShapeCategory;
  const Polygon square = Square(0, 0, 10000);
  Polygon many;
  for (std::int64_t i = 0; i < 257; ++i) many.push_back({i, i * i});
  Polygon closing = Square(0, 0, 10);
  closing.push_back(closing.front());
  Polygon repeated = square;
  repeated.insert(repeated.begin() + 2, square[1]);
  Polygon reversed(square.rbegin(), square.rend());
  const Polygon notchTouching = {{0, 0}, {0, 20}, {20, 20}, {10, 10}, {20, 0}};
  struct Case {
    const char* name;
    Levels levels;
    C category;
    std::string message;
  };
  const Case cases[] = {
      {"one level", {{square, 0}}, C::levels, "levels shape must contain 2..8 levels"},
      {"nine levels", Levels(9, {square, 0}), C::levels, "levels shape must contain 2..8 levels"},
      {"257 points", Prism(many, 10), C::levels,
       "levels shape levels must share one apex count of 3..256"},
      {"counts differ",
       {{square, 0}, {LShape(), 10}},
       C::levels,
       "levels shape levels must share one apex count of 3..256"},
      {"not rising", Prism(square, 0), C::definition,
       "levels shape levels must rise strictly from the plate"},
      {"too high", Prism(square, kHundredMetresUm + 1), C::definition,
       "levels shape height must be between 1 and 100000000 micrometres"},
      {"closing vertex",
       {{notchTouching, 0}, {closing, 10}},
       C::polygon,
       "level 1: polygon must not repeat its first vertex as a closing vertex"},
      {"repeated vertex", Prism(repeated, 10), C::polygon,
       "level 0: polygon contains a repeated vertex"},
      {"no X span", Prism({{0, 0}, {0, 5}, {0, 9}}, 10), C::polygon,
       "polygon X span must be positive"},
      {"X span", Prism({{0, 0}, {0, 5}, {kHundredMetresUm + 1, 0}}, 10), C::polygon,
       "polygon X span exceeds 100 m"},
      {"no Z span", Prism({{0, 0}, {5, 0}, {9, 0}}, 10), C::polygon,
       "polygon Z span must be positive"},
      {"Z span", Prism({{0, 0}, {0, kHundredMetresUm + 1}, {5, 0}}, 10), C::polygon,
       "polygon Z span exceeds 100 m"},
      {"first level at 1", {{square, 1}, {square, 10}}, C::levels, "levels shape is not seated"},
      {"smallest x 5", Prism(Square(5, 0, 10), 10), C::levels, "levels shape is not seated"},
      {"smallest z 5", Prism(Square(0, 5, 10), 10), C::levels, "levels shape is not seated"},
      {"crossing",
       {{square, 0}, {{{0, 0}, {0, 10000}, {10000, 0}, {10000, 10000}}, 10}},
       C::polygon,
       "level 1: polygon has crossing, touching, or overlapping non-neighbour edges"},
      {"zero area", Prism({{0, 0}, {5, 5}, {10, 10}}, 10), C::polygon,
       "level 0: polygon has zero area"},
      {"level 1 turns", {{square, 0}, {reversed, 10}}, C::levels, "level 1 turns the other way"},
      {"level 0 starts late", Prism({square[1], square[2], square[3], square[0]}, 10), C::levels,
       "level 0 is not in canonical order"},
      {"level 0 turns",
       {{{square[0], square[3], square[2], square[1]}, 0}, {square, 10}},
       C::levels,
       "level 0 is not in canonical order"},
      {"twisted ties",
       {{Square(10000, 0, 10000), 0}, {{{10000, 10000}, {10000, 0}, {0, 0}, {0, 10000}}, 10}},
       C::levels,
       "ties 1 and 2 cross between levels 0 and 1"},
      {"touching ties",
       {{square, 0}, {square, 10}, {{{10000, 0}, {0, 10000}, {10000, 10000}, {20000, 5000}}, 20}},
       C::levels,
       "ties 4 and 1 cross between levels 1 and 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PlLevelsShapeValidation result = ValidatePlLevelsShape(c.levels);
    EXPECT_EQ(result.category, c.category);
    EXPECT_EQ(result.message, c.message);
  }
}

TEST(LevelsShape, EarClippingTakesTheFirstEarThatHoldsNoOtherApex) {
  using Triangles = std::vector<std::array<std::uint32_t, 3>>;
  EXPECT_EQ(PlEarClipPolygon(Square(0, 0, 10)), (Triangles{{3, 0, 1}, {1, 2, 3}}));
  // Apex 3 lies on the diagonals cut off at apexes 0 and 1, so neither is an ear.
  EXPECT_EQ(PlEarClipPolygon({{0, 0}, {0, 20}, {20, 20}, {10, 10}, {20, 0}}),
            (Triangles{{1, 2, 3}, {0, 1, 3}, {0, 3, 4}}));

  Polygon hexagon{{0, 10}, {10, 20}, {20, 20}, {30, 10}, {20, 0}, {10, 0}};
  for (const Polygon& polygon : {Square(0, 0, 7), hexagon, LShape(), Comb(6)}) {
    const PlInt128 area = PlPolygonDoubledSignedArea(polygon);
    ASSERT_LT(area, 0);
    const auto triangles = PlEarClipPolygon(polygon);
    ASSERT_EQ(triangles.size(), polygon.size() - 2);
    PlInt128 covered = 0;
    for (const auto& t : triangles) {
      const PlInt128 part =
          PlPolygonDoubledSignedArea({polygon[t[0]], polygon[t[1]], polygon[t[2]]});
      EXPECT_LT(part, 0) << "reflex ear";
      covered += part < 0 ? -part : part;
    }
    EXPECT_TRUE(covered == -area);
  }
  EXPECT_THROW((void)PlEarClipPolygon(Polygon(hexagon.rbegin(), hexagon.rend())),
               std::invalid_argument);
}

TEST(LevelsShape, SegmentTestMatchesAnExactReferenceAtTheBounds) {
  std::mt19937_64 random(20240611);
  std::uniform_int_distribution<std::int64_t> coordinate(-kHundredMetresUm, kHundredMetresUm);
  std::uniform_int_distribution<std::int64_t> nudge(-1, 1);
  const auto point = [&] { return PlShapePoint{coordinate(random), coordinate(random)}; };
  int meetings = 0;
  for (int i = 0; i < 20000; ++i) {
    const PlShapePoint a0 = point();
    PlShapePoint a1 = point();
    if (i % 4 == 3) a1 = {a0.xUm + nudge(random), a0.zUm + nudge(random)};
    // A point on the line of a, a step along it, nudged by at most one micrometre.
    const std::int64_t g = std::gcd(a1.xUm - a0.xUm, a1.zUm - a0.zUm);
    const PlShapePoint step =
        g == 0 ? PlShapePoint{} : PlShapePoint{(a1.xUm - a0.xUm) / g, (a1.zUm - a0.zUm) / g};
    std::uniform_int_distribution<std::int64_t> along(-g - 2, g + 2);
    const auto nearLine = [&] {
      const std::int64_t k = along(random);
      return PlShapePoint{a0.xUm + k * step.xUm + nudge(random),
                          a0.zUm + k * step.zUm + nudge(random)};
    };
    const PlShapePoint b0 = i % 2 == 0 ? nearLine() : point();
    const PlShapePoint b1 = i % 3 == 0 ? point() : nearLine();
    const bool meet = PlSegmentsMeet(a0, a1, b0, b1);
    ASSERT_EQ(meet, ReferenceMeet(a0, a1, b0, b1)) << i;
    EXPECT_EQ(meet, PlSegmentsMeet(b1, b0, a0, a1));
    meetings += meet ? 1 : 0;
  }
  EXPECT_GT(meetings, 1000);

  // Across the whole 64-bit range the differences need 65 bits and the products 129.
  const PlShapePoint lo{kMin, kMin}, hi{kMax, kMax};
  EXPECT_TRUE(PlSegmentsMeet(lo, hi, {kMin, kMax}, {kMax, kMin}));
  EXPECT_TRUE(PlSegmentsMeet(lo, hi, {kMin, kMin + 1}, {kMax, kMax - 1}));
  EXPECT_TRUE(PlSegmentsMeet(lo, hi, {kMin, kMin + 1}, hi));
  EXPECT_FALSE(PlSegmentsMeet(lo, hi, {kMin, kMin + 2}, {kMax - 1, kMax}));
  EXPECT_FALSE(PlSegmentsMeet(lo, hi, {kMax, kMax - 1}, {kMax, kMin}));
  EXPECT_FALSE(PlSegmentsMeet(lo, lo, hi, hi));

  // The doubled area does not depend on where the polygon sits.
  const PlInt128 area = PlPolygonDoubledSignedArea(LShape());
  for (const PlShapePoint shift :
       {PlShapePoint{kMax - 20000, kMin}, PlShapePoint{kMin, kMax - 20000}}) {
    Polygon moved = LShape();
    for (PlShapePoint& p : moved) p = {p.xUm + shift.xUm, p.zUm + shift.zUm};
    EXPECT_TRUE(PlPolygonDoubledSignedArea(moved) == area);
  }
}

TEST(LevelsShape, ShapeAtTheHundredMetreBoundsMeshes) {
  const Levels levels{{{{0, 0},
                        {0, kHundredMetresUm},
                        {kHundredMetresUm, kHundredMetresUm - 1},
                        {kHundredMetresUm, 0}},
                       0},
                      {Square(1, 1, kHundredMetresUm - 2), kHundredMetresUm}};
  ASSERT_TRUE(ValidatePlLevelsShape(levels).Accepted());
  PlCadPrepRequest request;
  request.sourceToMount[3] = -50000.0;
  const PlGeometryMesh mesh = Mesh(levels, request);
  EXPECT_TRUE(mesh.watertight);
  EXPECT_EQ(mesh.boundsMin, (PlPoint3{-50000.0, 0.0, 0.0}));
  EXPECT_EQ(mesh.boundsMax, (PlPoint3{50000.0, 100000.0, 100000.0}));
  EXPECT_NEAR(SignedVolume(mesh), 1e15, 1e9);
}

TEST(LevelsShape, PublisherFailuresCarryTheirCodes) {
  struct Case {
    Levels levels;
    const char* code;
    const char* message;
  };
  const Case invalid[] = {
      {Prism(Square(5, 0, 10), 10), "invalid_shape_levels", "levels shape is not seated"},
      {Prism({{0, 0}, {5, 5}, {10, 10}}, 10), "invalid_shape_polygon",
       "level 0: polygon has zero area"},
      {Prism(Square(0, 0, 10), 0), "invalid_shape_definition",
       "levels shape levels must rise strictly from the plate"},
  };
  for (const Case& c : invalid) {
    SCOPED_TRACE(c.message);
    ExpectPlCadPrepError([&] { (void)Mesh(c.levels); }, c.code, "import", c.message);
  }
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
