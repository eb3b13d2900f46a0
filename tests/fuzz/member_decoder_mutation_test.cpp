// Mutants of the member seeds decode to a refusal of their decoder's own or to a
// member that encodes back to its bytes; the seeds themselves are accepted.
#include <gtest/gtest.h>

#include "fuzz/fuzz_checks.h"

namespace {

TEST(MemberDecoderMutation, EveryMutantDecodesToAKnownRefusalOrItsOwnBytes) {
  const auto outcomes =
      plfuzz::Sweep(plfuzz::CheckMemberInput,
                    plfuzz::InputsIn(std::filesystem::path(PL_FUZZ_INPUT_DIR) / "seeds/members"),
                    1500, 0x6D534831u);
  // Acceptances by every decoder ("ok 0" to "ok 3") and refusals of many kinds.
  EXPECT_GE(outcomes.size(), 36u) << ::testing::PrintToString(outcomes);
}

}  // namespace
