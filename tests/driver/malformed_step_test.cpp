// The STEP commands through the executable on damaged STEP sources: every run
// ends by a normal exit with nothing but event lines on standard output, and
// either refuses the source with its STEP code and leaves its output folder as
// it was, or completes its output. One source stands for each distinct outcome.
#include <gtest/gtest.h>

#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/json_walk.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class MalformedStep : public TempDirTest {};

TEST_F(MalformedStep, EachDamagedSourceIsRefusedByNameOrCompleted) {
  const std::string read = "step_read_failed", noSolid = "step_no_selected_solids",
                    occt = "step_occt_failure",
                    testPoint = "TestPoint_Bridge_Pitch2.54mm_Drill1.0mm";
  // The outcome of review, seat and select; empty when the run completes.
  const std::vector<std::pair<std::string, std::vector<std::string>>> sources = {
      {"base/two_solids_free_shell", {"", "", ""}},
      {"cylinder__changed_number__hang_p23", {read, read, read}},
      {"cylinder__unbalanced_paren__fault_vertex", {occt, occt, occt}},
      {testPoint + "__dropped_param__02", {"empty_mesh", "", "invalid_free_shell_decision"}},
      {testPoint + "__dropped_param__03", {noSolid, noSolid, noSolid}},
      {"two_solids_free_shell__changed_number__03",
       {"invalid_mesh_number", "", "invalid_mesh_number"}},
  };
  const std::string event = EventLine("m1", R"("event":")").substr(0, 70);
  const std::string commands[] = {"review", "seat", "select"};
  const std::string outputs[] = {"model.glb", "seat.json", "selection.json"};
  for (const auto& [name, codes] : sources) {
    // Only the free-shell base and its mutants hold a shell outside a solid.
    const bool freeShell = name.find("two_solids_free_shell") != std::string::npos;
    const std::string select =
        R"(,"geometrySchema":"pelto.geometry.asset.v3","freeShellDecision":")" +
        std::string(freeShell ? "residue" : "none") + R"(","excludedSolidOrdinals":[],)" +
        kIdentityMount + R"(,"allowedOrientationsDeg":[0,90,180,270])";
    for (std::size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE(name + " " + commands[k]);
      fs::remove_all(dir / "out");
      fs::create_directory(dir / "out");
      const std::string limits = R"(,"limits":{"maxElapsedMs":5000})" + (k == 2 ? select : "");
      const fs::path request =
          WriteFile("r.json", SideRequestText(commands[k], "m1",
                                              fs::path(PL_MALFORMED_STEP_DIR) / (name + ".step"),
                                              dir / "out" / outputs[k], limits));
      // A run still going well after the elapsed limit is stuck.
      const CliRun run = RunCli({commands[k], request.string()}, 60);
      ASSERT_EQ(run.status, codes[k].empty() ? 0 : 5) << "(137: stuck; 128 + N: signal N)";
      ASSERT_FALSE(run.lines.empty());
      for (const std::string& line : run.lines)
        EXPECT_TRUE(line.starts_with(event) && line.ends_with("}")) << line;
      EXPECT_EQ(run.lines.front(), AcceptedLine("m1"));
      if (codes[k].empty()) {
        EXPECT_EQ(run.lines.back(), CompleteLine("m1"));
        ASSERT_EQ(ListDir(dir / "out"), std::vector{outputs[k]});
      } else {
        EXPECT_EQ(JsonWalk(run.lines.back())["code"].String(), codes[k]);
        EXPECT_EQ(ListDir(dir / "out"), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
