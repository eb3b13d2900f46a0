#include "members/voxel_member.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

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

TEST(VoxelMember, EncodesGoldenBytes) {
  // Magic, version 1, cell 50, origin -1 0 2, dims 2 1 1, solid, error 0.5, 1 word, occupancy 3.
  const std::string hex =
      "504c47564f5831000100000032000000ffffffff00000000020000000200000001000000010000000100000000"
      "0000000000e03f01000000000000000300000000000000";
  Bytes golden;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    golden.push_back(std::uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  EXPECT_EQ(EncodePlVoxelGrid(kTiny), golden);
}

TEST(VoxelMember, RejectsEveryProperPrefix) {
  const Bytes bytes = EncodePlVoxelGrid(kPattern);
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    ExpectDecode(bytes, n, 30, n < 8 ? Code::badMagic : Code::truncated,
                 n < 8    ? "voxel magic is invalid or truncated"
                 : n < 60 ? "voxel header is truncated"
                          : "voxel occupancy data is truncated");
  }
}

TEST(VoxelMember, RejectsMalformedMembersInOrder) {
  const char* count = "voxel count exceeds the configured limit";
  const char* error = "voxel distance error is invalid";
  const char* magic = "voxel magic is invalid or truncated";
  const Bytes valid = EncodePlVoxelGrid(kPattern);
  for (const auto& [at, value, width, cell, code, message] :
       {std::tuple<std::size_t, std::uint64_t, std::size_t, std::uint32_t, Code, const char*>{
            7, 1, 1, 30, Code::badMagic, magic},
        {40, 2, 4, 30, Code::unsupportedVersion, "voxel version or reserved flags are unsupported"},
        {36, 0xFFFF'FFFF, 4, 30, Code::limitExceeded, count},  // dims overflow u64
        {52, 1'000'001, 8, 30, Code::limitExceeded, count},    // words above the limit
        {52, 3, 8, 30, Code::truncated, "voxel occupancy data is truncated"},
        {52, 1, 8, 30, Code::trailingBytes, "voxel member contains trailing bytes"},
        {12, 30, 4, 50, Code::voxelGrid, "voxel cell size does not match the required level"},
        {32, 0, 4, 30, Code::voxelGrid, "voxel grid has an empty axis"},
        {28, 10, 4, 30, Code::voxelGrid, "voxel word count does not match the grid dimensions"},
        {44, std::bit_cast<std::uint64_t>(-0.5), 8, 30, Code::invalidNumber, error},
        {60 + 8 + 5, 0x02, 1, 30, Code::voxelGrid, "voxel padding bits must be zero"}}) {
    SCOPED_TRACE(at);
    Bytes bytes = valid;
    Put(bytes, at, value, width);
    ExpectDecode(bytes, bytes.size(), cell, code, message);
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
