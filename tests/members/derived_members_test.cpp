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

TEST(DerivedMembers, ReducesOrientationsToDistinctBaseAngles) {
  EXPECT_EQ(PlCadPrepBaseAngles(QuarterTurns({0})), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(PlCadPrepBaseAngles({300, 0, 30, 90, 120, 180, 210, 270}),
            (std::vector<std::uint32_t>{0, 30}));
  EXPECT_EQ(PlCadPrepBaseAngles({315, 45, 0, 135, 90, 225, 180, 270}),
            (std::vector<std::uint32_t>{0, 45}));
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
