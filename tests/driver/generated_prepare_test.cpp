// Generated shapes through the executable: every kind and mount, each L-prism
// quadrant and both extremes of the triangle offset publish a package whose
// analytic member certifies against the definition and the manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/sha256.h"
#include "shapes/analytic_member.h"
#include "support/cli.h"
#include "support/json_walk.h"
#include "support/package_checks.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace {

class GeneratedPrepare : public TempDirTest {
 protected:
  // Runs prepare on `definition` in its own folder; the package goes to `output`.
  CliRun Run(const std::string& name, const std::string& definition,
             std::filesystem::path& output) const {
    const std::filesystem::path folder = dir / name;
    std::filesystem::create_directory(folder);
    const std::filesystem::path source = folder / "shape-definition.json";
    output = folder / (name + ".peltogeom");
    std::ofstream(source, std::ios::binary) << definition;
    const std::filesystem::path request = folder / "request.json";
    std::ofstream(request, std::ios::binary)
        << R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
           R"("requestId":")"
        << name << R"(","inputPath":")" << source.string() << R"(","outputPath":")"
        << output.string()
        << R"(","sourceFormat":"pelto.shape.definition.v1","sourceUnits":"source",)"
           R"("componentRole":"mold_shell","sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],)"
           R"("allowedOrientationsDeg":[0,30,60,90,120,150,180,210,240,270,300,330]})";
    return RunCli({"prepare", request.string()});
  }
};

TEST_F(GeneratedPrepare, EveryKindPublishesACertifiedPackage) {
  struct Case {
    std::string name;
    std::string shape;
  };
  const std::vector<Case> cases = {
      {"box", BoxShape(10000, 20000, 30000)},
      {"upright-cylinder", CylinderShape(40000, 10000, "upright")},
      {"laid-down-cylinder", CylinderShape(40000, 10000, "laidDown")},
      {"l-prism-nxnz", LPrismShape("negativeXNegativeZ")},
      {"l-prism-nxpz", LPrismShape("negativeXPositiveZ")},
      {"l-prism-pxnz", LPrismShape("positiveXNegativeZ")},
      {"l-prism-pxpz", LPrismShape("positiveXPositiveZ")},
      {"triangle-low", TriangularPrismShape(30000, "-15000")},
      {"triangle-high", TriangularPrismShape(30000, "15000")},
      {"wedge", WedgeShape(30000, 10000, 40000, 20000)},
      {"upright-frustum", FrustumShape(40000, 20000, "upright", 10000)},
      {"laid-down-frustum", FrustumShape(40000, 20000, "laidDown", 10000)},
      {"polygon-prism",
       R"({"heightUm":7000,"kind":"polygonPrism","vertices":[{"xUm":0,"zUm":0},)"
       R"({"xUm":0,"zUm":20000},{"xUm":10000,"zUm":30000},{"xUm":40000,"zUm":0}]})"},
      {"levels",
       R"({"kind":"apexShape","levels":[{"vertices":[{"xUm":0,"zUm":0},{"xUm":0,"zUm":10000},)"
       R"({"xUm":10000,"zUm":10000},{"xUm":10000,"zUm":0}],"yUm":0},{"vertices":[{"xUm":2000,)"
       R"("zUm":2000},{"xUm":2000,"zUm":8000},{"xUm":8000,"zUm":8000},{"xUm":8000,"zUm":2000}],)"
       R"("yUm":5000}]})"},
      {"sphere", SphereShape(100000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string definition = ShapeDefinitionDocument(c.shape);
    std::filesystem::path output;
    const CliRun run = Run(c.name, definition, output);
    ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());

    // Voxel members depend on the shape's symmetry; count them from the manifest.
    std::ifstream in(output, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const PackageContents contents = ReadPackage(PackageTextBytes(image));
    ASSERT_EQ(contents.problem, "");
    const std::string text(contents.entries.at(0).bytes.begin(),
                           contents.entries.at(0).bytes.end());
    const std::uint64_t triangles = JsonWalk(text)["validation"]["triangleCount"].Unsigned();
    const CheckedPackage package =
        ExpectValidPackage(output, triangles, 12, contents.entries.size() - 4, true, true);

    PlAnalyticShape analytic;
    const PlAnalyticShapeDiagnostic decoded = DecodePlAnalyticShape(package.analytic, analytic);
    ASSERT_TRUE(decoded.Accepted()) << decoded.message;
    EXPECT_EQ(analytic.definitionSha256, Sha256Identity(definition));
    const JsonWalk root(package.manifest);
    EXPECT_EQ(root["sources"].Elements().at(0)["shapeDefinitionId"].String(),
              analytic.shapeDefinitionId);
    EXPECT_EQ(root["states"]["cycleSolid"]["analytic"].String(), "analytic.pshape");
    const std::vector<JsonWalk> orientations = root["mountFrame"]["orientations"].Elements();
    ASSERT_EQ(orientations.size(), analytic.headingTable.size());
    for (std::size_t i = 0; i < orientations.size(); ++i) {
      EXPECT_EQ(orientations[i]["angleMilliDeg"].Unsigned(),
                analytic.headingTable[i].headingDeg * 1000U);
    }
  }
}

TEST_F(GeneratedPrepare, NonCanonicalBytesAreRefusedWithTheirCode) {
  const std::string box = R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})";
  std::filesystem::path output;
  const CliRun run = Run("spaced", ShapeDefinitionDocument(box) + "\n", output);
  EXPECT_EQ(run.status, 5);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_NE(run.lines.back().find(R"("stage":"import","code":"noncanonical_shape_definition",)"
                                  R"("message":"shape definition bytes are not canonical")"),
            std::string::npos)
      << run.lines.back();
  EXPECT_FALSE(std::filesystem::exists(output));
}

}  // namespace
