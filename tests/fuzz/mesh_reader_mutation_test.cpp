// Deterministic mutation of the STL and OBJ fuzz seeds, whose first byte now and
// then picks the other reader, other units or tight limits: every mutant must
// import into a mesh that meets the runtime contract or fail with a known code.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "fuzz/fuzz_checks.h"
#include "support/temp_dir.h"

// Mutants per seed; a longer hunt rebuilds this file with a larger value.
#ifndef PL_MESH_MUTATION_ROUNDS
#define PL_MESH_MUTATION_ROUNDS 2000
#endif

namespace {

class MeshReaderMutation : public TempDirTest {};

TEST_F(MeshReaderMutation, EveryMutantImportsCleanlyOrFailsWithAKnownCode) {
  std::map<std::string, int> outcomes;
  ASSERT_NO_THROW(outcomes = plfuzz::Sweep(
                      [&](auto bytes) { return plfuzz::CheckMeshInput(bytes, dir / "mesh.src"); },
                      plfuzz::InputsIn(std::filesystem::path(PL_FUZZ_INPUT_DIR) / "seeds/mesh"),
                      PL_MESH_MUTATION_ROUNDS));
  // Mutants import through both readers, and fail in many ways: by code, and by
  // acceptance in mm and in inches ("ok 0" to "ok 3").
  EXPECT_GE(outcomes.size(), 19u) << ::testing::PrintToString(outcomes);
  EXPECT_GT(outcomes["ok 0"] * outcomes["ok 1"] * outcomes["ok 2"] * outcomes["ok 3"], 0);
}

}  // namespace
