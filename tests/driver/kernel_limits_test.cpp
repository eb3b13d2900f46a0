// Sources whose tessellation would outgrow their limits, through the executable:
// each ends with its one error line, its peak resident size stays within
// maxMemoryBytes plus the address-space headroom, and its output folder stays empty.
#include "platform/process_limits.h"
#include "support/driver_runs.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace {

class KernelLimits : public TempDirTest {};

TEST_F(KernelLimits, HugeCurvedSourcesEndWithinTheirLimits) {
  const std::string memory = R"(,"limits":{"maxMemoryBytes":268435456})";
  const struct {
    std::string name, shape, limits, stage, code, message;
  } cases[] = {
      // A cylinder's rulings stay undivided, so the voxel grid is what gives out.
      {"cylinder", CylinderShape(100000000, 100000000, "laidDown"), memory, "voxel",
       "voxel_cell_limit_exceeded", "padded voxel grid exceeds the runtime cell limit"},
      // The mesher spends seconds on its one face without polling: the watchdog ends it.
      {"slow-sphere", SphereShape(10000000), R"(,"limits":{"maxElapsedMs":1000})", "mesh",
       "elapsed_limit_exceeded", "preparation exceeded maxElapsedMs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(dir / c.name / "out");
    const std::filesystem::path source =
        WriteFile(c.name + "/shape-definition.json", ShapeDefinitionDocument(c.shape));
    const MeasuredRun run = RunMeasured(
        WriteFile(c.name + "/r.json",
                  PrepareRequestText(c.name, source, dir / c.name / "out" / "s.peltogeom",
                                     "pelto.shape.definition.v1", kTwelveTurns, c.limits)));
    EXPECT_TRUE(run.output.ends_with("\n" + ErrorLine(c.name, c.stage, c.code, c.message) + "\n"))
        << run.output;
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 5) << run.status;
    EXPECT_LE(run.peakResidentBytes, 268'435'456 + kPlCadPrepAddressSpaceHeadroomBytes);
    EXPECT_TRUE(ListDir(dir / c.name / "out").empty());
  }
}

}  // namespace
