#include "backends/step_archive_backend.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "step/step_selection_record.h"
#include "support/expect_error.h"
#include "support/package_reader.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class StepArchiveBackend : public TempDirTest {
 protected:
  // Three separate boxes of 1, 2 and 3 mm along x.
  fs::path WriteSource(const std::string& name) const {
    const fs::path path = dir / name;
    WriteTestStep(MakeTestCompound({MakeTestBox(1, 1, 1), MakeTestBox(2, 2, 2, gp_Pnt(5, 0, 0)),
                                    MakeTestBox(3, 3, 3, gp_Pnt(10, 0, 0))}),
                  path);
    return path;
  }

  // Reviews `source` with the select command, excluding solid 2.
  fs::path Select(const fs::path& source, const std::string& name) {
    PlCadPrepStepRecordRequest select;
    select.schema = "pelto.geometry.select.request.v1";
    select.requestId = "s1";
    select.inputPath = source;
    select.outputPath = dir / name;
    select.targetLinearDeflectionMm = 0.5;
    select.freeShellDecision = "none";
    select.excludedSolidOrdinals = {2};
    select.allowedOrientationsDeg = {0, 90, 180, 270};
    WritePlCadPrepStepSelectionRecord(select, never, {});
    return select.outputPath;
  }

  PlCadPrepRequest Request(const fs::path& source, const fs::path& selection) const {
    PlCadPrepRequest request = TestStepRequest(source);
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = "r1";
    request.outputPath = dir / "out.peltogeom";
    request.componentRole = "component";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    request.componentSelectionPath = selection;
    return request;
  }

  void Prepare(const PlCadPrepRequest& request) {
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    backend.Prepare(request, Staging(), context, {});
  }

  PlCadPrepStepSelection ReadRecord(const fs::path& path) const {
    const PlCadPrepOperationContext context =
        MakePlCadPrepOperationContext(PlCadPrepRequest(), never);
    return ReadPlCadPrepStepSelectionRecord(path, context);
  }

  fs::path Staging() const { return dir / ".out.peltogeom.partial-r1"; }

  NeverCancelled never;
  PlCadPrepStepArchiveBackend backend;
};

TEST_F(StepArchiveBackend, PublishesTheRetainedSolidsWithTheRecordIdentity) {
  const fs::path source = WriteSource("assembly.step");
  const fs::path selection = Select(source, "selection.json");
  Prepare(Request(source, selection));

  const std::string image = ReadFile(Staging());
  const PackageContents package =
      ReadPackage(std::vector<std::uint8_t>(image.begin(), image.end()));
  ASSERT_EQ(package.problem, "");
  ASSERT_FALSE(package.entries.empty());
  ASSERT_EQ(package.entries[0].name, "manifest.json");
  const std::string manifest(package.entries[0].bytes.begin(), package.entries[0].bytes.end());

  const PlCadPrepStepSelection record = ReadRecord(selection);
  ASSERT_EQ(record.components.size(), 3u);
  EXPECT_EQ(record.components[1].role, PlCadPrepStepComponentRole::exclude);
  const std::uint64_t retained =
      record.components[0].retainedTriangleCount + record.components[2].retainedTriangleCount;
  EXPECT_NE(manifest.find("\"componentSelectionSha256\":\"" + record.recordSha256 + "\""),
            std::string::npos);
  EXPECT_NE(manifest.find("\"sha256\":\"" + record.sourceSha256 + "\""), std::string::npos);
  EXPECT_NE(manifest.find("\"triangleCount\":" + std::to_string(retained) + ","),
            std::string::npos);
  EXPECT_NE(manifest.find("\"closedComponentCount\":2,"), std::string::npos);
  EXPECT_NE(manifest.find("\"freeShellOverlayDecision\":\"none\""), std::string::npos);
}

TEST_F(StepArchiveBackend, RefusesWhatChangedAfterReview) {
  constexpr const char* kStale = "step_component_selection_stale";
  const struct {
    const char* name;
    std::function<void(PlCadPrepRequest&, const fs::path& source, const fs::path& record)> change;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {"one source byte",
       [this](PlCadPrepRequest&, const fs::path& source, const fs::path&) {
         std::string bytes = ReadFile(source);
         const std::size_t at = bytes.find("FILE_DESCRIPTION(('");
         ASSERT_NE(at, std::string::npos);
         ++bytes[at + 19];  // a letter of the free-text description
         WriteFile(source.filename().string(), bytes);
       },
       kStale, "validate", "STEP component selection diagnostic evidence changed"},
      {"sourceToMount",
       [](PlCadPrepRequest& r, const fs::path&, const fs::path&) { r.sourceToMount[3] = 1.0; },
       kStale, "preflight", "STEP component selection mount transform changed"},
      {"orientations",
       [](PlCadPrepRequest& r, const fs::path&, const fs::path&) {
         r.allowedOrientationsDeg = {0, 90, 180, 270, 45, 135, 225, 315};
       },
       kStale, "preflight", "STEP component selection does not match the request policy"},
      {"record deflection",
       [this](PlCadPrepRequest&, const fs::path&, const fs::path& record) {
         std::string text = ReadFile(record);
         const std::string from = "\"targetLinearDeflectionMm\":0.5,";
         const std::size_t at = text.find(from);
         ASSERT_NE(at, std::string::npos);
         text.replace(at, from.size(), "\"targetLinearDeflectionMm\":0.25,");
         WriteFile(record.filename().string(), text);
       },
       kStale, "validate", "STEP component selection diagnostic evidence changed"},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++row;
    const fs::path source = WriteSource("assembly" + std::to_string(row) + ".step");
    const fs::path selection = Select(source, "selection" + std::to_string(row) + ".json");
    PlCadPrepRequest request = Request(source, selection);
    c.change(request, source, selection);
    ExpectPlCadPrepError([&] { Prepare(request); }, c.code, c.stage, c.message);
    EXPECT_FALSE(fs::exists(Staging()));
  }
}

TEST_F(StepArchiveBackend, RefusesBeforeReadingTheSource) {
  // Not STEP at all: reading it would fail differently.
  PlCadPrepRequest request =
      Request(WriteFile("garbage.step", "not a STEP file"), WriteFile("selection.json", "{}"));
  request.componentSelectionPath.clear();
  ExpectPlCadPrepError([&] { Prepare(request); }, "step_component_selection_required", "preflight",
                       "STEP publication requires the reviewed component-selection record");
  request.sourceFormat = PlCadPrepSourceFormat::stl;
  ExpectPlCadPrepError([&] { Prepare(request); }, "backend_not_implemented", "import",
                       "only STEP import is implemented by the STEP archive backend");
  EXPECT_FALSE(fs::exists(Staging()));
}

}  // namespace
