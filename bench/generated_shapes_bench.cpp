// Times the publication of every generated shape kind, end to end through the
// prepare frame (definition re-read and parse, analytic member, solid or levels
// mesh, tessellation, derived members, manifest, archive, staged write and
// publication), best of N runs each. The target: a 100 mm sphere in under 2 s.
//
//   generated_shapes_bench [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "backends/generated_archive_backend.h"
#include "context/operation_context.h"
#include "core/error.h"
#include "pipeline/prepare_pipeline.h"
#include "support/shape_documents.h"

namespace {

constexpr double kSphereTargetSeconds = 2.0;

struct Shape {
  const char* name;
  std::string object;
};

// 100 mm shapes (the levels shape is 100 mm wide), in canonical form.
const Shape kShapes[] = {
    {"sphere", SphereShape(100000)},
    {"box", BoxShape(100000, 100000, 100000)},
    {"cylinder upright", CylinderShape(100000, 100000, "upright")},
    {"cylinder laidDown", CylinderShape(100000, 100000, "laidDown")},
    {"lPrism", R"({"heightUm":100000,"kind":"lPrism","notchQuadrant":"positiveXPositiveZ",)"
               R"("notchXSpanUm":40000,"notchZSpanUm":40000,"outsideXSpanUm":100000,)"
               R"("outsideZSpanUm":100000})"},
    {"triangularPrism", R"({"baseZSpanUm":100000,"heightUm":100000,"kind":"triangularPrism",)"
                        R"("pointXDepthUm":100000,"pointZOffsetUm":0})"},
    {"wedge", WedgeShape(100000, 20000, 100000, 100000)},
    {"frustum upright", FrustumShape(100000, 100000, "upright", 50000)},
    {"frustum laidDown", FrustumShape(100000, 100000, "laidDown", 50000)},
    {"polygonPrism",
     R"({"heightUm":100000,"kind":"polygonPrism","vertices":[{"xUm":0,"zUm":0},)"
     R"({"xUm":0,"zUm":60000},{"xUm":40000,"zUm":100000},{"xUm":100000,"zUm":100000},)"
     R"({"xUm":100000,"zUm":0}]})"},
    {"apexShape",
     R"({"kind":"apexShape","levels":[{"vertices":[{"xUm":0,"zUm":0},{"xUm":0,"zUm":100000},)"
     R"({"xUm":100000,"zUm":100000},{"xUm":100000,"zUm":0}],"yUm":0},{"vertices":[)"
     R"({"xUm":30000,"zUm":30000},{"xUm":30000,"zUm":70000},{"xUm":70000,"zUm":70000},)"
     R"({"xUm":70000,"zUm":30000}],"yUm":100000}]})"},
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  if (argc == 3 && std::string_view(argv[1]) == "--runs") runs = std::atoi(argv[2]);
  if (runs < 1 || (argc != 1 && argc != 3)) {
    std::fprintf(stderr, "usage: generated_shapes_bench [--runs N]\n");
    return 2;
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "generated-shapes-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path work = pattern;
  const std::filesystem::path source = work / "shape-definition.json";

  std::printf("best of %d runs, twelve 30-degree orientations, package published each run\n\n",
              runs);
  std::printf("%-20s %10s %12s\n", "shape", "best ms", "package KiB");
  bool sphereWithinTarget = false;
  const NeverCancelled never;
  PlCadPrepArchiveBackend backend(ImportPlCadPrepGeneratedSource, GuardPlCadPrepGeneratedFrame);
  for (const Shape& shape : kShapes) {
    std::ofstream(source, std::ios::binary | std::ios::trunc)
        << ShapeDefinitionDocument(shape.object);
    double best = 0.0;
    std::uintmax_t packageBytes = 0;
    try {
      for (int run = 0; run < runs; ++run) {
        PlCadPrepRequest request;
        request.schema = "pelto.geometry.prepare.request.v1";
        request.requestId = "bench-" + std::to_string(run);
        request.inputPath = source;
        request.outputPath = work / ("package-" + std::to_string(run) + ".peltogeom");
        request.sourceFormat = PlCadPrepSourceFormat::shapeDefinition;
        request.sourceUnits = "source";
        request.componentRole = "mold_shell";
        request.allowedOrientationsDeg = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};
        const auto start = std::chrono::steady_clock::now();
        (void)PrepareAndPublish(request, backend, never, {});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = run == 0 ? seconds : std::min(best, seconds);
        packageBytes = std::filesystem::file_size(request.outputPath);
        std::filesystem::remove(request.outputPath);
      }
    } catch (const PlCadPrepError& e) {
      std::printf("%-20s failed: %s (%s): %s\n", shape.name, e.code.c_str(), e.stage.c_str(),
                  e.what());
      continue;
    }
    if (std::string_view(shape.name) == "sphere") sphereWithinTarget = best < kSphereTargetSeconds;
    std::printf("%-20s %10.1f %12.1f\n", shape.name, best * 1e3,
                static_cast<double>(packageBytes) / 1024.0);
  }
  std::printf("\ntarget (100 mm sphere under %.1f s): %s\n", kSphereTargetSeconds,
              sphereWithinTarget ? "met" : "NOT met");
  std::error_code ignored;  // a leftover temporary folder is no benchmark failure
  std::filesystem::remove_all(work, ignored);
  return 0;
}
