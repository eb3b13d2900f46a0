// Compares, on the same files in one run, the STEP import in the solids-only
// scope with a bare Open CASCADE read, transfer and mesh of the same file at
// the same mesher settings, so the figures show what the import adds. With
// --workflow it also times the whole review workflow on each file: seat,
// review, select (nothing excluded; free shells, if any, kept as residue)
// and prepare with the record, each next to the bare read and mesh.
//
//   step_import_bench [--runs N] [--generated-solids N] [--workflow] <file.step>...
//
// Every variant runs in its own forked child: its peak resident memory
// (ru_maxrss from wait4) then belongs to that variant alone, and the wall time
// is measured inside the child around the work. The best time and the largest
// peak of N runs are reported. --generated-solids writes a multi-solid STEP
// file of that many primitive and swept solids to a temporary directory first
// (in a child as well, so the parent stays small) and benchmarks it too.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <BRepBuilderAPI_MakeFace.hxx>
#include <BRepBuilderAPI_MakePolygon.hxx>
#include <BRepMesh_IncrementalMesh.hxx>
#include <BRepPrimAPI_MakeBox.hxx>
#include <BRepPrimAPI_MakeCone.hxx>
#include <BRepPrimAPI_MakeCylinder.hxx>
#include <BRepPrimAPI_MakePrism.hxx>
#include <BRepPrimAPI_MakeRevol.hxx>
#include <BRepPrimAPI_MakeSphere.hxx>
#include <BRepPrimAPI_MakeTorus.hxx>
#include <BRep_Builder.hxx>
#include <BRep_Tool.hxx>
#include <IFSelect_ReturnStatus.hxx>
#include <IMeshTools_Parameters.hxx>
#include <Message.hxx>
#include <Message_Messenger.hxx>
#include <Message_PrinterOStream.hxx>
#include <Poly_Triangulation.hxx>
#include <STEPControl_Reader.hxx>
#include <STEPControl_Writer.hxx>
#include <Standard_Failure.hxx>
#include <TopExp_Explorer.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Compound.hxx>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <gp_Ax1.hxx>
#include <gp_Ax2.hxx>
#include <gp_Pnt.hxx>
#include <gp_Vec.hxx>
#include <numbers>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "backends/step_archive_backend.h"
#include "context/operation_context.h"
#include "core/error.h"
#include "kernel/tessellation.h"
#include "pipeline/prepare_pipeline.h"
#include "request/prepare_request.h"
#include "request/step_side_requests.h"
#include "step/step_review_model.h"
#include "step/step_scope_import.h"
#include "step/step_seat_record.h"
#include "step/step_selection_record.h"
#include "step/step_selection_writer.h"

namespace {

constexpr double kLinearDeflectionMm = 0.5;
constexpr double kAngularDeflectionRadians = 0.5;
constexpr double kTimeTarget = 1.25;
constexpr double kMemoryTarget = 1.5;
constexpr double kGridPitchMm = 40.0;
// The targets are set for multi-solid files of a few MB; on smaller files the
// import's fixed cost of a few milliseconds dominates the ratio.
constexpr std::uint64_t kTargetMinBytes = 1 << 20;

struct Sample {
  bool ok = false;
  double seconds = 0.0;
  double cpuSeconds = 0.0;
  std::uint64_t peakRssKiB = 0;
  std::uint64_t triangles = 0;  // tessellated triangles met
  std::string error;
};

// What a child reports through its pipe: "ok <wall ns> <cpu ns> <triangles>"
// or "error <text>".
std::string OkLine(std::int64_t ns, std::int64_t cpuNs, std::uint64_t triangles) {
  return "ok " + std::to_string(ns) + " " + std::to_string(cpuNs) + " " + std::to_string(triangles);
}

// CPU time of this process; on a loaded machine it is steadier than wall time.
std::int64_t ProcessCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n <= 0) return;  // the parent reports a missing line as a failed child
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The whole of `text` as a number; false for an empty, partial or out-of-range one.
template <typename Number>
bool ParseWhole(std::string_view text, Number& value) {
  const std::from_chars_result result =
      std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc{} && result.ptr == text.data() + text.size();
}

// Runs `work` in a forked child. `work` returns the triangles it met and
// throws on failure; its time excludes the fork and the child's exit.
Sample RunInChild(const std::function<std::uint64_t()>& work) {
  Sample sample;
  int fds[2];
  if (pipe(fds) != 0) {
    sample.error = "pipe failed";
    return sample;
  }
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) {
    sample.error = "fork failed";
    close(fds[0]);
    close(fds[1]);
    return sample;
  }
  if (pid == 0) {
    close(fds[0]);
    std::string line;
    try {
      const std::int64_t cpuStart = ProcessCpuNs();
      const auto start = std::chrono::steady_clock::now();
      const std::uint64_t triangles = work();
      const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count();
      line = OkLine(ns, ProcessCpuNs() - cpuStart, triangles);
    } catch (const PlCadPrepError& e) {
      line = "error " + e.code + " (" + e.stage + "): " + e.what();
    } catch (const Standard_Failure& e) {
      line = std::string("error Open CASCADE: ") + e.GetMessageString();
    } catch (const std::exception& e) {
      line = std::string("error ") + e.what();
    }
    WriteAll(fds[1], line);
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string line;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    line.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) {
    sample.error = std::string("wait4 failed: ") + std::strerror(errno);
    return sample;
  }
  if (WIFSIGNALED(status)) {
    sample.error = "child killed by signal " + std::to_string(WTERMSIG(status));
    return sample;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    sample.error = "child did not exit cleanly";
    return sample;
  }
  if (line.rfind("error ", 0) == 0) {
    sample.error = line.substr(6);
    return sample;
  }
  // Anything but a complete "ok" line is a failed child, never a measurement.
  std::string_view rest = std::string_view(line);
  std::uint64_t fields[3] = {};
  bool parsed = rest.substr(0, 3) == "ok ";
  rest.remove_prefix(std::min<std::size_t>(3, rest.size()));
  for (std::uint64_t& field : fields) {
    const std::size_t space = std::min(rest.find(' '), rest.size());
    parsed = parsed && ParseWhole(rest.substr(0, space), field);
    rest.remove_prefix(std::min(space + 1, rest.size()));
  }
  if (!parsed) {
    sample.error = line.empty() ? "child reported nothing" : "child reported \"" + line + "\"";
    return sample;
  }
  sample.peakRssKiB = static_cast<std::uint64_t>(usage.ru_maxrss);
  sample.seconds = static_cast<double>(fields[0]) * 1e-9;
  sample.cpuSeconds = static_cast<double>(fields[1]) * 1e-9;
  sample.triangles = fields[2];
  sample.ok = true;
  return sample;
}

std::uint64_t BareReadTransferMesh(const std::filesystem::path& path) {
  STEPControl_Reader reader;
  if (reader.ReadFile(path.string().c_str()) != IFSelect_RetDone) {
    throw std::runtime_error("Open CASCADE could not read the file");
  }
  reader.TransferRoots();
  const TopoDS_Shape shape = reader.OneShape();
  // The import's own mesher settings, so both variants mesh alike.
  BRepMesh_IncrementalMesh mesher(shape, PlCadPrepOcctMeshParameters(PlCadPrepImportMeshParameters(
                                             kLinearDeflectionMm, kAngularDeflectionRadians)));
  std::uint64_t triangles = 0;
  for (TopExp_Explorer e(shape, TopAbs_FACE); e.More(); e.Next()) {
    TopLoc_Location location;
    const Handle(Poly_Triangulation)& t =
        BRep_Tool::Triangulation(TopoDS::Face(e.Current()), location);
    if (!t.IsNull()) triangles += static_cast<std::uint64_t>(t->NbTriangles());
  }
  return triangles;
}

std::uint64_t ImportSolids(const std::filesystem::path& path) {
  PlCadPrepStepImportSettings settings;
  settings.sourcePath = path;
  settings.targetLinearDeflectionMm = kLinearDeflectionMm;
  settings.angularDeflectionRadians = kAngularDeflectionRadians;
  const NeverCancelled never;
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(PlCadPrepLimits(), never);
  const PlCadPrepStepSolidsImport result =
      ImportPlCadPrepStepSolids(settings, {}, context, {}, {}, {});
  return result.surface.faceCounts.tessellatedTriangleCount;
}

// A closed polygon face in the XZ plane from (radius, height) pairs at `origin`.
TopoDS_Face ProfileFace(const gp_Pnt& origin, const std::vector<std::pair<double, double>>& rz) {
  BRepBuilderAPI_MakePolygon polygon;
  for (const auto& [r, z] : rz) polygon.Add(gp_Pnt(origin.X() + r, origin.Y(), origin.Z() + z));
  polygon.Close();
  return BRepBuilderAPI_MakeFace(polygon.Wire(), true).Face();
}

// One solid of the grid; the kinds cycle so that planes, cylinders, cones,
// spheres, tori and swept profiles all appear.
TopoDS_Shape GridSolid(int index, const gp_Pnt& at) {
  const double size = 6.0 + static_cast<double>(index % 7);
  switch (index % 7) {
    case 0:
      return BRepPrimAPI_MakeCylinder(gp_Ax2(at, gp_Dir(0, 0, 1)), size, 2.0 * size).Shape();
    case 1:
      return BRepPrimAPI_MakeCone(gp_Ax2(at, gp_Dir(0, 0, 1)), size, 0.3 * size, 2.0 * size)
          .Shape();
    case 2:
      return BRepPrimAPI_MakeSphere(at, size).Shape();
    case 3:
      return BRepPrimAPI_MakeTorus(gp_Ax2(at, gp_Dir(0, 0, 1)), size, 0.3 * size).Shape();
    case 4: {
      // A stepped turned part: a revolved staircase profile.
      std::vector<std::pair<double, double>> rz = {{0.0, 0.0}};
      for (int step = 0; step < 6; ++step) {
        const double r = size * (1.0 - 0.12 * step);
        rz.emplace_back(r, 3.0 * step);
        rz.emplace_back(r, 3.0 * (step + 1));
      }
      rz.emplace_back(0.0, 18.0);
      return BRepPrimAPI_MakeRevol(ProfileFace(at, rz), gp_Ax1(at, gp_Dir(0, 0, 1))).Shape();
    }
    case 5: {
      // A gear-like prism: a 48-point star extruded.
      BRepBuilderAPI_MakePolygon polygon;
      for (int k = 0; k < 48; ++k) {
        const double a = 2.0 * std::numbers::pi * k / 48.0;
        const double r = (k % 2 == 0) ? size : 0.8 * size;
        polygon.Add(gp_Pnt(at.X() + r * std::cos(a), at.Y() + r * std::sin(a), at.Z()));
      }
      polygon.Close();
      const TopoDS_Face base = BRepBuilderAPI_MakeFace(polygon.Wire(), true).Face();
      return BRepPrimAPI_MakePrism(base, gp_Vec(0, 0, size)).Shape();
    }
    default:
      return BRepPrimAPI_MakeBox(at, size, 1.5 * size, 0.5 * size).Shape();
  }
}

void WriteGeneratedFile(const std::filesystem::path& path, int solidCount) {
  // The writer's statistics would interleave with the table.
  Message::DefaultMessenger()->RemovePrinters(STANDARD_TYPE(Message_PrinterOStream));
  TopoDS_Compound compound;
  BRep_Builder builder;
  builder.MakeCompound(compound);
  const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(solidCount))));
  for (int i = 0; i < solidCount; ++i) {
    const gp_Pnt at(kGridPitchMm * (i % columns), kGridPitchMm * (i / columns), 0.0);
    builder.Add(compound, GridSolid(i, at));
  }
  STEPControl_Writer writer;
  if (writer.Transfer(compound, STEPControl_AsIs) != IFSelect_RetDone ||
      writer.Write(path.string().c_str()) != IFSelect_RetDone) {
    throw std::runtime_error("Open CASCADE could not write the generated file");
  }
}

struct Figures {
  Sample bare;
  Sample import;
};

// Keeps the best time and the largest peak of repeated samples.
void KeepBest(Sample& kept, const Sample& s, bool first) {
  if (!s.ok) {
    kept = s;
    return;
  }
  if (first || s.seconds < kept.seconds) kept.seconds = s.seconds;
  if (first || s.cpuSeconds < kept.cpuSeconds) kept.cpuSeconds = s.cpuSeconds;
  kept.peakRssKiB = std::max(kept.peakRssKiB, s.peakRssKiB);
  kept.triangles = s.triangles;
  kept.ok = true;
}

// Interleaves the variants so that drift of the machine hits both alike.
Figures BenchFile(const std::filesystem::path& path, int runs) {
  Figures figures;
  for (int run = 0; run < runs; ++run) {
    for (int variant = 0; variant < 2; ++variant) {
      const Sample s = variant == 0 ? RunInChild([&] { return BareReadTransferMesh(path); })
                                    : RunInChild([&] { return ImportSolids(path); });
      Sample& kept = variant == 0 ? figures.bare : figures.import;
      KeepBest(kept, s, run == 0);
      if (!s.ok) return figures;
    }
  }
  return figures;
}

double MiB(std::uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

template <typename Request>
Request SideRequest(const char* schema, const std::filesystem::path& input,
                    const std::filesystem::path& output) {
  Request request;
  request.schema = schema;
  request.requestId = "bench";
  request.inputPath = input;
  request.outputPath = output;
  request.targetLinearDeflectionMm = kLinearDeflectionMm;
  return request;
}

struct WorkflowFigures {
  Sample seat;
  Sample review;
  Sample select;
  Sample prepare;
  bool overlay = false;
};

// Each command of each run writes fresh files, since none of them overwrites.
WorkflowFigures BenchWorkflow(const std::filesystem::path& path, const std::filesystem::path& work,
                              int runs) {
  WorkflowFigures f;
  const NeverCancelled never;
  std::filesystem::path record;
  for (int run = 0; run < runs; ++run) {
    const std::string tag = path.stem().string() + "-" + std::to_string(run);
    const std::filesystem::path seatPath = work / ("seat-" + tag + ".json");
    KeepBest(f.seat, RunInChild([&] {
               WritePlCadPrepStepSeatRecord(SideRequest<PlCadPrepStepSeatRequest>(
                                                "pelto.geometry.seat.request.v1", path, seatPath),
                                            never, {});
               return std::uint64_t{0};
             }),
             run == 0);
    if (!f.seat.ok) return f;
    std::error_code ignored;
    const std::uint64_t seatBytes = std::filesystem::file_size(seatPath, ignored);
    std::string seatText(static_cast<std::size_t>(seatBytes), '\0');
    if (std::FILE* in = std::fopen(seatPath.c_str(), "rb")) {
      seatText.resize(std::fread(seatText.data(), 1, seatText.size(), in));
      std::fclose(in);
    }
    f.overlay = seatText.find("\"freeShellOccurrenceCount\":0}") == std::string::npos;

    KeepBest(f.review, RunInChild([&] {
               WritePlCadPrepStepReviewModel(
                   SideRequest<PlCadPrepStepReviewRequest>("pelto.geometry.review.request.v1", path,
                                                           work / ("model-" + tag + ".glb")),
                   never, {});
               return std::uint64_t{0};
             }),
             run == 0);
    if (!f.review.ok) return f;

    const std::filesystem::path recordPath = work / ("record-" + tag + ".json");
    KeepBest(f.select, RunInChild([&] {
               auto request = SideRequest<PlCadPrepStepRecordRequest>(
                   "pelto.geometry.select.request.v1", path, recordPath);
               request.freeShellDecision = f.overlay ? "residue" : "none";
               request.allowedOrientationsDeg = {0, 90, 180, 270};
               WritePlCadPrepStepSelectionRecord(request, never, {});
               return std::uint64_t{0};
             }),
             run == 0);
    if (!f.select.ok) return f;
    if (record.empty()) record = recordPath;

    KeepBest(f.prepare, RunInChild([&] {
               PlCadPrepRequest request;
               request.schema = "pelto.geometry.prepare.request.v1";
               request.requestId = "bench";
               request.inputPath = path;
               request.outputPath = work / ("package-" + tag + ".peltogeom");
               request.sourceFormat = PlCadPrepSourceFormat::step;
               request.sourceUnits = "source";
               request.componentRole = "component";
               request.allowedOrientationsDeg = {0, 90, 180, 270};
               request.componentSelectionPath = record;
               PlCadPrepArchiveBackend backend(ImportPlCadPrepStepSource);
               (void)PrepareAndPublish(request, backend, never, {});
               return std::uint64_t{0};
             }),
             run == 0);
    if (!f.prepare.ok) return f;
  }
  return f;
}

// False when a command failed.
bool PrintWorkflow(const std::string& name, const Sample& bare, const WorkflowFigures& f) {
  const auto column = [&](const char* command, const Sample& s) {
    if (!s.ok) {
      std::printf("  %-8s failed: %s\n", command, s.error.c_str());
      return false;
    }
    std::printf("  %-8s %9.1f ms %6.2fx bare   cpu %9.1f ms %6.2fx   peak %8.1f MiB\n", command,
                s.seconds * 1e3, s.seconds / bare.seconds, s.cpuSeconds * 1e3,
                s.cpuSeconds / bare.cpuSeconds, MiB(s.peakRssKiB));
    return true;
  };
  std::printf("%s (bare read+mesh %.1f ms, cpu %.1f ms; %s)\n", name.c_str(), bare.seconds * 1e3,
              bare.cpuSeconds * 1e3,
              f.overlay ? "free shells present: review, select and prepare import twice"
                        : "no free shell: every command imports once");
  if (!column("seat", f.seat) || !column("review", f.review) || !column("select", f.select) ||
      !column("prepare", f.prepare)) {
    return false;
  }
  std::printf("  prepare target (<= 2.50x bare wall time): %s\n",
              f.prepare.seconds / bare.seconds <= 2.5 ? "met" : "NOT met");
  return true;
}

// Empty when `path` is a regular file this process can open for reading, otherwise why not.
std::string UnreadableReason(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) return error.message();
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return std::strerror(errno);
  std::fclose(in);
  return {};
}

int Usage(const char* problem) {
  std::fprintf(stderr,
               "step_import_bench: %s\n"
               "usage: step_import_bench [--runs N >= 1] [--generated-solids N >= 0] [--workflow] "
               "<file.step>...\n",
               problem);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int generatedSolids = 0;
  bool workflow = false;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" || arg == "--generated-solids") {
      const bool isRuns = arg == "--runs";
      int& value = isRuns ? runs : generatedSolids;
      if (i + 1 >= argc || !ParseWhole(argv[i + 1], value) || value < (isRuns ? 1 : 0)) {
        const std::string problem =
            std::string(arg) + (isRuns ? " needs a whole number of at least 1"
                                       : " needs a whole number of at least 0");
        return Usage(problem.c_str());
      }
      ++i;
    } else if (arg == "--workflow") {
      workflow = true;
    } else if (arg.starts_with("-")) {
      const std::string problem = "unknown option " + std::string(arg);
      return Usage(problem.c_str());
    } else {
      // The commands take absolute paths only; a relative argument means the working folder.
      files.push_back(std::filesystem::absolute(std::filesystem::path(arg)));
    }
  }
  if (files.empty() && generatedSolids == 0) {
    return Usage("no STEP file given and no --generated-solids");
  }
  // Checked before any work, so a mistyped name fails at once instead of as a table row.
  for (const std::filesystem::path& path : files) {
    const std::string reason = UnreadableReason(path);
    if (!reason.empty()) {
      std::fprintf(stderr, "step_import_bench: cannot read %s: %s\n", path.string().c_str(),
                   reason.c_str());
      return 1;
    }
  }

  // Removed on every way out of main.
  struct TempFolder {
    std::filesystem::path path;
    ~TempFolder() {
      std::error_code ignored;  // a leftover temporary file is no benchmark failure
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  } temp;
  std::filesystem::path& tempDir = temp.path;
  if (generatedSolids > 0 || workflow) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "step-import-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    tempDir = pattern;
  }
  if (generatedSolids > 0) {
    const std::filesystem::path generated =
        tempDir / ("grid-" + std::to_string(generatedSolids) + "-solids.step");
    const Sample written = RunInChild([&] {
      WriteGeneratedFile(generated, generatedSolids);
      return std::uint64_t{0};
    });
    if (!written.ok) {
      std::fprintf(stderr, "generating the multi-solid file failed: %s\n", written.error.c_str());
      return 1;
    }
    files.push_back(generated);
  }

  const Sample idle = RunInChild([] { return std::uint64_t{0}; });
  if (!idle.ok) {
    std::fprintf(stderr, "step_import_bench: the idle child failed: %s\n", idle.error.c_str());
    return 1;
  }
  std::printf("best of %d runs; linear deflection %.1f mm, angular %.1f rad, mesher serial\n", runs,
              kLinearDeflectionMm, kAngularDeflectionRadians);
  std::printf("peak RSS of an idle child: %.1f MiB (included in every peak below)\n\n",
              MiB(idle.peakRssKiB));
  std::printf("%-40s %7s %9s %9s %6s %8s %8s %6s %8s %8s %6s %9s\n", "file", "KiB", "bare ms",
              "import ms", "wall", "bare cpu", "imp cpu", "cpu", "bare MiB", "imp MiB", "mem",
              "triangles");
  std::vector<std::pair<std::filesystem::path, Sample>> bareSamples;
  bool allWithinTarget = true;
  int notCompared = 0;
  int targeted = 0;
  for (const std::filesystem::path& path : files) {
    std::error_code error;
    const std::uint64_t bytes = std::filesystem::file_size(path, error);
    const std::string name = path.filename().string().substr(0, 40);
    if (error) {
      ++notCompared;
      std::printf("%-40s not compared: %s\n", name.c_str(), error.message().c_str());
      continue;
    }
    const Figures f = BenchFile(path, runs);
    if (!f.bare.ok || !f.import.ok) {
      ++notCompared;
      std::printf("%-40s %7.0f not compared: %s\n", name.c_str(),
                  static_cast<double>(bytes) / 1024.0,
                  (!f.bare.ok ? "bare: " + f.bare.error : "import: " + f.import.error).c_str());
      continue;
    }
    bareSamples.emplace_back(path, f.bare);
    const double timeRatio = f.import.seconds / f.bare.seconds;
    const double cpuRatio = f.import.cpuSeconds / f.bare.cpuSeconds;
    const double memoryRatio =
        static_cast<double>(f.import.peakRssKiB) / static_cast<double>(f.bare.peakRssKiB);
    if (bytes >= kTargetMinBytes) {
      ++targeted;
      allWithinTarget = allWithinTarget && timeRatio <= kTimeTarget && memoryRatio <= kMemoryTarget;
    }
    std::printf("%-40s %7.0f %9.1f %9.1f %5.2fx %8.1f %8.1f %5.2fx %8.1f %8.1f %5.2fx %9llu\n",
                name.c_str(), static_cast<double>(bytes) / 1024.0, f.bare.seconds * 1e3,
                f.import.seconds * 1e3, timeRatio, f.bare.cpuSeconds * 1e3,
                f.import.cpuSeconds * 1e3, cpuRatio, MiB(f.bare.peakRssKiB),
                MiB(f.import.peakRssKiB), memoryRatio,
                static_cast<unsigned long long>(f.import.triangles));
    if (f.bare.triangles != f.import.triangles) {
      std::printf("  note: the bare mesh met %llu triangles\n",
                  static_cast<unsigned long long>(f.bare.triangles));
    }
  }
  std::printf(
      "\ntargets (wall time <= %.2fx, peak memory <= %.2fx) on the %d compared files of at least "
      "1 MiB: %s",
      kTimeTarget, kMemoryTarget, targeted,
      targeted == 0 ? "nothing to judge" : (allWithinTarget ? "met" : "NOT met"));
  std::printf(notCompared > 0 ? "; %d files not compared\n" : "\n", notCompared);
  bool workflowOk = true;
  if (workflow) {
    std::printf("\nreview workflow, best of %d runs per command:\n", runs);
    for (const auto& [path, bare] : bareSamples) {
      workflowOk =
          PrintWorkflow(path.filename().string(), bare, BenchWorkflow(path, tempDir, runs)) &&
          workflowOk;
    }
  }
  return notCompared == 0 && workflowOk ? 0 : 1;
}
