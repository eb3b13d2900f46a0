#include "step/step_selection_record.h"

#include <gtest/gtest.h>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "step/step_scope_import.h"
#include "step/step_selection_writer.h"
#include "step/step_side_command.h"
#include "support/mesh_reader_fixture.h"
#include "support/step_error_cases.h"
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

TEST_F(StepSelectionRecord, SelectRefusesBadDecisionsAndLeavesNothing) {
  const std::filesystem::path boxes = WriteSource("boxes.step", false);
  const std::filesystem::path mixed = WriteSource("mixed.step", true);
  const auto select = [&](const std::filesystem::path& source, const char* decision,
                          std::vector<std::uint64_t> excluded) {
    return [&, source, decision, excluded] {
      PlCadPrepStepRecordRequest request = Request(source, "out.json", decision);
      request.excludedSolidOrdinals = excluded;
      WritePlCadPrepStepSelectionRecord(request, never, {});
    };
  };
  const char* kExcluded = "invalid_excluded_solid";
  const char* kDecision = "invalid_free_shell_decision";
  // clang-format off
  ExpectStepErrors({
      {select(boxes, "none", {2, 1}), kExcluded, "import",
       "every solid was excluded, so there is no mold left to publish"},
      {select(boxes, "none", {3}), kExcluded, "import",
       "a solid was excluded that this source does not contain"},
      {select(boxes, "residue", {}), kDecision, "import",
       "the source has no free shell, so the decision must be none"},
      {select(mixed, "none", {}), kDecision, "import",
       "the source has free shells, so they must be decided physical or residue"},
  });
  // clang-format on
  EXPECT_FALSE(std::filesystem::exists(dir / "out.json"));
}

TEST_F(StepSelectionRecord, RejectsEditedRecordsWithTheirOwnMessages) {
  const std::string base = BaseRecord();
  const std::size_t components = base.find("\"components\":[");
  // 4095 empty objects ahead of the two components: one more than a record may hold.
  std::string tooMany = "\"components\":[";
  for (int i = 0; i < 4095; ++i) tooMany += "{},";
  struct Case {
    std::string from, to, message;
  };
  const std::string count = "STEP component selection count is outside the supported bound";
  const std::string tail = base.substr(components);
  // clang-format off
  const std::vector<Case> cases = {
      {R"({"schema")", R"({"notes":1,"schema")",
       "STEP component selection contains an invalid member name"},
      {R"("collisionReady":false,)", "", "missing STEP component selection member: collisionReady"},
      {R"("authoritative":false)", R"("authoritative":false,"authoritative":false)",
       "duplicate STEP component selection member: authoritative"},
      {R"("role":"exclude",)", R"("role":"exclude","note":0,)",
       "STEP component contains an invalid member name"},
      {"selection.v1", "selection.v2", "STEP component selection schema is not supported"},
      {R"(Mm":0.5)", R"(Mm":15.5)",
       "STEP component selection source or diagnostic policy is invalid"},
      {R"("authoritative":false)", R"("authoritative":true)",
       "STEP review evidence cannot claim collision authority"},
      {tail, R"("components":[]})", count},
      {R"("components":[)", tooMany, count},
      {R"(Ordinal":2)", R"(Ordinal":3)", "STEP component identity, order, or topology is invalid"},
      {R"("role":"exclude")", R"("role":"keep")",
       "STEP component selection role is not recognized"},
      {R"("decision":"residue")", R"("decision":"maybe")",
       "STEP free-shell review decision is not recognized"},
      {R"(selectedFreeShellOccurrenceCount":1)", R"(selectedFreeShellOccurrenceCount":2)",
       "STEP free-shell review evidence is inconsistent"},
      {R"(IssueComponentCount":1)", R"(IssueComponentCount":0)",
       "STEP review summary does not match its component evidence"},
  };
  // clang-format on
  const PlCadPrepOperationContext context = Context();
  (void)ParsePlCadPrepStepSelectionRecord(base, context);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " <- " + c.to.substr(0, 80));
    const std::string edited = Edited(base, c.from, c.to);
    ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(edited, context); },
                         "invalid_step_component_selection", "preflight", c.message);
  }
}

// Parsing works within max(4 x size, 64 KiB), held beside the file's own bytes.
TEST_F(StepSelectionRecord, ReadsOnlyRegularFilesUpToEightMebibytesWithinTheMemoryLimit) {
  std::string padded = BaseRecord();
  padded.resize(kPlCadPrepStepSelectionMaxBytes, ' ');
  const std::filesystem::path exact = WriteFile("exact.json", padded);
  EXPECT_EQ(ReadPlCadPrepStepSelectionRecord(exact, Context()).recordSha256,
            ExpectedIdentity(padded));
  const std::string base = BaseRecord();
  const std::filesystem::path large = WriteFile("large.json", base + std::string(20'000, ' '));
  const std::uint64_t size = base.size() + 20'000;
  (void)ReadPlCadPrepStepSelectionRecord(large, Context(5 * size));
  const std::filesystem::path over = WriteFile("over.json", padded + " ");
  const std::filesystem::path empty = WriteFile("empty.json", "");
  const auto read = [&](const std::filesystem::path& path, std::uint64_t memory = 1u << 30) {
    return [&, path, memory] { (void)ReadPlCadPrepStepSelectionRecord(path, Context(memory)); };
  };
  const char* kPreflight = "preflight";
  // clang-format off
  ExpectStepErrors({
      {read(over), "step_component_selection_too_large", kPreflight,
       "STEP component selection exceeds the 8 MiB limit"},
      {read(dir), "step_component_selection_not_found", kPreflight,
       "STEP component selection path is not a regular file"},
      {read(empty), "step_component_selection_read_failed", kPreflight,
       "STEP component selection size could not be read"},
      {[&] { (void)ParsePlCadPrepStepSelectionRecord("", Context()); },
       "invalid_step_component_selection", kPreflight, "STEP component selection is empty"},
      {read(large, 5 * size - 1), "memory_limit_exceeded", kPreflight,
       "preparation exceeds maxMemoryBytes"},
  });
  // clang-format on
}

}  // namespace
