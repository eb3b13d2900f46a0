#include "step/step_selection_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "step/step_import.h"
#include "step/step_side_command.h"
#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace {

std::string Id(char digit) { return "sha256:" + std::string(64, digit); }

// Two components (the second excluded and open) and a residue overlay.
std::string BaseRecord() {
  return "{\"schema\":\"pelto.geometry.step-component-selection.v1\","
         "\"reviewSchema\":\"pelto.geometry.step-component-review.v1\",\"sourceSha256\":\"" +
         Id('0') +
         "\",\"diagnosticPolicy\":\"PeltoCadPrep.STEP.diagnostic.v2\","
         "\"faceScope\":\"solids_only_diagnostic\",\"targetLinearDeflectionMm\":0.5,"
         "\"angularDeflectionRadians\":0.5,\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"
         "\"allowedOrientationsDeg\":[0,90,180,270],\"roleReviewComplete\":true,"
         "\"authoritative\":false,\"collisionReady\":false,\"unreviewedComponentCount\":0,"
         "\"geometryIssueComponentCount\":1,\"freeShellOverlay\":{\"decision\":\"residue\","
         "\"freeShellOccurrenceCount\":1,\"selectedFreeShellOccurrenceCount\":1,"
         "\"edgeParityClosedFreeShellOccurrenceCount\":1,\"retainedTriangleCount\":12,"
         "\"placedMeshStreamSha256\":\"" +
         Id('7') + "\",\"reviewMeshStreamSha256\":\"" + Id('8') +
         "\",\"watertight\":true,\"untriangulatedBoundaryFaceCount\":0},\"components\":["
         "{\"selectedSolidOrdinal\":1,\"samePolicyOccurrenceSha256\":\"" +
         Id('1') + "\",\"placedMeshStreamSha256\":\"" + Id('2') +
         "\",\"reviewMeshStreamSha256\":\"" + Id('3') +
         "\",\"role\":\"component\",\"watertight\":true,\"untriangulatedBoundaryFaceCount\":0,"
         "\"retainedTriangleCount\":12},{\"selectedSolidOrdinal\":2,"
         "\"samePolicyOccurrenceSha256\":\"" +
         Id('4') + "\",\"placedMeshStreamSha256\":\"" + Id('5') +
         "\",\"reviewMeshStreamSha256\":\"" + Id('6') +
         "\",\"role\":\"exclude\",\"watertight\":false,\"untriangulatedBoundaryFaceCount\":0,"
         "\"retainedTriangleCount\":10}]}";
}

std::string Edited(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

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
  PlCadPrepOperationContext Context() const {
    return MakePlCadPrepOperationContext(PlCadPrepRequest{}, never);
  }

  // Two boxes, plus a free shell outside them when asked.
  std::filesystem::path WriteSource(const std::string& name, bool freeShell) const {
    const std::filesystem::path path = dir / name;
    const TopoDS_Shape small = MakeTestBox(1, 1, 1);
    const TopoDS_Shape large = MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0));
    WriteTestStep(
        freeShell ? MakeTestCompound({small, large, MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0))})
                  : MakeTestCompound({small, large}),
        path);
    return path;
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
  EXPECT_EQ(c.role, PlCadPrepStepComponentRole::component);
  EXPECT_FALSE(record.hasFreeShellOverlay);
  EXPECT_TRUE(record.roleReviewComplete);
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

TEST_F(StepSelectionRecord, ExclusionAndFreeShellDecisionsRoundTrip) {
  const std::filesystem::path source = WriteSource("mixed.step", true);
  const PlCadPrepStepRecordRequest probe = Request(source, "probe.json", "residue");
  const PlCadPrepOperationContext context = Context();
  const PlCadPrepStepImport solids = ImportPlCadPrepStep(
      MakePlCadPrepStepImportRequest(probe),
      PlCadPrepStepSideImportOptions(0.1, kPlCadPrepStepScopeSolidsOnlyDiagnostic, false), context,
      {}, {}, {});
  const PlCadPrepStepImport shells = ImportPlCadPrepStep(
      MakePlCadPrepStepImportRequest(probe),
      PlCadPrepStepSideImportOptions(0.1, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, false),
      context, {}, {}, {});
  ASSERT_EQ(solids.solidDiagnostics.size(), 2u);

  for (const char* decision : {"residue", "physical"}) {
    SCOPED_TRACE(decision);
    PlCadPrepStepRecordRequest request = Request(source, std::string(decision) + ".json", decision);
    request.excludedSolidOrdinals = {2};
    WritePlCadPrepStepSelectionRecord(request, never, {});
    const PlCadPrepStepSelection record =
        ReadPlCadPrepStepSelectionRecord(request.outputPath, context);
    ASSERT_EQ(record.components.size(), 2u);
    EXPECT_EQ(record.components[0].role, PlCadPrepStepComponentRole::component);
    EXPECT_EQ(record.components[1].role, PlCadPrepStepComponentRole::exclude);
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(record.components[i].samePolicyOccurrenceSha256,
                solids.solidDiagnostics[i].samePolicyOccurrenceSha256);
    }
    ASSERT_TRUE(record.hasFreeShellOverlay);
    const PlCadPrepStepSelectionOverlay& overlay = record.freeShellOverlay;
    EXPECT_EQ(PlCadPrepStepFreeShellDecisionName(overlay.decision), decision);
    EXPECT_EQ(overlay.freeShellOccurrenceCount, 1u);
    EXPECT_EQ(overlay.selectedFreeShellOccurrenceCount, 1u);
    EXPECT_EQ(overlay.edgeParityClosedFreeShellOccurrenceCount, shells.census.closedFreeShellCount);
    EXPECT_EQ(overlay.retainedTriangleCount, shells.mesh.triangles.size());
    EXPECT_EQ(overlay.placedMeshStreamSha256,
              PlCadPrepStepPlacedMeshStreamSha256(shells.mesh, context));
    EXPECT_EQ(overlay.reviewMeshStreamSha256,
              PlCadPrepStepReviewMeshStreamSha256(shells.mesh, context));
    EXPECT_EQ(overlay.watertight, shells.mesh.watertight);
    EXPECT_TRUE(record.roleReviewComplete);
  }
}

TEST_F(StepSelectionRecord, SelectRefusesBadDecisionsAndLeavesNothing) {
  struct Case {
    bool freeShell;
    const char* decision;
    std::vector<std::uint64_t> excluded;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {false,
       "none",
       {2, 1},
       "invalid_excluded_solid",
       "every solid was excluded, so there is no mold left to publish"},
      {false,
       "none",
       {3},
       "invalid_excluded_solid",
       "a solid was excluded that this source does not contain"},
      {false,
       "residue",
       {},
       "invalid_free_shell_decision",
       "the source has no free shell, so the decision must be none"},
      {true,
       "none",
       {},
       "invalid_free_shell_decision",
       "the source has free shells, so they must be decided physical or residue"},
  };
  const std::filesystem::path boxes = WriteSource("boxes.step", false);
  const std::filesystem::path mixed = WriteSource("mixed.step", true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    PlCadPrepStepRecordRequest request =
        Request(c.freeShell ? mixed : boxes, "out.json", c.decision);
    request.excludedSolidOrdinals = c.excluded;
    ExpectPlCadPrepError([&] { WritePlCadPrepStepSelectionRecord(request, never, {}); }, c.code,
                         "import", c.message);
    EXPECT_FALSE(std::filesystem::exists(request.outputPath));
  }
}

TEST_F(StepSelectionRecord, SelectNeverOverwritesAnExistingOutput) {
  const PlCadPrepStepRecordRequest request =
      Request(WriteSource("boxes.step", false), "taken.json", "none");
  WriteFile("taken.json", "keep");
  ExpectPlCadPrepError([&] { WritePlCadPrepStepSelectionRecord(request, never, {}); },
                       "output_exists", "preflight",
                       "outputPath already exists and will not be overwritten");
  EXPECT_EQ(ReadFile(request.outputPath), "keep");
}

TEST_F(StepSelectionRecord, RejectsEditedRecordsWithTheirOwnMessages) {
  const std::string base = BaseRecord();
  const std::size_t firstComponent = base.find("\"components\":[") + 14;
  struct Case {
    std::string from, to, code, message;
  };
  const std::string invalid = "invalid_step_component_selection";
  const std::string order = "STEP component identity, order, or topology is invalid";
  const std::string overlay = "STEP free-shell review evidence is inconsistent";
  const std::string summary = "STEP review summary does not match its component evidence";
  const std::string policy = "STEP component selection source or diagnostic policy is invalid";
  const std::vector<Case> cases = {
      {"{\"schema\"", "{\"notes\":1,\"schema\"", invalid,
       "STEP component selection contains an invalid member name"},
      {"\"collisionReady\":false,", "", invalid,
       "missing STEP component selection member: collisionReady"},
      {"\"authoritative\":false", "\"authoritative\":false,\"authoritative\":false", invalid,
       "duplicate STEP component selection member: authoritative"},
      {"\"role\":\"exclude\",", "\"role\":\"exclude\",\"note\":0,", invalid,
       "STEP component contains an invalid member name"},
      {",\"untriangulatedBoundaryFaceCount\":0},\"components\"", "},\"components\"", invalid,
       "missing STEP free-shell overlay member: untriangulatedBoundaryFaceCount"},
      {"\"selectedSolidOrdinal\":2", "\"selectedSolidOrdinal\":3", invalid, order},
      {Id('4'), Id('1'), invalid, order},
      {"\"samePolicyOccurrenceSha256\":\"sha256:1", "\"samePolicyOccurrenceSha256\":\"sha256:F",
       invalid, order},
      {"\"retainedTriangleCount\":10", "\"retainedTriangleCount\":0", invalid, order},
      {"\"authoritative\":false", "\"authoritative\":true", invalid,
       "STEP review evidence cannot claim collision authority"},
      {"\"sourceSha256\":\"sha256:0", "\"sourceSha256\":\"sha256:A", invalid, policy},
      {"\"targetLinearDeflectionMm\":0.5", "\"targetLinearDeflectionMm\":15.5", invalid, policy},
      {"selection.v1", "selection.v2", invalid, "STEP component selection schema is not supported"},
      {"\"role\":\"exclude\"", "\"role\":\"keep\"", invalid,
       "STEP component selection role is not recognized"},
      {"\"decision\":\"residue\"", "\"decision\":\"maybe\"", invalid,
       "STEP free-shell review decision is not recognized"},
      {"\"selectedFreeShellOccurrenceCount\":1", "\"selectedFreeShellOccurrenceCount\":2", invalid,
       overlay},
      {"\"edgeParityClosedFreeShellOccurrenceCount\":1",
       "\"edgeParityClosedFreeShellOccurrenceCount\":2", invalid, overlay},
      {"\"geometryIssueComponentCount\":1", "\"geometryIssueComponentCount\":0", invalid, summary},
      {"\"roleReviewComplete\":true", "\"roleReviewComplete\":false", invalid, summary},
      {"[0,90,180,270]", "[0,90,180,360]", invalid,
       "allowedOrientationsDeg must be in [0, 360) degrees"},
      {"[0,90,180,270]", "[0,-90,180,270]", invalid,
       "allowedOrientationsDeg must be in [0, 360) degrees"},
      {"[0,90,180,270]", "[0,90,90]", invalid, "mounting orientations must be unique"},
      {"[0,90,180,270]", "[]", invalid, "one to twenty-four mounting orientations are required"},
      {",0,0,0,1]", ",0,0,0]", invalid, "sourceToMount must contain 16 numbers"},
      {"\"targetLinearDeflectionMm\":0.5", "\"targetLinearDeflectionMm\":1e999", invalid,
       "targetLinearDeflectionMm must be a finite number"},
      {"\"unreviewedComponentCount\":0", "\"unreviewedComponentCount\":0.0", invalid,
       "unreviewedComponentCount must be an unsigned integer"},
      {"\"watertight\":false", "\"watertight\":0", invalid, "watertight must be boolean"},
      {"solids_only_diagnostic\"", "solids_only_diagnostic\\u00e9\"", invalid,
       "faceScope must be a canonical ASCII string"},
      {"\"role\":\"component\"", "\"role\":\"compo\\\\nent\"", invalid,
       "role must be a canonical ASCII string"},
      {"\"components\":[", "\"components\":[3,", invalid,
       "JSON value must be an object at byte " + std::to_string(firstComponent)},
      {base.substr(firstComponent - 14), "\"components\":[]}", invalid,
       "STEP component selection count is outside the supported bound"},
      {base.substr(firstComponent - 14), "\"components\":{}}", invalid,
       "components must be an array"},
      {"\"sourceToMount\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]", "\"sourceToMount\":{}", invalid,
       "sourceToMount must be an array"},
      {"]}", "]} x", invalid,
       "unexpected text after JSON object at byte " + std::to_string(base.size() + 1)},
  };
  const PlCadPrepOperationContext context = Context();
  (void)ParsePlCadPrepStepSelectionRecord(base, context);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " <- " + c.to);
    const std::string edited = Edited(base, c.from, c.to);
    ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(edited, context); }, c.code,
                         "preflight", c.message);
  }
}

TEST_F(StepSelectionRecord, EquivalentSpellingsParseButChangeTheIdentity) {
  const std::string base = BaseRecord();
  const std::string spellings[] = {
      base,
      Edited(base, "{\"schema\"", "{ \n\t\r\"schema\""),
      Edited(base, "\"authoritative\":false,\"collisionReady\":false",
             "\"collisionReady\":false,\"authoritative\":false"),
      Edited(base, "solids_only_diagnostic", "solids\\u005fonly_diagnostic"),
  };
  const PlCadPrepOperationContext context = Context();
  std::set<std::string> identities;
  for (const std::string& text : spellings) {
    const PlCadPrepStepSelection record = ParsePlCadPrepStepSelectionRecord(text, context);
    EXPECT_EQ(record.recordSha256, ExpectedIdentity(text));
    EXPECT_EQ(record.faceScope, "solids_only_diagnostic");
    EXPECT_EQ(record.components.size(), 2u);
    identities.insert(record.recordSha256);
  }
  EXPECT_EQ(identities.size(), std::size(spellings));
}

TEST_F(StepSelectionRecord, ReadsRecordsUpToEightMebibytes) {
  std::string padded = BaseRecord();
  padded.resize(kPlCadPrepStepSelectionMaxBytes, ' ');
  const PlCadPrepOperationContext context = Context();
  const std::filesystem::path exact = WriteFile("exact.json", padded);
  EXPECT_EQ(ReadPlCadPrepStepSelectionRecord(exact, context).recordSha256,
            ExpectedIdentity(padded));

  padded.push_back(' ');
  const std::filesystem::path over = WriteFile("over.json", padded);
  const char* tooLarge = "STEP component selection exceeds the 8 MiB limit";
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSelectionRecord(over, context); },
                       "step_component_selection_too_large", "preflight", tooLarge);
  ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(padded, context); },
                       "step_component_selection_too_large", "preflight", tooLarge);
  ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord("", context); },
                       "invalid_step_component_selection", "preflight",
                       "STEP component selection is empty");
}

TEST_F(StepSelectionRecord, RefusesPathsThatAreNotReadableRecords) {
  const PlCadPrepOperationContext context = Context();
  std::filesystem::create_directory(dir / "folder");
  ExpectPlCadPrepError(
      [&] { (void)ReadPlCadPrepStepSelectionRecord(dir / "missing.json", context); },
      "step_component_selection_not_found", "preflight",
      "STEP component selection path is not a regular file");
  ExpectPlCadPrepError([&] { (void)ReadPlCadPrepStepSelectionRecord(dir / "folder", context); },
                       "step_component_selection_not_found", "preflight",
                       "STEP component selection path is not a regular file");
  ExpectPlCadPrepError(
      [&] { (void)ReadPlCadPrepStepSelectionRecord(WriteFile("empty.json", ""), context); },
      "step_component_selection_read_failed", "preflight",
      "STEP component selection size could not be read");
}

}  // namespace
