// An interrupted prepare removes the staging file it made and ends by the
// signal, so the same request runs again afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/temp_dir.h"

namespace {

constexpr int kRings = 250;
constexpr int kSegments = 200;

void PutU32(std::string& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A closed torus of 2 x kRings x kSegments triangles as binary STL: its package
// takes several MiB, many 64 KiB chunks of staged writing.
std::string TorusStl() {
  const auto point = [](int ring, int segment) {
    // Indices wrap, so the seams weld and the torus is closed.
    const double u = 2.0 * std::numbers::pi * (ring % kRings) / kRings;
    const double v = 2.0 * std::numbers::pi * (segment % kSegments) / kSegments;
    const double radius = 100.0 + 30.0 * std::cos(v);
    return std::vector<float>{static_cast<float>(radius * std::cos(u)),
                              static_cast<float>(radius * std::sin(u)),
                              static_cast<float>(30.0 * std::sin(v))};
  };
  std::string bytes(80, ' ');
  PutU32(bytes, 2U * kRings * kSegments);
  const auto facet = [&](const std::vector<std::vector<float>>& corners) {
    for (int i = 0; i < 3; ++i) PutU32(bytes, 0);
    for (const auto& corner : corners) {
      for (const float c : corner) PutU32(bytes, std::bit_cast<std::uint32_t>(c));
    }
    bytes += std::string(2, '\0');
  };
  for (int r = 0; r < kRings; ++r) {
    for (int s = 0; s < kSegments; ++s) {
      const auto a = point(r, s), b = point(r + 1, s), c = point(r + 1, s + 1), d = point(r, s + 1);
      facet({a, b, c});
      facet({a, c, d});
    }
  }
  return bytes;
}

class InterruptedRun : public TempDirTest {
 protected:
  std::filesystem::path Request() const {
    const std::filesystem::path input = WriteFile("torus.stl", TorusStl());
    return WriteFile(
        "r.json",
        R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
        R"("requestId":"r1","inputPath":")" +
            input.string() + R"(","outputPath":")" + (dir / "torus.peltogeom").string() +
            R"(","sourceFormat":"stl","sourceUnits":"mm","componentRole":"mold_shell",)"
            R"("sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
            R"("allowedOrientationsDeg":[0,90,180,270]})");
  }

  // Starts a prepare whose standard output is a one-page pipe, reads its events
  // until the staged write has begun, then stops reading: the run blocks on
  // its next progress line while the staging file exists, and gets `signal`.
  // Returns the wait status.
  static int InterruptDuringStaging(const std::filesystem::path& request, int signal) {
    int pipeEnds[2];
    EXPECT_EQ(pipe(pipeEnds), 0);
    (void)fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096);
    const pid_t child = fork();
    if (child == 0) {
      dup2(pipeEnds[1], STDOUT_FILENO);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, STDERR_FILENO);
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
    char byte = 0;
    while (!staged && read(pipeEnds[0], &byte, 1) == 1) {
      if (byte != '\n') {
        line += byte;
        continue;
      }
      staged = line.find(staging) != std::string::npos;
      line.clear();
    }
    EXPECT_TRUE(staged);
    kill(child, signal);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    close(pipeEnds[0]);
    return status;
  }
};

TEST_F(InterruptedRun, LeavesNothingBehindAndTheRequestRunsAgain) {
  const std::filesystem::path request = Request();
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const int status = InterruptDuringStaging(request, signal);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal);
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "torus.stl"}));
  }
  const CliRun rerun = RunCli({"prepare", request.string()});
  EXPECT_EQ(rerun.status, 0) << (rerun.lines.empty() ? "" : rerun.lines.back());
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"r.json", "torus.peltogeom", "torus.stl"}));
}

}  // namespace
