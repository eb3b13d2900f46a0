// The STEP commands through the executable on damaged STEP sources: every run
// ends by a normal exit with nothing but event lines on standard output, and
// either refuses the source with a named STEP code and leaves its output folder
// as it was, or completes its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "support/cli.h"
#include "support/json_walk.h"
#include "support/temp_dir.h"

namespace {

const std::filesystem::path kMalformedDir = PL_MALFORMED_STEP_DIR;

// A run takes seconds at most, also under the sanitizers. A kernel loop that
// never asks for progress is ended by the program's own elapsed-time limit;
// a run still going well after that is stuck.
constexpr int kElapsedLimitMs = 5000;
constexpr int kTimeBound = 60;

// Byte for byte the event line layout, with the request id the tests use.
const std::regex kEventLine(
    R"re(\{"schema":"pelto\.geometry\.prepare\.event\.v1","requestId":"m1",)re"
    R"re("event":"(accepted|progress|warning|complete|error)")re"
    R"re((,"stage":"(preflight|import|heal|mesh|validate|voxel|package|publish)")?)re"
    R"re((,"completed":[0-9]+,"total":[0-9]+)?(,"code":"[a-z0-9_]+")?)re"
    R"re((,"message":"([^"\\]|\\.)*")?\})re");

const std::string kAccepted =
    R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"m1","event":"accepted","stage":"preflight"})";
const std::string kComplete =
    R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"m1","event":"complete","stage":"publish"})";

// What a damaged source may end any STEP command with: the import's own
// refusals (snapshot, read, transfer, healing, tessellation, extraction), the
// mesh builder's checks of the mesh the extraction finishes (limits, runtime
// mesh contract), and the elapsed-time and memory limits.
const std::set<std::string> kImportCodes = {
    "input_read_failed",
    "source_changed",
    "step_read_failed",
    "step_units_missing",
    "step_no_transfer_roots",
    "step_transfer_failed",
    "step_partial_transfer",
    "step_incomplete_transfer_output",
    "step_empty_shape",
    "step_no_selected_solids",
    "step_no_selected_free_shells",
    "step_transfer_tolerance_unbounded",
    "step_bounds_unbounded",
    "step_tessellation_failed",
    "invalid_step_location",
    "invalid_step_triangulation",
    "triangle_limit_exceeded",
    "step_no_faces",
    "step_occt_failure",
    "empty_mesh",
    "vertex_limit_exceeded",
    "mesh_limit_exceeded",
    "invalid_mesh_number",
    "invalid_mesh_bounds",
    "invalid_mesh_topology",
    "invalid_mesh",
    "elapsed_limit_exceeded",
    "memory_limit_exceeded",
};

struct StepCommand {
  std::string name;
  std::string outputName;
  std::string recordSchema;              // empty: the output is a review model
  std::set<std::string> sourceRefusals;  // the command's own refusals of what the source holds
};

const StepCommand kReview = {
    "review",
    "model.glb",
    "",
    {"step_no_placed_solid", "step_review_empty", "step_review_empty_component",
     "invalid_step_review_component", "step_review_limit_exceeded"}};
const StepCommand kSeat = {
    "seat", "seat.json", "pelto.geometry.seat.v2", {"step_seat_below_mount_plane"}};
const StepCommand kSelect = {"select",
                             "selection.json",
                             "pelto.geometry.step-component-selection.v1",
                             {"step_no_placed_solid", "invalid_free_shell_decision"}};

std::vector<std::filesystem::path> MalformedSources() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kMalformedDir)) {
    if (entry.path().extension() == ".step") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class MalformedStep : public TempDirTest {
 protected:
  std::filesystem::path Request(const StepCommand& command, const std::filesystem::path& source,
                                const std::filesystem::path& output,
                                const std::string& name = "request.json") const {
    std::string extra;
    if (command.name == "select") {
      // Only the free-shell base and its mutants hold a shell outside a solid.
      const bool freeShell = source.filename().string().starts_with("two_solids_free_shell");
      extra = std::string(R"(,"geometrySchema":"pelto.geometry.asset.v3","freeShellDecision":")") +
              (freeShell ? "residue" : "none") +
              R"(","excludedSolidOrdinals":[],"sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
              R"("allowedOrientationsDeg":[0,90,180,270])";
    }
    return WriteFile(name, R"({"schema":"pelto.geometry.)" + command.name +
                               R"(.request.v1","requestId":"m1","inputPath":")" + source.string() +
                               R"(","outputPath":")" + output.string() +
                               R"(","targetLinearDeflectionMm":0.5,"limits":{"maxElapsedMs":)" +
                               std::to_string(kElapsedLimitMs) + "}" + extra + "}");
  }

  static void ExpectCompleteOutput(const StepCommand& command, const std::filesystem::path& path) {
    const std::string bytes = ReadFile(path);
    if (!command.recordSchema.empty()) {
      EXPECT_EQ(JsonWalk(bytes)["schema"].String(), command.recordSchema);
      return;
    }
    ASSERT_GE(bytes.size(), 20U);
    ByteReader header(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), 20));
    EXPECT_EQ(header.U32(), 0x46546C67U);  // "glTF"
    EXPECT_EQ(header.U32(), 2U);
    EXPECT_EQ(header.U32(), bytes.size());
    const std::uint32_t jsonBytes = header.U32();
    EXPECT_EQ(header.U32(), 0x4E4F534AU);  // "JSON"
    EXPECT_LE(20U + std::uint64_t{jsonBytes}, bytes.size());
  }

  // Runs `command` on `source` with an empty output folder of its own.
  void ExpectRefusedOrComplete(const StepCommand& command, const std::filesystem::path& source) {
    SCOPED_TRACE(source.filename().string() + " " + command.name);
    const std::filesystem::path out = dir / "out";
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    const CliRun run = RunCli(
        {command.name, Request(command, source, out / command.outputName).string()}, kTimeBound);
    ASSERT_TRUE(run.status == 0 || run.status == 2 || run.status == 5)
        << "exit status " << run.status << " (137: still running after " << kTimeBound
        << " s; 128 + N: ended by signal N)";
    bool eventsOnly = true;
    for (const std::string& line : run.lines) {
      if (!std::regex_match(line, kEventLine)) {
        ADD_FAILURE() << "not an event line: " << line;
        eventsOnly = false;
      }
    }
    ASSERT_TRUE(eventsOnly);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.front(), kAccepted);
    const auto errors = std::count_if(run.lines.begin(), run.lines.end(), [](const auto& line) {
      return line.find(R"("event":"error")") != std::string::npos;
    });
    if (run.status == 0) {
      EXPECT_EQ(errors, 0);
      EXPECT_EQ(run.lines.back(), kComplete);
      ASSERT_EQ(ListDir(out), std::vector<std::string>{command.outputName});
      ExpectCompleteOutput(command, out / command.outputName);
      return;
    }
    EXPECT_EQ(errors, 1);
    const JsonWalk last(run.lines.back());
    EXPECT_EQ(last["event"].String(), "error");
    const std::string code = last["code"].String();
    EXPECT_TRUE(kImportCodes.contains(code) || command.sourceRefusals.contains(code))
        << run.lines.back();
    EXPECT_EQ(ListDir(out), std::vector<std::string>{});
  }
};

// Review runs on every file; seat and select on every tenth.
TEST_F(MalformedStep, EveryDamagedSourceIsRefusedByNameOrCompleted) {
  const std::vector<std::filesystem::path> sources = MalformedSources();
  ASSERT_GE(sources.size(), 200U);
  for (std::size_t k = 0; k < sources.size(); ++k) {
    ExpectRefusedOrComplete(kReview, sources[k]);
    if (k % 10 == 0) {
      ExpectRefusedOrComplete(kSeat, sources[k]);
      ExpectRefusedOrComplete(kSelect, sources[k]);
    }
  }
}

// A placement whose point names an instance that does not exist: the reader
// leaves a null parameter behind, which the transfer must never be handed.
TEST_F(MalformedStep, DanglingPlacementPointIsAReadFailureOfEveryCommand) {
  std::string text =
      ReadFile(kMalformedDir / "base" / "TestPoint_Bridge_Pitch2.54mm_Drill1.0mm.step");
  const std::string placement = "#11 = AXIS2_PLACEMENT_3D('',#12,#13,#14);";
  const std::size_t at = text.find(placement);
  ASSERT_NE(at, std::string::npos);
  const std::filesystem::path source = WriteFile("testpoint.step", text);
  const std::filesystem::path record = dir / "selection.json";
  ASSERT_EQ(RunCli({"select", Request(kSelect, source, record).string()}, kTimeBound).status, 0);
  text.replace(at, placement.size(), "#11 = AXIS2_PLACEMENT_3D('',#999999,#13,#14);");
  WriteFile("testpoint.step", text);

  const std::string size = std::to_string(text.size());
  const std::vector<std::string> expected = {
      kAccepted,
      R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"m1","event":"progress","stage":"import","completed":)" +
          size + R"(,"total":)" + size + "}",
      R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"m1","event":"error","stage":"import",)"
      R"("code":"step_read_failed","message":"Open CASCADE could not parse the STEP source"})",
  };
  const std::filesystem::path prepare = WriteFile(
      "prepare.json",
      R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
      R"("requestId":"m1","inputPath":")" +
          source.string() + R"(","outputPath":")" + (dir / "out" / "asset.peltogeom").string() +
          R"(","sourceFormat":"step","sourceUnits":"source","componentRole":"component",)"
          R"("componentSelectionPath":")" +
          record.string() +
          R"(","sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":[0,90,180,270]})");
  struct Case {
    std::string command;
    std::filesystem::path request;
  };
  const std::filesystem::path out = dir / "out";
  std::filesystem::create_directory(out);
  const std::vector<Case> cases = {
      {"review", Request(kReview, source, out / kReview.outputName, "review.json")},
      {"seat", Request(kSeat, source, out / kSeat.outputName, "seat.json")},
      {"select", Request(kSelect, source, out / kSelect.outputName, "select.json")},
      {"prepare", prepare},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const CliRun run = RunCli({c.command, c.request.string()}, kTimeBound);
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(ListDir(out), std::vector<std::string>{});
  }
}

}  // namespace
