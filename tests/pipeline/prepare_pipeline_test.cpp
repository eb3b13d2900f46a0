#include "pipeline/prepare_pipeline.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <tuple>

#include "platform/file_system.h"
#include "request/prepare_request.h"
#include "support/context_switch_cancellation.h"
#include "support/driver_runs.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Hook = std::function<void()>;

class LambdaBackend final : public PlCadPrepBackend {
 public:
  void Prepare(const PlCadPrepRequest&, const fs::path& stagingPath,
               const PlCadPrepOperationContext& context, const ProgressCallback&) override {
    run(stagingPath, context);
  }
  std::function<void(const fs::path&, const PlCadPrepOperationContext&)> run;
};

class PreparePipeline : public TempDirTest {};

// Every outcome: the two preflight refusals, publication (a failed removal of the staging
// name is only a warning), each staged-write and publication fault of the platform, and
// each thing a backend can leave. Only a leftover or a failed removal leaves the staging name.
TEST_F(PreparePipeline, PublishesOrReportsEachFailureAndCleansUp) {
  using F = PlFileSystemFaults;
  SwitchCancellation cancellation;
  std::optional<ScopedPlFileSystemFaults> faults;  // from the backend's start until the run ends
  const auto cancel = [&] { cancellation.cancelled = true; };
  const std::string ebusy = std::system_category().message(EBUSY);
  const std::string emlink = std::system_category().message(EMLINK);
  struct Case {
    const char* name;
    F faults;
    const char* code;  // null: published, with `message` as the warning
    const char* stage;
    std::string message;
    Hook after = nullptr;
    const char* staged = "package";  // exactly maxOutputBytes
    int preflight = 0;               // 1: cancelled before, 2: a leftover staging link
  };
  const Case cases[] = {
      {"early", F{}, "cancelled", "preflight", "preparation was cancelled before import", nullptr,
       "package", 1},
      {"leftover", F{}, "staging_exists", "preflight",
       "the request staging path already exists; recovery must resolve it first", nullptr,
       "package", 2},
      {"published", F{}, nullptr, nullptr, ""},
      {"remove", F{.removeErrno = EBUSY}, nullptr, nullptr,
       "the complete asset was published, but its staging link could not be removed: " + ebusy},
      {"create", F{.createErrno = EACCES}, "staging_create_failed", "package",
       "the validated geometry staging file could not be created"},
      {"flip", F{.flipReadByte = true}, "staging_verify_failed", "package",
       "the staged geometry archive bytes changed"},
      {"link", F{.linkErrno = EMLINK}, "publish_failed", "publish",
       "atomic no-overwrite publication failed: " + emlink},
      {"nothing", F{}, "staging_missing", "package", "backend did not produce a staged asset",
       nullptr, nullptr},
      {"empty", F{}, "staging_empty", "package", "backend produced an empty staged asset", nullptr,
       ""},
      {"large", F{}, "output_too_large", "package", "staged asset exceeds maxOutputBytes", nullptr,
       "12345678"},
      {"cancelled", F{}, "cancelled", "publish", "preparation was cancelled", cancel},
      {"raced", F{}, "output_exists", "publish", "outputPath appeared before publish",
       [&] { WriteFile("raced.peltogeom", "x"); }},
  };
  WriteFile("part.stl", "solid part\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = c.name;
    const fs::path staging = dir / ("." + name + ".peltogeom.partial-r1");
    cancellation.cancelled = c.preflight == 1;
    if (c.preflight == 2) fs::create_symlink(dir / "gone", staging);
    fs::path seen;
    LambdaBackend backend;
    // Stages `staged` through the staged writer (nothing when null), then runs `after`.
    backend.run = [&](const fs::path& path, const PlCadPrepOperationContext& context) {
      seen = path;
      faults.emplace(c.faults);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.staged);
      if (c.staged) WriteStagedArchive({bytes, std::strlen(c.staged)}, path, context, {});
      if (c.after) c.after();
    };
    const PlCadPrepRequest request = ReadPlCadPrepRequest(
        PrepareRequestText("r1", dir / "part.stl", dir / (name + ".peltogeom"), "stl",
                           kQuarterTurns, R"(,"limits":{"maxOutputBytes":7})"));
    PlCadPrepPublishResult result;
    const auto run = [&] { result = PrepareAndPublish(request, backend, cancellation, {}); };
    if (c.code == nullptr) {
      run();
      EXPECT_EQ(ReadFile(request.outputPath), "package");
      EXPECT_EQ(std::tie(result.stagingCleanupFailed, result.message),
                std::tuple(name == "remove", c.message));
    } else {
      ExpectPlCadPrepError(run, c.code, c.stage, c.message);
      EXPECT_EQ(fs::exists(request.outputPath), name == "raced");
    }
    faults.reset();
    EXPECT_EQ(seen, c.preflight != 0 ? fs::path() : staging);
    EXPECT_EQ(fs::exists(fs::symlink_status(staging)), name == "remove" || c.preflight == 2);
  }
  EXPECT_EQ(ReadFile(dir / "raced.peltogeom"), "x");
}

}  // namespace
