#include "backends/triangle_archive_backend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "pipeline/prepare_pipeline.h"
#include "support/expect_error.h"
#include "support/package_reader.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class SwitchCancellation final : public PlCadPrepCancellation {
 public:
  bool IsCancelled() const override { return cancelled; }
  bool cancelled = false;
};

// A closed cube of edge 100 mm as ASCII STL, outward-wound.
std::string CubeStl() {
  const int v[8][3] = {{0, 0, 0},   {100, 0, 0},   {100, 100, 0},   {0, 100, 0},
                       {0, 0, 100}, {100, 0, 100}, {100, 100, 100}, {0, 100, 100}};
  const int t[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                        {3, 7, 6}, {3, 6, 2}, {0, 4, 7}, {0, 7, 3}, {1, 2, 6}, {1, 6, 5}};
  std::string text = "solid cube\n";
  for (const auto& tri : t) {
    text += "facet normal 0 0 0\nouter loop\n";
    for (const int corner : tri) {
      text += "vertex " + std::to_string(v[corner][0]) + " " + std::to_string(v[corner][1]) + " " +
              std::to_string(v[corner][2]) + "\n";
    }
    text += "endloop\nendfacet\n";
  }
  return text + "endsolid cube\n";
}

using Report = std::tuple<std::string, std::uint64_t, std::uint64_t>;

class TriangleArchiveBackend : public TempDirTest {
 protected:
  PlCadPrepRequest Request(const std::string& inputName, PlCadPrepSourceFormat format) const {
    PlCadPrepRequest request;
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = "r1";
    request.inputPath = dir / inputName;
    request.outputPath = dir / "out.peltogeom";
    request.sourceFormat = format;
    request.sourceUnits = "mm";
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    return request;
  }
  ProgressCallback Recorder() {
    return [this](std::string_view stage, std::uint64_t completed, std::uint64_t total) {
      reports.emplace_back(std::string(stage), completed, total);
    };
  }
  fs::path Staging() const { return dir / ".out.peltogeom.partial-r1"; }

  NeverCancelled never;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepMeshSource};
  std::vector<Report> reports;
};

TEST_F(TriangleArchiveBackend, RefusesSchemaMeshFormatsBeforeOpeningTheSource) {
  struct Case {
    PlCadPrepSourceFormat format;
    const char* message;
  };
  const Case cases[] = {
      {PlCadPrepSourceFormat::iges,
       "iges import is not implemented by the triangle archive backend"},
      {PlCadPrepSourceFormat::threeMf,
       "3mf import is not implemented by the triangle archive backend"},
      {PlCadPrepSourceFormat::step,
       "step import is not implemented by the triangle archive backend"},
      {static_cast<PlCadPrepSourceFormat>(9),
       "unknown import is not implemented by the triangle archive backend"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    // The source does not exist: opening it would fail differently.
    const PlCadPrepRequest request = Request("missing.igs", c.format);
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    ExpectPlCadPrepError([&] { backend.Prepare(request, Staging(), context, Recorder()); },
                         "backend_not_implemented", "import", c.message);
    EXPECT_FALSE(fs::exists(Staging()));
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
  EXPECT_TRUE(reports.empty());
}

TEST_F(TriangleArchiveBackend, ACancelledRunEndsBeforeTheSourceIsRead) {
  WriteFile("part.stl", CubeStl());
  SwitchCancellation cancel;
  cancel.cancelled = true;
  const PlCadPrepRequest request = Request("part.stl", PlCadPrepSourceFormat::stl);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancel);
  ExpectPlCadPrepError([&] { backend.Prepare(request, Staging(), context, Recorder()); },
                       "cancelled", "preflight", "preparation was cancelled");
  EXPECT_TRUE(reports.empty());
  EXPECT_FALSE(fs::exists(Staging()));
}

TEST_F(TriangleArchiveBackend, StlThatFailsToParseLeavesNoStagingFile) {
  WriteFile("part.stl",
            "solid part\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nendsolid part\n");
  const PlCadPrepRequest request = Request("part.stl", PlCadPrepSourceFormat::stl);
  ExpectPlCadPrepError([&] { (void)PrepareAndPublish(request, backend, never, Recorder()); },
                       "invalid_stl", "import", "ASCII STL vertex record is invalid");
  EXPECT_FALSE(fs::exists(Staging()));
  EXPECT_FALSE(fs::exists(request.outputPath));
  EXPECT_TRUE(reports.empty());
}

TEST_F(TriangleArchiveBackend, StagesTheCubeAndReleasesItsWorkingState) {
  WriteFile("part.stl", CubeStl());
  const PlCadPrepRequest request = Request("part.stl", PlCadPrepSourceFormat::stl);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
  backend.Prepare(request, Staging(), context, Recorder());

  // Nothing outlives the call but the staged file.
  EXPECT_EQ(context.ledger->memoryReserved, 0u);
  EXPECT_EQ(context.ledger->outputReserved, 0u);
  const std::string staged = ReadFile(Staging());
  const std::vector<std::uint8_t> image(staged.begin(), staged.end());
  const PackageContents contents = ReadPackage(image);
  ASSERT_EQ(contents.problem, "");
  const std::vector<std::string> names = contents.Names();
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ((std::vector<std::string>(names.begin(), names.begin() + 3)),
            (std::vector<std::string>{"manifest.json", "preview.glb", "collision.pmesh"}));
  EXPECT_EQ(names[3].substr(0, 12), "refine_30mm_");
  EXPECT_EQ(names[4].substr(0, 12), "search_50mm_");

  // Stages arrive in pipeline order, each ending complete.
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front(), (Report{"import", CubeStl().size(), CubeStl().size()}));
  EXPECT_EQ(reports.back(), (Report{"package", staged.size(), staged.size()}));
  std::vector<std::string> stages;
  for (const Report& report : reports) {
    if (stages.empty() || stages.back() != std::get<0>(report))
      stages.push_back(std::get<0>(report));
  }
  EXPECT_EQ(stages, (std::vector<std::string>{"import", "mesh", "voxel", "package"}));
}

}  // namespace
