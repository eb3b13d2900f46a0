#include "members/voxelizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "members/collision_mesh.h"
#include "members/voxel_coverage.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Triangle = std::array<std::uint32_t, 3>;
using Cell = std::array<std::int64_t, 3>;
using Bytes = std::vector<std::uint8_t>;

struct TestRun : LimitedRun {
  using LimitedRun::LimitedRun;
  PlVoxelMember Level(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                      const ProgressCallback& progress = {}, std::uint64_t base = 0,
                      std::uint64_t total = 1) {
    return VoxelizePlCadPrepLevel(mesh, cellSizeMm, context, base, total, progress);
  }
};

// An axis-aligned box wound outwards; `skipFace` (0..5: -x, +x, -y, +y, -z, +z) leaves one open.
PlGeometryMesh Box(const PlPoint3& lo, const PlPoint3& hi, int skipFace = -1) {
  std::vector<PlPoint3> vertices;
  for (int i = 0; i < 8; ++i) {
    vertices.push_back({(i & 1) ? hi[0] : lo[0], (i & 2) ? hi[1] : lo[1], (i & 4) ? hi[2] : lo[2]});
  }
  const Triangle faces[6][2] = {{{0, 4, 2}, {2, 4, 6}}, {{1, 3, 5}, {3, 7, 5}},
                                {{0, 1, 4}, {1, 5, 4}}, {{2, 6, 3}, {3, 6, 7}},
                                {{0, 2, 1}, {1, 2, 3}}, {{4, 5, 6}, {5, 7, 6}}};
  std::vector<Triangle> triangles;
  for (int f = 0; f < 6; ++f) {
    if (f != skipFace) triangles.insert(triangles.end(), {faces[f][0], faces[f][1]});
  }
  PlGeometryMesh mesh = MakeMesh(std::move(vertices), std::move(triangles));
  mesh.watertight = skipFace < 0;
  return mesh;
}

// Rounds to the nearest binary32; the volatile store keeps the round trip from being folded away.
double ToBinary32(double v) {
  const volatile float rounded = static_cast<float>(v);
  return static_cast<double>(rounded);
}

// A latitude-longitude sphere with binary32 vertices, wound outwards. With `openCapZ`
// the triangles whose centroid lies above that height are left out.
PlGeometryMesh Sphere(const PlPoint3& centre, double radius, double openCapZ = INFINITY) {
  constexpr std::uint32_t kRings = 24, kSegments = 48;
  const double pi = std::acos(-1.0);
  const auto point = [&](double polar, double azimuth) {
    return PlPoint3{ToBinary32(centre[0] + radius * std::sin(polar) * std::cos(azimuth)),
                    ToBinary32(centre[1] + radius * std::sin(polar) * std::sin(azimuth)),
                    ToBinary32(centre[2] + radius * std::cos(polar))};
  };
  std::vector<PlPoint3> vertices = {point(0, 0)};
  for (std::uint32_t ring = 1; ring < kRings; ++ring) {
    for (std::uint32_t s = 0; s < kSegments; ++s) {
      vertices.push_back(point(pi * ring / kRings, 2.0 * pi * s / kSegments));
    }
  }
  vertices.push_back(point(pi, 0));
  const auto south = static_cast<std::uint32_t>(vertices.size() - 1);
  const auto at = [](std::uint32_t ring, std::uint32_t s) {
    return 1 + (ring - 1) * kSegments + s % kSegments;
  };
  std::vector<Triangle> all;
  for (std::uint32_t s = 0; s < kSegments; ++s) {
    all.push_back({0, at(1, s), at(1, s + 1)});
    for (std::uint32_t ring = 1; ring + 1 < kRings; ++ring) {
      all.push_back({at(ring, s), at(ring + 1, s), at(ring + 1, s + 1)});
      all.push_back({at(ring, s), at(ring + 1, s + 1), at(ring, s + 1)});
    }
    all.push_back({south, at(kRings - 1, s + 1), at(kRings - 1, s)});
  }
  std::vector<Triangle> kept;
  for (const Triangle& f : all) {
    if (vertices[f[0]][2] + vertices[f[1]][2] + vertices[f[2]][2] <= 3 * openCapZ)
      kept.push_back(f);
  }
  PlGeometryMesh mesh = MakeMesh(std::move(vertices), std::move(kept));
  mesh.watertight = std::isinf(openCapZ);
  return mesh;
}

// `count` small triangles along x, one per 60 mm.
PlGeometryMesh TriangleRow(std::uint32_t count) {
  std::vector<PlPoint3> vertices;
  std::vector<Triangle> triangles;
  for (std::uint32_t n = 0; n < count; ++n) {
    const double x = 10.0 + 60.0 * n;
    vertices.insert(vertices.end(), {{x, 10, 10}, {x + 5, 10, 10}, {x, 15, 12}});
    triangles.push_back({3 * n, 3 * n + 1, 3 * n + 2});
  }
  return MakeMesh(std::move(vertices), std::move(triangles));
}

// Random test triangles on the 2^-8 mm grid: small ones, slivers, triangles in
// lattice planes, triangles with corners on lattice points, a few large ones.
PlGeometryMesh AdversarialSoup(std::uint32_t seed) {
  std::mt19937 rng(seed);
  const auto grid = [&](double lo, double hi) {
    std::uniform_int_distribution<std::int64_t> d(std::int64_t(lo * 256), std::int64_t(hi * 256));
    return std::ldexp(static_cast<double>(d(rng)), -8);
  };
  const auto near = [&](const PlPoint3& p, double reach) {
    return PlPoint3{p[0] + grid(-reach, reach), p[1] + grid(-reach, reach),
                    p[2] + grid(-reach, reach)};
  };
  const auto anywhere = [&](double reach) {
    return PlPoint3{grid(-reach, reach), grid(-reach, reach), grid(-reach, reach)};
  };
  // 150 mm is a lattice line of both the 30 mm and the 50 mm levels.
  const auto lattice = [&](int lo, int hi) {
    return 150.0 * std::uniform_int_distribution(lo, hi)(rng);
  };
  std::vector<PlPoint3> vertices;
  std::vector<Triangle> triangles;
  const auto add = [&](const PlPoint3& a, const PlPoint3& b, const PlPoint3& c) {
    const auto base = static_cast<std::uint32_t>(vertices.size());
    vertices.insert(vertices.end(), {a, b, c});
    triangles.push_back({base, base + 1, base + 2});
  };
  for (int n = 0; n < 1200; ++n) {
    const PlPoint3 centre = anywhere(1200);
    add(near(centre, 60), near(centre, 60), near(centre, 60));
  }
  for (int n = 0; n < 300; ++n) {
    const PlPoint3 a = anywhere(900);
    add(a, near(a, 4.0 / 256), near(a, 120));
  }
  for (int n = 0; n < 300; ++n) {
    PlPoint3 centre = anywhere(900);
    const auto axis = static_cast<std::size_t>(n % 3);
    centre[axis] = lattice(-6, 6);
    PlPoint3 a = near(centre, 100), b = near(centre, 100), c = near(centre, 100);
    a[axis] = b[axis] = c[axis] = centre[axis];
    add(a, b, c);
  }
  for (int n = 0; n < 200; ++n) {
    const PlPoint3 p = {lattice(-6, 6), lattice(-6, 6), lattice(-6, 6)};
    if (n % 2 == 0) {
      add(p, near(p, 90), near(p, 90));
    } else {
      add(p, {p[0] + lattice(-1, 1), p[1] + lattice(-1, 1), p[2]},
          {p[0], p[1] + lattice(-1, 1), p[2] + lattice(-1, 1)});
    }
  }
  for (int n = 0; n < 6; ++n) {
    const PlPoint3 centre = anywhere(600);
    add(near(centre, 400), near(centre, 400), near(centre, 400));
  }
  return MakeMesh(std::move(vertices), std::move(triangles));
}

std::uint64_t OccupiedCount(const PlVoxelGrid& grid) {
  std::uint64_t count = 0;
  for (const std::uint64_t w : grid.words) count += static_cast<std::uint64_t>(std::popcount(w));
  return count;
}

// ---- An exact reference, independent of the voxelizer's arithmetic ----------
//
// Test coordinates are multiples of 2^-8 mm below 2^12 mm, so scaled by 2^20 they
// are exact integers, and every separating-axis quantity of a triangle against a
// lattice box is an exact 128-bit integer.

__extension__ using Int128 = __int128;
using ExactVector = std::array<Int128, 3>;
constexpr int kScaleBits = 20;

Int128 Scaled(double mm) {
  const double scaled = std::ldexp(mm, kScaleBits);
  EXPECT_EQ(scaled, std::trunc(scaled)) << "test coordinate is not a multiple of 2^-20";
  return static_cast<Int128>(static_cast<std::int64_t>(scaled));
}

ExactVector Minus(const ExactVector& a, const ExactVector& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

ExactVector CrossExact(const ExactVector& a, const ExactVector& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Int128 DotExact(const ExactVector& a, const ExactVector& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Int128 AbsExact(Int128 v) { return v < 0 ? -v : v; }

std::int64_t FloorDiv(Int128 a, Int128 b) {
  return static_cast<std::int64_t>(a / b - (a % b != 0 && a < 0 ? 1 : 0));
}

struct ExactTriangle {
  std::array<ExactVector, 3> corners;
  std::array<ExactVector, 13> axes;
};

ExactTriangle MakeExact(const PlGeometryMesh& mesh, const Triangle& t) {
  ExactTriangle e;
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t axis = 0; axis < 3; ++axis)
      e.corners[v][axis] = Scaled(mesh.vertices[t[v]][axis]);
  }
  const std::array<ExactVector, 3> units = {ExactVector{1, 0, 0}, ExactVector{0, 1, 0},
                                            ExactVector{0, 0, 1}};
  const std::array<ExactVector, 3> edges = {Minus(e.corners[1], e.corners[0]),
                                            Minus(e.corners[2], e.corners[1]),
                                            Minus(e.corners[0], e.corners[2])};
  std::size_t next = 0;
  for (const ExactVector& u : units) e.axes[next++] = u;
  e.axes[next++] = CrossExact(edges[0], edges[1]);
  for (const ExactVector& edge : edges) {
    for (const ExactVector& u : units) e.axes[next++] = CrossExact(edge, u);
  }
  return e;
}

// Whether the closed triangle meets the closed lattice box grown by `growUnits`
// (units of 2^-20 mm) on every side. For two convex sets these thirteen axes
// decide overlap exactly.
bool ExactTouches(const ExactTriangle& t, const Cell& cell, std::uint32_t cellSizeMm,
                  Int128 growUnits) {
  const Int128 size = Int128{cellSizeMm} << kScaleBits;
  const ExactVector centre = {cell[0] * size + size / 2, cell[1] * size + size / 2,
                              cell[2] * size + size / 2};
  const Int128 half = size / 2 + growUnits;
  for (const ExactVector& axis : t.axes) {
    const Int128 p0 = DotExact(Minus(t.corners[0], centre), axis);
    const Int128 p1 = DotExact(Minus(t.corners[1], centre), axis);
    const Int128 p2 = DotExact(Minus(t.corners[2], centre), axis);
    const Int128 radius = half * (AbsExact(axis[0]) + AbsExact(axis[1]) + AbsExact(axis[2]));
    if (std::min({p0, p1, p2}) > radius || std::max({p0, p1, p2}) < -radius) return false;
  }
  return true;
}

// Lattice cells of the closed interval [a, b] with exact integer floors.
std::pair<std::int64_t, std::int64_t> ExactRange(double a, double b, std::uint32_t cellSizeMm) {
  const Int128 size = Int128{cellSizeMm} << kScaleBits;
  const Int128 lo = Scaled(a);
  return {FloorDiv(lo, size) - (lo % size == 0 ? 1 : 0), FloorDiv(Scaled(b), size)};
}

// A padded bit set laid out as the voxelizer's coverage grid is.
struct PaddedBits {
  PaddedBits(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm) {
    for (std::size_t a = 0; a < 3; ++a) {
      std::tie(grid.lo[a], grid.hi[a]) =
          ExactRange(mesh.boundsMin[a], mesh.boundsMax[a], cellSizeMm);
      grid.padded[a] = static_cast<std::uint64_t>(grid.hi[a] - grid.lo[a] + 3);
    }
    bits.assign((grid.padded[0] * grid.padded[1] * grid.padded[2] + 63) / 64, 0);
  }
  std::uint64_t Index(const Cell& cell) const {
    std::array<std::uint64_t, 3> p{};
    for (std::size_t a = 0; a < 3; ++a) p[a] = static_cast<std::uint64_t>(cell[a] - grid.lo[a] + 1);
    return ((p[1] * grid.padded[2]) + p[2]) * grid.padded[0] + p[0];
  }
  bool Inside(const Cell& cell) const {
    for (std::size_t a = 0; a < 3; ++a) {
      if (cell[a] < grid.lo[a] - 1 || cell[a] > grid.hi[a] + 1) return false;
    }
    return true;
  }
  bool Test(const Cell& cell) const { return PlVoxelTestBit(bits, Index(cell)); }
  void Set(const Cell& cell) { PlVoxelSetBit(bits, Index(cell)); }
  PlVoxelPaddedGrid grid;
  std::vector<std::uint64_t> bits;
};

// Visits the cells of a triangle's exact range grown by one cell, telling those in the range.
template <typename Fn>
void ForEachCellAround(const PlGeometryMesh& mesh, const Triangle& t, std::uint32_t cellSizeMm,
                       Fn&& fn) {
  std::array<std::pair<std::int64_t, std::int64_t>, 3> range{};
  for (std::size_t a = 0; a < 3; ++a) {
    const auto [lo, hi] =
        std::minmax({mesh.vertices[t[0]][a], mesh.vertices[t[1]][a], mesh.vertices[t[2]][a]});
    range[a] = ExactRange(lo, hi, cellSizeMm);
  }
  Cell cell{};
  for (cell[1] = range[1].first - 1; cell[1] <= range[1].second + 1; ++cell[1]) {
    for (cell[2] = range[2].first - 1; cell[2] <= range[2].second + 1; ++cell[2]) {
      for (cell[0] = range[0].first - 1; cell[0] <= range[0].second + 1; ++cell[0]) {
        bool inRange = true;
        for (std::size_t a = 0; a < 3; ++a) {
          inRange = inRange && cell[a] >= range[a].first && cell[a] <= range[a].second;
        }
        fn(cell, inRange);
      }
    }
  }
}

TEST(Voxelizer, CoverageHoldsEveryExactlyTouchedCellNothingFartherAndMatchesTheCellTest) {
  for (const std::uint32_t cellSizeMm : {30U, 50U}) {
    SCOPED_TRACE(cellSizeMm);
    const PlGeometryMesh mesh = AdversarialSoup(7 + cellSizeMm);
    PaddedBits covered(mesh, cellSizeMm);
    TestRun run;
    CoverPlVoxelTriangles(mesh, cellSizeMm, covered.grid, covered.bits, run.context, 0, 1, {});
    PaddedBits nearlyTouched(mesh, cellSizeMm);
    PaddedBits tested(mesh, cellSizeMm);
    std::uint64_t touched = 0;
    std::uint64_t missed = 0;
    for (const Triangle& t : mesh.triangles) {
      const ExactTriangle exact = MakeExact(mesh, t);
      const PlPoint3& a = mesh.vertices[t[0]];
      const PlPoint3& b = mesh.vertices[t[1]];
      const PlPoint3& c = mesh.vertices[t[2]];
      ForEachCellAround(mesh, t, cellSizeMm, [&](const Cell& cell, bool inRange) {
        if (ExactTouches(exact, cell, cellSizeMm, 0)) {
          ++touched;
          ASSERT_TRUE(covered.Inside(cell));
          if (!covered.Test(cell)) ++missed;
        }
        // 2^-20 mm is far above the interval test's rounding and far below any
        // true gap between a lattice box and a 2^-8 mm grid triangle.
        if (covered.Inside(cell) && ExactTouches(exact, cell, cellSizeMm, 1))
          nearlyTouched.Set(cell);
        // The coverage shortcuts decide every cell of the range as the full test does.
        if (inRange && PlVoxelTriangleMayOverlapCell(a, b, c, cell, cellSizeMm)) tested.Set(cell);
      });
    }
    EXPECT_EQ(missed, 0U);
    EXPECT_GT(touched, 10000U);
    std::uint64_t extra = 0;
    for (std::size_t w = 0; w < covered.bits.size(); ++w) {
      extra += static_cast<std::uint64_t>(std::popcount(covered.bits[w] & ~nearlyTouched.bits[w]));
    }
    EXPECT_EQ(extra, 0U);
    EXPECT_EQ(covered.bits, tested.bits);
  }
}

TEST(Voxelizer, ExactCellIndexFloorsWithoutRoundingAndRefusesWhatItCannotDerive) {
  const struct {
    double x;
    std::uint32_t cellSizeMm;
    std::int64_t index;
    bool onBoundary;
  } cases[] = {
      {-0.0, 50, 0, true},
      {-0.5, 50, -1, false},
      {-50.0, 50, -1, true},
      {100.0, 50, 2, true},
      {49.999996185302734, 50, 0, false},  // the binary32 just below 50
      {50.000003814697266, 50, 1, false},  // the binary32 just above 50
      {0x1p-149, 30, 0, false},            // the smallest binary32 subnormal
      {-0x1p-149, 30, -1, false},
      {0x1.8p-148, 30, 0, false},  // a binary32 subnormal with two bits set
      {100001.0, 30, 3333, false},
      {-100001.0, 1, -100001, true},
      {99990.0, 30, 3333, true},
      {4095.99609375, 4096, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    const PlVoxelCellIndex index = PlVoxelExactCellIndex(c.x, c.cellSizeMm);
    EXPECT_EQ(index.index, c.index);
    EXPECT_EQ(index.onBoundary, c.onBoundary);
  }
  const char* range = "voxel coordinate exceeds the native exact range limit";
  const char* inexact = "voxel range requires an exact decoded-f32 coordinate";
  const struct {
    double x;
    std::uint32_t cellSizeMm;
    const char* message;
  } refused[] = {
      {NAN, 50, range},
      {INFINITY, 50, range},
      {-100001.0078125, 50, range},
      {0.1, 50, inexact},
      {16777217.0 / 4096.0, 50, inexact},
      {0x1p-150, 50, inexact},
      {0x1.8p-149, 50, inexact},
      {1.0, 0, "voxel cell size must be positive"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.x);
    ExpectPlCadPrepError([&] { (void)PlVoxelExactCellIndex(c.x, c.cellSizeMm); },
                         "invalid_voxel_bounds", "voxel", c.message);
  }
  ExpectPlCadPrepError([] { (void)PlVoxelCellRangeOf(0.5, 0.1, 50); }, "invalid_voxel_bounds",
                       "voxel", "voxel coordinate range is inverted");
}

TEST(Voxelizer, FillsClosedSolidsAndOnlyTheSurfaceOfOpenOnes) {
  TestRun run;
  const PlVoxelMember cube = run.Level(Box({0, 0, 0}, {300, 300, 300}), 50);
  EXPECT_EQ(cube.grid.originCell, (std::array<std::int32_t, 3>{-1, -1, -1}));
  EXPECT_EQ(cube.grid.dims, (std::array<std::uint32_t, 3>{8, 8, 8}));
  EXPECT_EQ(OccupiedCount(cube.grid), 512U);
  EXPECT_TRUE(cube.grid.solid);
  EXPECT_EQ(cube.bytes, EncodePlVoxelGrid(cube.grid));
  // Without its +x face the inside is reached from outside: the cells with
  // x index 1..6 and y, z index 1..4 (grid indices 2..7 and 2..5) touch no face.
  const PlVoxelMember open = run.Level(Box({0, 0, 0}, {300, 300, 300}, 1), 50);
  EXPECT_EQ(OccupiedCount(open.grid), 512U - 6 * 4 * 4);
  EXPECT_FALSE(PlVoxelOccupied(open.grid, 3, 3, 3));
  EXPECT_TRUE(PlVoxelOccupied(open.grid, 1, 3, 3));
  EXPECT_TRUE(PlVoxelOccupied(open.grid, 3, 1, 3));

  const PlPoint3 centre = {17.25, -33.5, 8.0};
  const double radius = 400.0;
  for (const bool isOpen : {false, true}) {
    SCOPED_TRACE(isOpen);
    const PlVoxelGrid grid =
        run.Level(Sphere(centre, radius, isOpen ? centre[2] + 300.0 : INFINITY), 30).grid;
    std::uint64_t deepInside = 0;
    std::uint64_t deepInsideOccupied = 0;
    for (std::uint32_t j = 0; j < grid.dims[1]; ++j) {
      for (std::uint32_t k = 0; k < grid.dims[2]; ++k) {
        for (std::uint32_t i = 0; i < grid.dims[0]; ++i) {
          const std::array<std::uint32_t, 3> ijk = {i, j, k};
          double distance2 = 0.0;
          for (std::size_t a = 0; a < 3; ++a) {
            const double d =
                (static_cast<double>(grid.originCell[a]) + ijk[a] + 0.5) * 30.0 - centre[a];
            distance2 += d * d;
          }
          const bool occupied = PlVoxelOccupied(grid, i, j, k);
          // A cell whose centre lies this far outside cannot touch the surface.
          EXPECT_FALSE(occupied && distance2 > std::pow(radius + 30.0, 2));
          // The facets lie within 10 mm of the sphere; a cell this deep never touches them.
          if (distance2 < std::pow(radius - 10.0 - 30.0, 2)) {
            ++deepInside;
            deepInsideOccupied += occupied ? 1 : 0;
          }
        }
      }
    }
    ASSERT_GT(deepInside, 5000U);
    EXPECT_EQ(deepInsideOccupied, isOpen ? 0U : deepInside);
  }
}

TEST(Voxelizer, PlansTheGridFromExactCornerCells) {
  TestRun run;
  // A corner on x = 100 puts both neighbouring cells into the grid.
  PlVoxelMember member =
      run.Level(MakeMesh({{60, 10, 10}, {100, 20, 10}, {70, 30, 20}}, {{0, 1, 2}}), 50);
  EXPECT_EQ(member.grid.originCell, (std::array<std::int32_t, 3>{1, 0, 0}));
  EXPECT_EQ(member.grid.dims, (std::array<std::uint32_t, 3>{2, 1, 1}));
  EXPECT_EQ(member.grid.words, std::vector<std::uint64_t>{0x3});
  member =
      run.Level(MakeMesh({{-27.5, 12.25, 1030.0}, {-27.0, 12.25, 1030.5}, {-27.25, 13.0, 1030.0}},
                         {{0, 1, 2}}, 0.375),
                50);
  EXPECT_EQ(member.grid.originCell, (std::array<std::int32_t, 3>{-1, 0, 20}));
  EXPECT_EQ(member.grid.dims, (std::array<std::uint32_t, 3>{1, 1, 1}));
  EXPECT_EQ(member.grid.words, std::vector<std::uint64_t>{0x1});
  EXPECT_EQ(member.grid.distanceErrorMm, 0.375);
  EXPECT_EQ(member.bytes.size(), 68U);
  // Cell ranges come from the extremes of each triangle, so a coordinate that is
  // never an extreme never needs an exact cell index.
  EXPECT_NO_THROW((void)run.Level(
      MakeMesh({{0, 0, 0}, {10, 0, 0}, {0.1, 5, 0}, {0, 10, 0}}, {{0, 1, 3}, {0, 2, 1}}), 50));
  const PlGeometryMesh inexact = MakeMesh({{0.1, 0, 0}, {10, 0, 0}, {5, 10, 0}}, {{0, 1, 2}});
  const PlGeometryMesh far = MakeMesh({{0, 0, 0}, {100002, 0, 0}, {0, 10, 0}}, {{0, 1, 2}});
  const struct {
    const PlGeometryMesh& mesh;
    std::uint32_t cellSizeMm;
    const char* message;
  } refused[] = {{inexact, 50, "voxel range requires an exact decoded-f32 coordinate"},
                 {far, 50, "voxel coordinate exceeds the native exact range limit"},
                 {inexact, 0, "voxel cell size must be positive"}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.message);
    ExpectPlCadPrepError([&] { (void)run.Level(c.mesh, c.cellSizeMm); }, "invalid_voxel_bounds",
                         "voxel", c.message);
  }
}

TEST(Voxelizer, RefusesOversizedGridsBeforeAllocatingAndReservesTheMemberOutput) {
  // 4000 x 4000 x 1 cells at 50 mm fit the padded limit; at 30 mm 6667 x 6667 x 1 do not.
  const PlGeometryMesh wide =
      MakeMesh({{-99990, 1, -99990}, {99990, 1, -99990}, {-99990, 1, 99990}}, {{0, 1, 2}});
  TestRun run(1'000'000);
  ExpectPlCadPrepError([&] { (void)run.Level(wide, 30); }, "voxel_cell_limit_exceeded", "voxel",
                       "padded voxel grid exceeds the runtime cell limit");
  ExpectPlCadPrepError([&] { (void)run.Level(wide, 50); }, "memory_limit_exceeded", "voxel",
                       "preparation exceeds maxMemoryBytes");
  EXPECT_EQ(run.context.ledger->memoryReserved, 0U);
  EXPECT_EQ(run.context.ledger->outputReserved, 0U);
  const PlGeometryMesh cube = Box({0, 0, 0}, {300, 300, 300});
  ExpectPlCadPrepError(
      [&] { (void)TestRun(kDefaultMaxMemoryBytes, 60 + 8 * 8 - 1).Level(cube, 50); },
      "output_limit_exceeded", "voxel", "preparation exceeds maxOutputBytes");
  TestRun exact(kDefaultMaxMemoryBytes, 60 + 8 * 8);
  EXPECT_NO_THROW((void)exact.Level(cube, 50));
  EXPECT_EQ(exact.context.ledger->outputReserved, 0U);
}

// Reports cancellation from its `limit`-th question on and counts every question.
class CountingCancellation final : public PlCadPrepCancellation {
 public:
  explicit CountingCancellation(std::uint64_t cancelFrom) : limit(cancelFrom) {}
  bool IsCancelled() const override { return ++asked >= limit; }
  mutable std::uint64_t asked = 0;
  std::uint64_t limit;
};

TEST(Voxelizer, PollsCancellationReportsProgressAndIsDeterministic) {
  const PlGeometryMesh row = TriangleRow(1000);
  CountingCancellation never(UINT64_MAX);
  (void)TestRun(kDefaultMaxMemoryBytes, kDefaultMaxOutputBytes, &never).Level(row, 50);
  EXPECT_GE(never.asked, 1000U / 256);  // at least once per 256 triangles
  CountingCancellation later(never.asked / 2);
  TestRun cancelled(kDefaultMaxMemoryBytes, kDefaultMaxOutputBytes, &later);
  ExpectPlCadPrepError([&] { (void)cancelled.Level(row, 50); }, "cancelled", "voxel",
                       "preparation was cancelled");
  EXPECT_EQ(cancelled.context.ledger->memoryReserved, 0U);

  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  const ProgressCallback progress = [&](std::string_view stage, std::uint64_t done,
                                        std::uint64_t total) {
    EXPECT_EQ(stage, "voxel");
    reports.emplace_back(done, total);
  };
  TestRun run;
  (void)run.Level(TriangleRow(600), 30, progress, 1000, 5000);
  EXPECT_EQ(reports, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{
                         {1000, 5000}, {1256, 5000}, {1512, 5000}, {1600, 5000}}));

  PlGeometryMesh soup = AdversarialSoup(3);
  const Bytes first = run.Level(soup, 30).bytes;
  EXPECT_EQ(run.Level(soup, 30).bytes, first);
  std::reverse(soup.triangles.begin(), soup.triangles.end());
  EXPECT_EQ(run.Level(soup, 30).bytes, first);
}

// ---- Both levels from an encoded collision member ---------------------------

struct LevelsFixture {
  LevelsFixture() {
    PlCadPrepTriangleImport import{Sphere({5.5, 250.0, -40.25}, 300.0), hash};
    import.mesh.surfaceDeviationMm = 0.25;
    const PlCadPrepMemoryReservation input = ReserveMemory(
        run.context, 24 * import.mesh.vertices.size() + 12 * import.mesh.triangles.size() + 71,
        "mesh");
    member = BuildPlCadPrepCollisionMeshMember(import, run.context, input);
  }
  PlCadPrepMemoryReservation Input(const PlCollisionMeshMember& m, std::int64_t slack = 0) {
    return ReserveMemory(run.context, PlCollisionMeshMemberStorageBytes(m) + slack, "mesh");
  }
  const std::string hash = "sha256:" + std::string(64, 'c');
  TestRun run;
  PlCollisionMeshMember member;
};

TEST(Voxelizer, VoxelizesBothLevelsFromTheEncodedMember) {
  LevelsFixture f;
  const PlCadPrepMemoryReservation input = f.Input(f.member);
  const std::uint64_t memoryBefore = f.run.context.ledger->memoryReserved;
  const std::uint64_t triangles = f.member.mesh.triangles.size();
  std::vector<std::uint64_t> done;
  const ProgressCallback progress = [&](std::string_view stage, std::uint64_t completed,
                                        std::uint64_t total) {
    EXPECT_EQ(stage, "voxel");
    EXPECT_EQ(total, 2 * triangles);
    done.push_back(completed);
  };
  const PlVoxelLevelMembers levels =
      VoxelizePlCadPrepLevels(f.member, f.run.context, input, progress);
  EXPECT_EQ(levels.search.grid.cellSizeMm, 50U);
  EXPECT_EQ(levels.search.grid.distanceErrorMm, f.member.mesh.surfaceDeviationMm);
  EXPECT_EQ(levels.refine.grid.distanceErrorMm, f.member.mesh.surfaceDeviationMm);
  EXPECT_EQ(levels.search.bytes, TestRun().Level(f.member.mesh, 50).bytes);
  EXPECT_EQ(levels.refine.bytes, TestRun().Level(f.member.mesh, 30).bytes);
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.front(), 0U);
  EXPECT_EQ(done.back(), 2 * triangles);
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_NE(std::find(done.begin(), done.end(), triangles), done.end());
  EXPECT_EQ(PlVoxelMemberStorageBytes(levels.search),
            levels.search.bytes.size() + 8 * levels.search.grid.words.size());
  // Every reservation taken inside is returned.
  EXPECT_EQ(f.run.context.ledger->memoryReserved, memoryBefore);
  EXPECT_EQ(f.run.context.ledger->outputReserved, 0U);
}

TEST(Voxelizer, LevelsRefuseUncoveredInputsUndecodableBytesAndTooLittleMemory) {
  LevelsFixture f;
  TestRun other;
  const char* missing = "stage input lacks its required request memory reservation";
  const PlCadPrepMemoryReservation foreign =
      ReserveMemory(other.context, PlCollisionMeshMemberStorageBytes(f.member), "mesh");
  ExpectPlCadPrepError([&] { (void)VoxelizePlCadPrepLevels(f.member, f.run.context, foreign, {}); },
                       "invalid_resource_reservation", "voxel", missing);
  ExpectPlCadPrepError(
      [&] { (void)VoxelizePlCadPrepLevels(f.member, f.run.context, f.Input(f.member, -1), {}); },
      "invalid_resource_reservation", "voxel", missing);
  PlCollisionMeshMember broken = f.member;
  broken.bytes.push_back(0);
  ExpectPlCadPrepError(
      [&] { (void)VoxelizePlCadPrepLevels(broken, f.run.context, f.Input(broken), {}); },
      "invalid_mesh_topology", "voxel", "collision.pmesh bytes fail the voxel input contract");
  // Leave exactly one byte too few for the decoded copy of twice the member bytes.
  const PlCadPrepMemoryReservation input = f.Input(f.member);
  const std::uint64_t free =
      f.run.context.ledger->maxMemoryBytes - f.run.context.ledger->memoryReserved;
  const PlCadPrepMemoryReservation filler =
      ReserveMemory(f.run.context, free - (2 * f.member.bytes.size() + 4096) + 1, "mesh");
  ExpectPlCadPrepError([&] { (void)VoxelizePlCadPrepLevels(f.member, f.run.context, input, {}); },
                       "memory_limit_exceeded", "voxel", "preparation exceeds maxMemoryBytes");
}

}  // namespace
