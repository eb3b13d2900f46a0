#include "backends/triangle_archive_backend.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace {

class TriangleArchiveBackend : public TempDirTest {};

// The source does not exist: opening it would fail differently.
TEST_F(TriangleArchiveBackend, RefusesBeforeOpeningTheSource) {
  const std::string kSuffix = " import is not implemented by the triangle archive backend";
  using F = PlCadPrepSourceFormat;
  const std::tuple<F, bool, const char*, const char*, std::string> cases[] = {
      {F::iges, false, "backend_not_implemented", "import", "iges" + kSuffix},
      {F::threeMf, false, "backend_not_implemented", "import", "3mf" + kSuffix},
      {F::step, false, "backend_not_implemented", "import", "step" + kSuffix},
      {F::shapeDefinition, false, "backend_not_implemented", "import",
       "pelto.shape.definition.v1" + kSuffix},
      {static_cast<F>(9), false, "backend_not_implemented", "import", "unknown" + kSuffix},
      {F::stl, true, "cancelled", "preflight", "preparation was cancelled"},
      {F::obj, true, "cancelled", "preflight", "preparation was cancelled"},
  };
  SwitchCancellation cancellation;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepMeshSource};
  for (const auto& [format, cancelled, code, stage, message] : cases) {
    SCOPED_TRACE(message);
    cancellation.cancelled = cancelled;
    PlCadPrepRequest request;
    request.inputPath = dir / "missing.stl";
    request.sourceFormat = format;
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancellation);
    ExpectPlCadPrepError([&] { backend.Prepare(request, dir / "staged", context, {}); }, code,
                         stage, message);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
  }
  EXPECT_EQ(ListDir(dir), std::vector<std::string>{});
}

}  // namespace
