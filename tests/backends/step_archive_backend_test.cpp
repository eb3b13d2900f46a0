#include "backends/step_archive_backend.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "step/step_selection_record.h"
#include "step/step_selection_writer.h"
#include "support/expect_error.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class StepArchiveBackend : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    request = TestStepRequest(dir / "assembly.step");
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = "r1";
    request.outputPath = dir / "out.peltogeom";
    request.componentRole = "component";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    request.componentSelectionPath = dir / "selection.json";
  }

  void Prepare() {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    backend.Prepare(request, Staging(), context, {});
  }

  fs::path Staging() const { return dir / ".out.peltogeom.partial-r1"; }

  NeverCancelled never;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepStepSource};
  PlCadPrepRequest request;
};

// Without free shells the backend runs no free-shell import, which would fail
// on such a source; the driver's tests publish the overlay decisions.
TEST_F(StepArchiveBackend, PublishesTheRetainedSolidsOfASourceWithoutFreeShells) {
  WriteTestStep(MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                                  MakeTestBox(3, 3, 3, gp_Pnt(10, 0, 0))}),
                request.inputPath);
  PlCadPrepStepRecordRequest select;
  select.schema = "pelto.geometry.select.request.v1";
  select.requestId = "s1";
  select.inputPath = request.inputPath;
  select.outputPath = request.componentSelectionPath;
  select.targetLinearDeflectionMm = 0.5;
  select.freeShellDecision = "none";
  select.excludedSolidOrdinals = {2};
  select.allowedOrientationsDeg = {0, 90, 180, 270};
  WritePlCadPrepStepSelectionRecord(select, never, {});
  Prepare();

  // Package members are stored, so the manifest text is part of the image.
  const std::string image = ReadFile(Staging());
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  const PlCadPrepStepSelection record =
      ReadPlCadPrepStepSelectionRecord(select.outputPath, context);
  ASSERT_EQ(record.components.size(), 3u);
  const std::uint64_t retained =
      record.components[0].retainedTriangleCount + record.components[2].retainedTriangleCount;
  EXPECT_NE(image.find("\"componentSelectionSha256\":\"" + record.recordSha256 + "\""),
            std::string::npos);
  EXPECT_NE(image.find("\"freeShellOverlayDecision\":\"none\""), std::string::npos);
  EXPECT_NE(image.find("\"triangleCount\":" + std::to_string(retained) + ","), std::string::npos);
}

TEST_F(StepArchiveBackend, RefusesBeforeReadingTheSource) {
  // Neither file is what it claims to be: reading either would fail differently.
  WriteFile("assembly.step", "not a STEP file");
  WriteFile("selection.json", "{}");
  request.componentSelectionPath.clear();
  ExpectPlCadPrepError([&] { Prepare(); }, "step_component_selection_required", "preflight",
                       "STEP publication requires the reviewed component-selection record");
  request.sourceFormat = PlCadPrepSourceFormat::stl;
  ExpectPlCadPrepError([&] { Prepare(); }, "backend_not_implemented", "import",
                       "only STEP import is implemented by the STEP archive backend");
  EXPECT_FALSE(fs::exists(Staging()));
}

}  // namespace
