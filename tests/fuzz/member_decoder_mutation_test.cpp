// Deterministic mutation of valid runtime members (the member fuzz seeds and a
// mesh at the coordinate limit): every mutant decodes to a refusal of its
// decoder's own or to a member that encodes back to its bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "members/collision_mesh.h"
#include "support/test_geometry.h"

namespace {

TEST(MemberDecoderMutation, EveryMutantDecodesToAKnownRefusalOrItsOwnBytes) {
  auto seeds = plfuzz::InputsIn(std::filesystem::path(PL_FUZZ_INPUT_DIR) / "seeds/members");
  const std::vector<std::uint8_t> limit = EncodeCollisionMesh(
      MakeMesh({{-100000, 0, 0}, {100000, 0, 0}, {0, 100000, 0}, {0, 0, -0.0}, {5, 5, 5}},
               {{0, 1, 2}, {1, 2, 3}, {3, 4, 0}}, 1e-3));
  seeds["mesh_limit"] = std::string(1, '\0') + std::string(limit.begin(), limit.end());
  std::map<std::string, int> outcomes;
  ASSERT_NO_THROW(outcomes = plfuzz::Sweep(plfuzz::CheckMemberInput, seeds, 1500, 0x6D534831u));
  // The mutants must reach deep into every decoder: acceptances by each ("ok 0"
  // to "ok 3") and refusals of many kinds.
  EXPECT_GE(outcomes.size(), 38u);
}

}  // namespace
