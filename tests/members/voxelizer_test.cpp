#include "members/voxelizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <string>
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

struct TestRun : LimitedRun {
  using LimitedRun::LimitedRun;
  PlVoxelMember Level(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                      const ProgressCallback& progress = {}) {
    return VoxelizePlCadPrepLevel(mesh, cellSizeMm, context, 1000, 5000, progress);
  }
};

// Random triangles: small ones, slivers, ones in lattice planes, ones with a corner on a
// lattice point, ones in diagonal planes through lattice edges. Coordinates are multiples of 2^-8
// mm, or with `decimal` the binary32 nearest to a multiple of 0.1 mm, where the rounding of every
// product matters.
PlGeometryMesh Soup(std::uint32_t seed, bool decimal) {
  std::mt19937 rng(seed);
  const auto q = [&](double v) {
    if (!decimal) return std::ldexp(std::round(std::ldexp(v, 8)), -8);
    const volatile float rounded = static_cast<float>(std::round(v * 10) / 10);
    return static_cast<double>(rounded);
  };
  const auto any = [&](double reach) { return std::uniform_real_distribution(-reach, reach)(rng); };
  // 150 mm is a lattice line of both the 30 mm and the 50 mm levels.
  const auto lattice = [&](int reach) {
    return 150.0 * std::uniform_int_distribution(-reach, reach)(rng);
  };
  const auto near = [&](const PlPoint3& p, double reach) {
    return PlPoint3{q(p[0] + any(reach)), q(p[1] + any(reach)), q(p[2] + any(reach))};
  };
  std::vector<PlPoint3> vertices;
  std::vector<Triangle> triangles;
  for (std::uint32_t n = 0; n < 2000; ++n) {
    PlPoint3 a = near({0, 0, 0}, 1200), b = near(a, 60), c = near(a, 60);
    const std::size_t axis = n % 3;
    if (n % 4 == 1) b = near(a, 0.05), c = near(a, 120);
    if (n % 4 == 2) a[axis] = b[axis] = c[axis] = lattice(6);
    if (n % 4 == 3) a = {lattice(6), lattice(6), lattice(6)}, b = near(a, 90), c = near(a, 90);
    if (n % 100 == 0) b = near(a, 800), c = near(a, 800);
    // In a plane x + y = L through lattice edges; u and L - u share a binade, so both are exact.
    const double plane = 300.0 * std::uniform_int_distribution(-4, 4)(rng);
    for (PlPoint3* p : {&a, &b, &c}) {
      if (n % 5 != 4) break;
      (*p)[axis] = q(plane / 2 + any(plane == 0 ? 100 : 10));
      (*p)[(axis + 1) % 3] = plane - (*p)[axis];
    }
    vertices.insert(vertices.end(), {a, b, c});
    triangles.push_back({3 * n, 3 * n + 1, 3 * n + 2});
  }
  return MakeMesh(std::move(vertices), std::move(triangles));
}

// An exact reference: test coordinates are multiples of 2^-27 mm below 2^11 mm, so every
// separating-axis quantity of a triangle against a lattice box is an exact 128-bit integer.
__extension__ using Int128 = __int128;
using Exact = std::array<Int128, 3>;
constexpr int kScaleBits = 27;

Exact Sub(const Exact& a, const Exact& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Exact Cross(const Exact& a, const Exact& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Int128 Dot(const Exact& a, const Exact& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Int128 Abs(Int128 v) { return v < 0 ? -v : v; }

// Whether the closed triangle meets the closed lattice box grown by `grow` units of
// 2^-27 mm on every side; for two convex sets these thirteen axes decide it exactly.
bool Touches(const std::array<PlPoint3, 3>& t, const Cell& cell, std::uint32_t cellSizeMm,
             Int128 grow) {
  std::array<Exact, 3> p{};
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t a = 0; a < 3; ++a) {
      const double scaled = std::ldexp(t[v][a], kScaleBits);
      EXPECT_EQ(scaled, std::trunc(scaled)) << "test coordinate is not a multiple of 2^-27";
      const Int128 size = Int128{cellSizeMm} << kScaleBits;
      p[v][a] = static_cast<Int128>(static_cast<std::int64_t>(scaled)) - cell[a] * size - size / 2;
    }
  }
  const Int128 half = (Int128{cellSizeMm} << (kScaleBits - 1)) + grow;
  const std::array<Exact, 3> edges = {Sub(p[1], p[0]), Sub(p[2], p[1]), Sub(p[0], p[2])};
  std::vector<Exact> axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, Cross(edges[0], edges[1])};
  for (const Exact& e : edges) {
    for (std::size_t u = 0; u < 3; ++u) axes.push_back(Cross(e, axes[u]));
  }
  for (const Exact& axis : axes) {
    const Int128 r = half * (Abs(axis[0]) + Abs(axis[1]) + Abs(axis[2]));
    const Int128 d0 = Dot(p[0], axis), d1 = Dot(p[1], axis), d2 = Dot(p[2], axis);
    if (std::min({d0, d1, d2}) > r || std::max({d0, d1, d2}) < -r) return false;
  }
  return true;
}

}  // namespace

// Every exactly touched cell is covered, no cell beyond 2^-27 mm of a triangle is, and
// the coverage shortcuts decide each cell of a triangle's range as the full cell test does.
TEST(Voxelizer, CoverageHoldsEveryTouchedCellNothingFartherAndMatchesTheCellTest) {
  for (const auto& [cellSizeMm, decimal] : {std::pair{30U, false}, {50U, false}, {30U, true}}) {
    SCOPED_TRACE(std::to_string(cellSizeMm) + (decimal ? " decimal" : " dyadic"));
    const PlGeometryMesh mesh = Soup(7 + cellSizeMm, decimal);
    PlVoxelPaddedGrid grid;
    for (std::size_t a = 0; a < 3; ++a) {
      const PlVoxelCellRange r =
          PlVoxelCellRangeOf(mesh.boundsMin[a], mesh.boundsMax[a], cellSizeMm);
      grid.lo[a] = r.first, grid.hi[a] = r.last, grid.padded[a] = r.count + 2;
    }
    const auto index = [&](const Cell& c) {
      return ((std::uint64_t(c[1] - grid.lo[1] + 1) * grid.padded[2]) +
              std::uint64_t(c[2] - grid.lo[2] + 1)) *
                 grid.padded[0] +
             std::uint64_t(c[0] - grid.lo[0] + 1);
    };
    std::vector<std::uint64_t> covered((grid.padded[0] * grid.padded[1] * grid.padded[2] + 63) /
                                       64);
    TestRun run;
    CoverPlVoxelTriangles(mesh, cellSizeMm, grid, covered, run.context, 0, 1, {});
    std::set<std::uint64_t> nearlyTouched, tested;
    std::uint64_t touched = 0, missed = 0;
    for (const Triangle& t : mesh.triangles) {
      const std::array<PlPoint3, 3> corners = {mesh.vertices[t[0]], mesh.vertices[t[1]],
                                               mesh.vertices[t[2]]};
      std::array<PlVoxelCellRange, 3> range{};
      for (std::size_t a = 0; a < 3; ++a) {
        const auto [lo, hi] = std::minmax({corners[0][a], corners[1][a], corners[2][a]});
        range[a] = PlVoxelCellRangeOf(lo, hi, cellSizeMm);
      }
      Cell cell{};
      for (cell[0] = range[0].first - 1; cell[0] <= range[0].last + 1; ++cell[0]) {
        for (cell[1] = range[1].first - 1; cell[1] <= range[1].last + 1; ++cell[1]) {
          for (cell[2] = range[2].first - 1; cell[2] <= range[2].last + 1; ++cell[2]) {
            bool inRange = true;
            for (std::size_t a = 0; a < 3; ++a)
              inRange = inRange && cell[a] >= range[a].first && cell[a] <= range[a].last;
            if (Touches(corners, cell, cellSizeMm, 0)) {
              ++touched;
              missed += PlVoxelTestBit(covered, index(cell)) ? 0 : 1;
            }
            if (Touches(corners, cell, cellSizeMm, 1)) nearlyTouched.insert(index(cell));
            if (inRange && PlVoxelTriangleMayOverlapCell(corners[0], corners[1], corners[2], cell,
                                                         cellSizeMm)) {
              tested.insert(index(cell));
            }
          }
        }
      }
    }
    EXPECT_EQ(missed, 0U);
    EXPECT_GT(touched, 10000U);
    std::set<std::uint64_t> coveredCells;
    for (std::uint64_t i = 0; i < 64 * covered.size(); ++i) {
      if (PlVoxelTestBit(covered, i)) coveredCells.insert(i);
    }
    EXPECT_EQ(coveredCells, tested);
    EXPECT_TRUE(std::includes(nearlyTouched.begin(), nearlyTouched.end(), coveredCells.begin(),
                              coveredCells.end()));
  }
}

TEST(Voxelizer, ExactCellIndexRefusesWhatItCannotDerive) {
  const char* range = "voxel coordinate exceeds the native exact range limit";
  const char* inexact = "voxel range requires an exact decoded-f32 coordinate";
  for (const auto& [x, cellSizeMm, message] : {std::tuple{double(NAN), 50U, range},
                                               {-100001.0078125, 50U, range},
                                               {0.1, 50U, inexact},
                                               {16777217.0 / 4096.0, 50U, inexact},
                                               {0x1p-150, 50U, inexact},
                                               {0x1.8p-149, 50U, inexact},
                                               {1.0, 0U, "voxel cell size must be positive"}}) {
    SCOPED_TRACE(x);
    ExpectPlCadPrepError([&] { (void)PlVoxelExactCellIndex(x, cellSizeMm); },
                         "invalid_voxel_bounds", "voxel", message);
  }
  ExpectPlCadPrepError([] { (void)PlVoxelCellRangeOf(0.5, 0.1, 50); }, "invalid_voxel_bounds",
                       "voxel", "voxel coordinate range is inverted");
}

TEST(Voxelizer, VoxelizesBothLevelsFromTheEncodedMemberWithinItsReservations) {
  TestRun run;
  const PlCadPrepTriangleImport import = BoxImport({5.5, 250, -40.25}, 300);
  const PlCollisionMeshMember member = BuildPlCadPrepCollisionMeshMember(
      import, run.context, ReserveMemory(run.context, 1024, "mesh"));
  const auto input = [&](const PlCollisionMeshMember& m, std::int64_t slack = 0) {
    return ReserveMemory(run.context, PlCollisionMeshMemberStorageBytes(m) + slack, "mesh");
  };
  const PlCadPrepMemoryReservation held = input(member);
  const PlVoxelLevelMembers levels = VoxelizePlCadPrepLevels(member, run.context, held, {});
  EXPECT_EQ(levels.refine.bytes, TestRun().Level(member.mesh, 30).bytes);
  EXPECT_EQ(run.context.ledger->memoryReserved, held.bytes);
  const char* missing = "stage input lacks its required request memory reservation";
  ExpectPlCadPrepError(
      [&] { (void)VoxelizePlCadPrepLevels(member, run.context, input(member, -1), {}); },
      "invalid_resource_reservation", "voxel", missing);
  TestRun other;
  ExpectPlCadPrepError([&] { (void)VoxelizePlCadPrepLevels(member, other.context, held, {}); },
                       "invalid_resource_reservation", "voxel", missing);
  PlCollisionMeshMember broken = member;
  broken.bytes.push_back(0);
  ExpectPlCadPrepError(
      [&] { (void)VoxelizePlCadPrepLevels(broken, run.context, input(broken), {}); },
      "invalid_mesh_topology", "voxel", "collision.pmesh bytes fail the voxel input contract");
  // Leave exactly one byte too few for the decoded copy of twice the member bytes.
  const std::uint64_t free =
      run.context.ledger->maxMemoryBytes - run.context.ledger->memoryReserved;
  const PlCadPrepMemoryReservation filler =
      ReserveMemory(run.context, free - (2 * member.bytes.size() + 4096) + 1, "mesh");
  ExpectPlCadPrepError([&] { (void)VoxelizePlCadPrepLevels(member, run.context, held, {}); },
                       "memory_limit_exceeded", "voxel", "preparation exceeds maxMemoryBytes");
}
