#pragma once
// With PL_CAPTURE_DIR set, every run of the executable is recorded for a
// later byte-for-byte comparison between two builds: its arguments, exit
// status, event lines and a digest of every file the request names. The
// random part of the per-test temporary folder is masked so that two suite
// runs can be compared. PL_CAPTURE_EXECUTABLE runs another binary instead of
// the one just built.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include "core/sha256.h"

inline std::string CaptureExecutablePath() {
  const char* other = std::getenv("PL_CAPTURE_EXECUTABLE");
  return other != nullptr && *other != '\0' ? std::string(other) : std::string(PL_EXECUTABLE_PATH);
}

inline std::string MaskTempFolders(const std::string& text) {
  static const std::regex temp("peltocadprep-test-[A-Za-z0-9]{6}");
  return std::regex_replace(text, temp, "peltocadprep-test-XXXXXX");
}

inline std::string ReadWholeFile(const std::string& path, bool& found) {
  std::error_code ignored;
  found = std::filesystem::is_regular_file(path, ignored);
  if (!found) return std::string();
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void CaptureRun(const std::vector<std::string>& args, int status,
                       const std::string& output) {
  const char* folder = std::getenv("PL_CAPTURE_DIR");
  if (folder == nullptr || *folder == '\0') return;
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test == nullptr
                               ? std::string("outside-tests")
                               : std::string(test->test_suite_name()) + "." + test->name();
  std::string record = "run";
  for (const std::string& arg : args) record += " " + MaskTempFolders(arg);
  record += "\nstatus " + std::to_string(status) + "\n" + MaskTempFolders(output);
  if (args.size() == 2) {
    bool found = false;
    const std::string request = ReadWholeFile(args[1], found);
    static const std::regex pathMember("\"([A-Za-z]*Path)\"\\s*:\\s*\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(request.begin(), request.end(), pathMember);
         it != std::sregex_iterator(); ++it) {
      const std::string path = (*it)[2].str();
      const std::string bytes = ReadWholeFile(path, found);
      record += "file " + (*it)[1].str() + " " + MaskTempFolders(path) + " " +
                (found ? Sha256Identity(MaskTempFolders(bytes)) : std::string("absent")) + "\n";
    }
  }
  std::ofstream(std::string(folder) + "/" + name + ".txt", std::ios::app) << record << "\n";
}
