// Replays every fuzz seed and every input a fuzz target once failed on through
// the target's own check, so the normal suite holds the readers to the same
// contracts without a fuzzer; each seed must give its known outcome.
#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "fuzz/fuzz_checks.h"
#include "support/temp_dir.h"

namespace {

class FuzzRegressions : public TempDirTest {};

TEST_F(FuzzRegressions, SeedsGiveTheirOutcomeAndEveryFindingKeepsItsReaderContract) {
  const std::pair<const char*, plfuzz::Check> targets[] = {
      {"request", plfuzz::CheckRequestInput},
      {"mesh", [&](auto bytes) { return plfuzz::CheckMeshInput(bytes, dir / "mesh.src"); }},
      {"shape_definition", plfuzz::CheckShapeDefinitionInput},
      {"selection_record", plfuzz::CheckSelectionRecordInput},
      {"members", plfuzz::CheckMemberInput},
      {"package", plfuzz::CheckPackageImageInput}};
  const std::filesystem::path inputs = PL_FUZZ_INPUT_DIR;
  for (const auto& [target, check] : targets) {
    const auto seeds = plfuzz::InputsIn(inputs / "seeds" / target);
    EXPECT_FALSE(seeds.empty()) << "no seeds for " << target;
    EXPECT_NO_THROW(plfuzz::Sweep(check, seeds, 0));
    EXPECT_NO_THROW(
        plfuzz::Sweep(check, plfuzz::InputsIn(inputs / "regressions" / target), 0, 0, false));
  }
}

}  // namespace
