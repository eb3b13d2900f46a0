#pragma once
// One voxel occupancy grid of one orientation at one level (".pvox"): cubic
// cells on the integer lattice of the mount frame, one bit per cell, and the
// grid contract that both the encoder and the decoder enforce.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "mesh/geometry_mesh.h"

inline constexpr std::array<std::uint8_t, 8> kPlVoxelMagic = {'P', 'L', 'G', 'V', 'O', 'X', '1', 0};
inline constexpr std::uint32_t kPlVoxelVersion = 1;
// Magic, version, cell size, origin, dims, mode, distance error and word count.
inline constexpr std::uint64_t kPlVoxelHeaderBytes = 60;
inline constexpr std::uint64_t kPlVoxelWordBytes = 8;
inline constexpr std::uint32_t kPlVoxelModeSurface = 0;
inline constexpr std::uint32_t kPlVoxelModeSolid = 1;
inline constexpr char kPlVoxelMemberName[] = "pvox";

// Cell (i, j, k) covers [(originCell + (i, j, k)) * cellSizeMm, ... + cellSizeMm] on each
// axis. Its bit is ((j * nz) + k) * nx + i: x fastest, then z, then y; bit b lives in
// bit (b % 64) of words[b / 64]. Bits past the last cell must be 0.
struct PlVoxelGrid {
  std::uint32_t cellSizeMm = 0;
  std::array<std::int32_t, 3> originCell = {0, 0, 0};
  std::array<std::uint32_t, 3> dims = {0, 0, 0};
  double distanceErrorMm = 0.0;
  std::vector<std::uint64_t> words;
  // Interior cells are set too, not only the cells the surface touches.
  bool solid = false;
};

// nx * ny * nz, saturating at the largest u64 when the product overflows.
std::uint64_t PlVoxelCellCount(const std::array<std::uint32_t, 3>& dims);

// ceil(cells / 64) without overflow.
std::uint64_t PlVoxelWordCount(std::uint64_t cells);

// The linear bit index of cell (i, j, k); the caller keeps the cell inside `dims`.
inline std::uint64_t PlVoxelBitIndex(const std::array<std::uint32_t, 3>& dims, std::uint32_t i,
                                     std::uint32_t j, std::uint32_t k) {
  return ((std::uint64_t{j} * dims[2]) + k) * dims[0] + i;
}

inline constexpr std::uint64_t kPlVoxelBitsPerWord = 64;

// Bit `index` of a flat bit set of u64 words, bit 0 of a word being its least
// significant; the caller keeps `index` inside the set.
inline bool PlVoxelTestBit(const std::vector<std::uint64_t>& words, std::uint64_t index) {
  return ((words[index / kPlVoxelBitsPerWord] >> (index % kPlVoxelBitsPerWord)) & 1U) != 0;
}

inline void PlVoxelSetBit(std::vector<std::uint64_t>& words, std::uint64_t index) {
  words[index / kPlVoxelBitsPerWord] |= std::uint64_t{1} << (index % kPlVoxelBitsPerWord);
}

// Whether cell (i, j, k) of a grid that passed its contract is occupied.
bool PlVoxelOccupied(const PlVoxelGrid& grid, std::uint32_t i, std::uint32_t j, std::uint32_t k);

// The grid contract, first failure wins; member name "pvox". Pure.
[[nodiscard]] PlMemberDiagnostic CheckPlVoxelGridContract(const PlVoxelGrid& grid,
                                                          std::uint32_t expectedCellSizeMm,
                                                          const PlRuntimeMeshLimits& limits);

// Empty result when the grid fails its contract (with its own cell size and the
// runtime limits); otherwise exactly 60 + 8 * words bytes.
std::vector<std::uint8_t> EncodePlVoxelGrid(const PlVoxelGrid& grid);

// Never throws on bad input (only on allocation failure); a bad, truncated or
// wrong-level member yields a non-zero category, member name "pvox". Refuses word
// counts above the cell limit before it allocates.
[[nodiscard]] PlMemberDiagnostic DecodePlVoxelGrid(std::span<const std::uint8_t> bytes,
                                                   std::uint32_t expectedCellSizeMm,
                                                   const PlRuntimeMeshLimits& limits,
                                                   PlVoxelGrid& out);
