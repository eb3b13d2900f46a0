// An interrupted prepare removes the staging file it made and ends by the
// signal, so the same request runs again afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <numbers>

#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/temp_dir.h"

namespace {

// A closed torus of 2 x 250 x 200 triangles as binary STL: its package takes
// several MiB, many 64 KiB chunks of staged writing.
std::string TorusStl() {
  constexpr int kRings = 250, kSegments = 200;
  std::string bytes(80, ' ');
  const auto put = [&bytes](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  const auto corner = [&put](int ring, int segment) {
    // Indices wrap, so the seams weld and the torus is closed.
    const double u = 2.0 * std::numbers::pi * (ring % kRings) / kRings;
    const double v = 2.0 * std::numbers::pi * (segment % kSegments) / kSegments;
    const double radius = 100.0 + 30.0 * std::cos(v);
    for (const double c : {radius * std::cos(u), radius * std::sin(u), 30.0 * std::sin(v)}) {
      put(std::bit_cast<std::uint32_t>(static_cast<float>(c)));
    }
  };
  const auto facet = [&](std::initializer_list<std::pair<int, int>> corners) {
    for (int i = 0; i < 3; ++i) put(0);  // the normal
    for (const auto& [ring, segment] : corners) corner(ring, segment);
    bytes += std::string(2, '\0');
  };
  put(2U * kRings * kSegments);
  for (int r = 0; r < kRings; ++r) {
    for (int s = 0; s < kSegments; ++s) {
      facet({{r, s}, {r + 1, s}, {r + 1, s + 1}});
      facet({{r, s}, {r + 1, s + 1}, {r, s + 1}});
    }
  }
  return bytes;
}

// Starts a prepare whose standard output is a one-page pipe, reads its events
// until the staged write has begun, then stops reading: the run blocks on its
// next progress line while the staging file exists, and gets `signal`.
// Returns the wait status.
int InterruptDuringStaging(const std::filesystem::path& request, int signal) {
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  (void)fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execl(PL_EXECUTABLE_PATH, PL_EXECUTABLE_PATH, "prepare", request.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeEnds[1]);
  const std::string staging = R"("stage":"package","completed":0,)";
  std::string line;
  bool staged = false;
  for (char byte = 0; !staged && read(pipeEnds[0], &byte, 1) == 1;) {
    staged = byte == '\n' && line.find(staging) != std::string::npos;
    if (byte == '\n') line.clear();
    if (byte != '\n') line += byte;
  }
  EXPECT_TRUE(staged);
  kill(child, signal);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  close(pipeEnds[0]);
  return status;
}

class InterruptedRun : public TempDirTest {};

TEST_F(InterruptedRun, LeavesNothingBehindAndTheRequestRunsAgain) {
  const std::filesystem::path request = WriteFile(
      "r.json",
      PrepareRequestText("r1", WriteFile("torus.stl", TorusStl()), dir / "torus.peltogeom", "stl"));
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const int status = InterruptDuringStaging(request, signal);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "torus.stl"}));
  }
  const CliRun rerun = RunCli({"prepare", request.string()});
  EXPECT_EQ(rerun.status, 0) << (rerun.lines.empty() ? "" : rerun.lines.back());
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "torus.peltogeom", "torus.stl"}));
}

}  // namespace
