#include "members/derived_members.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Report = std::tuple<std::string, std::uint64_t, std::uint64_t>;

const char* kMemoryMissing = "stage input lacks its required request memory reservation";

// Every orientation of the given base angles' quarter turns.
std::vector<std::uint32_t> QuarterTurns(std::initializer_list<std::uint32_t> bases) {
  std::vector<std::uint32_t> orientations;
  for (const std::uint32_t base : bases) {
    for (std::uint32_t turn = 0; turn < 360; turn += 90) orientations.push_back(base + turn);
  }
  return orientations;
}

struct Job {
  explicit Job(std::vector<std::uint32_t> orientations = QuarterTurns({0})) {
    request.allowedOrientationsDeg = std::move(orientations);
    context = MakePlCadPrepOperationContext(request, cancellation);
  }
  PlCadPrepDerivedMembers Build(const PlCadPrepTriangleImport& import,
                                std::vector<std::uint8_t> analytic = {}) {
    PlCadPrepMemoryReservation analyticMemory = ReserveMemory(context, analytic.size(), "mesh");
    return BuildPlCadPrepDerivedMembers(
        import, request, context,
        [this](std::string_view stage, std::uint64_t completed, std::uint64_t total) {
          reports.emplace_back(std::string(stage), completed, total);
        },
        std::move(analytic), std::move(analyticMemory));
  }
  PlCadPrepRequest request;
  NeverCancelled cancellation;
  PlCadPrepOperationContext context;
  std::vector<Report> reports;
};

std::string ExpectedName(const char* prefix, const PlVoxelMember& member) {
  return prefix + Sha256Identity(member.bytes).substr(7) + ".pvox";
}

TEST(DerivedMembers, ReducesOrientationsToDistinctBaseAngles) {
  EXPECT_EQ(PlCadPrepBaseAngles(QuarterTurns({0})), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(PlCadPrepBaseAngles({300, 0, 30, 90, 120, 180, 210, 270}),
            (std::vector<std::uint32_t>{0, 30}));
  EXPECT_EQ(PlCadPrepBaseAngles({315, 45, 0, 135, 90, 225, 180, 270}),
            (std::vector<std::uint32_t>{0, 45}));
}

TEST(DerivedMembers, QuarterTurnsBakeNothingAndHoldExactlyTheMemberBytes) {
  Job job;
  // Output reserved before the job is the ledger base and stays outside the check.
  const PlCadPrepOutputReservation earlier = ReserveOutput(job.context, 1000, "import");
  {
    const PlCadPrepDerivedMembers members = job.Build(BoxImport({0, 0, 0}, 100), {1, 2, 3, 4, 5});
    EXPECT_TRUE(members.baked.empty());
    EXPECT_EQ(members.baseSearch.grid.cellSizeMm, 50u);
    EXPECT_EQ(members.baseRefine.grid.cellSizeMm, 30u);
    const std::uint64_t voxelBytes =
        members.baseSearch.bytes.size() + members.baseRefine.bytes.size();
    EXPECT_EQ(members.voxelOutput.bytes, voxelBytes);
    EXPECT_EQ(members.voxelMemory.bytes, PlVoxelMemberStorageBytes(members.baseSearch) +
                                             PlVoxelMemberStorageBytes(members.baseRefine));
    EXPECT_EQ(members.analyticMemory.bytes, 5u);
    EXPECT_EQ(members.analyticOutput.bytes, 5u);
    EXPECT_EQ(members.collisionOutput.bytes, members.collision.bytes.size());
    EXPECT_EQ(members.previewOutput.bytes, members.preview.size());
    EXPECT_EQ(job.context.ledger->outputReserved,
              1000 + members.collision.bytes.size() + 5 + members.preview.size() + voxelBytes);
    RequirePlCadPrepDerivedMemberReservations(job.context, members, "package");
  }
  EXPECT_EQ(job.context.ledger->outputReserved, 1000u);
  EXPECT_EQ(job.context.ledger->memoryReserved, 0u);
  const std::uint64_t total = 2 * 12 + 2;
  ASSERT_GE(job.reports.size(), 4u);
  EXPECT_EQ(std::vector<Report>(job.reports.begin(), job.reports.begin() + 3),
            (std::vector<Report>{{"mesh", 0, total}, {"mesh", 1, total}, {"mesh", 2, total}}));
  EXPECT_EQ(job.reports.back(), Report("voxel", total, total));
  for (std::size_t i = 3; i < job.reports.size(); ++i) {
    EXPECT_EQ(std::get<0>(job.reports[i]), "voxel");
    EXPECT_GE(std::get<1>(job.reports[i]), std::get<1>(job.reports[i - 1]));
  }
}

TEST(DerivedMembers, BakesAnglesAndNamesMembersByContent) {
  Job job(QuarterTurns({0, 15, 45, 80}));
  const PlCadPrepDerivedMembers a = job.Build(BoxImport({-35, 5, 12.5}, 140));
  // Each baked pass starts where the one before it ended.
  const std::uint64_t total = 4 * 2 * 12 + 2;
  for (std::uint64_t k = 1; k <= 3; ++k) {
    const Report start("voxel", 2 + k * 2 * 12, total);
    EXPECT_NE(std::find(job.reports.begin(), job.reports.end(), start), job.reports.end());
  }
  const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(a);
  ASSERT_EQ(names.size(), 4u);
  ASSERT_EQ(a.baked.size(), 3u);
  EXPECT_EQ(names[0].angleDeg, 0u);
  EXPECT_EQ(names[0].search, ExpectedName("search_50mm_", a.baseSearch));
  EXPECT_EQ(names[0].refine, ExpectedName("refine_30mm_", a.baseRefine));
  const std::uint32_t baked[] = {15, 45, 80};
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(a.baked[k].angleDeg, baked[k]);
    EXPECT_EQ(names[k + 1].angleDeg, baked[k]);
    EXPECT_EQ(names[k + 1].search, ExpectedName("search_50mm_", a.baked[k].search));
    EXPECT_EQ(names[k + 1].refine, ExpectedName("refine_30mm_", a.baked[k].refine));
    // A baked grid carries its rotated mesh's deviation, which rounding raised.
    EXPECT_GT(a.baked[k].search.grid.distanceErrorMm, a.collision.mesh.surfaceDeviationMm);
    EXPECT_EQ(a.baked[k].search.grid.distanceErrorMm, a.baked[k].refine.grid.distanceErrorMm);
  }
  // Names exist only for the two levels' encodable grids.
  PlVoxelGrid copy = a.baseSearch.grid;
  copy.cellSizeMm = 40;
  EXPECT_EQ(PlCadPrepVoxelMemberName(copy), "");
  PlVoxelGrid broken = a.baseRefine.grid;
  broken.words.push_back(0);
  EXPECT_EQ(PlCadPrepVoxelMemberName(broken), "");
}

TEST(DerivedMembers, RefusesDisagreeingLimitsAndUncoveredReservations) {
  Job job;
  Job other;
  const auto build = [&](std::vector<std::uint8_t> analytic, PlCadPrepMemoryReservation handed) {
    (void)BuildPlCadPrepDerivedMembers(BoxImport({0, 0, 0}, 60), job.request, job.context, {},
                                       std::move(analytic), std::move(handed));
  };
  ExpectPlCadPrepError(
      [&] {
        build({7, 8, 9}, ReserveMemory(job.context, 2, "mesh"));
      },
      "invalid_resource_reservation", "mesh", kMemoryMissing);
  ExpectPlCadPrepError(
      [&] {
        build({7, 8, 9}, ReserveMemory(other.context, 3, "mesh"));
      },
      "invalid_resource_reservation", "mesh", kMemoryMissing);
  EXPECT_EQ(job.context.ledger->memoryReserved, 0u);
  EXPECT_EQ(job.context.ledger->outputReserved, 0u);
  job.request.maxTriangles = 999;
  ExpectPlCadPrepError([&] { build({}, {}); }, "invalid_limits", "mesh",
                       "derived-member request and operation-context limits disagree");

  // Later stages refuse members that lost a reservation.
  Job built;
  PlCadPrepDerivedMembers members = built.Build(BoxImport({0, 0, 0}, 60));
  EXPECT_TRUE(members.analytic.empty());
  PlCadPrepMemoryReservation previewMemory = std::move(members.previewMemory);
  ExpectPlCadPrepError(
      [&] { RequirePlCadPrepDerivedMemberReservations(built.context, members, "package"); },
      "invalid_resource_reservation", "package", kMemoryMissing);
  members.previewMemory = std::move(previewMemory);
  members.voxelOutput = PlCadPrepOutputReservation{};
  ExpectPlCadPrepError(
      [&] { RequirePlCadPrepDerivedMemberReservations(built.context, members, "package"); },
      "invalid_resource_reservation", "package",
      "stage input lacks its required request output reservation");
}

}  // namespace
