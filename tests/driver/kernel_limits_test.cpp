// Sources whose tessellation would outgrow maxMemoryBytes, through the
// executable: each ends with its one error line, its peak resident size stays
// within maxMemoryBytes plus the address-space headroom, and its output
// folder stays empty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "platform/process_limits.h"
#include "support/driver_runs.h"
#include "support/pipe_output.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMaxMemoryBytes = 268'435'456;

// Runs a prepare with standard error discarded; returns its last line
// and exit status, with the peak resident size of that one child from wait4.
std::string RunMeasured(std::string request, int& status, std::uint64_t& peakResidentBytes) {
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = PL_EXECUTABLE_PATH;
  char prepare[] = "prepare";
  char* argv[] = {program.data(), prepare, request.data(), nullptr};
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const std::string output = ReadPipeToEnd(pipeFds);
  int raw = 0;
  rusage usage{};
  EXPECT_EQ(wait4(pid, &raw, 0, &usage), pid);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  peakResidentBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  const std::string text = output.substr(0, output.find_last_not_of('\n') + 1);
  return text.substr(text.rfind('\n') + 1);
}

class KernelLimits : public TempDirTest {};

TEST_F(KernelLimits, HugeCurvedSourcesEndWithinTheirLimits) {
  const std::string memory = R"(,"limits":{"maxMemoryBytes":268435456})";
  const struct {
    std::string name, shape, limits, stage, code, message;
  } cases[] = {
      {"sphere", R"({"diameterUm":100000000,"kind":"sphere"})", memory, "mesh",
       "memory_limit_exceeded", "preparation exceeds maxMemoryBytes"},
      // A cylinder's rulings stay undivided, so its mesh is small and the
      // voxel grid is what gives out.
      {"cylinder",
       R"({"axisLengthUm":100000000,"diameterUm":100000000,"kind":"cylinder","mount":"laidDown"})",
       memory, "voxel", "voxel_cell_limit_exceeded",
       "padded voxel grid exceeds the runtime cell limit"},
      // Small enough for the memory limit, but the mesher spends seconds on
      // its one face without asking for the time: the elapsed watchdog ends it.
      {"slow-sphere", R"({"diameterUm":10000000,"kind":"sphere"})",
       R"(,"limits":{"maxElapsedMs":1000})", "mesh", "elapsed_limit_exceeded",
       "preparation exceeded maxElapsedMs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The package would go to its own empty `out` folder.
    fs::create_directories(dir / c.name / "out");
    const fs::path source =
        WriteFile(c.name + "/shape-definition.json", ShapeDefinitionDocument(c.shape));
    const fs::path request =
        WriteFile(c.name + "/request.json",
                  PrepareRequestText(c.name, source, dir / c.name / "out" / "shape.peltogeom",
                                     "pelto.shape.definition.v1", kTwelveTurns, c.limits));
    int status = -1;
    std::uint64_t peakResidentBytes = 0;
    EXPECT_EQ(RunMeasured(request.string(), status, peakResidentBytes),
              ErrorLine(c.name, c.stage, c.code, c.message));
    EXPECT_EQ(status, 5);
    EXPECT_GT(peakResidentBytes, 0U);
    EXPECT_LE(peakResidentBytes, kMaxMemoryBytes + kPlCadPrepAddressSpaceHeadroomBytes);
    EXPECT_TRUE(ListDir(dir / c.name / "out").empty());
  }
}

}  // namespace
