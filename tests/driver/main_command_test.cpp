#include "driver/main_command.h"

#include <gtest/gtest.h>

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
  const CliRun run = RunCli({"capabilities", "extra"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, std::vector{ErrorLine("", "preflight", "invalid_command",
                                             "usage: PeltoCadPrep capabilities | seat "
                                             "<request.json> | review <request.json> | select "
                                             "<request.json> | prepare <request.json>")});
  EXPECT_EQ(NarrowCommandWord("pr\xC3\xA9pare\x7F\x80"), "pr??pare\x7F?");
  EXPECT_EQ(ExitStatusForError("cancelled", "voxel"), 4);
}

class MainCommandFiles : public TempDirTest {
 protected:
  fs::path Request(const std::string& source, const std::string& output = "out.peltogeom",
                   const std::string& extra = "", const std::string& format = "obj") const {
    return WriteFile(output + ".json",
                     PrepareRequestText("r1", WriteFile("part." + format, source), dir / output,
                                        format, kQuarterTurns, extra));
  }
  // MainCommand in-process: its exit status and event lines.
  std::pair<int, std::string> InProcess(const fs::path& request,
                                        const PlCadPrepBackendFactory& make) const {
    std::FILE* out = std::fopen((dir / "events").c_str(), "w");
    const int status = MainCommand("prepare", request, out, make);
    std::fclose(out);
    return {status, ReadFile(dir / "events")};
  }
};

// A request is accepted only once it is read, and validated after that.
TEST_F(MainCommandFiles, RefusedRequestsEndInOneErrorLine) {
  std::string exact = "{}";
  exact.resize(kMaxRequestBytes, ' ');
  const struct {
    fs::path path;
    int status;
    std::string id, stage, code, message;
  } cases[] = {
      {dir, 2, "", "preflight", "request_not_found", "request path is not a regular file"},
      {WriteFile("e.json", ""), 2, "", "preflight", "invalid_json", "missing JSON value at byte 0"},
      {WriteFile("o.json", exact + " "), 2, "", "preflight", "request_too_large",
       "request exceeds the 1 MiB protocol limit"},
      {Request("d", "i.peltogeom", "", "iges"), 3, "r1", "import", "backend_not_implemented",
       "iges import is not implemented by the triangle archive backend"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const CliRun run = RunCli({"prepare", c.path.string()});
    EXPECT_EQ(run.status, c.status);
    std::vector<std::string> lines = {ErrorLine(c.id, c.stage, c.code, c.message)};
    if (!c.id.empty()) lines.insert(lines.begin(), AcceptedLine(c.id));
    EXPECT_EQ(run.lines, lines);
  }
  // Opens as a regular file, but every read fails.
  ExpectPlCadPrepError([] { (void)ReadRequestFile("/proc/self/mem"); }, "request_read_failed",
                       "preflight", "request file could not be read");
}

// Every line of the run is pinned: import, collision member and preview, two voxel
// levels of the one base angle, the staged write in 64 KiB chunks and completion.
// In-process, a throwing backend factory is an internal error.
TEST_F(MainCommandFiles, PreparesAClosedBoxAndReportsInternalErrors) {
  const std::string obj = ObjText(ClosedBox({-20, 0, 10}, 100));
  const CliRun run = RunCli({"prepare", Request(obj, "box.peltogeom").string()});
  EXPECT_EQ(run.status, 0);
  const std::uint64_t size = fs::file_size(dir / "box.peltogeom");
  std::vector<std::string> lines = {AcceptedLine("r1"),
                                    ProgressLine("r1", "import", obj.size(), obj.size())};
  for (const std::uint64_t at : {0, 1, 2}) lines.push_back(ProgressLine("r1", "mesh", at, 26));
  for (const std::uint64_t at : {2, 14, 14, 26, 26, 26})
    lines.push_back(ProgressLine("r1", "voxel", at, 26));
  for (std::uint64_t at = 0; at < size + kStagingChunkBytes; at += kStagingChunkBytes)
    lines.push_back(ProgressLine("r1", "package", std::min(at, size), size));
  lines.push_back(CompleteLine("r1"));
  EXPECT_EQ(run.lines, lines);
  (void)ExpectValidPackage(dir / "box.peltogeom", 12, 4, 2, true);
  const auto throwing = [](auto) -> std::unique_ptr<PlCadPrepBackend> { throw std::bad_alloc(); };
  EXPECT_EQ(InProcess(Request(obj, "x"), throwing),
            std::pair(5, AcceptedLine("r1") + "\n" +
                             ErrorLine("r1", "import", "internal_error", "std::bad_alloc") + "\n"));
}

}  // namespace
