// Replays the fuzz seeds of the readers that no mutation test sweeps through their
// target's own check: each must be accepted.
#include <gtest/gtest.h>

#include "fuzz/fuzz_checks.h"

namespace {

TEST(FuzzRegressions, EverySeedIsAccepted) {
  const std::pair<const char*, plfuzz::Check> targets[] = {
      {"request", plfuzz::CheckRequestInput},
      {"shape_definition", plfuzz::CheckShapeDefinitionInput},
      {"selection_record", plfuzz::CheckSelectionRecordInput},
      {"package", plfuzz::CheckPackageImageInput}};
  for (const auto& [target, check] : targets) {
    const auto seeds = plfuzz::InputsIn(std::string(PL_FUZZ_INPUT_DIR) + "/seeds/" + target);
    EXPECT_FALSE(seeds.empty()) << "no seeds for " << target;
    EXPECT_NO_THROW(plfuzz::Sweep(check, seeds, 0));
  }
}

}  // namespace
