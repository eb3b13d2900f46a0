// Times the executable's own `prepare` of the 990,000-triangle torus end to
// end (import, derived members, package, publish), once with the four quarter
// turns and once with 24 orientations (0 ... 345 in steps of 15: six base
// angles, five of them baked), so the cost of the baked voxel grids shows.
//
//   prepare_torus_bench [--runs N] [--exe PeltoCadPrep] [--stl torus_binary.stl]
//
// Every run is a separate child process: its CPU seconds (user + system) and
// peak resident memory come from wait4's rusage, its wall time from spawn to
// reap. The executable defaults to the PeltoCadPrep beside this bench's build
// folder, the torus to the one `make_torus_mesh /tmp/torus` writes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/json_text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Case {
  const char* requestId;
  const char* orientations;  // the JSON array of allowedOrientationsDeg
  const char* label;
};

constexpr Case kCases[] = {
    {"torus-4", "[0,90,180,270]", "4 orientations (quarter turns only)"},
    {"torus-24",
     "[0,15,30,45,60,75,90,105,120,135,150,165,180,195,210,225,240,255,270,285,300,315,330,345]",
     "24 orientations (6 base angles, 5 baked)"},
};

struct Run {
  double cpuSeconds = 0.0;
  double wallSeconds = 0.0;
  long peakRssKiB = 0;
};

// Removed on every way out of main.
struct TempFolder {
  fs::path path;
  ~TempFolder() {
    std::error_code ignored;  // a leftover temporary file is no benchmark failure
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last non-empty line of `text`.
std::string_view LastLine(std::string_view text) {
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::size_t newline = text.rfind('\n');
  return newline == std::string_view::npos ? text : text.substr(newline + 1);
}

std::string RequestText(const Case& c, const fs::path& stl, const fs::path& output) {
  std::string text = "{\"schema\":\"pelto.geometry.prepare.request.v1\",";
  text += "\"geometrySchema\":\"pelto.geometry.asset.v3\",\"requestId\":\"";
  text += c.requestId;
  text += "\",\"inputPath\":";
  AppendJsonString(text, stl.string());
  text += ",\"outputPath\":";
  AppendJsonString(text, output.string());
  text += ",\"sourceFormat\":\"stl\",\"sourceUnits\":\"cm\",\"componentRole\":\"mold_shell\",";
  text += "\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],\"allowedOrientationsDeg\":";
  text += c.orientations;
  text += ",\"limits\":{}}\n";
  return text;
}

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// Runs `exe prepare request` with its output in files beside the request; an
// empty error means the run exited 0 and its last event was "complete".
std::string RunPrepare(const fs::path& exe, const fs::path& request, Run& run) {
  const fs::path outPath = request.parent_path() / "events.txt";
  const fs::path errPath = request.parent_path() / "stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::string exeText = exe.string(), command = "prepare", requestText = request.string();
  char* argv[] = {exeText.data(), command.data(), requestText.data(), nullptr};
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exeText.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return "could not start " + exeText + ": " + std::strerror(spawned);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return std::string("wait4: ") + std::strerror(errno);
  run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  run.peakRssKiB = usage.ru_maxrss;
  const std::string events = ReadText(outPath);
  const std::string_view last = LastLine(events);
  const bool exitedZero = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (exitedZero && last.find("\"event\":\"complete\"") != std::string_view::npos) return {};
  std::string error = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "killed by signal " + std::to_string(WTERMSIG(status));
  error += "\n  last event line: " + (last.empty() ? std::string("(none)") : std::string(last));
  const std::string stderrText = ReadText(errPath);
  error += "\n  stderr:" + (stderrText.empty() ? std::string(" (empty)") : "\n" + stderrText);
  return error;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "prepare_torus_bench: %s\n"
               "usage: prepare_torus_bench [--runs N >= 1] [--exe PeltoCadPrep] "
               "[--stl torus_binary.stl]\n",
               problem.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::error_code error;
  fs::path exe = fs::read_symlink("/proc/self/exe", error).parent_path().parent_path();
  exe /= "PeltoCadPrep";
  fs::path stl = "/tmp/torus/torus_binary.stl";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg != "--runs" && arg != "--exe" && arg != "--stl") {
      return Usage("unknown argument " + std::string(arg));
    }
    if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value");
    const std::string_view value = argv[++i];
    if (arg == "--exe") {
      exe = value;
    } else if (arg == "--stl") {
      stl = value;
    } else {
      const std::from_chars_result parsed =
          std::from_chars(value.data(), value.data() + value.size(), runs);
      if (parsed.ec != std::errc{} || parsed.ptr != value.data() + value.size() || runs < 1) {
        return Usage("--runs needs a whole number of at least 1");
      }
    }
  }
  if (!fs::is_regular_file(exe, error) || access(exe.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "prepare_torus_bench: %s is not an executable file (see --exe)\n",
                 exe.string().c_str());
    return 1;
  }
  if (!fs::is_regular_file(stl, error)) {
    std::fprintf(stderr,
                 "prepare_torus_bench: %s is missing; make the torus with\n"
                 "  build/bench/make_torus_mesh /tmp/torus\n"
                 "(it writes /tmp/torus/torus_binary.stl, the default --stl)\n",
                 stl.string().c_str());
    return 1;
  }
  stl = fs::absolute(stl);

  std::string pattern = (fs::temp_directory_path() / "prepare-torus-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("prepare_torus_bench: mkdtemp");
    return 1;
  }
  const TempFolder temp{pattern};

  std::printf("PeltoCadPrep prepare of %s (%.1f MiB), %d runs per case, each in its own process\n",
              stl.string().c_str(), static_cast<double>(fs::file_size(stl, error)) / 1048576.0,
              runs);
  std::printf("executable: %s\n", exe.string().c_str());
  std::printf(
      "cpu = user + system seconds of the child (wait4), wall = spawn to reap, "
      "peak = largest ru_maxrss of the runs\n\n");

  constexpr std::size_t kCaseCount = std::size(kCases);
  std::vector<Run> results[kCaseCount];
  fs::path requests[kCaseCount];
  for (std::size_t k = 0; k < kCaseCount; ++k) {
    const fs::path folder = temp.path / kCases[k].requestId;
    requests[k] = folder / "request.json";
    const bool made = fs::create_directory(folder, error);
    std::ofstream out(requests[k], std::ios::binary);
    if (!made || !(out << RequestText(kCases[k], stl, folder / "torus.peltogeom")).flush()) {
      std::fprintf(stderr, "prepare_torus_bench: could not write %s\n",
                   requests[k].string().c_str());
      return 1;
    }
  }
  // Interleaved, so that drift of the shared machine hits both cases alike.
  for (int r = 0; r < runs; ++r) {
    for (std::size_t k = 0; k < kCaseCount; ++k) {
      // prepare never replaces a package, so each run starts without one.
      fs::remove(requests[k].parent_path() / "torus.peltogeom", error);
      Run run;
      const std::string failure = RunPrepare(exe, requests[k], run);
      if (!failure.empty()) {
        std::fprintf(stderr, "prepare_torus_bench: %s, run %d failed: %s\n", kCases[k].label, r + 1,
                     failure.c_str());
        return 1;
      }
      results[k].push_back(run);
    }
  }

  std::printf("%-42s %9s %9s %9s %9s %9s\n", "case", "cpu best", "cpu med", "wall best", "wall med",
              "peak MiB");
  for (std::size_t k = 0; k < kCaseCount; ++k) {
    std::vector<double> cpu, wall;
    long peakKiB = 0;
    for (const Run& run : results[k]) {
      cpu.push_back(run.cpuSeconds);
      wall.push_back(run.wallSeconds);
      peakKiB = std::max(peakKiB, run.peakRssKiB);
    }
    std::printf("%-42s %8.2fs %8.2fs %8.2fs %8.2fs %9.1f\n", kCases[k].label,
                *std::min_element(cpu.begin(), cpu.end()), Median(cpu),
                *std::min_element(wall.begin(), wall.end()), Median(wall),
                static_cast<double>(peakKiB) / 1024.0);
  }
  return 0;
}
