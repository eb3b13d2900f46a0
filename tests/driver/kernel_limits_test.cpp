// Sources whose tessellation would outgrow maxMemoryBytes, through the
// executable: each ends with its one error line, its peak resident size stays
// within maxMemoryBytes plus the address-space headroom, and its output
// folder stays empty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <BRepPrimAPI_MakeSphere.hxx>
#include <cstdint>
#include <filesystem>
#include <gp_Pnt.hxx>
#include <string>
#include <vector>

#include "platform/process_limits.h"
#include "support/pipe_output.h"
#include "support/shape_documents.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

constexpr std::uint64_t kMaxMemoryBytes = 268'435'456;

struct MeasuredRun {
  std::vector<std::string> lines;
  int status = -1;
  std::uint64_t peakResidentBytes = 0;
};

// Runs the executable with standard error discarded and takes the peak
// resident size of that one child from wait4.
MeasuredRun RunMeasured(const std::string& command, const std::filesystem::path& request) {
  MeasuredRun run;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = PL_EXECUTABLE_PATH;
  std::string requestText = request.string();
  char* argv[] = {program.data(), const_cast<char*>(command.c_str()), requestText.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  const std::string output = ReadPipeToEnd(pipeFds);
  if (spawned != 0) return run;
  int raw = 0;
  rusage usage{};
  if (wait4(pid, &raw, 0, &usage) != pid) return run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.peakResidentBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = output.find('\n', start);
    run.lines.push_back(output.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return run;
}

std::string ErrorLine(const std::string& requestId, const std::string& stage,
                      const std::string& code, const std::string& message) {
  return R"({"schema":"pelto.geometry.prepare.event.v1","requestId":")" + requestId +
         R"(","event":"error","stage":")" + stage + R"(","code":")" + code + R"(","message":")" +
         message + R"("})";
}

const std::string kLimits = R"("limits":{"maxMemoryBytes":268435456})";

class KernelLimits : public TempDirTest {
 protected:
  // A prepare request for a generated shape in its own folder; the package
  // would go to its own empty `out` folder.
  std::filesystem::path GeneratedRequest(const std::string& name, const std::string& shape,
                                         const std::string& limits = kLimits) const {
    const std::filesystem::path folder = dir / name;
    std::filesystem::create_directories(folder / "out");
    const std::filesystem::path source = folder / "shape-definition.json";
    WriteFile(name + "/shape-definition.json", ShapeDefinitionDocument(shape));
    return WriteFile(
        name + "/request.json",
        R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
        R"("requestId":")" +
            name + R"(","inputPath":")" + source.string() + R"(","outputPath":")" +
            (folder / "out" / "shape.peltogeom").string() +
            R"(","sourceFormat":"pelto.shape.definition.v1","sourceUnits":"source",)"
            R"("componentRole":"mold_shell","sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
            R"("allowedOrientationsDeg":[0,30,60,90,120,150,180,210,240,270,300,330],)" +
            limits + "}");
  }

  // A review request for a STEP source holding one sphere face of 100 m.
  std::filesystem::path StepRequest(const std::string& name) const {
    const std::filesystem::path folder = dir / name;
    std::filesystem::create_directories(folder / "out");
    const std::filesystem::path source = folder / "sphere.step";
    WriteTestStep(BRepPrimAPI_MakeSphere(gp_Pnt(0.0, 0.0, 0.0), 50'000.0).Shape(), source);
    return WriteFile(name + "/request.json",
                     R"({"schema":"pelto.geometry.review.request.v1","requestId":")" + name +
                         R"(","inputPath":")" + source.string() + R"(","outputPath":")" +
                         (folder / "out" / "model.glb").string() +
                         R"(","targetLinearDeflectionMm":0.5,)" + kLimits + "}");
  }
};

TEST_F(KernelLimits, HugeCurvedSourcesEndWithinTheirLimits) {
  const std::string refused = "preparation exceeds maxMemoryBytes";
  struct Case {
    std::string name;
    std::string command;
    std::filesystem::path request;
    std::string lastLine;
  };
  const std::vector<Case> cases = {
      {"sphere", "prepare",
       GeneratedRequest("sphere", R"({"diameterUm":100000000,"kind":"sphere"})"),
       ErrorLine("sphere", "mesh", "memory_limit_exceeded", refused)},
      {"frustum", "prepare",
       GeneratedRequest("frustum", R"({"axisLengthUm":100000000,"kind":"frustum",)"
                                   R"("largeDiameterUm":100000000,"mount":"upright",)"
                                   R"("smallDiameterUm":50000000})"),
       ErrorLine("frustum", "mesh", "memory_limit_exceeded", refused)},
      // A cylinder's rulings stay undivided, so its mesh is small and the
      // voxel grid is what gives out.
      {"cylinder", "prepare",
       GeneratedRequest("cylinder", R"({"axisLengthUm":100000000,"diameterUm":100000000,)"
                                    R"("kind":"cylinder","mount":"laidDown"})"),
       ErrorLine("cylinder", "voxel", "voxel_cell_limit_exceeded",
                 "padded voxel grid exceeds the runtime cell limit")},
      {"step-sphere", "review", StepRequest("step-sphere"),
       ErrorLine("step-sphere", "mesh", "memory_limit_exceeded", refused)},
      // Small enough for the memory limit, but the mesher spends seconds on
      // its one face without asking for the time: the elapsed watchdog ends it.
      {"slow-sphere", "prepare",
       GeneratedRequest("slow-sphere", R"({"diameterUm":10000000,"kind":"sphere"})",
                        R"("limits":{"maxElapsedMs":1000})"),
       ErrorLine("slow-sphere", "mesh", "elapsed_limit_exceeded",
                 "preparation exceeded maxElapsedMs")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MeasuredRun run = RunMeasured(c.command, c.request);
    EXPECT_EQ(run.status, 5);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), c.lastLine);
    EXPECT_GT(run.peakResidentBytes, 0U);
    EXPECT_LE(run.peakResidentBytes, kMaxMemoryBytes + kPlCadPrepAddressSpaceHeadroomBytes);
    EXPECT_TRUE(ListDir(dir / c.name / "out").empty());
  }
}

}  // namespace
