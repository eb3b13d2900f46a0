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

const PlVoxelGrid kTiny = {50, {-1, 0, 2}, {2, 1, 1}, 0.5, {0x3}, true};
// 5 x 3 x 7 = 105 cells in two words, a scattered pattern and no padding bits.
const PlVoxelGrid kPattern = {
    30, {-7, 3, -100000}, {5, 3, 7}, 0.0125, {0x8000'0000'1234'5671ULL, 0x1'0F0F'0F0FULL}, false};

void Put(Bytes& bytes, std::size_t offset, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Decodes a heap copy of exactly the first `length` bytes, so a sanitizer sees any overread.
void ExpectDecode(const Bytes& bytes, std::size_t length, std::uint32_t cellSizeMm, Code code,
                  const std::string& message,
                  const PlRuntimeMeshLimits& limits = kPlRuntimeMeshLimits) {
  const auto copy = std::make_unique<std::uint8_t[]>(length == 0 ? 1 : length);
  std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), copy.get());
  PlVoxelGrid out;
  const PlMemberDiagnostic d = DecodePlVoxelGrid({copy.get(), length}, cellSizeMm, limits, out);
  EXPECT_EQ(d.code, code);
  EXPECT_EQ(d.member, "pvox");
  EXPECT_EQ(d.message, message);
}

}  // namespace

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
}

TEST(VoxelMember, RejectsEveryProperPrefix) {
  const Bytes bytes = EncodePlVoxelGrid(kPattern);
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE(length);
    if (length < 8) {
      ExpectDecode(bytes, length, 30, Code::badMagic, "voxel magic is invalid or truncated");
    } else {
      ExpectDecode(bytes, length, 30, Code::truncated,
                   length < 60 ? "voxel header is truncated" : "voxel occupancy data is truncated");
    }
  }
}

TEST(VoxelMember, RejectsMalformedMembersInOrder) {
  const char* version = "voxel version or reserved flags are unsupported";
  const char* count = "voxel count exceeds the configured limit";
  const char* level = "voxel cell size does not match the required level";
  const char* error = "voxel distance error is invalid";
  const char* magic = "voxel magic is invalid or truncated";
  const char* trailing = "voxel member contains trailing bytes";
  const struct {
    std::size_t offset;  // 0 with width 0: append one byte
    std::uint64_t value;
    std::size_t width;
    std::uint32_t expectedCell;
    Code code;
    const char* message;
  } cases[] = {
      {0, 'Q', 1, 30, Code::badMagic, magic},
      {7, 1, 1, 30, Code::badMagic, magic},
      {8, 2, 4, 30, Code::unsupportedVersion, version},
      {8, 0, 4, 30, Code::unsupportedVersion, version},
      {40, 2, 4, 30, Code::unsupportedVersion, version},  // mode
      {28, 64'000'001, 4, 30, Code::limitExceeded, count},
      {36, 0xFFFF'FFFF, 4, 30, Code::limitExceeded, count},  // dims overflow u64
      {52, 1'000'001, 8, 30, Code::limitExceeded, count},    // words above the limit
      {52, ~std::uint64_t{0}, 8, 30, Code::limitExceeded, count},
      {52, 3, 8, 30, Code::truncated, "voxel occupancy data is truncated"},
      {52, 1, 8, 30, Code::trailingBytes, trailing},
      {0, 0, 0, 30, Code::trailingBytes, trailing},
      {12, 30, 4, 50, Code::voxelGrid, level},  // unchanged bytes, another level
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
    if (c.width == 0) bytes.push_back(0);
    if (c.width != 0) Put(bytes, c.offset, c.value, c.width);
    ExpectDecode(bytes, bytes.size(), c.expectedCell, c.code, c.message);
  }
  // The byte limit comes before the magic, at and just over its value.
  Bytes bytes = valid;
  bytes[0] = 'X';
  PlRuntimeMeshLimits limits;
  limits.maxMemberBytes = bytes.size() - 1;
  ExpectDecode(bytes, bytes.size(), 30, Code::limitExceeded,
               "voxel member exceeds the configured byte limit", limits);
  limits.maxMemberBytes = bytes.size();
  ExpectDecode(bytes, bytes.size(), 30, Code::badMagic, magic, limits);
  // Word counts above the cell limit's words are refused before any word is read.
  bytes = EncodePlVoxelGrid(kTiny);
  bytes.resize(60);
  limits.maxVoxelCells = 128;
  Put(bytes, 52, 3, 8);
  ExpectDecode(bytes, bytes.size(), 50, Code::limitExceeded, count, limits);
  Put(bytes, 52, 2, 8);
  ExpectDecode(bytes, bytes.size(), 50, Code::truncated, "voxel occupancy data is truncated",
               limits);
}
