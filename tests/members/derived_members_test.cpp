#include "members/derived_members.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/test_geometry.h"

const char* kMemoryMissing = "stage input lacks its required request memory reservation";

TEST(DerivedMembers, RefusesDisagreeingLimitsAndUncoveredReservations) {
  LimitedRun job;
  job.request.allowedOrientationsDeg = {0, 90, 180, 270};
  const auto build = [&](std::vector<std::uint8_t> analytic, PlCadPrepMemoryReservation handed) {
    return BuildPlCadPrepDerivedMembers(BoxImport({0, 0, 0}, 60), job.request, job.context, {},
                                        std::move(analytic), std::move(handed));
  };
  ExpectPlCadPrepError(
      [&] {
        (void)build({7, 8, 9}, ReserveMemory(job.context, 2, "mesh"));
      },
      "invalid_resource_reservation", "mesh", kMemoryMissing);
  // Later stages refuse members that lost a reservation.
  PlCadPrepDerivedMembers members = build({}, {});
  members.voxelOutput = PlCadPrepOutputReservation{};
  ExpectPlCadPrepError(
      [&] { RequirePlCadPrepDerivedMemberReservations(job.context, members, "package"); },
      "invalid_resource_reservation", "package",
      "stage input lacks its required request output reservation");
  job.request.maxTriangles = 999;
  ExpectPlCadPrepError([&] { build({}, {}); }, "invalid_limits", "mesh",
                       "derived-member request and operation-context limits disagree");
}
