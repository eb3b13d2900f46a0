#include "members/voxelizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "members/collision_mesh.h"
#include "members/voxel_coverage.h"
#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Cell = std::array<std::int64_t, 3>;
__extension__ using I = __int128;
using E = std::array<I, 3>;

// Random triangles at multiples of 2^-8 mm: free ones, ones in lattice planes and ones
// cornered on lattice points (150 mm is a lattice line of both levels).
PlGeometryMesh Soup(std::uint32_t seed) {
  std::mt19937 rng(seed);
  const auto q = [&](double r) {
    return std::ldexp(std::round(std::ldexp(std::uniform_real_distribution(-r, r)(rng), 8)), -8);
  };
  const auto lattice = [&] { return 150.0 * std::uniform_int_distribution(-8, 8)(rng); };
  std::vector<PlPoint3> v;
  std::vector<std::array<std::uint32_t, 3>> t;
  for (std::uint32_t n = 0; n < 2000; ++n) {
    PlPoint3 a = {q(1200), q(1200), q(1200)}, b, c;
    if (n % 3 == 1) a = {lattice(), lattice(), lattice()};
    const double r = n % 50 == 0 ? 400 : n % 7 == 0 ? 0.05 : 60;
    for (std::size_t i = 0; i < 3; ++i) b[i] = a[i] + q(r), c[i] = a[i] + q(60);
    const std::size_t k = n / 3 % 3;
    if (n % 3 == 2) a[k] = b[k] = c[k] = lattice();
    v.insert(v.end(), {a, b, c});
    t.push_back({3 * n, 3 * n + 1, 3 * n + 2});
  }
  return MakeMesh(std::move(v), std::move(t));
}

E Cross(const E& a, const E& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Whether the closed triangle meets the closed cell grown by `grow` units of 2^-9 mm, decided
// exactly on the thirteen separating axes in integers of 2^-9 mm.
bool Touches(const std::array<PlPoint3, 3>& t, const Cell& cell, std::uint32_t size, I grow) {
  std::array<E, 3> p{};
  for (std::size_t v = 0; v < 3; ++v)
    for (std::size_t a = 0; a < 3; ++a)
      p[v][a] = I(std::ldexp(t[v][a], 9)) - (2 * cell[a] + 1) * (I{size} << 8);
  const I half = (I{size} << 8) + grow;
  std::vector<E> axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  std::array<E, 3> e{};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t a = 0; a < 3; ++a) e[i][a] = p[(i + 1) % 3][a] - p[i][a];
  axes.push_back(Cross(e[0], e[1]));
  for (const E& edge : e)
    for (std::size_t u = 0; u < 3; ++u) axes.push_back(Cross(edge, axes[u]));
  for (const E& x : axes) {
    const auto abs = [](I v) { return v < 0 ? -v : v; };
    const I r = half * (abs(x[0]) + abs(x[1]) + abs(x[2]));
    I d[3];
    for (std::size_t v = 0; v < 3; ++v) d[v] = p[v][0] * x[0] + p[v][1] * x[1] + p[v][2] * x[2];
    if (std::min({d[0], d[1], d[2]}) > r || std::max({d[0], d[1], d[2]}) < -r) return false;
  }
  return true;
}

}  // namespace

// Every touched cell is covered, none beyond 2^-9 mm of a triangle is, and the coverage
// decides each cell of a triangle's range as the full cell test does.
TEST(Voxelizer, CoverageHoldsEveryTouchedCellNothingFartherAndMatchesTheCellTest) {
  for (const std::uint32_t size : {30U, 50U}) {
    SCOPED_TRACE(size);
    const PlGeometryMesh mesh = Soup(size);
    PlVoxelPaddedGrid g;
    for (std::size_t a = 0; a < 3; ++a) {
      const PlVoxelCellRange r = PlVoxelCellRangeOf(mesh.boundsMin[a], mesh.boundsMax[a], size);
      g.lo[a] = r.first, g.hi[a] = r.last, g.padded[a] = r.count + 2;
    }
    const auto index = [&](const Cell& c) {
      return (std::uint64_t(c[1] - g.lo[1] + 1) * g.padded[2] + std::uint64_t(c[2] - g.lo[2] + 1)) *
                 g.padded[0] +
             std::uint64_t(c[0] - g.lo[0] + 1);
    };
    std::vector<std::uint64_t> covered((g.padded[0] * g.padded[1] * g.padded[2] + 63) / 64);
    LimitedRun run;
    CoverPlVoxelTriangles(mesh, size, g, covered, run.context, 0, 1, {});
    std::set<std::uint64_t> near, tested, coveredCells;
    for (const auto& t : mesh.triangles) {
      const std::array<PlPoint3, 3> p = {mesh.vertices[t[0]], mesh.vertices[t[1]],
                                         mesh.vertices[t[2]]};
      std::array<PlVoxelCellRange, 3> rg{};
      for (std::size_t a = 0; a < 3; ++a) {
        const auto [lo, hi] = std::minmax({p[0][a], p[1][a], p[2][a]});
        rg[a] = PlVoxelCellRangeOf(lo, hi, size);
      }
      Cell c{};
      for (c[0] = rg[0].first - 1; c[0] <= rg[0].last + 1; ++c[0])
        for (c[1] = rg[1].first - 1; c[1] <= rg[1].last + 1; ++c[1])
          for (c[2] = rg[2].first - 1; c[2] <= rg[2].last + 1; ++c[2]) {
            bool in = true;
            for (std::size_t a = 0; a < 3; ++a)
              in = in && c[a] >= rg[a].first && c[a] <= rg[a].last;
            EXPECT_TRUE(!Touches(p, c, size, 0) || PlVoxelTestBit(covered, index(c)));
            if (Touches(p, c, size, 1)) near.insert(index(c));
            if (in && PlVoxelTriangleMayOverlapCell(p[0], p[1], p[2], c, size))
              tested.insert(index(c));
          }
    }
    EXPECT_GT(tested.size(), 10000U);
    for (std::uint64_t i = 0; i < 64 * covered.size(); ++i)
      if (PlVoxelTestBit(covered, i)) coveredCells.insert(i);
    EXPECT_EQ(coveredCells, tested);
    EXPECT_TRUE(std::includes(near.begin(), near.end(), coveredCells.begin(), coveredCells.end()));
  }
}

TEST(Voxelizer, ExactCellIndexRefusesWhatItCannotDerive) {
  const char* range = "voxel coordinate exceeds the native exact range limit";
  const char* inexact = "voxel range requires an exact decoded-f32 coordinate";
  for (const auto& [x, size, message] : {std::tuple{-100001.0078125, 50U, range},
                                         {0.1, 50U, inexact},
                                         {0x1.8p-149, 50U, inexact},
                                         {1.0, 0U, "voxel cell size must be positive"}}) {
    SCOPED_TRACE(x);
    ExpectPlCadPrepError([&] { (void)PlVoxelExactCellIndex(x, size); }, "invalid_voxel_bounds",
                         "voxel", message);
  }
  ExpectPlCadPrepError([] { (void)PlVoxelCellRangeOf(0.5, 0.1, 50); }, "invalid_voxel_bounds",
                       "voxel", "voxel coordinate range is inverted");
  // A lower end on a cell boundary also touches the cell below it.
  for (const auto& [a, b, first, last, count] :
       {std::tuple{10.0, 60.0, 0, 1, 2u}, {-50.0, 49.5, -2, 0, 3u}}) {
    const PlVoxelCellRange r = PlVoxelCellRangeOf(a, b, 50);
    EXPECT_EQ(std::tuple(r.first, r.last, r.count), std::tuple(first, last, count));
  }
}

// A corner the exact index refuses is refused only where the range needs it: as a
// triangle's lowest coordinate, not as a coordinate between the other corners'.
TEST(Voxelizer, CoverageRefusesAnInexactCornerOnlyAtARangeEnd) {
  for (const auto& [middle, refused] :
       {std::tuple{PlPoint3{10.1, 10.1, 10.1}, false}, {PlPoint3{0.1, 10.1, 10.1}, true}}) {
    SCOPED_TRACE(middle[0]);
    const PlGeometryMesh mesh = MakeMesh({{1, 1, 1}, middle, {20, 20, 20}}, {{0, 1, 2}});
    PlVoxelPaddedGrid grid;
    grid.padded = {3, 3, 3};
    std::vector<std::uint64_t> covered(1);
    LimitedRun run;
    const auto cover = [&] {
      CoverPlVoxelTriangles(mesh, 50, grid, covered, run.context, 0, 1, {});
    };
    if (refused) {
      ExpectPlCadPrepError(cover, "invalid_voxel_bounds", "voxel",
                           "voxel range requires an exact decoded-f32 coordinate");
    } else {
      cover();
      // Only the one lattice cell, padded cell (1, 1, 1).
      EXPECT_EQ(covered[0], std::uint64_t{1} << 13);
    }
  }
}

TEST(Voxelizer, VoxelizesBothLevelsFromTheEncodedMemberWithinItsReservations) {
  LimitedRun run;
  const PlCollisionMeshMember member = BuildPlCadPrepCollisionMeshMember(
      BoxImport({5.5, 250, -40.25}, 300), run.context, ReserveMemory(run.context, 1024, "mesh"));
  const auto input = [&](const PlCollisionMeshMember& m) {
    return ReserveMemory(run.context, PlCollisionMeshMemberStorageBytes(m), "mesh");
  };
  const PlCadPrepMemoryReservation held = input(member);
  const PlVoxelLevelMembers levels = VoxelizePlCadPrepLevels(member, run.context, held, {});
  EXPECT_EQ(run.context.ledger->memoryReserved, held.bytes);
  // The member's own decoded mesh gives the same grids.
  const PlVoxelLevelMembers fromMesh =
      VoxelizePlCadPrepDecodedLevels(member, run.context, held, {});
  EXPECT_EQ(fromMesh.search.bytes, levels.search.bytes);
  EXPECT_EQ(fromMesh.refine.bytes, levels.refine.bytes);
  PlCollisionMeshMember broken = member;
  broken.bytes.push_back(0);
  ExpectPlCadPrepError(
      [&] { (void)VoxelizePlCadPrepLevels(broken, run.context, input(broken), {}); },
      "invalid_mesh_topology", "voxel", "collision.pmesh bytes fail the voxel input contract");
  // Leave exactly one byte too few for the decoded copy of twice the member bytes.
  const std::uint64_t free =
      run.context.ledger->maxMemoryBytes - run.context.ledger->memoryReserved;
  const auto filler =
      ReserveMemory(run.context, free - (2 * member.bytes.size() + 4096) + 1, "mesh");
  for (const auto voxelize : {VoxelizePlCadPrepLevels, VoxelizePlCadPrepDecodedLevels}) {
    ExpectPlCadPrepError([&] { (void)voxelize(member, run.context, held, {}); },
                         "memory_limit_exceeded", "voxel", "preparation exceeds maxMemoryBytes");
  }
}
