#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "members/voxel_coverage.h"

namespace {

// A triangle whose edge a-c passes exactly through the lattice point `corner`:
// a - corner == 2 * (corner - c). It touches each of the eight cells around the
// corner, at the corner or more, in exact arithmetic. The thirds and tenths make
// the normal's products round, and a round-to-nearest evaluation of that axis
// pushes the corner just outside some of these cells.
struct CornerOnEdge {
  PlPoint3 a;
  PlPoint3 b;
  PlPoint3 c;
  std::array<std::int64_t, 3> corner;
  std::uint32_t cellSizeMm;
};

TEST(VoxelRoundingTest, MarksEveryCellAroundACornerOnAnEdge) {
  const CornerOnEdge cases[] = {
      {{1066.66663f, -633.333313f, -344.0f},
       {454.666656f, -276.333344f, -9.0f},
       {-263.333313f, 1.66665649f, 802.0f},
       {180, -210, 420},
       30},
      {{-1259.0f, -639.599976f, 29.0f},
       {874.5f, -7031.1001f, 7749.1001f},
       {-420.5f, -655.200012f, 1485.5f},
       {-700, -650, 1000},
       50},
  };
  for (const CornerOnEdge& t : cases) {
    const std::int64_t size = t.cellSizeMm;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      // Differences of these binary32 values are exact doubles.
      const auto k = static_cast<double>(t.corner[axis]);
      ASSERT_EQ(t.a[axis] - k, 2.0 * (k - t.c[axis])) << "axis " << axis;
      ASSERT_EQ(t.corner[axis] % size, 0);
    }
    for (int around = 0; around < 8; ++around) {
      std::array<std::int64_t, 3> cell{};
      for (std::size_t axis = 0; axis < 3; ++axis) {
        cell[axis] = t.corner[axis] / size - ((around >> axis) & 1);
      }
      EXPECT_TRUE(PlVoxelTriangleMayOverlapCell(t.a, t.b, t.c, cell, t.cellSizeMm))
          << "cell " << cell[0] << ' ' << cell[1] << ' ' << cell[2] << " of " << t.cellSizeMm
          << " mm";
    }
  }
}

}  // namespace

// The plane x + y + z = d crosses the bounding box of cell (1, 1, 1) of 30 mm for
// every d below 180, but only the triangle's normal can tell whether it reaches
// the cell, whose nearest corner has x + y + z = 90: the normal's radius decides.
TEST(VoxelRoundingTest, TheNormalAxisSeparatesAPlaneJustShortOfACorner) {
  const std::array<std::int64_t, 3> cell{1, 1, 1};
  for (const auto& [d, touches] : {std::pair{89.9f, false}, {90.0f, true}, {90.1f, true}}) {
    EXPECT_EQ(PlVoxelTriangleMayOverlapCell({d, 0, 0}, {0, d, 0}, {0, 0, d}, cell, 30), touches)
        << "plane at " << d;
  }
}
