// Times STL and OBJ imports through the readers with the default request limits
// and compares the peak resident memory with the builder's own accounting.
//
//   mesh_import_bench [--runs N] <file.stl|file.obj>...
//
// Peak memory is the process peak (ru_maxrss), so pass one file per run for a
// figure that belongs to that file alone.
#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/error.h"
#include "mesh/mesh_line_reader.h"
#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"
#include "request/prepare_request.h"

namespace {

constexpr std::uint64_t kBytesPerMiB = 1 << 20;

std::uint64_t PeakResidentBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // reported in KiB
}

double MiB(std::uint64_t bytes) { return static_cast<double>(bytes) / kBytesPerMiB; }

bool IsObj(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(c | 0x20); });
  return extension == ".obj";
}

// The smallest power of two at or above n (1 for 0): the capacity the OBJ reader counts.
std::uint64_t CountedCapacity(std::uint64_t n) {
  std::uint64_t capacity = 1;
  while (capacity < n) capacity *= 2;
  return capacity;
}

void BenchFile(const std::filesystem::path& path, int runs) {
  PlCadPrepRequest request;
  request.inputPath = path;
  request.sourceUnits = "mm";
  const bool obj = IsObj(path);
  request.sourceFormat = obj ? PlCadPrepSourceFormat::obj : PlCadPrepSourceFormat::stl;
  const NeverCancelled never;
  std::error_code error;
  const std::uint64_t fileBytes = std::filesystem::file_size(path, error);
  const std::uint64_t baseline = PeakResidentBytes();

  double best = 0.0;
  std::size_t vertices = 0;
  std::size_t triangles = 0;
  bool watertight = false;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const PlCadPrepTriangleImport result =
        obj ? ReadPlCadPrepObj(request, {}, never) : ReadPlCadPrepStl(request, {}, never);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (run == 0 || elapsed.count() < best) best = elapsed.count();
    vertices = result.mesh.vertices.size();
    triangles = result.mesh.triangles.size();
    watertight = result.mesh.watertight;
  }
  const std::uint64_t peak = PeakResidentBytes();

  // What the builder accounts for, plus what the reader holds beside it: the line
  // buffer (at most its limit) for text and the source vertex list for OBJ.
  std::uint64_t estimate = 96 * static_cast<std::uint64_t>(vertices) + 224 * triangles;
  const bool text = obj || fileBytes != kStlBinaryHeaderBytes + kStlBinaryFacetBytes * triangles;
  if (text) estimate += std::min(request.maxMemoryBytes / 2, kMeshMaxLineBytes);
  if (obj) estimate += kObjSourceVertexBytes * CountedCapacity(vertices);

  std::printf("%s\n", path.string().c_str());
  std::printf("  %.1f MiB, %zu vertices, %zu triangles, watertight %s\n", MiB(fileBytes), vertices,
              triangles, watertight ? "yes" : "no");
  std::printf("  import best of %d: %.3f s (%.0f MiB/s)\n", runs, best, MiB(fileBytes) / best);
  std::printf("  peak RSS %.1f MiB (%.1f MiB before the first import, %.1f MiB growth)\n",
              MiB(peak), MiB(baseline), MiB(peak - baseline));
  std::printf("  accounting estimate %.1f MiB: growth is %.0f%% of it\n", MiB(estimate),
              100.0 * static_cast<double>(peak - baseline) / static_cast<double>(estimate));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--runs" && i + 1 < argc) {
      const std::string_view count(argv[++i]);
      const std::from_chars_result result =
          std::from_chars(count.data(), count.data() + count.size(), runs);
      if (result.ec != std::errc{} || result.ptr != count.data() + count.size() || runs < 1) {
        std::fprintf(stderr, "mesh_import_bench: --runs needs a positive count\n");
        return 2;
      }
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: mesh_import_bench [--runs N] <file.stl|file.obj>...\n");
    return 2;
  }
  for (const std::filesystem::path& file : files) {
    try {
      BenchFile(file, runs);
    } catch (const PlCadPrepError& e) {
      std::fprintf(stderr, "%s: %s (%s, %s)\n", file.string().c_str(), e.what(), e.code.c_str(),
                   e.stage.c_str());
      return 1;
    }
  }
  return 0;
}
