// Generated shapes through the executable: kinds built by the kernel and the
// levels shape, which is meshed directly, publish a package whose analytic
// member certifies against the definition and the manifest.
#include <gtest/gtest.h>

#include "core/sha256.h"
#include "shapes/analytic_member.h"
#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/json_walk.h"
#include "support/package_checks.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class GeneratedPrepare : public TempDirTest {
 protected:
  // Runs prepare on `definition` in its own folder, whose package is `name`.peltogeom.
  CliRun Run(const std::string& name, const std::string& definition) const {
    fs::create_directory(dir / name);
    const fs::path source = WriteFile(name + "/shape-definition.json", definition);
    return RunCli(
        {"prepare", WriteFile(name + "/request.json",
                              PrepareRequestText(name, source, Output(name),
                                                 "pelto.shape.definition.v1", kTwelveTurns))
                        .string()});
  }
  fs::path Output(const std::string& name) const { return dir / name / (name + ".peltogeom"); }
};

TEST_F(GeneratedPrepare, EveryKindPublishesACertifiedPackage) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"box", BoxShape(10000, 20000, 30000)},
      {"laid-down-cylinder", CylinderShape(40000, 10000, "laidDown")},
      {"l-prism-pxpz", LPrismShape("positiveXPositiveZ")},
      {"triangle-low", TriangularPrismShape(30000, "-15000")},
      {"laid-down-frustum", FrustumShape(40000, 20000, "laidDown", 10000)},
      {"levels",
       R"({"kind":"apexShape","levels":[{"vertices":[{"xUm":0,"zUm":0},{"xUm":0,"zUm":10000},)"
       R"({"xUm":10000,"zUm":10000},{"xUm":10000,"zUm":0}],"yUm":0},{"vertices":[{"xUm":2000,)"
       R"("zUm":2000},{"xUm":2000,"zUm":8000},{"xUm":8000,"zUm":8000},{"xUm":8000,"zUm":2000}],)"
       R"("yUm":5000}]})"},
      {"sphere", SphereShape(100000)},
  };
  for (const auto& [name, shape] : cases) {
    SCOPED_TRACE(name);
    const std::string definition = ShapeDefinitionDocument(shape);
    const CliRun run = Run(name, definition);
    ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
    // Voxel members depend on the shape's symmetry; count them from the package.
    const PackageContents contents = ReadPackage(PackageTextBytes(ReadFile(Output(name))));
    const std::string text(contents.entries.at(0).bytes.begin(),
                           contents.entries.at(0).bytes.end());
    const JsonWalk manifest(text);
    const CheckedPackage package =
        ExpectValidPackage(Output(name), manifest["validation"]["triangleCount"].Unsigned(), 12,
                           contents.entries.size() - 4, true, true);
    PlAnalyticShape analytic;
    ASSERT_TRUE(DecodePlAnalyticShape(package.analytic, analytic).Accepted());
    EXPECT_EQ(analytic.definitionSha256, Sha256Identity(definition));
    EXPECT_EQ(manifest["sources"].Elements().at(0)["shapeDefinitionId"].String(),
              analytic.shapeDefinitionId);
  }
  const CliRun spaced =
      Run("spaced", ShapeDefinitionDocument(BoxShape(10000, 20000, 30000)) + "\n");
  EXPECT_EQ(spaced.status, 5);
  EXPECT_EQ(spaced.lines,
            (std::vector{AcceptedLine("spaced"),
                         ErrorLine("spaced", "import", "noncanonical_shape_definition",
                                   "shape definition bytes are not canonical")}));
  EXPECT_FALSE(fs::exists(Output("spaced")));
}

}  // namespace
