#pragma once
// Runs the built executable with arguments and collects its standard output
// lines and exit status. Every package a run publishes is read again by the
// package inspector, which shares no code with the program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/json_walk.h"

struct CliRun {
  std::vector<std::string> lines;
  int status = -1;
};

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
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
// that the request names.
inline void ExpectInspectorAccepts(const std::string& requestPath) {
  std::ifstream in(requestPath, std::ios::binary);
  const std::string request((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string package = JsonWalk(request)["outputPath"].String();
  ASSERT_TRUE(std::filesystem::is_regular_file(package)) << package;
  const ShellRun inspected = RunShell("python3 " + ShellQuote(PL_TOOLS_DIR "/inspect_package") +
                                      " " + ShellQuote(package) + " 2>&1 >/dev/null");
  EXPECT_EQ(inspected.status, 0) << package << ": " << inspected.output;
}

// Every argument is passed unchanged; standard error is discarded. With a
// time bound, a run still going after that many seconds is killed and ends
// with status 137.
inline CliRun RunCli(const std::vector<std::string>& args, int timeBoundSeconds = 0) {
  std::string command = ShellQuote(PL_EXECUTABLE_PATH);
  if (timeBoundSeconds > 0) {
    command = "timeout -s KILL " + std::to_string(timeBoundSeconds) + " " + command;
  }
  for (const std::string& arg : args) command += " " + ShellQuote(arg);
  const ShellRun shell = RunShell(command + " 2>/dev/null");
  CliRun run;
  run.status = shell.status;
  const std::string& output = shell.output;
  std::size_t start = 0;
  while (start < output.size()) {
    const std::size_t end = output.find('\n', start);
    if (end == std::string::npos) {
      run.lines.push_back(output.substr(start) + "<no line feed>");
      break;
    }
    run.lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  if (args.size() == 2 && args[0] == "prepare" && run.status == 0) ExpectInspectorAccepts(args[1]);
  return run;
}
