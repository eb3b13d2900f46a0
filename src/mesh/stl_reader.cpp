#include "mesh/stl_reader.h"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "core/byte_io.h"
#include "core/sha256.h"
#include "mesh/mesh_line_reader.h"
#include "mesh/triangle_mesh_builder.h"
#include "platform/file_system.h"

namespace {

void ReportProgress(const ProgressCallback& progress, std::uint64_t completed,
                    std::uint64_t total) {
  if (progress) progress("import", completed, total);
}

// How many facets ahead the binary reader warms the weld table.
constexpr std::size_t kStlPrefetchFacets = 8;

// The nine corner coordinates of a 50-byte facet record. Bytes 0-11 hold the
// normal and 48-49 the attribute count; neither is used. binary32 to f64 is
// exact, so the source value reaches the transform unchanged.
std::array<double, 9> FacetCoordinates(const std::uint8_t* facet) {
  std::array<double, 9> coordinates{};
  for (std::size_t k = 0; k < 9; ++k) {
    coordinates[k] = static_cast<double>(std::bit_cast<float>(LoadLe32(facet + 12 + 4 * k)));
  }
  return coordinates;
}

struct StlFormat {
  bool binary = false;
  std::uint32_t facetCount = 0;
};

StlFormat DetectStlFormat(const PlCadPrepRequest& request) {
  PlMeshSourceFile file(request.inputPath);
  file.RequireOpen("STL could not be opened");
  std::array<std::uint8_t, kStlBinaryHeaderBytes> header{};
  // A read error here leaves fewer than 84 bytes, so the source is taken as
  // ASCII and the line reader reports the error when it meets it.
  bool failed = false;
  const std::size_t count = file.Read(header, failed);
  std::uint64_t size = 0;
  if (!QueryFileSize(request.inputPath, size)) {
    throw PlCadPrepError("input_read_failed", "STL size could not be read", "import");
  }
  StlFormat format;
  if (count == kStlBinaryHeaderBytes) {
    format.facetCount = LoadLe32(header.data() + 80);
    format.binary = size == kStlBinaryHeaderBytes + kStlBinaryFacetBytes * format.facetCount;
  }
  return format;
}

// Hands out the binary source in records of a few bytes while reading it in
// fixed chunks and hashing every chunk as it arrives.
class StlBinaryStream {
 public:
  StlBinaryStream(PlMeshSourceFile& source, Sha256& sourceHash)
      : file(source),
        hash(sourceHash),
        buffer(std::make_unique_for_overwrite<std::uint8_t[]>(kMeshReadChunkBytes)) {}

  // The next `count` bytes, or null when the file ends first.
  const std::uint8_t* Take(std::size_t count) {
    if (size - pos < count) Fill(count);
    if (size - pos < count) return nullptr;
    const std::uint8_t* record = buffer.get() + pos;
    pos += count;
    return record;
  }

  // The `count` bytes that start `ahead` bytes past the next untaken one, when
  // the buffer already holds them; otherwise null. Nothing is read or taken.
  const std::uint8_t* Peek(std::size_t ahead, std::size_t count) const {
    const std::size_t remaining = size - pos;
    if (ahead > remaining || count > remaining - ahead) return nullptr;
    return buffer.get() + pos + ahead;
  }

  // True when the file holds any byte beyond those taken.
  bool HasMore() {
    if (pos < size) return true;
    pos = 0;
    size = 0;
    std::array<std::uint8_t, 1> probe{};
    bool failed = false;
    if (file.Read(probe, failed) > 0) return true;
    if (failed) throw PlCadPrepError("input_read_failed", "binary STL could not be read", "import");
    return false;
  }

 private:
  void Fill(std::size_t count) {
    const std::size_t kept = size - pos;
    if (kept > 0) std::memmove(buffer.get(), buffer.get() + pos, kept);
    pos = 0;
    size = kept;
    while (size < count) {
      bool failed = false;
      const std::size_t got = file.Read(
          std::span<std::uint8_t>(buffer.get() + size, kMeshReadChunkBytes - size), failed);
      hash.Update(std::span<const std::uint8_t>(buffer.get() + size, got));
      size += got;
      // A hard error is reported as such rather than as a short file.
      if (failed) {
        throw PlCadPrepError("input_read_failed", "binary STL could not be read", "import");
      }
      if (got == 0) return;
    }
  }

  PlMeshSourceFile& file;
  Sha256& hash;
  std::unique_ptr<std::uint8_t[]> buffer;
  std::size_t size = 0;
  std::size_t pos = 0;
};

PlCadPrepTriangleImport ReadBinaryStl(const PlCadPrepRequest& request,
                                      const ProgressCallback& progress,
                                      const PlCadPrepCancellation& cancellation,
                                      std::uint32_t facetCount) {
  if (facetCount > request.maxTriangles) {
    throw PlCadPrepError("triangle_limit_exceeded", "STL exceeds maxTriangles", "import");
  }
  PlMeshSourceFile file(request.inputPath);
  file.RequireOpen("STL could not be opened");
  Sha256 hash;
  StlBinaryStream stream(file, hash);
  const std::uint8_t* header = stream.Take(kStlBinaryHeaderBytes);
  if (header == nullptr) {
    throw PlCadPrepError("truncated_stl", "binary STL header is truncated", "import");
  }
  if (LoadLe32(header + 80) != facetCount) {
    throw PlCadPrepError("source_changed", "STL changed during format detection", "import");
  }
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), cancellation, nullptr);
  const double scale = UnitsScale(request);
  builder.ExpectTriangles(facetCount);
  const std::array<double, 16>& matrix = request.sourceToMount;
  for (std::uint32_t i = 0; i < facetCount; ++i) {
    if (i % kStlCheckpointFacets == 0) {
      CheckMeshImportCancelled(cancellation);
      ReportProgress(progress, i, facetCount);
    }
    const std::uint8_t* facet = stream.Take(kStlBinaryFacetBytes);
    if (facet == nullptr) {
      throw PlCadPrepError("truncated_stl", "binary STL facet data is truncated", "import");
    }
    // The weld lookups miss the cache on large meshes; asking for the slots of
    // a facet a few records ahead lets those misses overlap this facet's work.
    const std::uint8_t* ahead =
        stream.Peek((kStlPrefetchFacets - 1) * kStlBinaryFacetBytes, kStlBinaryFacetBytes);
    if (ahead != nullptr) {
      const std::array<double, 9> next = FacetCoordinates(ahead);
      for (std::size_t k = 0; k < 9; k += 3) {
        builder.PrefetchCorner(
            MountPointUnchecked(matrix, scale, next[k], next[k + 1], next[k + 2]));
      }
    }
    const std::array<double, 9> v = FacetCoordinates(facet);
    const PlPoint3 a = MountPoint(matrix, scale, v[0], v[1], v[2]);
    const PlPoint3 b = MountPoint(matrix, scale, v[3], v[4], v[5]);
    const PlPoint3 c = MountPoint(matrix, scale, v[6], v[7], v[8]);
    builder.AddTriangle(a, b, c);
  }
  if (stream.HasMore()) {
    throw PlCadPrepError("trailing_stl_data", "binary STL has trailing bytes", "import");
  }
  ReportProgress(progress, facetCount, facetCount);
  return builder.FinishImport(hash.Finish());
}

// The next non-blank line, or the given failure at the end of the file.
std::string_view RequireLine(PlMeshLineReader& lines, const char* code, const char* message) {
  std::string_view line;
  if (!lines.NextLine(line)) throw PlCadPrepError(code, message, "import");
  return line;
}

PlCadPrepTriangleImport ReadAsciiStl(const PlCadPrepRequest& request,
                                     const ProgressCallback& progress,
                                     const PlCadPrepCancellation& cancellation) {
  PlMeshSourceFile file(request.inputPath);
  file.RequireOpen("STL could not be opened");
  std::uint64_t size = 0;
  if (!QueryFileSize(request.inputPath, size)) {
    throw PlCadPrepError("input_read_failed", "STL size could not be read", "import");
  }
  PlMeshLineReader lines(file, request.maxMemoryBytes, cancellation);
  std::string_view line = RequireLine(lines, "truncated_stl", "ASCII STL is empty");
  if (FirstMeshWord(line) != "solid") {
    throw PlCadPrepError("invalid_stl", "ASCII STL must start with solid", "import");
  }
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), cancellation, nullptr);
  const double scale = UnitsScale(request);
  const std::array<double, 16>& matrix = request.sourceToMount;
  line = RequireLine(lines, "truncated_stl", "ASCII STL endsolid is missing");
  std::uint64_t facets = 0;
  for (;;) {
    builder.SetBaseBytes(lines.LineCapacityBytes());
    if (FirstMeshWord(line) == "endsolid") break;
    const PlMeshWords header =
        SplitMeshWords(line, 5, "too_many_fields", "mesh record exceeds its bounded field count");
    if (header.count != 5 || header.word[0] != "facet" || header.word[1] != "normal") {
      throw PlCadPrepError("invalid_stl", "ASCII STL facet header is invalid", "import");
    }
    // The normal is recomputed downstream from the winding, but it must still be a number.
    for (std::size_t k = 2; k < 5; ++k) (void)ParseMeshNumber(header.word[k]);
    line = RequireLine(lines, "invalid_stl", "ASCII STL outer loop is missing");
    if (line != "outer loop") {
      throw PlCadPrepError("invalid_stl", "ASCII STL outer loop is missing", "import");
    }
    std::array<PlPoint3, 3> corners{};
    for (PlPoint3& corner : corners) {
      line = RequireLine(lines, "truncated_stl", "ASCII STL vertex data is truncated");
      const PlMeshWords vertex =
          SplitMeshWords(line, 4, "too_many_fields", "mesh record exceeds its bounded field count");
      if (vertex.count != 4 || vertex.word[0] != "vertex") {
        throw PlCadPrepError("invalid_stl", "ASCII STL vertex record is invalid", "import");
      }
      const double x = ParseMeshNumber(vertex.word[1]);
      const double y = ParseMeshNumber(vertex.word[2]);
      const double z = ParseMeshNumber(vertex.word[3]);
      corner = MountPoint(matrix, scale, x, y, z);
      // The lines still to parse before AddTriangle hide the weld lookup's miss.
      builder.PrefetchCorner(corner);
    }
    line = RequireLine(lines, "invalid_stl", "ASCII STL endloop is missing");
    if (line != "endloop") {
      throw PlCadPrepError("invalid_stl", "ASCII STL endloop is missing", "import");
    }
    line = RequireLine(lines, "invalid_stl", "ASCII STL endfacet is missing");
    if (line != "endfacet") {
      throw PlCadPrepError("invalid_stl", "ASCII STL endfacet is missing", "import");
    }
    builder.SetBaseBytes(lines.LineCapacityBytes());
    builder.AddTriangle(corners[0], corners[1], corners[2]);
    ++facets;
    if (facets % kStlCheckpointFacets == 0) {
      CheckMeshImportCancelled(cancellation);
      ReportProgress(progress, lines.BytesRead(), size);
    }
    line = RequireLine(lines, "truncated_stl", "ASCII STL endsolid is missing");
  }
  if (lines.NextLine(line)) {
    throw PlCadPrepError("trailing_stl_data", "ASCII STL has data after endsolid", "import");
  }
  if (lines.BytesRead() != size) {
    throw PlCadPrepError("source_changed", "STL size changed while it was read", "import");
  }
  ReportProgress(progress, size, size);
  return builder.FinishImport(lines.FinishDigest());
}

}  // namespace

PlCadPrepTriangleImport ReadPlCadPrepStl(const PlCadPrepRequest& request,
                                         const ProgressCallback& progress,
                                         const PlCadPrepCancellation& cancellation) {
  const StlFormat format = DetectStlFormat(request);
  if (format.binary) return ReadBinaryStl(request, progress, cancellation, format.facetCount);
  return ReadAsciiStl(request, progress, cancellation);
}
