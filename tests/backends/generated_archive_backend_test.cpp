#include "backends/generated_archive_backend.h"

#include <gtest/gtest.h>

#include <Standard_Failure.hxx>
#include <Standard_OutOfMemory.hxx>
#include <optional>
#include <tuple>

#include "shapes/shape_definition.h"
#include "support/expect_error.h"
#include "support/shape_documents.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class GeneratedArchiveBackend : public TempDirTest {};

// The definition as preflight saw it is replaced by `bytes` (a directory when absent).
TEST_F(GeneratedArchiveBackend, RefusesDefinitionsThatChangedOrBreakTheRules) {
  const std::string box = ShapeDefinitionDocument(BoxShape(10000, 20000, 30000));
  const PlCadPrepSourceFormat kShape = PlCadPrepSourceFormat::shapeDefinition;
  const struct {
    std::optional<std::string> bytes;
    PlCadPrepSourceFormat format;
    const char* code;
    const char* message;
  } cases[] = {
      {std::nullopt, kShape, "input_changed", "shape definition changed after preflight"},
      {box, PlCadPrepSourceFormat::stl, "backend_not_implemented",
       "generated archive backend accepts canonical shape definitions only"},
      // At exactly 1 MiB the definition is read and then refused for its padding.
      {box + std::string(kPlShapeDefinitionMaxBytes - box.size(), ' '), kShape,
       "noncanonical_shape_definition", "shape definition bytes are not canonical"},
  };
  const NeverCancelled never;
  PlCadPrepArchiveBackend backend{ImportPlCadPrepGeneratedSource, GuardPlCadPrepGeneratedFrame};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove_all(dir / "shape-definition.json");
    if (c.bytes) WriteFile("shape-definition.json", *c.bytes);
    if (!c.bytes) fs::create_directory(dir / "shape-definition.json");
    PlCadPrepRequest request;
    request.inputPath = dir / "shape-definition.json";
    request.sourceFormat = c.format;
    request.maxInputBytes = c.bytes ? c.bytes->size() : box.size();
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, never);
    ExpectPlCadPrepError([&] { backend.Prepare(request, dir / "staged", context, {}); }, c.code,
                         "import", c.message);
    EXPECT_FALSE(fs::exists(dir / "staged"));
  }
}

TEST(GeneratedArchiveFrame, GuardTurnsKernelAndAllocationFailuresIntoCodes) {
  const std::tuple<std::function<void()>, const char*, const char*> cases[] = {
      {[] { throw Standard_OutOfMemory("out"); }, "memory_limit_exceeded",
       "generated shape allocation failed"},
      {[] { throw Standard_Failure("BRep_API: command not done"); }, "generated_occt_failure",
       "BRep_API: command not done"},
      {[] { throw Standard_Failure(""); }, "generated_occt_failure",
       "Open CASCADE could not generate the requested solid"},
  };
  for (const auto& [frame, code, message] : cases) {
    SCOPED_TRACE(message);
    ExpectPlCadPrepError([&] { GuardPlCadPrepGeneratedFrame(frame); }, code, "import", message);
  }
}

}  // namespace
