// The STEP review workflow through the executable: seat, review and select on
// sources the tests write, checked against each other and against the file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "core/byte_io.h"
#include "core/sha256.h"
#include "step/step_selection_record.h"
#include "step/step_solid_diagnostics.h"
#include "support/cli.h"
#include "support/glb_chunks.h"
#include "support/json_walk.h"
#include "support/package_checks.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

std::string PathText(const std::filesystem::path& path) { return path.string(); }

class StepCommands : public TempDirTest {
 protected:
  // Three solids and one free shell outside them.
  std::filesystem::path WriteAssembly(const std::string& name) const {
    const std::filesystem::path path = dir / name;
    WriteTestStep(MakeTestCompound({MakeTestBox(10, 20, 30), MakeTestBox(5, 5, 5, gp_Pnt(40, 0, 0)),
                                    MakeTestBox(8, 4, 6, gp_Pnt(0, 50, 0)),
                                    MakeTestFreeShell(3, 3, 3, gp_Pnt(-30, 0, 0))}),
                  path);
    return path;
  }

  std::filesystem::path SideRequest(const std::string& name, const std::string& command,
                                    const std::filesystem::path& input,
                                    const std::filesystem::path& output,
                                    const std::string& extra = "") const {
    return WriteFile(name, R"({"schema":"pelto.geometry.)" + command +
                               R"(.request.v1","requestId":"side-1","inputPath":")" +
                               PathText(input) + R"(","outputPath":")" + PathText(output) +
                               R"(","targetLinearDeflectionMm":0.5)" + extra + "}");
  }

  static std::string SelectMembers(const std::string& decision, const std::string& excluded) {
    return R"(,"freeShellDecision":")" + decision + R"(","excludedSolidOrdinals":)" + excluded +
           R"(,"sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
           R"("allowedOrientationsDeg":[0,90,180,270],"geometrySchema":"pelto.geometry.asset.v3")";
  }

  static void ExpectCompleted(const CliRun& run) {
    ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
    ASSERT_GE(run.lines.size(), 2U);
    EXPECT_NE(run.lines.front().find(R"("event":"accepted","stage":"preflight")"),
              std::string::npos);
    EXPECT_NE(run.lines.back().find(R"("event":"complete","stage":"publish")"), std::string::npos);
  }
};

// The measured box carries the kernel's 1e-7 mm tolerance on every side, so
// the required lift is 0.5000001 mm, which the upward snap makes 0.6 mm.
TEST_F(StepCommands, SeatCentresTheCubeAndLiftsItClearOfThePlate) {
  const std::filesystem::path source = dir / "cube.step";
  WriteTestStep(MakeTestBox(10, 20, 30), source);
  const std::filesystem::path output = dir / "seat.json";
  const CliRun run = RunCli({"seat", PathText(SideRequest("r.json", "seat", source, output))});
  ExpectCompleted(run);

  const std::string text = ReadFile(output);
  const JsonWalk record(text);
  EXPECT_EQ(record["schema"].String(), "pelto.geometry.seat.v2");
  EXPECT_EQ(record["sourceSha256"].String(), Sha256Identity(ReadFile(source)));
  EXPECT_EQ(record["mountLiftMm"].Text(), "0.5");
  EXPECT_EQ(record["sourceToMount"].Text(),
            "[1,0,0,-5,0,1,0,0.60000000000000009,0,0,1,-15,0,0,0,1]");
  const JsonWalk seated = record["seatedBoundsMm"];
  EXPECT_NEAR(seated["minXMm"].Number(), -5.0, 1e-6);
  EXPECT_NEAR(seated["minYMm"].Number(), 0.6, 1e-6);
  EXPECT_GE(seated["minYMm"].Number(), 0.5);
  EXPECT_NEAR(seated["maxZMm"].Number(), 15.0, 1e-6);
  const std::vector<JsonWalk> mounts = record["mounts"].Elements();
  ASSERT_EQ(mounts.size(), 24U);
  EXPECT_EQ(mounts[0]["sourceToMount"].Text(), record["sourceToMount"].Text());
  EXPECT_EQ(mounts[4]["plateFace"].String(), "top");
  EXPECT_EQ(mounts[4]["quarterTurns"].Text(), "0");
  EXPECT_EQ(mounts[4]["sourceToMount"].Text(),
            "[1,0,0,-5,0,-1,0,20.600000000000001,0,0,-1,15,0,0,0,1]");
  for (const JsonWalk& mount : mounts) EXPECT_GE(mount["seatedBoundsMm"]["minYMm"].Number(), 0.5);
  EXPECT_EQ(record["defaultMountIndex"].Text(), "0");
  EXPECT_EQ(record["solidOccurrenceCount"].Text(), "1");
  EXPECT_EQ(record["freeShellOccurrenceCount"].Text(), "0");
}

// The review model and the selection record of one source name every solid with
// the same identities, and the model's buffer holds exactly what they hash.
TEST_F(StepCommands, ReviewNodesCarryTheIdentitiesSelectRecords) {
  const std::filesystem::path source = WriteAssembly("assembly.stp");
  const std::filesystem::path model = dir / "model.glb";
  ExpectCompleted(
      RunCli({"review", PathText(SideRequest("review.json", "review", source, model))}));
  const std::filesystem::path record = dir / "record.json";
  ExpectCompleted(RunCli({"select", PathText(SideRequest("select.json", "select", source, record,
                                                         SelectMembers("residue", "[2]")))}));

  Glb glb;
  ASSERT_NO_FATAL_FAILURE(SplitGlb(ReadFile(model), glb));
  const std::span<const std::uint8_t> bin(glb.bin);

  const JsonWalk doc(glb.json);
  const std::vector<JsonWalk> nodes = doc["nodes"].Elements();
  const std::vector<JsonWalk> views = doc["bufferViews"].Elements();
  ASSERT_EQ(nodes.size(), 4U);  // three solids and the overlay
  ASSERT_EQ(views.size(), 8U);

  const NeverCancelled cancellation;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits{}, cancellation);
  const PlCadPrepStepSelection selection = ReadPlCadPrepStepSelectionRecord(record, context);
  ASSERT_EQ(selection.components.size(), 3U);
  ASSERT_TRUE(selection.hasFreeShellOverlay);
  EXPECT_EQ(selection.components[1].role, PlCadPrepStepComponentRole::exclude);

  for (std::size_t k = 0; k < nodes.size(); ++k) {
    SCOPED_TRACE(k);
    const JsonWalk extras = nodes[k]["extras"];
    const std::uint64_t offset = views[2 * k]["byteOffset"].Unsigned();
    const std::uint64_t length =
        views[2 * k]["byteLength"].Unsigned() + views[2 * k + 1]["byteLength"].Unsigned();
    EXPECT_EQ(views[2 * k + 1]["byteOffset"].Unsigned(),
              offset + views[2 * k]["byteLength"].Unsigned());
    ASSERT_LE(offset + length, bin.size());
    // Domain, vertex and triangle counts (u64 each), then the payload.
    ByteWriter counts(16);
    counts.U64(views[2 * k]["byteLength"].Unsigned() / 12);
    counts.U64(views[2 * k + 1]["byteLength"].Unsigned() / 12);
    Sha256 hash;
    hash.Update(kPlCadPrepStepReviewMeshStreamDomain);
    hash.Update(counts.bytes);
    hash.Update(bin.subspan(offset, length));
    const std::string payloadIdentity = Sha256IdentityText(hash.Finish());
    EXPECT_EQ(extras["reviewMeshStreamSha256"].String(), payloadIdentity);
    if (k < 3) {
      const PlCadPrepStepSelectionComponent& component = selection.components[k];
      EXPECT_EQ(nodes[k]["name"].String(), "Solid " + std::to_string(k + 1));
      EXPECT_EQ(extras["reviewRole"].String(), "unreviewed");
      EXPECT_EQ(extras["selectedSolidOrdinal"].Unsigned(), component.selectedSolidOrdinal);
      EXPECT_EQ(extras["samePolicyOccurrenceSha256"].String(),
                component.samePolicyOccurrenceSha256);
      EXPECT_EQ(extras["placedMeshStreamSha256"].String(), component.placedMeshStreamSha256);
      EXPECT_EQ(payloadIdentity, component.reviewMeshStreamSha256);
    } else {
      EXPECT_EQ(extras["reviewKind"].String(), "free_shell_overlay");
      EXPECT_EQ(payloadIdentity, selection.freeShellOverlay.reviewMeshStreamSha256);
    }
  }
  EXPECT_EQ(views.back()["byteOffset"].Unsigned() + views.back()["byteLength"].Unsigned(),
            bin.size());
}

TEST_F(StepCommands, RefusedRequestsLeaveTheFileSystemAsItWas) {
  const std::filesystem::path source = WriteAssembly("assembly.step");
  const std::filesystem::path taken = WriteFile("taken.json", "keep");
  struct Case {
    std::string command;
    std::filesystem::path output;
    std::string extra;
    int status;
    std::string code;
  };
  const std::vector<Case> cases = {
      {"seat", taken, "", 2, "output_exists"},
      {"review", dir / "model.json", "", 2, "invalid_output_extension"},
      {"select", dir / "none.json", SelectMembers("none", "[]"), 5, "invalid_free_shell_decision"},
      {"select", dir / "all.json", SelectMembers("residue", "[1,2,3]"), 5,
       "invalid_excluded_solid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const CliRun run =
        RunCli({c.command, PathText(SideRequest("r.json", c.command, source, c.output, c.extra))});
    std::filesystem::remove(dir / "r.json");
    EXPECT_EQ(run.status, c.status);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_NE(run.lines.back().find("\"code\":\"" + c.code + "\""), std::string::npos)
        << run.lines.back();
  }
  EXPECT_EQ(ReadFile(taken), "keep");
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"assembly.step", "taken.json"}));
}

// Sources the kernel parses with complaints of its own: a reference to an
// entity that does not exist, an unbalanced list and a parameter of the wrong
// type. Each command ends in the one read error, before anything transfers,
// and the kernel's diagnostics never reach standard output.
TEST_F(StepCommands, MalformedSourcesEndInTheReadErrorOnACleanStandardOutput) {
  WriteTestStep(MakeTestBox(10, 20, 30), dir / "cube.step");
  const std::string valid = ReadFile(dir / "cube.step");
  struct Case {
    const char* name;
    std::regex pattern;
    const char* replacement;
  };
  const Case cases[] = {
      {"dangling", std::regex(R"(AXIS2_PLACEMENT_3D\('',#\d+)"), "AXIS2_PLACEMENT_3D('',#999999"},
      {"unbalanced", std::regex(R"(CARTESIAN_POINT\('',\()"), "CARTESIAN_POINT('',(("},
      {"mistyped", std::regex(R"(VERTEX_POINT\('',#\d+\))"), "VERTEX_POINT('',.T.)"},
  };
  for (const Case& c : cases) {
    const std::string bytes = std::regex_replace(valid, c.pattern, c.replacement,
                                                 std::regex_constants::format_first_only);
    ASSERT_NE(bytes, valid) << c.name;
    const std::filesystem::path source = WriteFile(std::string(c.name) + ".step", bytes);
    const std::string size = std::to_string(bytes.size());
    for (const std::string command : {"seat", "review", "select"}) {
      SCOPED_TRACE(std::string(c.name) + " " + command);
      const std::filesystem::path output = dir / (command + ".out.json");
      const std::string extra = command == "select" ? SelectMembers("none", "[]") : "";
      const CliRun run = RunCli(
          {command, PathText(SideRequest("r.json", command, source,
                                         command == "review" ? dir / "m.glb" : output, extra))});
      std::filesystem::remove(dir / "r.json");
      const std::string prefix =
          R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"side-1",)";
      EXPECT_EQ(run.lines,
                (std::vector<std::string>{
                    prefix + R"("event":"accepted","stage":"preflight"})",
                    prefix + R"("event":"progress","stage":"import","completed":)" + size +
                        R"(,"total":)" + size + "}",
                    prefix + R"("event":"error","stage":"import","code":"step_read_failed",)"
                             R"("message":"Open CASCADE could not parse the STEP source"})"}));
      EXPECT_EQ(run.status, 5);
      EXPECT_FALSE(std::filesystem::exists(output));
      EXPECT_FALSE(std::filesystem::exists(dir / "m.glb"));
    }
  }
}

class StepWorkflow : public StepCommands {
 protected:
  std::filesystem::path Select(const std::filesystem::path& source, const std::string& decision,
                               const std::string& excluded, const std::string& name) const {
    const std::filesystem::path record = dir / name;
    ExpectCompleted(
        RunCli({"select", PathText(SideRequest("select-" + name, "select", source, record,
                                               SelectMembers(decision, excluded)))}));
    return record;
  }

  std::filesystem::path PrepareRequest(const std::filesystem::path& source,
                                       const std::filesystem::path& output,
                                       const std::filesystem::path& record,
                                       const std::string& sourceToMount,
                                       const std::string& orientations) const {
    return WriteFile(
        "prepare.json",
        R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
        R"("requestId":"p1","inputPath":")" +
            PathText(source) + R"(","outputPath":")" + PathText(output) +
            R"(","sourceFormat":"step","sourceUnits":"source","componentRole":"component",)"
            R"("componentSelectionPath":")" +
            PathText(record) + R"(","sourceToMount":)" + sourceToMount +
            R"(,"allowedOrientationsDeg":)" + orientations + "}");
  }

  CliRun Prepare(const std::filesystem::path& source, const std::filesystem::path& output,
                 const std::filesystem::path& record,
                 const std::string& sourceToMount = "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]",
                 const std::string& orientations = "[0,90,180,270]") const {
    return RunCli(
        {"prepare", PathText(PrepareRequest(source, output, record, sourceToMount, orientations))});
  }

  static std::string RecordIdentity(const std::string& bytes) {
    const NeverCancelled cancellation;
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits{}, cancellation);
    return PlCadPrepStepSelectionRecordSha256(bytes, context);
  }
};

// Solid 2 (the 5 mm cube at x = 40) is excluded and the free shell at x = -30
// is residue: the package holds the other two boxes, 12 triangles each.
TEST_F(StepWorkflow, PublishesExactlyTheRetainedSolidsOfAReviewedSource) {
  const std::filesystem::path source = WriteAssembly("assembly.step");
  const std::filesystem::path record = Select(source, "residue", "[2]", "record.json");
  const std::filesystem::path output = dir / "assembly.peltogeom";
  const CliRun run = Prepare(source, output, record);
  ExpectCompleted(run);

  const CheckedPackage package = ExpectValidPackage(output, 24, 4, 2, true);
  for (const PlPoint3& vertex : package.mesh.vertices) {
    EXPECT_TRUE(vertex[0] >= -0.001 && vertex[0] <= 10.001) << vertex[0];
  }
  const JsonWalk manifest(package.manifest);
  const JsonWalk sourceEntry = manifest["sources"].Elements().at(0);
  EXPECT_EQ(sourceEntry["componentSelectionSha256"].String(), RecordIdentity(ReadFile(record)));
  EXPECT_EQ(sourceEntry["freeShellOverlayDecision"].String(), "residue");
  EXPECT_EQ(sourceEntry["sha256"].String(), Sha256Identity(ReadFile(source)));
  EXPECT_EQ(sourceEntry["sourceHealingDeviationBounded"].Text(), "true");
  EXPECT_EQ(manifest["states"]["cycleSolid"]["components"].Text(), R"(["component"])");
  EXPECT_EQ(manifest["validation"]["closedComponentCount"].Text(), "2");
  EXPECT_EQ(manifest["validation"]["openComponentCount"].Text(), "0");
}

// A physical free shell is merged after the retained solids and proven too.
TEST_F(StepWorkflow, PhysicalFreeShellsArePublishedWithTheSolids) {
  const std::filesystem::path source = WriteAssembly("assembly.step");
  const std::filesystem::path record = Select(source, "physical", "[]", "record.json");
  const std::filesystem::path output = dir / "assembly.peltogeom";
  ExpectCompleted(Prepare(source, output, record));
  const CheckedPackage package = ExpectValidPackage(output, 48, 4, 2, true);
  EXPECT_TRUE(std::any_of(package.mesh.vertices.begin(), package.mesh.vertices.end(),
                          [](const PlPoint3& v) { return v[0] < -29.0; }));
  const JsonWalk sourceEntry = JsonWalk(package.manifest)["sources"].Elements().at(0);
  EXPECT_EQ(sourceEntry["freeShellOverlayDecision"].String(), "physical");
}

// Whatever drifts after review, prepare refuses with its reason and publishes nothing.
TEST_F(StepWorkflow, RefusesEveryDriftAfterReview) {
  const std::filesystem::path source = WriteAssembly("assembly.step");
  const std::filesystem::path record = Select(source, "residue", "[2]", "record.json");
  const std::string recordText = ReadFile(record);
  const std::string sourceText = ReadFile(source);
  // The record with each (from, to) replacement made once, in order.
  const auto edited = [&](std::vector<std::pair<std::string, std::string>> replacements) {
    std::string text = recordText;
    for (const auto& [from, to] : replacements) {
      const std::size_t at = text.find(from);
      EXPECT_NE(at, std::string::npos) << from;
      if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    return text;
  };
  const std::size_t lastComponent = recordText.rfind(",{\"selectedSolidOrdinal\":3");
  const std::string withoutLast =
      recordText.substr(0, lastComponent) + recordText.substr(recordText.size() - 2);
  const std::size_t overlay = recordText.find("\"freeShellOverlay\":{") + 19;
  const std::string withoutOverlay = recordText.substr(0, overlay) + "null" +
                                     recordText.substr(recordText.find("},\"components\"") + 1);
  const std::pair<std::string, std::string> incomplete = {"\"roleReviewComplete\":true",
                                                          "\"roleReviewComplete\":false"};
  struct Case {
    std::string name;
    std::string record;         // empty: the written record
    std::string source;         // empty: the written source
    std::string sourceToMount;  // empty: the identity
    std::string orientations;   // empty: the four quarter turns
    int status;
    std::string code;
    std::string message;
  };
  std::string changedSource = sourceText;
  // The first byte of the time stamp, the string after the file name: the
  // source still parses, its digest differs.
  const std::size_t nameEnd = changedSource.find('\'', changedSource.find("FILE_NAME(") + 11);
  changedSource[changedSource.find('\'', nameEnd + 1) + 1] ^= 1;
  const char* kStale = "step_component_selection_stale";
  const char* kEvidence = "STEP component selection diagnostic evidence changed";
  const char* kIncomplete = "STEP component roles or source-surface decision are incomplete";
  const std::vector<Case> cases = {
      {"source byte", "", changedSource, "", "", 5, kStale, kEvidence},
      {"mount transform", "", "", "[1,0,0,5,0,1,0,0,0,0,1,0,0,0,0,1]", "", 2, kStale,
       "STEP component selection mount transform changed"},
      {"orientations", "", "", "", "[0,30,90,120,180,210,270,300]", 2, kStale,
       "STEP component selection does not match the request policy"},
      {"deflection",
       edited({{"\"targetLinearDeflectionMm\":0.5", "\"targetLinearDeflectionMm\":0.25"}}), "", "",
       "", 5, kStale, kEvidence},
      {"role unreviewed",
       edited({incomplete,
               {"\"unreviewedComponentCount\":0", "\"unreviewedComponentCount\":1"},
               {"\"role\":\"component\"", "\"role\":\"unreviewed\""}}),
       "", "", "", 2, "step_component_selection_incomplete", kIncomplete},
      {"component removed", withoutLast, "", "", "", 5, kStale,
       "STEP role composition ordinal no longer exists"},
      {"overlay undecided",
       edited({incomplete, {"\"decision\":\"residue\"", "\"decision\":\"unreviewed\""}}), "", "",
       "", 2, "step_component_selection_incomplete", kIncomplete},
      {"overlay dropped", withoutOverlay, "", "", "", 5, kStale,
       "STEP source-surface inventory changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path caseRecord =
        c.record.empty() ? record : WriteFile("edited.json", c.record);
    const std::filesystem::path caseSource =
        c.source.empty() ? source : WriteFile("changed.step", c.source);
    const std::filesystem::path output = dir / "out.peltogeom";
    const CliRun run =
        Prepare(caseSource, output, caseRecord,
                c.sourceToMount.empty() ? "[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]" : c.sourceToMount,
                c.orientations.empty() ? "[0,90,180,270]" : c.orientations);
    EXPECT_EQ(run.status, c.status);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_NE(
        run.lines.back().find("\"code\":\"" + c.code + "\",\"message\":\"" + c.message + "\""),
        std::string::npos)
        << run.lines.back();
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_FALSE(std::filesystem::exists(dir / ".out.peltogeom.partial-p1"));
  }
}

}  // namespace
