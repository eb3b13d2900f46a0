// Deterministic random mutation of valid runtime members: every mutant must
// decode either into a diagnostic of the decoder's own or into a member that
// encodes back to the mutant's bytes, without reading past its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "members/collision_mesh.h"
#include "members/voxel_member.h"
#include "support/test_geometry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Pick = std::function<std::size_t(std::size_t)>;
constexpr int kMutationsPerSeed = 1500;

void PutLe(Bytes& bytes, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width && offset + i < bytes.size(); ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

struct Decoder {
  const char* member;
  std::set<std::string> knownMessages;
  // Kinds 0-3 flip, resize, insert and erase bytes; kinds from 4 up to `kinds` go
  // to `special`, which puts the member's own boundary values into its fields.
  std::size_t kinds;
  std::function<void(std::size_t kind, Bytes&, const Pick&)> special;
  // Decodes and checks what an accepted mutant decodes to.
  std::function<PlMemberDiagnostic(std::span<const std::uint8_t>)> decode;
};

// The one mutation driver. Each mutant is decoded from an allocation of exactly
// its size, so a sanitizer catches any overread.
void RunMutations(const Decoder& decoder, const std::vector<Bytes>& seeds, std::uint32_t rngSeed,
                  int minAccepted, std::size_t minSeen) {
  std::mt19937 rng(rngSeed);
  const Pick pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n == 0 ? 0 : n - 1)(rng);
  };
  std::set<std::string> seen;
  int accepted = 0;
  for (const Bytes& seed : seeds) {
    ASSERT_FALSE(seed.empty());
    for (int n = 0; n < kMutationsPerSeed; ++n) {
      Bytes bytes = seed;
      for (std::size_t r = 0, rounds = 1 + pick(3); r < rounds; ++r) {
        const std::size_t kind = pick(decoder.kinds);
        const auto at = [&](std::size_t extra) {
          return bytes.begin() + static_cast<std::ptrdiff_t>(pick(bytes.size() + extra));
        };
        if (kind == 0 && !bytes.empty()) {
          *at(0) ^= static_cast<std::uint8_t>(1 + pick(255));
        } else if (kind == 1) {
          bytes.resize(pick(bytes.size() + 1));
        } else if (kind == 2) {
          bytes.insert(at(1), static_cast<std::uint8_t>(pick(256)));
        } else if (kind == 3 && !bytes.empty()) {
          bytes.erase(at(0));
        } else if (kind >= 4) {
          decoder.special(kind, bytes, pick);
        }
      }
      const auto heap = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1));
      std::copy(bytes.begin(), bytes.end(), heap.get());
      const PlMemberDiagnostic d = decoder.decode({heap.get(), bytes.size()});
      EXPECT_EQ(d.member, decoder.member);
      if (d.Passed()) {
        ++accepted;
      } else {
        EXPECT_EQ(decoder.knownMessages.count(d.message), 1u) << d.message;
        seen.insert(d.message);
      }
      ASSERT_FALSE(::testing::Test::HasFailure()) << "mutation " << n << " of a seed";
    }
  }
  // The loop must reach deep into the decoder, not only its first checks.
  EXPECT_GT(accepted, minAccepted);
  EXPECT_GE(seen.size(), minSeen);
}

PlVoxelGrid Grid(std::array<std::int32_t, 3> origin, std::array<std::uint32_t, 3> dims,
                 double distanceErrorMm, std::vector<std::uint64_t> words, bool solid) {
  return PlVoxelGrid{50, origin, dims, distanceErrorMm, std::move(words), solid};
}

TEST(MemberDecoderMutation, VoxelMembersDecodeToDiagnosticsOrExactGrids) {
  const Decoder decoder{
      "pvox",
      {"voxel member exceeds the configured byte limit", "voxel magic is invalid or truncated",
       "voxel header is truncated", "voxel version or reserved flags are unsupported",
       "voxel count exceeds the configured limit", "voxel occupancy data is truncated",
       "voxel member contains trailing bytes", "voxel cell size does not match the required level",
       "voxel grid has an empty axis", "voxel grid exceeds the configured cell limit",
       "voxel word count does not match the grid dimensions", "voxel distance error is invalid",
       "voxel padding bits must be zero", "a mask declaring solid occupancy has no occupied cell"},
      6,
      [](std::size_t kind, Bytes& bytes, const Pick& pick) {
        const std::size_t offsets[] = {8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 52};
        const std::uint64_t values[] = {0,          1,          2,         30,
                                        50,         63,         64,        65,
                                        0x7FFFFFFF, 0xFFFFFFFF, 1'000'000, 1'000'001,
                                        64'000'000, 64'000'001, ~0ULL,     0x7FF0ULL << 48};
        if (kind == 4) {
          const std::size_t offset = offsets[pick(std::size(offsets))];
          PutLe(bytes, offset, values[pick(std::size(values))], offset >= 44 ? 8 : 4);
        } else if (!bytes.empty()) {
          bytes[pick(bytes.size())] = static_cast<std::uint8_t>(pick(256));
        }
      },
      [](std::span<const std::uint8_t> bytes) {
        PlVoxelGrid grid;
        const PlMemberDiagnostic d = DecodePlVoxelGrid(bytes, 50, kPlRuntimeMeshLimits, grid);
        EXPECT_TRUE(!d.Passed() || EncodePlVoxelGrid(grid) == Bytes(bytes.begin(), bytes.end()));
        return d;
      }};
  RunMutations(
      decoder,
      {EncodePlVoxelGrid(Grid({0, 0, 0}, {1, 1, 1}, 0, {1}, true)),
       EncodePlVoxelGrid(
           Grid({-3, 7, -1}, {5, 3, 7}, 0.25, {0x0123'4567'89AB'CDEFULL, 0x1'FFFF'0000ULL}, false)),
       EncodePlVoxelGrid(Grid({100, -100, 0}, {8, 8, 3}, 1e-9, {~0ULL, ~0ULL, ~0ULL}, true))},
      0x90C5'1D3Au, 50, 10);
}

Bytes EncodeSeedMesh(std::vector<PlPoint3> vertices,
                     std::vector<std::array<std::uint32_t, 3>> triangles, double deviationMm) {
  return EncodeCollisionMesh(MakeMesh(std::move(vertices), std::move(triangles), deviationMm));
}

TEST(MemberDecoderMutation, CollisionMeshesDecodeToDiagnosticsOrTheirOwnEncoding) {
  const Decoder decoder{
      "collision.pmesh",
      {"mesh member exceeds the configured byte limit", "mesh magic is invalid or truncated",
       "mesh header is truncated", "mesh version or reserved flags are unsupported",
       "mesh count exceeds the configured limit", "mesh bounds are truncated",
       "mesh vertex data is truncated", "mesh triangle data is truncated",
       "mesh contains trailing bytes", "mesh has no vertices or triangles",
       "mesh exceeds the configured vertex or triangle limit", "mesh surface deviation is invalid",
       "mesh vertex is non-finite or outside the coordinate limit",
       "declared mesh bounds do not match its vertices", "mesh contains an invalid triangle index",
       "mesh contains an unreferenced vertex"},
      7,
      [](std::size_t kind, Bytes& bytes, const Pick& pick) {
        const std::uint64_t counts[] = {
            0, 1, 2, 3, 4, 5, 499'999, 500'000, 500'001, 1'000'000, 1'000'001, 0xFFFFFFFF};
        // +0, -0, 1, +inf, NaN, -1 and 100001.
        const std::uint64_t doubles[] = {0,
                                         0x8000'0000'0000'0000ULL,
                                         0x3FF0'0000'0000'0000ULL,
                                         0x7FF0'0000'0000'0000ULL,
                                         0x7FF8'0000'0000'0000ULL,
                                         0xBFF0'0000'0000'0000ULL,
                                         0x40F8'6A10'0000'0000ULL};
        if (kind == 4) {  // version, counts and flags
          PutLe(bytes, 8 + 4 * pick(4), counts[pick(std::size(counts))], 4);
        } else if (kind == 5) {  // deviation and bounds
          PutLe(bytes, 24 + 8 * pick(7), doubles[pick(std::size(doubles))], 8);
        } else if (bytes.size() >= 80) {
          // Low mantissa bits of one bound: tolerated by the contract up to 0.0001 mm.
          bytes[32 + 8 * pick(6)] ^= static_cast<std::uint8_t>(1 + pick(255));
        }
      },
      [](std::span<const std::uint8_t> bytes) {
        PlGeometryMesh mesh;
        const PlMemberDiagnostic d = DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, mesh);
        if (!d.Passed()) return d;
        // The encoder writes the exact bounds of the vertices, while the decoder
        // accepts declared bounds within the tolerance; every other byte must return.
        const Bytes again = EncodeCollisionMesh(mesh);
        EXPECT_EQ(again.size(), bytes.size());
        if (again.size() != bytes.size()) return d;
        EXPECT_TRUE(std::equal(again.begin(), again.begin() + 32, bytes.begin()));
        EXPECT_TRUE(std::equal(again.begin() + 80, again.end(), bytes.begin() + 80));
        PlGeometryMesh exact;
        EXPECT_TRUE(DecodeCollisionMesh(again, kPlRuntimeMeshLimits, exact).Passed());
        for (int axis = 0; axis < 3; ++axis) {
          EXPECT_LE(std::abs(exact.boundsMin[axis] - mesh.boundsMin[axis]), 0.0001);
          EXPECT_LE(std::abs(exact.boundsMax[axis] - mesh.boundsMax[axis]), 0.0001);
        }
        return d;
      }};
  RunMutations(
      decoder,
      {EncodeSeedMesh({{-2, 0.5, 3}, {1, 0.5, 3}, {0, 4, -1}}, {{2, 0, 1}}, 0.125),
       EncodeSeedMesh({{0.1, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}},
                      {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}, 0.0),
       EncodeSeedMesh({{-100000, 0, 0}, {100000, 0, 0}, {0, 100000, 0}, {0, 0, -0.0}, {5, 5, 5}},
                      {{0, 1, 2}, {1, 2, 3}, {3, 4, 0}}, 1e-3)},
      0x6D53'4831u, 50, 12);
}

}  // namespace
