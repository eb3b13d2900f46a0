#include "pipeline/prepare_pipeline.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <tuple>

#include "platform/file_system.h"
#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Hook = std::function<void(const fs::path& stagingPath)>;

// Runs `before`, stages `staged` through the staged writer (nothing when null), runs `after`.
class ScriptedBackend final : public PlCadPrepBackend {
 public:
  ScriptedBackend(const char* text, Hook hook) : staged(text), after(std::move(hook)) {}
  void Prepare(const PlCadPrepRequest&, const fs::path& stagingPath,
               const PlCadPrepOperationContext& context,
               const ProgressCallback& progress) override {
    seenPath = stagingPath;
    if (before) before();
    if (staged != nullptr) {
      const std::string_view text = staged;
      WriteStagedArchive(std::vector<std::uint8_t>(text.begin(), text.end()), stagingPath, context,
                         progress);
    }
    if (after) after(stagingPath);
  }
  const char* staged;
  Hook after;
  std::function<void()> before;
  fs::path seenPath;
};

class PreparePipeline : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    WriteFile("part.stl", "solid part\n");
  }
  // A valid request whose output may hold at most 7 bytes.
  PlCadPrepRequest Request(const std::string& outputName) const {
    PlCadPrepRequest request;
    request.schema = "pelto.geometry.prepare.request.v1";
    request.requestId = "r1";
    request.inputPath = dir / "part.stl";
    request.outputPath = dir / (outputName + ".peltogeom");
    request.sourceFormat = PlCadPrepSourceFormat::stl;
    request.sourceUnits = "mm";
    request.componentRole = "mold_shell";
    request.allowedOrientationsDeg = {0, 90, 180, 270};
    request.maxOutputBytes = 7;
    return request;
  }
  fs::path StagingOf(const std::string& outputName) const {
    return dir / ("." + outputName + ".peltogeom.partial-r1");
  }
};

// Every outcome once the backend runs: publication (a failed removal of the staging name
// is only a warning), each staged-write outcome and publication fault of the platform,
// and each thing a backend can leave. Only a failed removal leaves the staging name.
TEST_F(PreparePipeline, PublishesOrReportsEachFailureAndCleansUp) {
  using F = PlFileSystemFaults;
  SwitchCancellation cancellation;
  std::optional<ScopedPlFileSystemFaults> faults;  // from the backend's start until the run ends
  const char* const kVerify = "staging_verify_failed";
  const char* const kEmpty = "backend produced an empty staged asset";
  struct Case {
    const char* name;
    F faults;
    const char* code;  // null: published, with `message` as the warning
    const char* stage;
    std::string message;
    Hook after = nullptr;
    const char* staged = "package";  // exactly maxOutputBytes
    bool stagingRemains = false;
  };
  const Case cases[] = {
      {"published", F{}, nullptr, nullptr, ""},
      {"remove", F{.removeErrno = EBUSY}, nullptr, nullptr,
       "the complete asset was published, but its staging link could not be removed: " +
           std::system_category().message(EBUSY),
       nullptr, "package", true},
      {"appeared", F{.createErrno = EEXIST}, "staging_exists", "package",
       "the request staging path appeared before creation"},
      {"create", F{.createErrno = EACCES}, "staging_create_failed", "package",
       "the validated geometry staging file could not be created"},
      {"write", F{.writeErrno = EIO}, "staging_write_failed", "package",
       "the validated geometry archive could not be staged"},
      {"sync", F{.syncErrno = EIO}, "staging_sync_failed", "package",
       "the validated geometry staging file could not be flushed"},
      {"size", F{.sizeErrno = EIO}, kVerify, "package",
       "the staged geometry archive byte length changed"},
      {"read", F{.readErrno = EIO}, kVerify, "package",
       "the staged geometry archive could not be read"},
      {"bytes changed", F{.flipReadByte = true}, kVerify, "package",
       "the staged geometry archive bytes changed"},
      {"close", F{.closeErrno = EIO}, "staging_close_failed", "package",
       "the validated geometry staging file could not be closed"},
      {"link", F{.linkErrno = EMLINK}, "publish_failed", "publish",
       "atomic no-overwrite publication failed: " + std::system_category().message(EMLINK)},
      {"nothing", F{}, "staging_missing", "package", "backend did not produce a staged asset",
       nullptr, nullptr},
      {"empty", F{}, "staging_empty", "package", kEmpty, nullptr, ""},
      {"unsized", F{}, "staging_empty", "package", kEmpty,
       [&](auto&) { faults.emplace(F{.sizeErrno = EIO}); }},
      {"large", F{}, "output_too_large", "package", "staged asset exceeds maxOutputBytes", nullptr,
       "12345678"},
      {"cancelled", F{}, "cancelled", "publish", "preparation was cancelled",
       [&](auto&) { cancellation.cancelled = true; }},
      {"raced", F{}, "output_exists", "publish", "outputPath appeared before publish",
       [&](auto&) { WriteFile("raced.peltogeom", "someone else's"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cancellation.cancelled = false;
    ScriptedBackend backend(c.staged, c.after);
    backend.before = [&] { faults.emplace(c.faults); };
    std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> calls;
    PlCadPrepPublishResult result;
    const auto run = [&] {
      result =
          PrepareAndPublish(Request(c.name), backend, cancellation,
                            [&](std::string_view stage, std::uint64_t done, std::uint64_t total) {
                              calls.emplace_back(stage, done, total);
                            });
    };
    const fs::path output = dir / (std::string(c.name) + ".peltogeom");
    if (c.code == nullptr) {
      run();
      EXPECT_EQ(calls, (decltype(calls){{"package", 0, 7}, {"package", 7, 7}}));
      EXPECT_EQ(ReadFile(output), "package");
      EXPECT_EQ(std::tie(result.stagingCleanupFailed, result.message),
                std::tie(c.stagingRemains, c.message));
    } else {
      ExpectPlCadPrepError(run, c.code, c.stage, c.message);
      EXPECT_EQ(fs::exists(output), c.name == std::string("raced"));
    }
    faults.reset();
    EXPECT_EQ(backend.seenPath, StagingOf(c.name));
    EXPECT_EQ(fs::exists(fs::symlink_status(StagingOf(c.name))), c.stagingRemains);
  }
  EXPECT_EQ(ReadFile(dir / "raced.peltogeom"), "someone else's");
}

}  // namespace
