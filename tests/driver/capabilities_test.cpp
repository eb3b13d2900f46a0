
#include <gtest/gtest.h>

#include "support/cli.h"

namespace {

TEST(Capabilities, CommandPrintsOnlyTheFixedDocumentAndSucceeds) {
  const std::string document =
      R"({"schema":"pelto.geometry.prepare.capabilities.v1","buildId":"PeltoCadPrep-contract-20260804",)"
      R"("policyVersion":"pelto.geometry.prepare.v1","vcpkgBaseline":"d015e31e90838a4c9dfa3eed45979bc70d9357fc",)"
      R"("pinnedDependencies":{"lib3mf":"2.5.0#1","lib3mfLinked":false,"opencascade":"8.0.0","opencascadeLinked":true},)"
      R"("formats":[{"format":"step","status":"implemented"},{"format":"pelto.shape.definition.v1","status":"implemented"},)"
      R"({"format":"iges","status":"not_implemented"},{"format":"3mf","status":"not_implemented"},)"
      R"({"format":"stl","status":"implemented"},{"format":"obj","status":"implemented"}]})";
  const CliRun run = RunCli({"capabilities"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, std::vector{document});
}

}  // namespace
