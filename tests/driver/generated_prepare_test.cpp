// Generated shapes through the executable: a kind built by the kernel and the
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

namespace {

class GeneratedPrepare : public TempDirTest {};

TEST_F(GeneratedPrepare, EachFamilyPublishesACertifiedPackage) {
  const std::pair<std::string, std::string> cases[] = {
      {"frustum", FrustumShape(40000, 20000, "laidDown", 10000)},
      {"levels",
       R"({"kind":"apexShape","levels":[{"vertices":[{"xUm":0,"zUm":0},{"xUm":0,"zUm":10000},)"
       R"({"xUm":10000,"zUm":10000},{"xUm":10000,"zUm":0}],"yUm":0},{"vertices":[{"xUm":2000,)"
       R"("zUm":2000},{"xUm":2000,"zUm":8000},{"xUm":8000,"zUm":8000},{"xUm":8000,"zUm":2000}],)"
       R"("yUm":5000}]})"},
  };
  for (const auto& [name, shape] : cases) {
    SCOPED_TRACE(name);
    std::filesystem::create_directory(dir / name);
    const std::string definition = ShapeDefinitionDocument(shape);
    const std::filesystem::path output = dir / name / "p.peltogeom";
    const CliRun run = RunCli(
        {"prepare",
         WriteFile(name + "/r.json",
                   PrepareRequestText(name, WriteFile(name + "/shape-definition.json", definition),
                                      output, "pelto.shape.definition.v1", kTwelveTurns))
             .string()});
    ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
    // Voxel members depend on the shape's symmetry; count them from the package.
    const PackageContents contents = ReadPackage(PackageTextBytes(ReadFile(output)));
    const std::string text(contents.entries.at(0).bytes.begin(),
                           contents.entries.at(0).bytes.end());
    const JsonWalk manifest(text);
    const CheckedPackage package =
        ExpectValidPackage(output, manifest["validation"]["triangleCount"].Unsigned(), 12,
                           contents.entries.size() - 4, true, true);
    PlAnalyticShape analytic;
    ASSERT_TRUE(DecodePlAnalyticShape(package.analytic, analytic).Accepted());
    EXPECT_EQ(analytic.definitionSha256, Sha256Identity(definition));
    EXPECT_EQ(manifest["sources"].Elements().at(0)["shapeDefinitionId"].String(),
              analytic.shapeDefinitionId);
  }
}

}  // namespace
