#pragma once
// Runs the built executable with arguments and collects its standard output
// lines and exit status. Every package a run publishes is read again by the
// package inspector, which shares no code with the program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/json_walk.h"
#include "support/package_reader.h"
#include "support/run_capture.h"

struct CliRun {
  std::vector<std::string> lines;
  int status = -1;
};

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs a shell command line and returns everything it wrote to standard
// output with its exit status (-1 when it did not exit normally).
struct ShellRun {
  std::string output;
  int status = -1;
};

inline ShellRun RunShell(const std::string& command) {
  ShellRun run;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

// After a `prepare` that completed: the inspector must accept the package
// that the request names and agree with this suite's own reading of it on the
// members, the asset identity and the triangle count.
inline void ExpectInspectorAgrees(const std::string& requestPath) {
  bool found = false;
  const std::string requestText = ReadWholeFile(requestPath, found);
  const std::string package = JsonWalk(requestText)["outputPath"].String();
  const std::string image = ReadWholeFile(package, found);
  const PackageContents contents = ReadPackage(PackageTextBytes(image));
  ASSERT_EQ(contents.problem, "") << package;
  ASSERT_FALSE(contents.entries.empty()) << package;
  const std::string manifestText(contents.entries[0].bytes.begin(),
                                 contents.entries[0].bytes.end());
  const JsonWalk manifest(manifestText);

  const ShellRun run = RunShell("python3 " + ShellQuote(PL_TOOLS_DIR "/inspect_package") +
                                " --json " + ShellQuote(package) + " 2>&1");
  ASSERT_EQ(run.status, 0) << package << ": " << run.output;
  const std::string reportText = run.output.substr(0, run.output.find_last_not_of('\n') + 1);
  const JsonWalk report(reportText);
  EXPECT_EQ(report["assetId"].String(), manifest["assetId"].String());
  std::vector<std::string> inspected;
  for (const JsonWalk& member : report["members"].Elements()) {
    inspected.push_back(member["name"].String());
  }
  EXPECT_EQ(inspected, contents.Names());
  EXPECT_EQ(report["manifest"]["validation"]["triangleCount"].Text(),
            manifest["validation"]["triangleCount"].Text());
}

// Every argument is passed unchanged; standard error is discarded. With a
// time bound, a run still going after that many seconds is killed and ends
// with status 137.
inline CliRun RunCli(const std::vector<std::string>& args, int timeBoundSeconds = 0) {
  std::string command = ShellQuote(CaptureExecutablePath());
  if (timeBoundSeconds > 0) {
    command = "timeout -s KILL " + std::to_string(timeBoundSeconds) + " " + command;
  }
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  const ShellRun shell = RunShell(command + " 2>/dev/null");
  CliRun run{{}, shell.status};
  const std::string& output = shell.output;
  for (std::size_t start = 0, end = 0; start < output.size(); start = end + 1) {
    end = std::min(output.find('\n', start), output.size());
    run.lines.push_back(output.substr(start, end - start) +
                        (end == output.size() ? "<no line feed>" : ""));
  }
  CaptureRun(args, run.status, output);
  if (args.size() == 2 && args[0] == "prepare" && run.status == 0) ExpectInspectorAgrees(args[1]);
  return run;
}
