#include "members/voxel_member.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Code = PlMemberDiagnosticCode;

PlVoxelGrid Grid(std::uint32_t cellSizeMm, std::array<std::int32_t, 3> origin,
                 std::array<std::uint32_t, 3> dims, double distanceErrorMm,
                 std::vector<std::uint64_t> words, bool solid) {
  return PlVoxelGrid{cellSizeMm, origin, dims, distanceErrorMm, std::move(words), solid};
}

const PlVoxelGrid kTiny = Grid(50, {-1, 0, 2}, {2, 1, 1}, 0.5, {0x3}, true);
// 5 x 3 x 7 = 105 cells in two words, a scattered pattern and no padding bits.
const PlVoxelGrid kPattern = Grid(30, {-7, 3, -100000}, {5, 3, 7}, 0.0125,
                                  {0x8000'0000'1234'5671ULL, 0x1'0F0F'0F0FULL}, false);

void Put(Bytes& bytes, std::size_t offset, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Decodes from a heap copy of exactly the given bytes, so a sanitizer sees any overread.
PlMemberDiagnostic DecodeCopy(const Bytes& bytes, std::size_t length,
                              std::uint32_t expectedCellSizeMm,
                              const PlRuntimeMeshLimits& limits = kPlRuntimeMeshLimits) {
  auto copy = std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), copy.get());
  PlVoxelGrid out;
  return DecodePlVoxelGrid(std::span<const std::uint8_t>(copy.get(), length), expectedCellSizeMm,
                           limits, out);
}

void ExpectDiagnostic(const PlMemberDiagnostic& d, Code code, const std::string& message) {
  EXPECT_EQ(d.code, code);
  EXPECT_EQ(d.member, "pvox");
  EXPECT_EQ(d.message, message);
}

TEST(VoxelMember, EncodesGoldenBytesAndRoundTripsEveryField) {
  const Bytes golden = {
      'P',  'L',  'G',  'V',  'O', 'X', '1',  0,                 // magic
      1,    0,    0,    0,    50,  0,   0,    0,                 // version, cell size
      0xFF, 0xFF, 0xFF, 0xFF, 0,   0,   0,    0,    2, 0, 0, 0,  // origin -1, 0, 2
      2,    0,    0,    0,    1,   0,   0,    0,    1, 0, 0, 0,  // dims 2, 1, 1
      1,    0,    0,    0,                                       // mode solid
      0,    0,    0,    0,    0,   0,   0xE0, 0x3F,              // distance error 0.5
      1,    0,    0,    0,    0,   0,   0,    0,                 // word count
      3,    0,    0,    0,    0,   0,   0,    0,                 // occupancy
  };
  EXPECT_EQ(EncodePlVoxelGrid(kTiny), golden);
  const std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  PlVoxelGrid extremeOrigin = kTiny;
  extremeOrigin.originCell = {lowest, 0, std::numeric_limits<std::int32_t>::max()};
  for (const PlVoxelGrid& grid : {kTiny, kPattern, extremeOrigin}) {
    const Bytes bytes = EncodePlVoxelGrid(grid);
    ASSERT_EQ(bytes.size(), kPlVoxelHeaderBytes + 8 * grid.words.size());
    PlVoxelGrid decoded;
    ASSERT_TRUE(DecodePlVoxelGrid(bytes, grid.cellSizeMm, kPlRuntimeMeshLimits, decoded).Passed());
    EXPECT_EQ(decoded.cellSizeMm, grid.cellSizeMm);
    EXPECT_EQ(decoded.originCell, grid.originCell);
    EXPECT_EQ(decoded.dims, grid.dims);
    EXPECT_EQ(decoded.distanceErrorMm, grid.distanceErrorMm);
    EXPECT_EQ(decoded.words, grid.words);
    EXPECT_EQ(decoded.solid, grid.solid);
  }
}

TEST(VoxelMember, BitOrderRunsXThenZThenY) {
  PlVoxelGrid grid = kPattern;
  // Cell (i, j, k) = (3, 2, 4): ((2 * 7) + 4) * 5 + 3 = 93, bit 29 of word 1.
  grid.words = {0, std::uint64_t{1} << 29};
  EXPECT_TRUE(PlVoxelOccupied(grid, 3, 2, 4));
  EXPECT_FALSE(PlVoxelOccupied(grid, 4, 2, 4));
  EXPECT_FALSE(PlVoxelOccupied(grid, 3, 2, 3));
  EXPECT_FALSE(PlVoxelOccupied(grid, 3, 1, 4));
}

TEST(VoxelMember, RejectsEveryProperPrefix) {
  const Bytes bytes = EncodePlVoxelGrid(kPattern);
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const PlMemberDiagnostic d = DecodeCopy(bytes, length, 30);
    if (length < 8) {
      ExpectDiagnostic(d, Code::badMagic, "voxel magic is invalid or truncated");
    } else {
      ExpectDiagnostic(
          d, Code::truncated,
          length < 60 ? "voxel header is truncated" : "voxel occupancy data is truncated");
    }
  }
}

TEST(VoxelMember, RejectsMalformedMembersInOrder) {
  constexpr std::size_t kAppend = std::numeric_limits<std::size_t>::max();
  const char* version = "voxel version or reserved flags are unsupported";
  const char* count = "voxel count exceeds the configured limit";
  const char* level = "voxel cell size does not match the required level";
  const char* error = "voxel distance error is invalid";
  const struct {
    std::size_t offset;  // kAppend appends one byte
    std::uint64_t value;
    std::size_t width;
    std::uint32_t expectedCell;
    Code code;
    const char* message;
  } cases[] = {
      {0, 'Q', 1, 30, Code::badMagic, "voxel magic is invalid or truncated"},
      {7, 1, 1, 30, Code::badMagic, "voxel magic is invalid or truncated"},
      {8, 2, 4, 30, Code::unsupportedVersion, version},
      {8, 0, 4, 30, Code::unsupportedVersion, version},
      {40, 2, 4, 30, Code::unsupportedVersion, version},  // mode
      {28, 64'000'001, 4, 30, Code::limitExceeded, count},
      {36, 0xFFFF'FFFF, 4, 30, Code::limitExceeded, count},  // dims overflow u64
      {52, 1'000'001, 8, 30, Code::limitExceeded, count},    // words above the limit
      {52, ~std::uint64_t{0}, 8, 30, Code::limitExceeded, count},
      {52, 3, 8, 30, Code::truncated, "voxel occupancy data is truncated"},
      {52, 1, 8, 30, Code::trailingBytes, "voxel member contains trailing bytes"},
      {kAppend, 0, 1, 30, Code::trailingBytes, "voxel member contains trailing bytes"},
      {12, 30, 0, 50, Code::voxelGrid, level},  // unchanged bytes, another level
      {12, 50, 4, 30, Code::voxelGrid, level},
      {32, 0, 4, 30, Code::voxelGrid, "voxel grid has an empty axis"},
      {28, 10, 4, 30, Code::voxelGrid, "voxel word count does not match the grid dimensions"},
      {44, std::bit_cast<std::uint64_t>(-0.5), 8, 30, Code::invalidNumber, error},
      {44, 0x7FF8'0000'0000'0000ULL, 8, 30, Code::invalidNumber, error},
      {44, 0x7FF0'0000'0000'0000ULL, 8, 30, Code::invalidNumber, error},
      {60 + 8 + 5, 0x02, 1, 30, Code::voxelGrid, "voxel padding bits must be zero"},
  };
  const Bytes valid = EncodePlVoxelGrid(kPattern);
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Bytes bytes = valid;
    if (c.offset == kAppend) {
      bytes.push_back(0);
    } else {
      Put(bytes, c.offset, c.value, c.width);
    }
    ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), c.expectedCell), c.code, c.message);
  }
  // The byte limit comes before the magic; word counts above the cell limit are
  // refused before any word is read.
  Bytes bytes = valid;
  bytes[0] = 'X';
  PlRuntimeMeshLimits limits;
  limits.maxMemberBytes = bytes.size() - 1;
  ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), 30, limits), Code::limitExceeded,
                   "voxel member exceeds the configured byte limit");
  limits.maxMemberBytes = bytes.size();
  ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), 30, limits), Code::badMagic,
                   "voxel magic is invalid or truncated");
  bytes = EncodePlVoxelGrid(kTiny);
  bytes.resize(60);
  limits.maxVoxelCells = 128;
  Put(bytes, 52, 3, 8);
  ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), 50, limits), Code::limitExceeded, count);
  Put(bytes, 52, 2, 8);
  ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), 50, limits), Code::truncated,
                   "voxel occupancy data is truncated");
}

TEST(VoxelMember, ContractChecksInOrder) {
  const struct {
    void (*change)(PlVoxelGrid&);
    Code code;
    const char* message;
  } cases[] = {
      {[](PlVoxelGrid& g) { g.cellSizeMm = 50, g.dims[1] = 0; }, Code::voxelGrid,
       "voxel cell size does not match the required level"},
      {[](PlVoxelGrid& g) { g.dims[2] = 0, g.distanceErrorMm = -1.0; }, Code::voxelGrid,
       "voxel grid has an empty axis"},
      {[](PlVoxelGrid& g) {
         g.dims = {4000, 4000, 5};
       },
       Code::limitExceeded, "voxel grid exceeds the configured cell limit"},
      {[](PlVoxelGrid& g) { g.words.push_back(0), g.distanceErrorMm = NAN; }, Code::voxelGrid,
       "voxel word count does not match the grid dimensions"},
      {[](PlVoxelGrid& g) { g.words[1] |= std::uint64_t{1} << 63, g.distanceErrorMm = INFINITY; },
       Code::invalidNumber, "voxel distance error is invalid"},
      {[](PlVoxelGrid& g) { g.words[1] |= std::uint64_t{1} << 41; }, Code::voxelGrid,
       "voxel padding bits must be zero"},
      {[](PlVoxelGrid& g) {
         g.solid = true, g.words = {0, 0};
       },
       Code::voxelGrid, "a mask declaring solid occupancy has no occupied cell"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PlVoxelGrid grid = kPattern;
    c.change(grid);
    ExpectDiagnostic(CheckPlVoxelGridContract(grid, 30, kPlRuntimeMeshLimits), c.code, c.message);
    EXPECT_TRUE(EncodePlVoxelGrid(grid).empty());
  }
  // An empty surface grid passes; declared solid in its bytes, it does not decode.
  PlVoxelGrid empty = kPattern;
  empty.words = {0, 0};
  Bytes bytes = EncodePlVoxelGrid(empty);
  ASSERT_FALSE(bytes.empty());
  bytes[40] = 1;
  ExpectDiagnostic(DecodeCopy(bytes, bytes.size(), 30), Code::voxelGrid,
                   "a mask declaring solid occupancy has no occupied cell");
}

TEST(VoxelMember, PaddingBitsEndExactlyAtTheLastCell) {
  PlVoxelGrid one = Grid(50, {0, 0, 0}, {1, 1, 1}, 0, {1}, true);
  EXPECT_EQ(EncodePlVoxelGrid(one).size(), 68U);
  for (int bit = 1; bit < 64; ++bit) {
    SCOPED_TRACE(bit);
    one.words = {1 | (std::uint64_t{1} << bit)};
    ExpectDiagnostic(CheckPlVoxelGridContract(one, 50, kPlRuntimeMeshLimits), Code::voxelGrid,
                     "voxel padding bits must be zero");
  }
  const PlVoxelGrid full = Grid(30, {0, 0, 0}, {4, 4, 4}, 0, {~std::uint64_t{0}}, true);
  EXPECT_TRUE(CheckPlVoxelGridContract(full, 30, kPlRuntimeMeshLimits).Passed());
}

TEST(VoxelMember, CellCountSaturatesInsteadOfWrapping) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(PlVoxelCellCount({0xFFFF'FFFF, 0xFFFF'FFFF, 0xFFFF'FFFF}), max);
  EXPECT_EQ(PlVoxelCellCount({0x1'0000 - 1, 0x1'0000 + 1, 0x1'0000}), 0xFFFF'FFFFULL * 0x1'0000);
  EXPECT_EQ(PlVoxelWordCount(max), 0x0400'0000'0000'0000ULL);
  EXPECT_EQ(PlVoxelWordCount(64), 1U);
  EXPECT_EQ(PlVoxelWordCount(65), 2U);
}

}  // namespace
