#include "step/step_selection_record.h"

#include <gtest/gtest.h>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "step/step_scope_import.h"
#include "step/step_selection_writer.h"
#include "step/step_side_command.h"
#include "support/mesh_reader_fixture.h"
#include "support/step_files.h"

namespace {

// Two components (the second excluded and open) and a residue overlay; "#n"
// stands for the identity made of 64 digits n.
std::string BaseRecord() {
  std::string text =
      R"({"schema":"pelto.geometry.step-component-selection.v1",)"
      R"("reviewSchema":"pelto.geometry.step-component-review.v1","sourceSha256":"#0",)"
      R"("diagnosticPolicy":"PeltoCadPrep.STEP.diagnostic.v2","faceScope":"solids_only_diagnostic",)"
      R"("targetLinearDeflectionMm":0.5,"angularDeflectionRadians":0.5,)"
      R"("sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":[0,90,180,270],)"
      R"("roleReviewComplete":true,"authoritative":false,"collisionReady":false,)"
      R"("unreviewedComponentCount":0,"geometryIssueComponentCount":1,)"
      R"("freeShellOverlay":{"decision":"residue","freeShellOccurrenceCount":1,)"
      R"("selectedFreeShellOccurrenceCount":1,"edgeParityClosedFreeShellOccurrenceCount":1,)"
      R"("retainedTriangleCount":12,"placedMeshStreamSha256":"#7","reviewMeshStreamSha256":"#8",)"
      R"("watertight":true,"untriangulatedBoundaryFaceCount":0},"components":[)"
      R"({"selectedSolidOrdinal":1,"samePolicyOccurrenceSha256":"#1",)"
      R"("placedMeshStreamSha256":"#2","reviewMeshStreamSha256":"#3","role":"component",)"
      R"("watertight":true,"untriangulatedBoundaryFaceCount":0,"retainedTriangleCount":12},)"
      R"({"selectedSolidOrdinal":2,"samePolicyOccurrenceSha256":"#4",)"
      R"("placedMeshStreamSha256":"#5","reviewMeshStreamSha256":"#6","role":"exclude",)"
      R"("watertight":false,"untriangulatedBoundaryFaceCount":0,"retainedTriangleCount":10}]})";
  for (std::size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at)) {
    text.replace(at, 2, "sha256:" + std::string(64, text[at + 1]));
  }
  return text;
}

std::string Edited(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The record identity computed independently of the reader.
std::string ExpectedIdentity(const std::string& bytes) {
  Sha256 hasher;
  hasher.Update(std::string_view("PeltoCadPrep.STEP.component-selection-record.v1"));
  ByteWriter length(8);
  length.U64(bytes.size());
  hasher.Update(length.bytes);
  hasher.Update(bytes);
  return Sha256IdentityText(hasher.Finish());
}

class StepSelectionRecord : public TempDirTest {
 protected:
  PlCadPrepOperationContext Context(std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes) const {
    PlCadPrepRequest request;
    request.maxMemoryBytes = maxMemoryBytes;
    return MakePlCadPrepOperationContext(request, never);
  }

  // Two boxes, plus a free shell outside them when asked.
  std::filesystem::path WriteSource(const std::string& name, bool freeShell) const {
    const TopoDS_Shape small = MakeTestBox(1, 1, 1);
    const TopoDS_Shape large = MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0));
    WriteTestStep(
        freeShell ? MakeTestCompound({small, large, MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0))})
                  : MakeTestCompound({small, large}),
        dir / name);
    return dir / name;
  }

  PlCadPrepStepRecordRequest Request(const std::filesystem::path& input, const std::string& output,
                                     const std::string& decision) const {
    PlCadPrepStepRecordRequest request;
    request.schema = std::string(kPlCadPrepStepRecordRequestSchema);
    request.requestId = "select-1";
    request.inputPath = input;
    request.outputPath = dir / output;
    request.targetLinearDeflectionMm = 0.1;
    request.freeShellDecision = decision;
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    return request;
  }

  NeverCancelled never;
};

TEST_F(StepSelectionRecord, OneSolidSourceReadsBackWithoutOverlay) {
  const std::filesystem::path source = dir / "one.step";
  WriteTestStep(MakeTestBox(10, 20, 30), source);
  const PlCadPrepStepRecordRequest request = Request(source, "one.json", "none");
  WritePlCadPrepStepSelectionRecord(request, never, {});

  const std::string text = ReadFile(request.outputPath);
  const PlCadPrepStepSelection record =
      ReadPlCadPrepStepSelectionRecord(request.outputPath, Context());
  ASSERT_EQ(record.components.size(), 1u);
  const PlCadPrepStepSelectionComponent& c = record.components[0];
  EXPECT_EQ(record.sourceSha256, Sha256Identity(ReadFile(source)));
  EXPECT_EQ(record.recordSha256, ExpectedIdentity(text));
  EXPECT_EQ(text,
            "{\"schema\":\"pelto.geometry.step-component-selection.v1\",\"reviewSchema\":"
            "\"pelto.geometry.step-component-review.v1\",\"sourceSha256\":\"" +
                record.sourceSha256 +
                "\",\"diagnosticPolicy\":\"PeltoCadPrep.STEP.diagnostic.v2\",\"faceScope\":"
                "\"solids_only_diagnostic\",\"targetLinearDeflectionMm\":0.10000000000000001,"
                "\"angularDeflectionRadians\":0.5,\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,"
                "0,0,1],\"allowedOrientationsDeg\":[0,90,180,270],\"roleReviewComplete\":true,"
                "\"authoritative\":false,\"collisionReady\":false,\"unreviewedComponentCount\":0,"
                "\"geometryIssueComponentCount\":0,\"freeShellOverlay\":null,\"components\":[{"
                "\"selectedSolidOrdinal\":1,\"samePolicyOccurrenceSha256\":\"" +
                c.samePolicyOccurrenceSha256 + "\",\"placedMeshStreamSha256\":\"" +
                c.placedMeshStreamSha256 + "\",\"reviewMeshStreamSha256\":\"" +
                c.reviewMeshStreamSha256 +
                "\",\"role\":\"component\",\"watertight\":true,"
                "\"untriangulatedBoundaryFaceCount\":0,\"retainedTriangleCount\":12}]}");
}

// The overlay is written in its member order from the free-shell import, which
// the test repeats on its own.
TEST_F(StepSelectionRecord, ExclusionAndFreeShellDecisionsRoundTrip) {
  const std::filesystem::path source = WriteSource("mixed.step", true);
  const PlCadPrepOperationContext context = Context();
  const PlCadPrepStepRecordRequest probe = Request(source, "probe.json", "residue");
  PlCadPrepStepImportSettings settings =
      PlCadPrepStepSideImportSettings(probe, probe.sourceToMount);
  settings.targetLinearDeflectionMm = 0.1;
  const PlCadPrepStepFacesImport shells = ImportPlCadPrepStepFaces(
      settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {}, context, {});
  for (const std::string decision : {"residue", "physical"}) {
    SCOPED_TRACE(decision);
    PlCadPrepStepRecordRequest request = Request(source, decision + ".json", decision);
    request.excludedSolidOrdinals = {2};
    WritePlCadPrepStepSelectionRecord(request, never, {});
    const PlCadPrepStepSelection record =
        ReadPlCadPrepStepSelectionRecord(request.outputPath, context);
    ASSERT_EQ(record.components.size(), 2u);
    EXPECT_EQ(record.components[0].role, PlCadPrepStepComponentRole::component);
    EXPECT_EQ(record.components[1].role, PlCadPrepStepComponentRole::exclude);
    const std::string overlay =
        R"("freeShellOverlay":{"decision":")" + decision +
        R"(","freeShellOccurrenceCount":1,"selectedFreeShellOccurrenceCount":1,)"
        R"("edgeParityClosedFreeShellOccurrenceCount":)" +
        std::to_string(shells.census.closedFreeShellCount) + R"(,"retainedTriangleCount":)" +
        std::to_string(shells.surface.mesh.triangles.size()) + R"(,"placedMeshStreamSha256":")" +
        PlCadPrepStepPlacedMeshStreamSha256(shells.surface.mesh, context) +
        R"(","reviewMeshStreamSha256":")" +
        PlCadPrepStepReviewMeshStreamSha256(shells.surface.mesh, context) +
        R"(","watertight":true,"untriangulatedBoundaryFaceCount":0},"components":[)";
    EXPECT_NE(ReadFile(request.outputPath).find(overlay), std::string::npos) << overlay;
  }
}

TEST_F(StepSelectionRecord, SelectRefusesBadDecisionsAndLeavesNothing) {
  struct Case {
    std::filesystem::path source;
    const char* decision;
    std::vector<std::uint64_t> excluded;
    const char* code;
    const char* message;
  };
  const std::filesystem::path boxes = WriteSource("boxes.step", false);
  const std::filesystem::path mixed = WriteSource("mixed.step", true);
  const char* kExcluded = "invalid_excluded_solid";
  const char* kDecision = "invalid_free_shell_decision";
  const std::vector<std::uint64_t> both = {2, 1}, third = {3}, none;
  const Case cases[] = {
      {boxes, "none", both, kExcluded,
       "every solid was excluded, so there is no mold left to publish"},
      {boxes, "none", third, kExcluded, "a solid was excluded that this source does not contain"},
      {boxes, "residue", none, kDecision,
       "the source has no free shell, so the decision must be none"},
      {mixed, "none", none, kDecision,
       "the source has free shells, so they must be decided physical or residue"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    PlCadPrepStepRecordRequest request = Request(c.source, "out.json", c.decision);
    request.excludedSolidOrdinals = c.excluded;
    ExpectPlCadPrepError([&] { WritePlCadPrepStepSelectionRecord(request, never, {}); }, c.code,
                         "import", c.message);
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
  }
  const PlCadPrepStepRecordRequest taken = Request(boxes, "taken.json", "none");
  WriteFile("taken.json", "keep");
  ExpectPlCadPrepError([&] { WritePlCadPrepStepSelectionRecord(taken, never, {}); },
                       "output_exists", "preflight",
                       "outputPath already exists and will not be overwritten");
  EXPECT_EQ(ReadFile(taken.outputPath), "keep");
}

TEST_F(StepSelectionRecord, RejectsEditedRecordsWithTheirOwnMessages) {
  const std::string base = BaseRecord();
  const std::size_t components = base.find("\"components\":[");
  // 4095 empty objects ahead of the two components: one more than a record may hold.
  std::string tooMany = "\"components\":[";
  for (int i = 0; i < 4095; ++i) tooMany += "{},";
  const auto id = [](char digit) { return "sha256:" + std::string(64, digit); };
  struct Case {
    std::string from, to, message;
  };
  const std::string order = "STEP component identity, order, or topology is invalid";
  const std::string overlay = "STEP free-shell review evidence is inconsistent";
  const std::string summary = "STEP review summary does not match its component evidence";
  const std::string policy = "STEP component selection source or diagnostic policy is invalid";
  const std::string range = "allowedOrientationsDeg must be in [0, 360) degrees";
  const std::vector<Case> cases = {
      {"{\"schema\"", "{\"notes\":1,\"schema\"",
       "STEP component selection contains an invalid member name"},
      {"\"collisionReady\":false,", "", "missing STEP component selection member: collisionReady"},
      {"\"authoritative\":false", "\"authoritative\":false,\"authoritative\":false",
       "duplicate STEP component selection member: authoritative"},
      {"\"role\":\"exclude\",", "\"role\":\"exclude\",\"note\":0,",
       "STEP component contains an invalid member name"},
      {"selection.v1", "selection.v2", "STEP component selection schema is not supported"},
      {"\"targetLinearDeflectionMm\":0.5", "\"targetLinearDeflectionMm\":15.5", policy},
      {"\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]", "\"sourceToMount\":{}",
       "sourceToMount must be an array"},
      {",0,0,0,1]", ",0,0,0]", "sourceToMount must contain 16 numbers"},
      {"[0,90,180,270]", "[0,90,180,360]", range},
      {"[0,90,180,270]", "[0,-90,180,270]", range},
      {"[0,90,180,270]", "[]", "one to twenty-four mounting orientations are required"},
      {"[0,90,180,270]", "[0,90,90]", "mounting orientations must be unique"},
      {"\"authoritative\":false", "\"authoritative\":true",
       "STEP review evidence cannot claim collision authority"},
      {base.substr(components), "\"components\":{}}", "components must be an array"},
      {base.substr(components), "\"components\":[]}",
       "STEP component selection count is outside the supported bound"},
      {"\"components\":[", tooMany,
       "STEP component selection count is outside the supported bound"},
      {"\"components\":[", "\"components\":[3,",
       "JSON value must be an object at byte " + std::to_string(components + 14)},
      {"\"selectedSolidOrdinal\":2", "\"selectedSolidOrdinal\":3", order},
      {id('4'), id('1'), order},
      {"\"role\":\"exclude\"", "\"role\":\"keep\"",
       "STEP component selection role is not recognized"},
      {"\"decision\":\"residue\"", "\"decision\":\"maybe\"",
       "STEP free-shell review decision is not recognized"},
      {"\"selectedFreeShellOccurrenceCount\":1", "\"selectedFreeShellOccurrenceCount\":2", overlay},
      {"\"geometryIssueComponentCount\":1", "\"geometryIssueComponentCount\":0", summary},
      {"\"roleReviewComplete\":true", "\"roleReviewComplete\":false", summary},
      {"\"targetLinearDeflectionMm\":0.5", "\"targetLinearDeflectionMm\":1e999",
       "targetLinearDeflectionMm must be a finite number"},
      {"\"unreviewedComponentCount\":0", "\"unreviewedComponentCount\":0.0",
       "unreviewedComponentCount must be an unsigned integer"},
      {"\"watertight\":false", "\"watertight\":0", "watertight must be boolean"},
      {"solids_only_diagnostic\"", "solids_only_diagnostic\\u00e9\"",
       "faceScope must be a canonical ASCII string"},
  };
  const PlCadPrepOperationContext context = Context();
  (void)ParsePlCadPrepStepSelectionRecord(base, context);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " <- " + c.to.substr(0, 80));
    const std::string edited = Edited(base, c.from, c.to);
    ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(edited, context); },
                         "invalid_step_component_selection", "preflight", c.message);
  }
}

TEST_F(StepSelectionRecord, ReadsOnlyRegularFilesUpToEightMebibytes) {
  const PlCadPrepOperationContext context = Context();
  std::string padded = BaseRecord();
  padded.resize(kPlCadPrepStepSelectionMaxBytes, ' ');
  EXPECT_EQ(ReadPlCadPrepStepSelectionRecord(WriteFile("exact.json", padded), context).recordSha256,
            ExpectedIdentity(padded));
  padded.push_back(' ');
  const char* kTooLarge = "STEP component selection exceeds the 8 MiB limit";
  const std::filesystem::path over = WriteFile("over.json", padded);
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSelectionRecord(over, context); },
                       "step_component_selection_too_large", "preflight", kTooLarge);
  ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(padded, context); },
                       "step_component_selection_too_large", "preflight", kTooLarge);
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSelectionRecord(dir, context); },
                       "step_component_selection_not_found", "preflight",
                       "STEP component selection path is not a regular file");
  const std::filesystem::path empty = WriteFile("empty.json", "");
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSelectionRecord(empty, context); },
                       "step_component_selection_read_failed", "preflight",
                       "STEP component selection size could not be read");
  ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord("", context); },
                       "invalid_step_component_selection", "preflight",
                       "STEP component selection is empty");
}

// Parsing works within max(4 x size, 64 KiB), held beside the file's own bytes.
TEST_F(StepSelectionRecord, ReservesTheParseWorkBesideTheFileBytes) {
  const std::string base = BaseRecord();
  const char* kMemory = "preparation exceeds maxMemoryBytes";
  (void)ParsePlCadPrepStepSelectionRecord(base, Context(65'536));
  ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(base, Context(65'535)); },
                       "memory_limit_exceeded", "preflight", kMemory);
  const std::uint64_t size = base.size() + 20'000;
  const std::filesystem::path large = WriteFile("large.json", base + std::string(20'000, ' '));
  (void)ReadPlCadPrepStepSelectionRecord(large, Context(5 * size));
  ExpectPlCadPrepError(
      [&] { (void)ReadPlCadPrepStepSelectionRecord(large, Context(5 * size - 1)); },
      "memory_limit_exceeded", "preflight", kMemory);
}

}  // namespace
