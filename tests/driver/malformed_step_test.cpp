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

// Byte for byte the event line layout, with the request id the test uses.
const std::regex kEventLine(
    R"re(\{"schema":"pelto\.geometry\.prepare\.event\.v1","requestId":"m1",)re"
    R"re("event":"(accepted|progress|warning|complete|error)")re"
    R"re((,"stage":"(preflight|import|heal|mesh|validate|voxel|package|publish)")?)re"
    R"re((,"completed":[0-9]+,"total":[0-9]+)?(,"code":"[a-z0-9_]+")?)re"
    R"re((,"message":"([^"\\]|\\.)*")?\})re");

class MalformedStep : public TempDirTest {};

TEST_F(MalformedStep, EachDamagedSourceIsRefusedByNameOrCompleted) {
  const std::string read = "step_read_failed", noSolid = "step_no_selected_solids",
                    occt = "step_occt_failure",
                    testPoint = "TestPoint_Bridge_Pitch2.54mm_Drill1.0mm";
  // The outcome of review, seat and select; empty when the run completes.
  const std::vector<std::pair<std::string, std::vector<std::string>>> sources = {
      {"base/cylinder", {"", "", ""}},
      {"base/two_solids_free_shell", {"", "", ""}},
      {"cylinder__byte_edit__00", {read, read, read}},
      {"cylinder__dangling_ref__00", {read, read, read}},
      {"cylinder__changed_number__hang_p23", {read, read, read}},
      {"cylinder__unbalanced_paren__fault_vertex", {occt, occt, occt}},
      {"box_pair__same_type_ref__03", {occt, occt, occt}},
      {testPoint + "__dropped_param__02", {"empty_mesh", "", "invalid_free_shell_decision"}},
      {testPoint + "__dropped_param__03", {noSolid, noSolid, noSolid}},
      {"two_solids_free_shell__changed_number__03",
       {"invalid_mesh_number", "", "invalid_mesh_number"}},
  };
  const std::string commands[] = {"review", "seat", "select"};
  const std::string outputs[] = {"model.glb", "seat.json", "selection.json"};
  const std::string schemas[] = {"", "pelto.geometry.seat.v2",
                                 "pelto.geometry.step-component-selection.v1"};
  for (const auto& [name, codes] : sources) {
    for (std::size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE(name + " " + commands[k]);
      const fs::path source = fs::path(PL_MALFORMED_STEP_DIR) / (name + ".step");
      // Only the free-shell base and its mutants hold a shell outside a solid.
      const bool freeShell = name.find("two_solids_free_shell") != std::string::npos;
      const std::string select =
          std::string(R"(,"geometrySchema":"pelto.geometry.asset.v3","freeShellDecision":")") +
          (freeShell ? "residue" : "none") +
          R"(","excludedSolidOrdinals":[],"sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
          R"("allowedOrientationsDeg":[0,90,180,270])";
      fs::remove_all(dir / "out");
      fs::create_directory(dir / "out");
      const fs::path request = WriteFile(
          "r.json", SideRequestText(commands[k], "m1", source, dir / "out" / outputs[k],
                                    R"(,"limits":{"maxElapsedMs":5000})" + (k == 2 ? select : "")));
      // A run still going well after the elapsed limit is stuck.
      const CliRun run = RunCli({commands[k], request.string()}, 60);
      ASSERT_EQ(run.status, codes[k].empty() ? 0 : 5) << "(137: stuck; 128 + N: signal N)";
      ASSERT_FALSE(run.lines.empty());
      for (const std::string& line : run.lines)
        EXPECT_TRUE(std::regex_match(line, kEventLine)) << line;
      EXPECT_EQ(run.lines.front(), AcceptedLine("m1"));
      EXPECT_EQ(std::count_if(run.lines.begin(), run.lines.end(),
                              [](const std::string& line) {
                                return line.find(R"("event":"error")") != std::string::npos;
                              }),
                codes[k].empty() ? 0 : 1);
      if (codes[k].empty()) {
        EXPECT_EQ(run.lines.back(), CompleteLine("m1"));
        ASSERT_EQ(ListDir(dir / "out"), std::vector{outputs[k]});
        const std::string bytes = ReadFile(dir / "out" / outputs[k]);
        EXPECT_TRUE(k == 0 ? bytes.starts_with("glTF")
                           : JsonWalk(bytes)["schema"].String() == schemas[k]);
      } else {
        EXPECT_EQ(JsonWalk(run.lines.back())["code"].String(), codes[k]);
        EXPECT_EQ(ListDir(dir / "out"), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
