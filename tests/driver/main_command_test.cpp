#include "driver/main_command.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backends/generated_archive_backend.h"
#include "backends/step_archive_backend.h"
#include "backends/triangle_archive_backend.h"
#include "members/collision_mesh.h"
#include "members/voxel_member.h"
#include "package/asset_identity.h"
#include "pipeline/staging.h"
#include "platform/file_system.h"
#include "request/json_reader.h"
#include "support/cli.h"
#include "support/expect_error.h"
#include "support/package_checks.h"
#include "support/package_reader.h"
#include "support/temp_dir.h"

namespace {

const std::string kUsageError =
    R"({"schema":"pelto.geometry.prepare.event.v1","requestId":"","event":"error","stage":"preflight",)"
    R"("code":"invalid_command","message":"usage: PeltoCadPrep capabilities | seat <request.json> | )"
    R"(review <request.json> | select <request.json> | prepare <request.json>"})";

std::string Event(const std::string& requestId, const std::string& rest) {
  return R"({"schema":"pelto.geometry.prepare.event.v1","requestId":")" + requestId + "\"," + rest +
         "}";
}

std::string ErrorLine(const std::string& requestId, const std::string& stage,
                      const std::string& code, const std::string& message) {
  return Event(requestId, R"("event":"error","stage":")" + stage + R"(","code":")" + code +
                              R"(","message":")" + message + "\"");
}

TEST(MainCommand, RejectsEveryOtherCallShapeWithTheUsage) {
  const std::vector<std::vector<std::string>> calls = {
      {},
      {"prepare"},
      {"prepare", "/a.json", "/b.json"},
      {"capabilities", "extra"},
      {"Prepare", "/a.json"},
      {"CAPABILITIES"},
      {"pr\xC3\xA9pare", "/a.json"},
      {"seat"},
      {"unknown", "/a.json"},
      {""},
  };
  for (const auto& args : calls) {
    SCOPED_TRACE(args.empty() ? "(none)" : args[0] + "/" + std::to_string(args.size()));
    const CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines, std::vector<std::string>{kUsageError});
  }
}

TEST(MainCommand, NarrowsHighBytesToQuestionMarks) {
  EXPECT_EQ(NarrowCommandWord("pr\xC3\xA9pare"), "pr??pare");
  EXPECT_EQ(NarrowCommandWord("seat"), "seat");
  EXPECT_EQ(NarrowCommandWord("\x7F\x80\xFF"), "\x7F??");
}

TEST(MainCommand, ExitStatusFollowsCodeThenStage) {
  struct Case {
    const char* code;
    const char* stage;
    int status;
  };
  const Case cases[] = {
      {"backend_not_implemented", "preflight", 3},
      {"backend_not_implemented", "import", 3},
      {"cancelled", "preflight", 4},
      {"cancelled", "voxel", 4},
      {"invalid_event", "preflight", 5},
      {"invalid_event_stage", "import", 5},
      {"invalid_json", "preflight", 2},
      {"staging_exists", "preflight", 2},
      {"staging_write_failed", "package", 5},
      {"internal_error", "mesh", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.code) + "/" + c.stage);
    EXPECT_EQ(ExitStatusForError(c.code, c.stage), c.status);
  }
}

class MainCommandFiles : public TempDirTest {
 protected:
  // A prepare request that passes every preflight rule for the given input.
  std::string Request(const std::string& requestId, const std::string& format,
                      const std::filesystem::path& input) const {
    return R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
           R"("requestId":")" +
           requestId + R"(","inputPath":")" + input.string() + R"(","outputPath":")" +
           (dir / "out.peltogeom").string() + R"(","sourceFormat":")" + format +
           R"(","sourceUnits":"mm","componentRole":"mold_shell",)"
           R"("sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":[0,90,180,270]})";
  }

  // Runs MainCommand in-process with `backend` for every format and returns its lines.
  std::vector<std::string> RunInProcess(
      const std::filesystem::path& requestPath,
      const std::function<std::unique_ptr<PlCadPrepBackend>()>& make, int& status) const {
    std::FILE* out = std::tmpfile();
    status =
        MainCommand("prepare", requestPath, out, [&](PlCadPrepSourceFormat) { return make(); });
    std::rewind(out);
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    std::fclose(out);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
};

TEST_F(MainCommandFiles, RequestFileMustBeARegularFile) {
  for (const std::filesystem::path& path : {dir / "missing.json", dir}) {
    SCOPED_TRACE(path.string());
    const CliRun run = RunCli({"prepare", path.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.lines, std::vector<std::string>{ErrorLine("", "preflight", "request_not_found",
                                                            "request path is not a regular file")});
  }
}

TEST_F(MainCommandFiles, RequestSizeBoundaryIsOneMebibyte) {
  // `{}` padded to exactly 1 MiB is read and parsed: it fails only for its content.
  std::string exact = "{}";
  exact.resize(kMaxRequestBytes, ' ');
  const std::filesystem::path exactPath = WriteFile("exact.json", exact);
  EXPECT_EQ(ReadRequestFile(exactPath).size(), kMaxRequestBytes);
  const CliRun accepted = RunCli({"prepare", exactPath.string()});
  EXPECT_EQ(accepted.status, 2);
  EXPECT_EQ(accepted.lines, std::vector<std::string>{ErrorLine("", "preflight", "invalid_request",
                                                               "missing request member: schema")});

  exact += ' ';
  const std::filesystem::path overPath = WriteFile("over.json", exact);
  ExpectPlCadPrepError([&] { (void)ReadRequestFile(overPath); }, "request_too_large", "preflight",
                       "request exceeds the 1 MiB protocol limit");
}

TEST_F(MainCommandFiles, EmptyRequestFailsInTheJsonReader) {
  const CliRun run = RunCli({"prepare", WriteFile("empty.json", "").string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, std::vector<std::string>{ErrorLine("", "preflight", "invalid_json",
                                                          "missing JSON value at byte 0")});
}

TEST_F(MainCommandFiles, MalformedRequestIdIsEchoedAfterAccepted) {
  const std::string id(100, 'a');
  const std::filesystem::path input = WriteFile("part.stl", "solid x\n");
  const CliRun run = RunCli({"prepare", WriteFile("r.json", Request(id, "stl", input)).string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(
      run.lines,
      (std::vector<std::string>{
          Event(id, R"("event":"accepted","stage":"preflight")"),
          ErrorLine(
              id, "preflight", "invalid_request_id",
              "requestId must contain 1-64 ASCII letters, digits, underscores, or hyphens")}));
}

TEST_F(MainCommandFiles, OrientationOutOfRangeFailsBeforeAccepted) {
  std::string text = Request("r1", "stl", WriteFile("part.stl", "x"));
  text.replace(text.find("[0,90,180,270]"), 14, "[0,90,180,360]");
  const CliRun run = RunCli({"prepare", WriteFile("r.json", text).string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, std::vector<std::string>{
                           ErrorLine("", "preflight", "invalid_orientation",
                                     "version 3 orientations must be in [0, 360) degrees")});
}

TEST_F(MainCommandFiles, SchemaFormatsWithoutBackendEndNotImplemented) {
  struct Case {
    const char* format;
    const char* file;
    const char* message;
  };
  const Case cases[] = {
      {"iges", "part.igs", "iges import is not implemented by the triangle archive backend"},
      {"3mf", "part.3mf", "3mf import is not implemented by the triangle archive backend"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const std::filesystem::path input = WriteFile(c.file, "data");
    const CliRun run =
        RunCli({"prepare", WriteFile("r.json", Request("r1", c.format, input)).string()});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             Event("r1", R"("event":"accepted","stage":"preflight")"),
                             ErrorLine("r1", "import", "backend_not_implemented", c.message)}));
    EXPECT_FALSE(std::filesystem::exists(dir / ".out.peltogeom.partial-r1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.peltogeom"));
  }
}

// Reports progress under "mesh", then fails the way an allocation does.
class ThrowingBackend final : public PlCadPrepBackend {
 public:
  void Prepare(const PlCadPrepRequest&, const std::filesystem::path&,
               const PlCadPrepOperationContext&, const ProgressCallback& progress) override {
    progress("mesh", 1, 2);
    throw std::bad_alloc();
  }
};

// Stages a small package the way every real backend does.
class StagingBackend final : public PlCadPrepBackend {
 public:
  void Prepare(const PlCadPrepRequest&, const std::filesystem::path& stagingPath,
               const PlCadPrepOperationContext& context,
               const ProgressCallback& progress) override {
    const std::vector<std::uint8_t> bytes(10, 0x42);
    WriteStagedArchive(bytes, stagingPath, context, progress);
  }
};

TEST_F(MainCommandFiles, StandardExceptionIsReportedUnderTheLastProgressStage) {
  const std::filesystem::path request =
      WriteFile("r.json", Request("r1", "stl", WriteFile("part.stl", "x")));
  int status = 0;
  const auto lines = RunInProcess(
      request, [] { return std::make_unique<ThrowingBackend>(); }, status);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       Event("r1", R"("event":"accepted","stage":"preflight")"),
                       Event("r1", R"("event":"progress","stage":"mesh","completed":1,"total":2)"),
                       ErrorLine("r1", "mesh", "internal_error", "std::bad_alloc")}));
}

TEST_F(MainCommandFiles, PublishesAndCompletes) {
  const std::filesystem::path request =
      WriteFile("r.json", Request("r1", "stl", WriteFile("part.stl", "x")));
  int status = -1;
  const auto lines = RunInProcess(
      request, [] { return std::make_unique<StagingBackend>(); }, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                Event("r1", R"("event":"accepted","stage":"preflight")"),
                Event("r1", R"("event":"progress","stage":"package","completed":0,"total":10)"),
                Event("r1", R"("event":"progress","stage":"package","completed":10,"total":10)"),
                Event("r1", R"("event":"complete","stage":"publish")")}));
  EXPECT_EQ(ReadFile(dir / "out.peltogeom"), std::string(10, 'B'));
  EXPECT_FALSE(std::filesystem::exists(dir / ".out.peltogeom.partial-r1"));
}

TEST_F(MainCommandFiles, CleanupFailureIsAWarningAndStillCompletes) {
  const std::filesystem::path request =
      WriteFile("r.json", Request("r1", "stl", WriteFile("part.stl", "x")));
  PlFileSystemFaults faults;
  faults.removeErrno = EACCES;
  int status = -1;
  std::vector<std::string> lines;
  {
    const ScopedPlFileSystemFaults scoped(faults);
    lines = RunInProcess(
        request, [] { return std::make_unique<StagingBackend>(); }, status);
  }
  EXPECT_EQ(status, 0);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3],
            Event("r1", R"("event":"warning","stage":"publish","code":"staging_cleanup_warning",)"
                        R"("message":"the complete asset was published, but its staging link )"
                        R"(could not be removed: Permission denied")"));
  EXPECT_EQ(lines[4], Event("r1", R"("event":"complete","stage":"publish")"));
  EXPECT_EQ(ReadFile(dir / "out.peltogeom"), std::string(10, 'B'));
}

TEST(MainCommand, EachFormatGoesToItsImport) {
  const struct {
    PlCadPrepSourceFormat format;
    PlCadPrepSourceImport import;
  } cases[] = {
      {PlCadPrepSourceFormat::stl, ImportPlCadPrepMeshSource},
      {PlCadPrepSourceFormat::obj, ImportPlCadPrepMeshSource},
      {PlCadPrepSourceFormat::iges, ImportPlCadPrepMeshSource},
      {PlCadPrepSourceFormat::threeMf, ImportPlCadPrepMeshSource},
      {PlCadPrepSourceFormat::step, ImportPlCadPrepStepSource},
      {PlCadPrepSourceFormat::shapeDefinition, ImportPlCadPrepGeneratedSource},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(SourceFormatText(c.format)));
    const std::unique_ptr<PlCadPrepBackend> backend = MakePlCadPrepBackend(c.format);
    const auto* archive = dynamic_cast<const PlCadPrepArchiveBackend*>(backend.get());
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(archive->SourceImport(), c.import);
  }
}

// Corners of the 120 x 80 x 60 mm boxes below, at (-20, 0, 10).
const int kBoxCorners[8][3] = {{-20, 0, 10}, {100, 0, 10}, {100, 80, 10}, {-20, 80, 10},
                               {-20, 0, 70}, {100, 0, 70}, {100, 80, 70}, {-20, 80, 70}};
// Outward-wound faces: bottom, top, then the four sides.
const int kBoxTriangles[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                                  {3, 7, 6}, {3, 6, 2}, {0, 4, 7}, {0, 7, 3}, {1, 2, 6}, {1, 6, 5}};

std::string CornerText(int corner) {
  return std::to_string(kBoxCorners[corner][0]) + " " + std::to_string(kBoxCorners[corner][1]) +
         " " + std::to_string(kBoxCorners[corner][2]);
}

// The closed box as ASCII STL: 12 triangles.
std::string ClosedBoxStl() {
  std::string text = "solid box\n";
  for (const auto& triangle : kBoxTriangles) {
    text += "  facet normal 0 0 0\n    outer loop\n";
    for (const int corner : triangle) text += "      vertex " + CornerText(corner) + "\n";
    text += "    endloop\n  endfacet\n";
  }
  return text + "endsolid box\n";
}

// The box without its top as OBJ: 8 vertices, 10 triangles.
std::string OpenTopBoxObj() {
  std::string text = "# open-top box\n";
  for (int corner = 0; corner < 8; ++corner) text += "v " + CornerText(corner) + "\n";
  for (int t = 0; t < 12; ++t) {
    if (t == 2 || t == 3) continue;  // the top face
    text += "f " + std::to_string(kBoxTriangles[t][0] + 1) + " " +
            std::to_string(kBoxTriangles[t][1] + 1) + " " +
            std::to_string(kBoxTriangles[t][2] + 1) + "\n";
  }
  return text;
}

std::string ProgressLine(const std::string& requestId, const std::string& stage,
                         std::uint64_t completed, std::uint64_t total) {
  return Event(requestId, R"("event":"progress","stage":")" + stage + R"(","completed":)" +
                              std::to_string(completed) + R"(,"total":)" + std::to_string(total));
}

// Every line of a successful run over a mesh of fewer than 256 triangles read
// in one progress step: the import, the collision member and preview, two voxel
// levels per base angle (each reported at its start and after coverage, then
// once more per angle), the staged write in 64 KiB chunks, and completion.
std::vector<std::string> ExpectedRunLines(const std::string& requestId, std::uint64_t sourceBytes,
                                          std::uint64_t triangles, std::uint64_t baseAngles,
                                          std::uint64_t packageBytes) {
  const std::uint64_t total = baseAngles * 2 * triangles + 2;
  std::vector<std::string> lines = {Event(requestId, R"("event":"accepted","stage":"preflight")"),
                                    ProgressLine(requestId, "import", sourceBytes, sourceBytes)};
  for (std::uint64_t m = 0; m <= 2; ++m) lines.push_back(ProgressLine(requestId, "mesh", m, total));
  for (std::uint64_t k = 0; k < baseAngles; ++k) {
    const std::uint64_t base = 2 + k * 2 * triangles;
    for (const std::uint64_t at :
         {base, base + triangles, base + triangles, base + 2 * triangles, base + 2 * triangles}) {
      lines.push_back(ProgressLine(requestId, "voxel", at, total));
    }
  }
  lines.push_back(ProgressLine(requestId, "voxel", total, total));
  lines.push_back(ProgressLine(requestId, "package", 0, packageBytes));
  for (std::uint64_t written = 0; written < packageBytes;) {
    written = std::min<std::uint64_t>(written + kStagingChunkBytes, packageBytes);
    lines.push_back(ProgressLine(requestId, "package", written, packageBytes));
  }
  lines.push_back(Event(requestId, R"("event":"complete","stage":"publish")"));
  return lines;
}

class MainCommandPackages : public MainCommandFiles {
 protected:
  // A request for `input` into `output` with the given orientations and limits text.
  std::filesystem::path WriteRequest(const std::string& name, const std::string& format,
                                     const std::filesystem::path& input,
                                     const std::filesystem::path& output,
                                     const std::string& orientations,
                                     const std::string& limits = "") const {
    return WriteFile(
        name,
        R"({"schema":"pelto.geometry.prepare.request.v1","geometrySchema":"pelto.geometry.asset.v3",)"
        R"("requestId":"r1","inputPath":")" +
            input.string() + R"(","outputPath":")" + output.string() + R"(","sourceFormat":")" +
            format +
            R"(","sourceUnits":"mm","componentRole":"mold_shell",)"
            R"("sourceToMount":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],"allowedOrientationsDeg":)" +
            orientations + (limits.empty() ? "" : R"(,"limits":)" + limits) + "}");
  }

  static void ExpectValidPackage(const std::filesystem::path& path, std::uint64_t triangles,
                                 std::size_t orientations, std::size_t voxelMembers,
                                 bool watertight) {
    (void)::ExpectValidPackage(path, triangles, orientations, voxelMembers, watertight);
  }
  // Prepares `source`, written as `inputName`, into `outputName` through request
  // "r.json" and checks every line of the run and the package: `triangles` kept,
  // `baseAngles` baked into `orientationCount` orientations and `voxelMembers` grids.
  void ExpectPrepared(const std::string& format, const std::string& inputName,
                      const std::string& source, const std::string& outputName,
                      const std::string& orientations, std::uint64_t triangles,
                      std::uint64_t baseAngles, std::size_t orientationCount,
                      std::size_t voxelMembers, bool watertight) const {
    const std::filesystem::path output = dir / outputName;
    const std::filesystem::path request =
        WriteRequest("r.json", format, WriteFile(inputName, source), output, orientations);
    const CliRun run = RunCli({"prepare", request.string()});
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(std::filesystem::is_regular_file(output));
    const std::uint64_t packageBytes = std::filesystem::file_size(output);
    EXPECT_EQ(run.lines,
              ExpectedRunLines("r1", source.size(), triangles, baseAngles, packageBytes));
    ExpectValidPackage(output, triangles, orientationCount, voxelMembers, watertight);
  }
};

TEST_F(MainCommandPackages, PreparesAClosedStlBox) {
  ASSERT_NO_FATAL_FAILURE(ExpectPrepared("stl", "box.stl", ClosedBoxStl(), "box.peltogeom",
                                         "[0,90,180,270]", 12, 1, 4, 2, true));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"box.peltogeom", "box.stl", "r.json"}));
}

TEST_F(MainCommandPackages, PreparesAnOpenTopObjBoxWithABakedAngle) {
  ExpectPrepared("obj", "shell.obj", OpenTopBoxObj(), "shell.peltogeom",
                 "[0,30,90,120,180,210,270,300]", 10, 2, 8, 4, false);
}

TEST_F(MainCommandPackages, SameRequestGivesByteIdenticalPackages) {
  const std::filesystem::path input = WriteFile("shell.obj", OpenTopBoxObj());
  const std::string orientations = "[0,30,90,120,180,210,270,300]";
  const CliRun first =
      RunCli({"prepare",
              WriteRequest("a.json", "obj", input, dir / "a.peltogeom", orientations).string()});
  const CliRun second =
      RunCli({"prepare",
              WriteRequest("b.json", "obj", input, dir / "b.peltogeom", orientations).string()});
  ASSERT_EQ(first.status, 0);
  ASSERT_EQ(second.status, 0);
  EXPECT_EQ(first.lines, second.lines);
  const std::string a = ReadFile(dir / "a.peltogeom");
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a, ReadFile(dir / "b.peltogeom"));
}

TEST_F(MainCommandPackages, ExistingOutputFailsAndIsLeftAlone) {
  const std::filesystem::path output = WriteFile("box.peltogeom", "someone else's package");
  const std::filesystem::path request =
      WriteRequest("r.json", "stl", WriteFile("box.stl", ClosedBoxStl()), output, "[0,90,180,270]");
  const CliRun run = RunCli({"prepare", request.string()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.lines, (std::vector<std::string>{
                           Event("r1", R"("event":"accepted","stage":"preflight")"),
                           ErrorLine("r1", "preflight", "output_exists",
                                     "outputPath already exists and will not be overwritten")}));
  EXPECT_EQ(ReadFile(output), "someone else's package");
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"box.peltogeom", "box.stl", "r.json"}));
}

TEST_F(MainCommandPackages, ZeroAreaTriangleFailsInTheBuilderAndStagesNothing) {
  const std::string stl =
      "solid flat\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 10 0 0\nvertex 20 0 0\n"
      "endloop\nendfacet\nendsolid flat\n";
  const std::filesystem::path request = WriteRequest("r.json", "stl", WriteFile("flat.stl", stl),
                                                     dir / "flat.peltogeom", "[0,90,180,270]");
  const CliRun run = RunCli({"prepare", request.string()});
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.lines,
            (std::vector<std::string>{Event("r1", R"("event":"accepted","stage":"preflight")"),
                                      ErrorLine("r1", "validate", "degenerate_triangle",
                                                "mesh contains a zero-area triangle")}));
  EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"flat.stl", "r.json"}));
}

TEST_F(MainCommandPackages, OutputLimitBelowThePackageLeavesNothing) {
  const std::filesystem::path input = WriteFile("box.stl", ClosedBoxStl());
  const std::filesystem::path measured = dir / "measured.peltogeom";
  ASSERT_EQ(
      RunCli({"prepare", WriteRequest("m.json", "stl", input, measured, "[0,90,180,270]").string()})
          .status,
      0);
  const std::uint64_t packageBytes = std::filesystem::file_size(measured);

  const std::filesystem::path tight =
      WriteRequest("t.json", "stl", input, dir / "tight.peltogeom", "[0,90,180,270]",
                   R"({"maxOutputBytes":)" + std::to_string(packageBytes - 1) + "}");
  const CliRun failed = RunCli({"prepare", tight.string()});
  EXPECT_EQ(failed.status, 5);
  ASSERT_FALSE(failed.lines.empty());
  EXPECT_EQ(failed.lines.back(), ErrorLine("r1", "package", "output_limit_exceeded",
                                           "geometry ZIP exceeds the remaining output limit"));
  EXPECT_EQ(ListDir(dir),
            (std::vector<std::string>{"box.stl", "m.json", "measured.peltogeom", "t.json"}));

  // The limit is inclusive: a package of exactly maxOutputBytes is published.
  const std::filesystem::path exact =
      WriteRequest("e.json", "stl", input, dir / "exact.peltogeom", "[0,90,180,270]",
                   R"({"maxOutputBytes":)" + std::to_string(packageBytes) + "}");
  EXPECT_EQ(RunCli({"prepare", exact.string()}).status, 0);
  EXPECT_EQ(ReadFile(dir / "exact.peltogeom"), ReadFile(measured));
}

}  // namespace
