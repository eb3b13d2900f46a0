#include "step/step_selection_record.h"

#include <gtest/gtest.h>

#include "step/step_selection_writer.h"
#include "support/step_error_cases.h"

namespace {

// Two components (the second excluded and open) and a residue overlay; "#n"
// stands for the identity made of 64 digits n.
std::string BaseRecord() {
  std::string text =
      R"({"schema":"pelto.geometry.step-component-selection.v1","reviewSchema":)"
      R"("pelto.geometry.step-component-review.v1","sourceSha256":"#0","diagnosticPolicy":)"
      R"("PeltoCadPrep.STEP.diagnostic.v2","faceScope":"solids_only_diagnostic",)"
      R"("targetLinearDeflectionMm":0.5,"angularDeflectionRadians":0.5,"sourceToMount":)"
      R"([1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":[0,90,180,270],)"
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

class StepSelectionRecord : public TempDirTest {
 protected:
  PlCadPrepOperationContext Context(std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes) const {
    PlCadPrepRequest request;
    request.maxMemoryBytes = maxMemoryBytes;
    return MakePlCadPrepOperationContext(request, never);
  }
  PlCadPrepStepRecordRequest Request(const TopoDS_Shape& source, const char* name,
                                     const std::string& decision) const {
    auto r = MakeTestStepSideRequest<PlCadPrepStepRecordRequest>(
        kPlCadPrepStepRecordRequestSchema, "s1", source, dir / name, dir / "out.json");
    r.targetLinearDeflectionMm = 0.1, r.freeShellDecision = decision;
    r.allowedOrientationsDeg = {0, 90, 180, 270};
    return r;
  }
  NeverCancelled never;
};

TEST_F(StepSelectionRecord, SelectRefusesBadDecisionsAndLeavesNothing) {
  const TopoDS_Shape a = MakeTestBox(1, 1, 1), b = MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0));
  const auto select = [&](bool shell, const char* decision, std::vector<std::uint64_t> excluded) {
    return [=, this] {
      const TopoDS_Shape c = MakeTestFreeShell(1, 1, 1, gp_Pnt(10, 0, 0));
      auto request = Request(shell ? MakeTestCompound({a, b, c}) : MakeTestCompound({a, b}),
                             "s.step", decision);
      request.excludedSolidOrdinals = excluded;
      WritePlCadPrepStepSelectionRecord(request, never, {});
    };
  };
  const char* kExcluded = "invalid_excluded_solid";
  const char* kDecision = "invalid_free_shell_decision";
  ExpectStepErrors({
      {select(false, "none", {2, 1}), kExcluded, "import",
       "every solid was excluded, so there is no mold left to publish"},
      {select(false, "none", {3}), kExcluded, "import",
       "a solid was excluded that this source does not contain"},
      {select(false, "residue", {}), kDecision, "import",
       "the source has no free shell, so the decision must be none"},
      {select(true, "none", {}), kDecision, "import",
       "the source has free shells, so they must be decided physical or residue"},
  });
  EXPECT_FALSE(std::filesystem::exists(dir / "out.json"));
}

TEST_F(StepSelectionRecord, RejectsEditedRecordsWithTheirOwnMessages) {
  const std::string base = BaseRecord();
  // 4095 empty objects ahead of the two components: one more than a record may hold.
  std::string tooMany = "\"components\":[";
  for (int i = 0; i < 4095; ++i) tooMany += "{},";
  struct Case {
    std::string from, to, message;
  };
  const std::string count = "STEP component selection count is outside the supported bound";
  const std::vector<Case> cases = {
      {R"({"s)", R"({"n":1,"s)", "STEP component selection contains an invalid member name"},
      {R"("collisionReady":false,)", "", "missing STEP component selection member: collisionReady"},
      {R"("authoritative":false)", R"("authoritative":false,"authoritative":false)",
       "duplicate STEP component selection member: authoritative"},
      {"selection.v1", "selection.v2", "STEP component selection schema is not supported"},
      {R"(Mm":0.5)", R"(Mm":15.5)",
       "STEP component selection source or diagnostic policy is invalid"},
      {R"(tive":false)", R"(tive":true)", "STEP review evidence cannot claim collision authority"},
      {R"("components":[)", tooMany, count},
      {R"(Ordinal":2)", R"(Ordinal":3)", "STEP component identity, order, or topology is invalid"},
      {R"("exclude")", R"("keep")", "STEP component selection role is not recognized"},
      {R"(selectedFreeShellOccurrenceCount":1)", R"(selectedFreeShellOccurrenceCount":2)",
       "STEP free-shell review evidence is inconsistent"},
      {R"(ComponentCount":1)", R"(ComponentCount":0)",
       "STEP review summary does not match its component evidence"},
  };
  const PlCadPrepOperationContext context = Context();
  (void)ParsePlCadPrepStepSelectionRecord(base, context);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + " <- " + c.to.substr(0, 80));
    std::string edited = base;
    ASSERT_NE(edited.find(c.from), std::string::npos);
    edited.replace(edited.find(c.from), c.from.size(), c.to);
    ExpectPlCadPrepError([&] { (void)ParsePlCadPrepStepSelectionRecord(edited, context); },
                         "invalid_step_component_selection", "preflight", c.message);
  }
}

TEST_F(StepSelectionRecord, ReadsOnlyRegularFilesUpToEightMebibytes) {
  std::string padded = BaseRecord();
  padded.resize(kPlCadPrepStepSelectionMaxBytes, ' ');
  const std::filesystem::path exact = WriteFile("exact.json", padded);
  EXPECT_EQ(ReadPlCadPrepStepSelectionRecord(exact, Context()).recordSha256,
            "sha256:77c81c1dc2b92a94888bcab11747330f9ea43248fd9a2291c54c4dcd3cb8b0cf");
  const std::filesystem::path over = WriteFile("over.json", padded + " ");
  const auto read = [&](const std::filesystem::path& path) {
    return [&, path] { (void)ReadPlCadPrepStepSelectionRecord(path, Context()); };
  };
  const char* kPreflight = "preflight";
  ExpectStepErrors({
      {read(over), "step_component_selection_too_large", kPreflight,
       "STEP component selection exceeds the 8 MiB limit"},
  });
}

}  // namespace
