// A generated shape through the executable publishes a package whose analytic
// member certifies against the definition and the manifest.
#include <gtest/gtest.h>

#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/json_walk.h"
#include "support/package_checks.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace {

class GeneratedPrepare : public TempDirTest {};

TEST_F(GeneratedPrepare, AFrustumPublishesACertifiedPackage) {
  const std::string definition =
      ShapeDefinitionDocument(FrustumShape(40000, 20000, "laidDown", 10000));
  const std::filesystem::path output = dir / "p.peltogeom";
  const CliRun run = RunCli(
      {"prepare",
       WriteFile("r.json", PrepareRequestText("g1", WriteFile("shape-definition.json", definition),
                                              output, "pelto.shape.definition.v1", kTwelveTurns))
           .string()});
  ASSERT_EQ(run.status, 0) << (run.lines.empty() ? "" : run.lines.back());
  // Voxel members depend on the shape's symmetry; count them from the package.
  const PackageContents contents = ReadPackage(PackageTextBytes(ReadFile(output)));
  const auto& bytes = contents.entries.at(0).bytes;
  const std::string text(bytes.begin(), bytes.end());
  const JsonWalk manifest(text);
  (void)ExpectValidPackage(output, manifest["validation"]["triangleCount"].Unsigned(), 12,
                           contents.entries.size() - 4, true, true);
}

}  // namespace
