#include "backends/generated_archive_backend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "pipeline/prepare_pipeline.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Report = std::tuple<std::string, std::uint64_t, std::uint64_t>;

// The canonical document around one canonical shape object.
std::string Definition(const std::string& shape) {
  return R"({"generatorProfile":"pelto.shape.generator.v1","schema":"pelto.shape.definition.v1",)"
         R"("shape":)" +
         shape + R"(,"units":"um"})";
}

const std::string kBox = R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})";

class GeneratedArchiveBackend : public TempDirTest {
 protected:
  PlCadPrepRequest Request(const std::string& requestId) const {
    PlCadPrepRequest request;
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = requestId;
    request.inputPath = dir / "shape-definition.json";
    request.outputPath = dir / (requestId + ".peltogeom");
    request.sourceFormat = PlCadPrepSourceFormat::shapeDefinition;
    request.sourceUnits = "source";
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
    return request;
  }
  fs::path Staging(const PlCadPrepRequest& request) const {
    return dir / ("." + request.outputPath.filename().string() + ".partial-" + request.requestId);
  }
  ProgressCallback Recorder() {
    return [this](std::string_view stage, std::uint64_t completed, std::uint64_t total) {
      reports.emplace_back(std::string(stage), completed, total);
    };
  }

  NeverCancelled never;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepGeneratedSource, GuardPlCadPrepGeneratedFrame};
  std::vector<Report> reports;
};

TEST_F(GeneratedArchiveBackend, ReportsImportThenMeshVoxelAndPackage) {
  WriteFile("shape-definition.json", Definition(kBox));
  const PlCadPrepRequest request = Request("stages");
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  backend.Prepare(request, Staging(request), context, Recorder());

  // Nothing outlives the call but the staged file.
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
  EXPECT_EQ(context.ledger->outputReserved, 0u);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (Report{"import", 1, 1}));
  std::vector<std::string> stages;
  for (const Report& report : reports) {
    if (stages.empty() || stages.back() != std::get<0>(report)) {
      stages.push_back(std::get<0>(report));
    }
  }
  EXPECT_EQ(stages, (std::vector<std::string>{"import", "mesh", "voxel", "package"}));
}

TEST_F(GeneratedArchiveBackend, RefusesDefinitionsThatChangedOrBreakTheRules) {
  const std::string box = Definition(kBox);
  // Same bytes in another key order: the size preflight saw, but not canonical.
  const std::string reordered =
      Definition(R"({"heightUm":10000,"kind":"box","zSpanUm":30000,"xSpanUm":20000})");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> edit;
    const char* code;
    const char* message;
    bool exactInputLimit = false;
  };
  const Case cases[] = {
      {"grown past maxInputBytes", [&](const fs::path& p) { WriteFile(p.filename(), box + " "); },
       "input_changed", "shape definition changed after preflight", true},
      {"emptied", [&](const fs::path& p) { WriteFile(p.filename(), ""); }, "input_changed",
       "shape definition changed after preflight"},
      {"replaced by a directory",
       [](const fs::path& p) {
         fs::remove(p);
         fs::create_directory(p);
       },
       "input_changed", "shape definition changed after preflight"},
      {"same size, not canonical", [&](const fs::path& p) { WriteFile(p.filename(), reordered); },
       "noncanonical_shape_definition", "shape definition bytes are not canonical"},
      {"dimension out of range",
       [&](const fs::path& p) {
         WriteFile(p.filename(),
                   Definition(R"({"heightUm":0,"kind":"box","xSpanUm":20000,"zSpanUm":30000})"));
       },
       "invalid_shape_definition", "box.heightUm must be between 1 and 100000000 micrometres"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = WriteFile("shape-definition.json", box);
    PlCadPrepRequest request = Request("edited");
    if (c.exactInputLimit) request.maxInputBytes = box.size();
    ValidatePlCadPrepRequest(request);  // preflight accepts the file as it was
    c.edit(path);
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    ExpectPlCadPrepError([&] { backend.Prepare(request, Staging(request), context, Recorder()); },
                         c.code, "import", c.message);
    EXPECT_FALSE(fs::exists(Staging(request)));
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
    fs::remove_all(path);
  }
  EXPECT_TRUE(reports.empty());
}

TEST_F(GeneratedArchiveBackend, RefusesOtherSourceFormatsBeforeReading) {
  PlCadPrepRequest request = Request("stl");
  request.sourceFormat = PlCadPrepSourceFormat::stl;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  ExpectPlCadPrepError([&] { backend.Prepare(request, Staging(request), context, Recorder()); },
                       "backend_not_implemented", "import",
                       "generated archive backend accepts canonical shape definitions only");
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
}

}  // namespace
