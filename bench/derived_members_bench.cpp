// Times the derived-member build on a closed torus of about 990k triangles
// spanning about 2 m: once for the quarter turns of 0 degrees alone and once
// for 24 orientations (6 base angles), with peak memory and the time spent in
// each phase as the progress reports mark them.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "members/collision_mesh.h"
#include "members/derived_members.h"
#include "members/preview_model.h"
#include "members/voxelizer.h"
#include "mesh/geometry_mesh.h"
#include "platform/process_limits.h"
#include "request/prepare_request.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMajorSegments = 990;
constexpr std::uint32_t kMinorSegments = 500;
constexpr double kMajorRadiusMm = 900.0;
constexpr double kMinorRadiusMm = 100.0;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// User plus system CPU seconds of the process; less sensitive to a busy machine than wall time.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// A torus about the z axis, every quad split the same way so the winding is consistent.
PlCadPrepTriangleImport MakeTorus() {
  PlCadPrepTriangleImport import;
  PlGeometryMesh& mesh = import.mesh;
  const double pi = std::acos(-1.0);
  mesh.vertices.reserve(std::size_t{kMajorSegments} * kMinorSegments);
  for (std::uint32_t i = 0; i < kMajorSegments; ++i) {
    const double u = (2.0 * pi * i) / kMajorSegments;
    for (std::uint32_t j = 0; j < kMinorSegments; ++j) {
      const double v = (2.0 * pi * j) / kMinorSegments;
      const double ring = kMajorRadiusMm + (kMinorRadiusMm * std::cos(v));
      mesh.vertices.push_back(
          {ring * std::cos(u), ring * std::sin(u), kMinorRadiusMm * std::sin(v)});
    }
  }
  mesh.triangles.reserve(std::size_t{2} * kMajorSegments * kMinorSegments);
  for (std::uint32_t i = 0; i < kMajorSegments; ++i) {
    for (std::uint32_t j = 0; j < kMinorSegments; ++j) {
      const std::uint32_t i1 = (i + 1) % kMajorSegments;
      const std::uint32_t j1 = (j + 1) % kMinorSegments;
      const std::uint32_t a = i * kMinorSegments + j;
      const std::uint32_t b = i1 * kMinorSegments + j;
      const std::uint32_t c = i1 * kMinorSegments + j1;
      const std::uint32_t d = i * kMinorSegments + j1;
      mesh.triangles.push_back({a, b, c});
      mesh.triangles.push_back({a, c, d});
    }
  }
  MeasurePlGeometryBounds(mesh.vertices, mesh.boundsMin, mesh.boundsMax);
  mesh.watertight = true;
  import.sourceHash = "sha256:" + std::string(64, '0');
  return import;
}

// Progress reports with their time, to split the job into its phases.
struct Timeline {
  struct Mark {
    double seconds;
    std::string stage;
    std::uint64_t completed;
  };
  Clock::time_point start = Clock::now();
  std::vector<Mark> marks;
};

void RunJob(const PlCadPrepTriangleImport& import, const std::vector<std::uint32_t>& orientations,
            const char* label) {
  PlCadPrepRequest request;
  request.allowedOrientationsDeg = orientations;
  const NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  Timeline timeline;
  const ProgressCallback progress = [&timeline](std::string_view stage, std::uint64_t completed,
                                                std::uint64_t) {
    timeline.marks.push_back({SecondsSince(timeline.start), std::string(stage), completed});
  };
  const double cpuStart = CpuSeconds();
  timeline.start = Clock::now();
  const PlCadPrepDerivedMembers members =
      BuildPlCadPrepDerivedMembers(import, request, context, progress, {}, {});
  const double total = SecondsSince(timeline.start);
  const double cpu = CpuSeconds() - cpuStart;

  // Marks: mesh 0, mesh 1 (collision done), mesh 2 (preview done), then the
  // voxel passes. A pass ends at the count where the next one starts, so two
  // equal counts in a row at a pass boundary bracket the rotation (rotate,
  // encode, decode) of the next baked angle; the last two marks bracket the
  // final reservations and checks.
  const std::vector<Timeline::Mark>& marks = timeline.marks;
  const std::uint64_t passUnits = 2 * import.mesh.triangles.size();
  const std::size_t n = marks.size();
  const double collision = marks[1].seconds - marks[0].seconds;
  const double preview = marks[2].seconds - marks[1].seconds;
  double rotate = 0.0;
  for (std::size_t i = 4; i + 1 < n; ++i) {
    const Timeline::Mark& before = marks[i - 1];
    const Timeline::Mark& after = marks[i];
    if (before.completed == after.completed && (after.completed - 2) % passUnits == 0) {
      rotate += after.seconds - before.seconds;
    }
  }
  const double finalChecks = marks[n - 1].seconds - marks[n - 2].seconds;
  const double voxelize = marks[n - 2].seconds - marks[2].seconds - rotate;
  std::printf("%s: %zu baked angles, total %.3f s wall, %.3f s CPU\n", label, members.baked.size(),
              total, cpu);
  std::printf(
      "  collision member %.3f s, preview %.3f s, voxelization %.3f s, rotated members "
      "%.3f s, final reservations and checks %.3f s\n",
      collision, preview, voxelize, rotate, finalChecks);
  std::printf("  member bytes: collision %zu, preview %zu, base search %zu, base refine %zu\n",
              members.collision.bytes.size(), members.preview.size(),
              members.baseSearch.bytes.size(), members.baseRefine.bytes.size());
  std::printf("  peak RSS so far %.1f MiB, ledger memory %.1f MiB, output %.1f MiB\n", PeakRssMiB(),
              static_cast<double>(context.ledger->memoryReserved) / 1048576.0,
              static_cast<double>(context.ledger->outputReserved) / 1048576.0);
}

// The pieces of the collision member alone, to show where its time goes.
void TimeCollisionPieces(const PlCadPrepTriangleImport& import) {
  Clock::time_point start = Clock::now();
  const PlMemberDiagnostic contract = CheckPlRuntimeMeshContract(import.mesh, kPlRuntimeMeshLimits);
  const double contractSeconds = SecondsSince(start);
  start = Clock::now();
  const std::vector<std::uint8_t> bytes = EncodeCollisionMesh(import.mesh);
  const double encodeSeconds = SecondsSince(start);
  PlGeometryMesh decoded;
  start = Clock::now();
  const PlMemberDiagnostic decode = DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, decoded);
  const double decodeSeconds = SecondsSince(start);
  std::printf(
      "pieces: contract (watertight) %.3f s [%s], encode incl. contract %.3f s, decode incl. "
      "contract %.3f s [%s]\n",
      contractSeconds, contract.Passed() ? "pass" : contract.message.c_str(), encodeSeconds,
      decodeSeconds, decode.Passed() ? "pass" : decode.message.c_str());
}

}  // namespace

int main() {
  // The heap behaves as in the executable.
  KeepPlCadPrepFreedMemoryForReuse();
  const Clock::time_point start = Clock::now();
  const PlCadPrepTriangleImport torus = MakeTorus();
  std::printf(
      "torus: %zu vertices, %zu triangles, x %.1f..%.1f mm, generated in %.3f s, peak RSS "
      "%.1f MiB\n",
      torus.mesh.vertices.size(), torus.mesh.triangles.size(), torus.mesh.boundsMin[0],
      torus.mesh.boundsMax[0], SecondsSince(start), PeakRssMiB());
  TimeCollisionPieces(torus);
  std::vector<std::uint32_t> orientations;
  for (const std::uint32_t base : {0u, 15u, 30u, 45u, 60u, 75u}) {
    for (std::uint32_t turn = 0; turn < 4; ++turn) orientations.push_back(base + 90 * turn);
  }
  // Two rounds, so a slow first round (cold caches, page faults) shows as such.
  for (int round = 0; round < 2; ++round) {
    RunJob(torus, {0, 90, 180, 270}, "orientations 0/90/180/270");
    RunJob(torus, orientations, "24 orientations");
  }
  return 0;
}
