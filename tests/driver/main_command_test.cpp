#include "driver/main_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#include "pipeline/staging.h"
#include "support/cli.h"
#include "support/driver_runs.h"
#include "support/expect_error.h"
#include "support/package_checks.h"
#include "support/temp_dir.h"
#include "support/test_geometry.h"

namespace fs = std::filesystem;

namespace {

TEST(MainCommand, RejectsEveryOtherCallShapeWithTheUsage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"prepare"}, {"capabilities", "extra"}, {"prepare", "/a.json", "/b.json"}}) {
    const CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines,
              std::vector{ErrorLine("", "preflight", "invalid_command",
                                    "usage: PeltoCadPrep capabilities | seat <request.json> | "
                                    "review <request.json> | select <request.json> | "
                                    "prepare <request.json>")});
  }
  EXPECT_EQ(NarrowCommandWord("pr\xC3\xA9pare\x7F\x80"), "pr??pare\x7F?");
  EXPECT_EQ(ExitStatusForError("backend_not_implemented", "preflight"), 3);
  EXPECT_EQ(ExitStatusForError("cancelled", "voxel"), 4);
  EXPECT_EQ(ExitStatusForError("invalid_event", "preflight"), 5);
  EXPECT_EQ(ExitStatusForError("invalid_event_stage", "preflight"), 5);
}

// Reports progress under "mesh" and fails the way an allocation does, or stages ten bytes.
class FixedBackend final : public PlCadPrepBackend {
 public:
  explicit FixedBackend(bool failing) : fail(failing) {}
  void Prepare(const PlCadPrepRequest&, const fs::path& stagingPath,
               const PlCadPrepOperationContext& context,
               const ProgressCallback& progress) override {
    if (fail) progress("mesh", 1, 2);
    if (fail) throw std::bad_alloc();
    WriteStagedArchive(std::vector<std::uint8_t>(10, 0x42), stagingPath, context, progress);
  }
  bool fail;
};

class MainCommandFiles : public TempDirTest {
 protected:
  fs::path Request(const std::string& source, const std::string& output = "out.peltogeom",
                   const std::string& extra = "", const std::string& format = "obj") const {
    return WriteFile(output + ".json",
                     PrepareRequestText("r1", WriteFile("part." + format, source), dir / output,
                                        format, kQuarterTurns, extra));
  }
  // Runs MainCommand in-process with a FixedBackend for every format.
  std::vector<std::string> RunInProcess(bool failingBackend, int& status) const {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    status = MainCommand("prepare", Request("x"), out, [&](PlCadPrepSourceFormat) {
      return std::make_unique<FixedBackend>(failingBackend);
    });
    std::fclose(out);
    std::istringstream in(std::string(text, size));
    std::free(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// A request is accepted only once it is read, and validated after that.
TEST_F(MainCommandFiles, RefusedRequestsEndInOneErrorLine) {
  std::string exact = "{}";
  exact.resize(kMaxRequestBytes, ' ');
  const std::string id(100, 'a');
  const struct {
    fs::path path;
    int status;
    std::string acceptedId, stage, code, message;
  } cases[] = {
      {dir, 2, "", "preflight", "request_not_found", "request path is not a regular file"},
      {WriteFile("e.json", ""), 2, "", "preflight", "invalid_json", "missing JSON value at byte 0"},
      {WriteFile("x.json", exact), 2, "", "preflight", "invalid_request",
       "missing request member: schema"},
      {WriteFile("o.json", exact + " "), 2, "", "preflight", "request_too_large",
       "request exceeds the 1 MiB protocol limit"},
      {WriteFile("id.json", PrepareRequestText(id, dir / "x.stl", dir / "o.peltogeom", "stl")), 2,
       id, "preflight", "invalid_request_id",
       "requestId must contain 1-64 ASCII letters, digits, underscores, or hyphens"},
      {Request("data", "out.peltogeom", "", "iges"), 3, "r1", "import", "backend_not_implemented",
       "iges import is not implemented by the triangle archive backend"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const CliRun run = RunCli({"prepare", c.path.string()});
    EXPECT_EQ(run.status, c.status);
    std::vector<std::string> lines = {ErrorLine(c.acceptedId, c.stage, c.code, c.message)};
    if (!c.acceptedId.empty()) lines.insert(lines.begin(), AcceptedLine(c.acceptedId));
    EXPECT_EQ(run.lines, lines);
  }
  // Opens as a regular file, but every read fails.
  ExpectPlCadPrepError([] { (void)ReadRequestFile("/proc/self/mem"); }, "request_read_failed",
                       "preflight", "request file could not be read");
}

TEST_F(MainCommandFiles, ReportsInternalErrorsAndCleanupWarnings) {
  int status = 0;
  EXPECT_EQ(RunInProcess(true, status),
            (std::vector{AcceptedLine("r1"), ProgressLine("r1", "mesh", 1, 2),
                         ErrorLine("r1", "mesh", "internal_error", "std::bad_alloc")}));
  EXPECT_EQ(status, 5);
  const ScopedPlFileSystemFaults faults(PlFileSystemFaults{.removeErrno = EACCES});
  EXPECT_EQ(RunInProcess(false, status),
            (std::vector{AcceptedLine("r1"), ProgressLine("r1", "package", 0, 10),
                         ProgressLine("r1", "package", 10, 10),
                         EventLine("r1", R"("event":"warning","stage":"publish",)"
                                         R"("code":"staging_cleanup_warning","message":)"
                                         R"("the complete asset was published, but its )"
                                         R"(staging link could not be removed: )"
                                         R"(Permission denied")"),
                         CompleteLine("r1")}));
  EXPECT_EQ(status, 0);
}

// Every line of the run is pinned: the import, the collision member and preview,
// two voxel levels of the one base angle, the staged write in 64 KiB chunks and
// completion. maxOutputBytes is inclusive, a package one byte over it leaves
// nothing behind, and the same request gives the same bytes.
TEST_F(MainCommandFiles, PreparesAClosedBoxWithinItsOutputLimit) {
  const std::string obj = ObjText(ClosedBox({-20, 0, 10}, 100));
  const CliRun run = RunCli({"prepare", Request(obj, "box.peltogeom").string()});
  EXPECT_EQ(run.status, 0);
  const std::uint64_t size = fs::file_size(dir / "box.peltogeom");
  std::vector<std::string> lines = {AcceptedLine("r1"),
                                    ProgressLine("r1", "import", obj.size(), obj.size())};
  for (const std::uint64_t at : {0, 1, 2}) lines.push_back(ProgressLine("r1", "mesh", at, 26));
  for (const std::uint64_t at : {2, 14, 14, 26, 26, 26}) {
    lines.push_back(ProgressLine("r1", "voxel", at, 26));
  }
  for (std::uint64_t at = 0; at < size + kStagingChunkBytes; at += kStagingChunkBytes) {
    lines.push_back(ProgressLine("r1", "package", std::min(at, size), size));
  }
  lines.push_back(CompleteLine("r1"));
  EXPECT_EQ(run.lines, lines);
  (void)ExpectValidPackage(dir / "box.peltogeom", 12, 4, 2, true);
  const auto limited = [&](const std::string& name, std::uint64_t limit) {
    return RunCli(
        {"prepare",
         Request(obj, name, R"(,"limits":{"maxOutputBytes":)" + std::to_string(limit) + "}")
             .string()});
  };
  const CliRun over = limited("o.peltogeom", size - 1);
  EXPECT_EQ(over.status, 5);
  EXPECT_EQ(over.lines.empty() ? "" : over.lines.back(),
            ErrorLine("r1", "package", "output_limit_exceeded",
                      "geometry ZIP exceeds the remaining output limit"));
  EXPECT_EQ(limited("e.peltogeom", size).status, 0);
  EXPECT_EQ(ReadFile(dir / "e.peltogeom"), ReadFile(dir / "box.peltogeom"));
  EXPECT_EQ(ListDir(dir),
            (std::vector<std::string>{"box.peltogeom", "box.peltogeom.json", "e.peltogeom",
                                      "e.peltogeom.json", "o.peltogeom.json", "part.obj"}));
}

}  // namespace
