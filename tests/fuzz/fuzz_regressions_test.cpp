// Replays every fuzz seed and every input a fuzz target once failed on through
// the target's own check, so the normal suite holds the readers to the same
// contracts without a fuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "support/temp_dir.h"

namespace {

using Check = std::function<void(std::span<const std::uint8_t>)>;

std::vector<std::filesystem::path> InputsOf(const std::string& target) {
  std::vector<std::filesystem::path> inputs;
  for (const char* folder : {"seeds", "regressions"}) {
    const std::filesystem::path dir = std::filesystem::path(PL_FUZZ_INPUT_DIR) / folder / target;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

class FuzzRegressions : public TempDirTest {};

TEST_F(FuzzRegressions, EverySeedAndFindingKeepsItsReaderContract) {
  const std::filesystem::path meshSource = dir / "mesh.src";
  const struct {
    const char* target;
    Check check;
  } targets[] = {
      {"request", plfuzz::CheckRequestInput},
      {"mesh",
       [&](std::span<const std::uint8_t> bytes) { plfuzz::CheckMeshInput(bytes, meshSource); }},
      {"shape_definition", plfuzz::CheckShapeDefinitionInput},
      {"selection_record", plfuzz::CheckSelectionRecordInput},
      {"members", plfuzz::CheckMemberInput},
      {"package", plfuzz::CheckPackageImageInput},
  };
  for (const auto& target : targets) {
    const std::vector<std::filesystem::path> inputs = InputsOf(target.target);
    EXPECT_FALSE(inputs.empty()) << "no seeds for " << target.target;
    for (const std::filesystem::path& input : inputs) {
      std::ifstream in(input, std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
      EXPECT_NO_THROW(target.check(bytes)) << input;
    }
  }
}

}  // namespace
