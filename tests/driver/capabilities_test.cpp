#include <gtest/gtest.h>

#include "support/cli.h"

namespace {

TEST(Capabilities, CommandPrintsOnlyTheFixedDocumentAndSucceeds) {
  const std::string document =
      R"({"schema":"pelto.geometry.prepare.capabilities.v1",)"
      R"("buildId":"PeltoCadPrep-contract-20260804","policyVersion":"pelto.geometry.prepare.v1",)"
      R"("vcpkgBaseline":"d015e31e90838a4c9dfa3eed45979bc70d9357fc",)"
      R"("pinnedDependencies":{"lib3mf":"2.5.0#1","lib3mfLinked":false,)"
      R"("opencascade":"8.0.0","opencascadeLinked":true},)"
      R"("formats":[{"format":"step","status":"implemented"},)"
      R"({"format":"pelto.shape.definition.v1","status":"implemented"},)"
      R"({"format":"iges","status":"not_implemented"},{"format":"3mf","status":"not_implemented"},)"
      R"({"format":"stl","status":"implemented"},{"format":"obj","status":"implemented"}]})";
  const CliRun run = RunCli({"capabilities"});
  EXPECT_EQ(std::pair(run.status, run.lines), std::pair(0, std::vector{document}));
}

}  // namespace
