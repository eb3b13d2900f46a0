#include "backends/triangle_archive_backend.h"

#include <gtest/gtest.h>

#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class TriangleArchiveBackend : public TempDirTest {};

// The source does not exist: opening it would fail differently.
TEST_F(TriangleArchiveBackend, ChecksCancellationBeforeOpeningTheSource) {
  SwitchCancellation cancellation;
  cancellation.cancelled = true;
  PlCadPrepRequest request;
  request.inputPath = dir / "missing.obj";
  request.sourceFormat = PlCadPrepSourceFormat::obj;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
  PlCadPrepArchiveBackend backend{ImportPlCadPrepMeshSource};
  ExpectPlCadPrepError([&] { backend.Prepare(request, dir / "staged", context, {}); }, "cancelled",
                       "preflight", "preparation was cancelled");
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
}

// Formats other than STL and OBJ are refused by name before anything is read.
TEST(TriangleArchiveImport, NamesEachFormatItDoesNotImport) {
  for (const auto& [format, name] :
       {std::pair{PlCadPrepSourceFormat::step, "step"},
        {PlCadPrepSourceFormat::shapeDefinition, "pelto.shape.definition.v1"},
        {PlCadPrepSourceFormat::iges, "iges"},
        {PlCadPrepSourceFormat::threeMf, "3mf"}}) {
    PlCadPrepRequest request;
    request.sourceFormat = format;
    const NeverCancelled never;
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    ExpectPlCadPrepError(
        [&] { (void)ImportPlCadPrepMeshSource(request, context, {}); }, "backend_not_implemented",
        "import", std::string(name) + " import is not implemented by the triangle archive backend");
  }
}

}  // namespace
