// An interrupted prepare removes the staging file it made and ends by the
// signal, so the same request runs again afterwards.
#include <cmath>
#include <numbers>

#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/temp_dir.h"
#include "support/test_geometry.h"

namespace {

// A closed torus of 2 x 250 x 200 triangles: its package takes several MiB,
// many 64 KiB chunks of staged writing.
PlGeometryMesh Torus() {
  constexpr int kRings = 250, kSegments = 200;
  std::vector<PlPoint3> vertices;
  std::vector<std::array<std::uint32_t, 3>> triangles;
  for (int r = 0; r < kRings; ++r) {
    for (int s = 0; s < kSegments; ++s) {
      const double u = 2 * std::numbers::pi * r / kRings, v = 2 * std::numbers::pi * s / kSegments;
      const double radius = 100.0 + 30.0 * std::cos(v);
      vertices.push_back({radius * std::cos(u), radius * std::sin(u), 30.0 * std::sin(v)});
      const auto at = [&](int dr, int ds) {
        return static_cast<std::uint32_t>((r + dr) % kRings * kSegments + (s + ds) % kSegments);
      };
      triangles.push_back({at(0, 0), at(1, 0), at(1, 1)});
      triangles.push_back({at(0, 0), at(1, 1), at(0, 1)});
    }
  }
  return MakeMesh(std::move(vertices), std::move(triangles));
}

class InterruptedRun : public TempDirTest {};

TEST_F(InterruptedRun, LeavesNothingBehindAndTheRequestRunsAgain) {
  const std::filesystem::path request =
      WriteFile("r.json", PrepareRequestText("r1", WriteFile("torus.obj", ObjText(Torus())),
                                             dir / "t.peltogeom", "obj"));
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const int status = RunMeasured(request, signal).status;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "torus.obj"}));
  }
  const CliRun rerun = RunCli({"prepare", request.string()});
  EXPECT_EQ(rerun.status, 0) << (rerun.lines.empty() ? "" : rerun.lines.back());
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "t.peltogeom", "torus.obj"}));
}

}  // namespace
