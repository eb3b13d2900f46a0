// Mutants of the STL and OBJ seeds (the first byte now and then picks the other
// reader, other units or tight limits) import cleanly or fail with a known code;
// the seeds themselves are accepted, but the quad OBJ.
#include <gtest/gtest.h>

#include "fuzz/fuzz_checks.h"

namespace {

TEST(MeshReaderMutation, EveryMutantImportsCleanlyOrFailsWithAKnownCode) {
  auto outcomes = plfuzz::Sweep(
      plfuzz::CheckMeshInput,
      plfuzz::InputsIn(std::filesystem::path(PL_FUZZ_INPUT_DIR) / "seeds/mesh"), 2000);
  // Acceptances through both readers in mm and inches ("ok 0" to "ok 3"), and many refusals.
  EXPECT_GE(outcomes.size(), 19u) << ::testing::PrintToString(outcomes);
  EXPECT_GT(outcomes["ok 0"] * outcomes["ok 1"] * outcomes["ok 2"] * outcomes["ok 3"], 0);
}

}  // namespace
