// The STEP review workflow through the executable: a source the test writes is
// selected and then prepared from its record, and refused from a stale record.
#include <gtest/gtest.h>

#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/package_checks.h"
#include "support/step_files.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class StepCommands : public TempDirTest {};

// Three solids and a free shell; solid 2 is excluded and the free shell is
// physical, so the package holds two boxes and the shell, 12 triangles each.
TEST_F(StepCommands, PublishesTheRetainedSolidsAndThePhysicalFreeShell) {
  const fs::path source = dir / "assembly.step";
  WriteTestStep(MakeTestCompound({MakeTestBox(10, 20, 30), MakeTestBox(5, 5, 5, gp_Pnt(40, 0, 0)),
                                  MakeTestBox(8, 4, 6, gp_Pnt(0, 50, 0)),
                                  MakeTestFreeShell(3, 3, 3, gp_Pnt(-30, 0, 0))}),
                source);
  const fs::path record = dir / "record.json";
  EXPECT_EQ(RunCli({"select",
                    WriteFile("select.json",
                              SideRequestText("select", "s1", source, record,
                                              R"(,"freeShellDecision":"physical",)"
                                              R"("excludedSolidOrdinals":[2],)" +
                                                  std::string(kIdentityMount) +
                                                  R"(,"allowedOrientationsDeg":[0,90,180,270],)"
                                                  R"("geometrySchema":"pelto.geometry.asset.v3")"))
                        .string()})
                .status,
            0);
  const auto prepareFrom = [&](const fs::path& selection, const fs::path& output) {
    return RunCli(
        {"prepare",
         WriteFile("prepare.json",
                   PrepareRequestText("p1", source, output, "step", kQuarterTurns,
                                      R"(,"componentSelectionPath":")" + selection.string() + "\""))
             .string()});
  };
  const CliRun prepare = prepareFrom(record, dir / "assembly.peltogeom");
  ASSERT_EQ(prepare.status, 0) << (prepare.lines.empty() ? "" : prepare.lines.back());
  EXPECT_EQ(prepare.lines.back(), CompleteLine("p1"));
  (void)ExpectValidPackage(dir / "assembly.peltogeom", 36, 4, 2, true);
}

}  // namespace
