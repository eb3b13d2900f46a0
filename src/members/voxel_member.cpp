#include "members/voxel_member.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/error.h"

namespace {

// Version, cell size, origin, dims, mode, distance error and word count.
constexpr std::uint64_t kHeaderAfterMagicBytes = 52;

PlMemberDiagnostic Fail(PlMemberDiagnosticCode code, const char* message) {
  return PlMemberDiagnostic{code, kPlVoxelMemberName, message};
}

PlMemberDiagnostic Pass() {
  return PlMemberDiagnostic{PlMemberDiagnosticCode::passed, kPlVoxelMemberName, ""};
}

}  // namespace

std::uint64_t PlVoxelCellCount(const std::array<std::uint32_t, 3>& dims) {
  std::uint64_t xy = 0;
  std::uint64_t xyz = 0;
  // Two u32 factors always fit; only the third can overflow.
  xy = std::uint64_t{dims[0]} * dims[1];
  if (!CheckedMultiply(xy, dims[2], xyz)) return std::numeric_limits<std::uint64_t>::max();
  return xyz;
}

std::uint64_t PlVoxelWordCount(std::uint64_t cells) {
  return cells / kPlVoxelBitsPerWord + (cells % kPlVoxelBitsPerWord != 0 ? 1 : 0);
}

bool PlVoxelOccupied(const PlVoxelGrid& grid, std::uint32_t i, std::uint32_t j, std::uint32_t k) {
  return PlVoxelTestBit(grid.words, PlVoxelBitIndex(grid.dims, i, j, k));
}

PlMemberDiagnostic CheckPlVoxelGridContract(const PlVoxelGrid& grid,
                                            std::uint32_t expectedCellSizeMm,
                                            const PlRuntimeMeshLimits& limits) {
  if (grid.cellSizeMm != expectedCellSizeMm) {
    return Fail(PlMemberDiagnosticCode::voxelGrid,
                "voxel cell size does not match the required level");
  }
  if (grid.dims[0] == 0 || grid.dims[1] == 0 || grid.dims[2] == 0) {
    return Fail(PlMemberDiagnosticCode::voxelGrid, "voxel grid has an empty axis");
  }
  const std::uint64_t cells = PlVoxelCellCount(grid.dims);
  if (cells > limits.maxVoxelCells) {
    return Fail(PlMemberDiagnosticCode::limitExceeded,
                "voxel grid exceeds the configured cell limit");
  }
  if (grid.words.size() != PlVoxelWordCount(cells)) {
    return Fail(PlMemberDiagnosticCode::voxelGrid,
                "voxel word count does not match the grid dimensions");
  }
  if (!std::isfinite(grid.distanceErrorMm) || grid.distanceErrorMm < 0.0) {
    return Fail(PlMemberDiagnosticCode::invalidNumber, "voxel distance error is invalid");
  }
  const std::uint64_t usedBitsInLastWord = cells % kPlVoxelBitsPerWord;
  if (usedBitsInLastWord != 0 && (grid.words.back() >> usedBitsInLastWord) != 0) {
    return Fail(PlMemberDiagnosticCode::voxelGrid, "voxel padding bits must be zero");
  }
  if (grid.solid &&
      std::all_of(grid.words.begin(), grid.words.end(), [](std::uint64_t w) { return w == 0; })) {
    return Fail(PlMemberDiagnosticCode::voxelGrid,
                "a mask declaring solid occupancy has no occupied cell");
  }
  return Pass();
}

std::vector<std::uint8_t> EncodePlVoxelGrid(const PlVoxelGrid& grid) {
  if (!CheckPlVoxelGridContract(grid, grid.cellSizeMm, kPlRuntimeMeshLimits).Passed()) return {};

  // The contract bounds the word count by the cell limit, so the size fits easily.
  const std::uint64_t wordCount = grid.words.size();
  const std::uint64_t size = kPlVoxelHeaderBytes + kPlVoxelWordBytes * wordCount;

  ByteWriter writer(static_cast<std::size_t>(size));
  writer.Bytes(kPlVoxelMagic);
  writer.U32(kPlVoxelVersion);
  writer.U32(grid.cellSizeMm);
  for (const std::int32_t v : grid.originCell) writer.U32(std::bit_cast<std::uint32_t>(v));
  for (const std::uint32_t v : grid.dims) writer.U32(v);
  writer.U32(grid.solid ? kPlVoxelModeSolid : kPlVoxelModeSurface);
  writer.F64(grid.distanceErrorMm);
  writer.U64(wordCount);
  for (const std::uint64_t word : grid.words) writer.U64(word);
  PlRequire(writer.bytes.size() == size, "the voxel member is exactly its computed size");
  return std::move(writer.bytes);
}

PlMemberDiagnostic DecodePlVoxelGrid(std::span<const std::uint8_t> bytes,
                                     std::uint32_t expectedCellSizeMm,
                                     const PlRuntimeMeshLimits& limits, PlVoxelGrid& out) {
  out = PlVoxelGrid{};
  ByteReader reader(bytes);
  PlMemberDiagnostic opening =
      ReadPlMemberOpening(reader, kPlVoxelMagic, kHeaderAfterMagicBytes, limits, kPlVoxelMemberName,
                          {"voxel member exceeds the configured byte limit",
                           "voxel magic is invalid or truncated", "voxel header is truncated"});
  if (!opening.Passed()) return opening;
  const std::uint32_t version = reader.U32();
  PlVoxelGrid grid;
  grid.cellSizeMm = reader.U32();
  for (std::int32_t& v : grid.originCell) v = std::bit_cast<std::int32_t>(reader.U32());
  for (std::uint32_t& v : grid.dims) v = reader.U32();
  const std::uint32_t mode = reader.U32();
  grid.distanceErrorMm = reader.F64();
  const std::uint64_t wordCount = reader.U64();
  if (version != kPlVoxelVersion || mode > kPlVoxelModeSolid) {
    return Fail(PlMemberDiagnosticCode::unsupportedVersion,
                "voxel version or reserved flags are unsupported");
  }
  grid.solid = mode == kPlVoxelModeSolid;
  if (PlVoxelCellCount(grid.dims) > limits.maxVoxelCells ||
      wordCount > PlVoxelWordCount(limits.maxVoxelCells)) {
    return Fail(PlMemberDiagnosticCode::limitExceeded, "voxel count exceeds the configured limit");
  }
  std::uint64_t wordBytes = 0;
  if (!CheckedMultiply(wordCount, kPlVoxelWordBytes, wordBytes) || !reader.Has(wordBytes)) {
    return Fail(PlMemberDiagnosticCode::truncated, "voxel occupancy data is truncated");
  }
  // The count has passed its limit and the bytes are present, so this cannot overreach.
  grid.words.resize(static_cast<std::size_t>(wordCount));
  for (std::uint64_t& word : grid.words) word = reader.U64();
  if (!reader.AtEnd()) {
    return Fail(PlMemberDiagnosticCode::trailingBytes, "voxel member contains trailing bytes");
  }
  out = std::move(grid);
  return CheckPlVoxelGridContract(out, expectedCellSizeMm, limits);
}
