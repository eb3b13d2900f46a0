#pragma once
// Request files, sources and event lines of the end-to-end runs of the executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>

#include "mesh/geometry_mesh.h"

inline constexpr const char* kQuarterTurns = "[0,90,180,270]";
// What every generated shape definition requires.
inline constexpr const char* kTwelveTurns = "[0,30,60,90,120,150,180,210,240,270,300,330]";
inline constexpr auto kIdentityMount = R"("sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1])";

// A prepare request with the identity mount; `extra` is appended as further members.
inline std::string PrepareRequestText(const std::string& id, const std::filesystem::path& input,
                                      const std::filesystem::path& output,
                                      const std::string& format,
                                      const std::string& orientations = kQuarterTurns,
                                      const std::string& extra = "") {
  const bool mesh = format != "step" && format != "pelto.shape.definition.v1";
  return R"({"schema":"pelto.geometry.prepare.request.v1",)"
         R"("geometrySchema":"pelto.geometry.asset.v3","requestId":")" +
         id + R"(","inputPath":")" + input.string() + R"(","outputPath":")" + output.string() +
         R"(","sourceFormat":")" + format + R"(","sourceUnits":")" + (mesh ? "mm" : "source") +
         R"(","componentRole":")" + (format == "step" ? "component" : "mold_shell") + "\"," +
         kIdentityMount + R"(,"allowedOrientationsDeg":)" + orientations + extra + "}";
}

// A seat, review or select request with a linear deflection of 0.5 mm.
inline std::string SideRequestText(const std::string& command, const std::string& id,
                                   const std::filesystem::path& input,
                                   const std::filesystem::path& output,
                                   const std::string& extra = "") {
  return R"({"schema":"pelto.geometry.)" + command + R"(.request.v1","requestId":")" + id +
         R"(","inputPath":")" + input.string() + R"(","outputPath":")" + output.string() +
         R"(","targetLinearDeflectionMm":0.5)" + extra + "}";
}

inline std::string ObjText(const PlGeometryMesh& mesh) {
  std::string text;
  const auto line = [&](char kind, const auto& xs, auto base) {
    text += std::string(1, kind) + " " + std::to_string(xs[0] + base) + " " +
            std::to_string(xs[1] + base) + " " + std::to_string(xs[2] + base) + "\n";
  };
  for (const PlPoint3& p : mesh.vertices) line('v', p, 0.0);
  for (const auto& t : mesh.triangles) line('f', t, 1u);
  return text;
}

// One event line; `rest` holds the members after the request id.
inline std::string EventLine(const std::string& id, const std::string& rest) {
  return R"({"schema":"pelto.geometry.prepare.event.v1","requestId":")" + id + "\"," + rest + "}";
}
inline std::string AcceptedLine(const std::string& id) {
  return EventLine(id, R"("event":"accepted","stage":"preflight")");
}
inline std::string CompleteLine(const std::string& id) {
  return EventLine(id, R"("event":"complete","stage":"publish")");
}
inline std::string ProgressLine(const std::string& id, const std::string& stage,
                                std::uint64_t completed, std::uint64_t total) {
  return EventLine(id, R"("event":"progress","stage":")" + stage + R"(","completed":)" +
                           std::to_string(completed) + R"(,"total":)" + std::to_string(total));
}
inline std::string ErrorLine(const std::string& id, const std::string& stage,
                             const std::string& code, const std::string& message) {
  return EventLine(id, R"("event":"error","stage":")" + stage + R"(","code":")" + code +
                           R"(","message":")" + message + "\"");
}

// A prepare run of the executable with standard error discarded: its standard
// output, wait status and peak resident size. With `signal`, the run gets it once
// its staged write has begun, while it blocks on a full one-page pipe.
struct MeasuredRun {
  std::string output;
  int status = 0;
  std::uint64_t peakResidentBytes = 0;
};
inline MeasuredRun RunMeasured(const std::filesystem::path& request, int signal = 0) {
  int ends[2];
  EXPECT_EQ(pipe(ends), 0);
  (void)fcntl(ends[1], F_SETPIPE_SZ, 4096);
  const pid_t child = fork();
  if (child == 0) {
    dup2(ends[1], STDOUT_FILENO);
    dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
    close(ends[0]);
    execl(PL_EXECUTABLE_PATH, PL_EXECUTABLE_PATH, "prepare", request.c_str(), nullptr);
    _exit(127);
  }
  close(ends[1]);
  MeasuredRun run;
  for (char byte = 0; read(ends[0], &byte, 1) == 1;) {
    run.output += byte;
    if (signal != 0 && byte == '\n' &&
        run.output.find(R"("stage":"package","completed":0,)",
                        run.output.rfind('\n', run.output.size() - 2)) != std::string::npos)
      break;
  }
  EXPECT_EQ(signal != 0 ? kill(child, signal) : 0, 0);
  rusage usage{};
  EXPECT_EQ(wait4(child, &run.status, 0, &usage), child);
  close(ends[0]);
  run.peakResidentBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  return run;
}
