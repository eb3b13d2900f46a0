#include "mesh/obj_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <new>
#include <string_view>
#include <system_error>
#include <vector>

#include "mesh/mesh_line_reader.h"
#include "mesh/triangle_mesh_builder.h"
#include "platform/file_system.h"

namespace {

bool IsIgnoredObjRecord(std::string_view word) {
  return word == "vt" || word == "vn" || word == "o" || word == "g" || word == "s" ||
         word == "usemtl" || word == "mtllib";
}

// The vertex a face reference names, as an index into the `vertexCount` vertices read so far.
std::size_t ResolveObjReference(std::string_view reference, std::size_t vertexCount) {
  const std::size_t firstSlash = reference.find('/');
  if (firstSlash != std::string_view::npos) {
    const std::size_t secondSlash = reference.find('/', firstSlash + 1);
    if (secondSlash != std::string_view::npos &&
        reference.find('/', secondSlash + 1) != std::string_view::npos) {
      throw PlCadPrepError("invalid_obj_index", "OBJ face reference has too many fields", "import");
    }
  }
  const std::string_view field = reference.substr(0, firstSlash);
  if (field.empty()) {
    throw PlCadPrepError("invalid_obj_index", "OBJ face has no vertex index", "import");
  }
  // from_chars takes exactly an optional '-' and decimal digits, and reports a
  // value outside the signed 64-bit range.
  std::int64_t value = 0;
  const char* end = field.data() + field.size();
  const std::from_chars_result result = std::from_chars(field.data(), end, value);
  if (result.ec != std::errc{} || result.ptr != end) {
    throw PlCadPrepError("invalid_obj_index", "OBJ face contains an invalid vertex index",
                         "import");
  }
  if (value == 0) {
    throw PlCadPrepError("invalid_obj_index", "OBJ vertex indices are one-based", "import");
  }
  // vertexCount is at most the source vertex limit, so neither form overflows.
  const std::int64_t count = static_cast<std::int64_t>(vertexCount);
  const std::int64_t index = value > 0 ? value - 1 : count + value;
  if (index < 0 || index >= count) {
    throw PlCadPrepError("invalid_obj_index", "OBJ face vertex index is out of range", "import");
  }
  return static_cast<std::size_t>(index);
}

// The source vertex list, with the capacity the memory accounting counts. Growth
// is explicit so that the counted capacity is the allocated one.
class ObjSourceVertices {
 public:
  explicit ObjSourceVertices(std::uint64_t maxMemoryBytes)
      : maxCapacity(maxMemoryBytes / kObjSourceVertexBytes) {}

  std::size_t Size() const { return points.size(); }
  std::uint64_t CapacityBytes() const { return kObjSourceVertexBytes * capacity; }
  const PlPoint3& operator[](std::size_t index) const { return points[index]; }

  // Makes room for one more vertex, counting the doubled capacity before taking it.
  void Reserve() {
    if (points.size() < capacity) return;
    const std::uint64_t next = capacity == 0 ? 1 : 2 * capacity;
    if (next > maxCapacity) {
      throw PlCadPrepError("memory_limit_exceeded", "OBJ source vertices exceed maxMemoryBytes",
                           "import");
    }
    try {
      points.reserve(static_cast<std::size_t>(next));
    } catch (const std::bad_alloc&) {
      throw PlCadPrepError("memory_limit_exceeded", "OBJ source vertices exceed maxMemoryBytes",
                           "import");
    }
    capacity = next;
  }

  void Append(const PlPoint3& point) { points.push_back(point); }

 private:
  std::vector<PlPoint3> points;
  std::uint64_t capacity = 0;
  std::uint64_t maxCapacity;
};

}  // namespace

PlCadPrepTriangleImport ReadPlCadPrepObj(const PlCadPrepRequest& request,
                                         const ProgressCallback& progress,
                                         const PlCadPrepCancellation& cancellation) {
  PlMeshSourceFile file(request.inputPath);
  file.RequireOpen("OBJ could not be opened");
  const double scale = UnitsScale(request);
  std::uint64_t size = 0;
  if (!QueryFileSize(request.inputPath, size)) {
    throw PlCadPrepError("input_read_failed", "OBJ size could not be read", "import");
  }
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), cancellation, nullptr);
  PlMeshLineReader lines(file, request.maxMemoryBytes, cancellation);
  ObjSourceVertices vertices(request.maxMemoryBytes);
  const std::array<double, 16>& matrix = request.sourceToMount;
  // Both terms are bounded (1 MiB of line, 24 bytes for each of at most 2^19 entries).
  const auto baseBytes = [&] { return lines.LineCapacityBytes() + vertices.CapacityBytes(); };

  std::uint64_t lineCount = 0;
  std::string_view line;
  while (lines.NextLine(line)) {
    ++lineCount;
    builder.SetBaseBytes(baseBytes());
    if (lineCount % kObjCheckpointLines == 0) {
      CheckMeshImportCancelled(cancellation);
      if (progress) progress("import", std::min(size, lines.BytesRead()), size);
    }
    const std::string_view record = line.substr(0, line.find('#'));
    const std::string_view kind = FirstMeshWord(record);
    if (kind.empty()) continue;
    if (kind == "f") {
      const PlMeshWords face =
          SplitMeshWords(record, 5, "unsupported_obj_polygon",
                         "this import slice accepts triangular OBJ faces only");
      if (face.count != 4) {
        throw PlCadPrepError("unsupported_obj_polygon",
                             "this import slice accepts triangular OBJ faces only", "import");
      }
      const std::size_t a = ResolveObjReference(face.word[1], vertices.Size());
      const std::size_t b = ResolveObjReference(face.word[2], vertices.Size());
      const std::size_t c = ResolveObjReference(face.word[3], vertices.Size());
      builder.AddTriangle(vertices[a], vertices[b], vertices[c]);
    } else if (kind == "v") {
      const PlMeshWords vertex = SplitMeshWords(record, 5, "too_many_fields",
                                                "mesh record exceeds its bounded field count");
      if (vertex.count != 4 && vertex.count != 5) {
        throw PlCadPrepError("invalid_obj_vertex", "OBJ vertex must have x y z and optional w",
                             "import");
      }
      if (vertex.count == 5 && std::abs(ParseMeshNumber(vertex.word[4]) - 1.0) > 1e-12) {
        throw PlCadPrepError("unsupported_obj_vertex", "OBJ rational vertices are not supported",
                             "import");
      }
      if (vertices.Size() >= kObjMaxSourceVertices) {
        throw PlCadPrepError("vertex_limit_exceeded", "OBJ exceeds the runtime 500000-vertex limit",
                             "import");
      }
      vertices.Reserve();
      const double x = ParseMeshNumber(vertex.word[1]);
      const double y = ParseMeshNumber(vertex.word[2]);
      const double z = ParseMeshNumber(vertex.word[3]);
      vertices.Append(MountPoint(matrix, scale, x, y, z));
      builder.SetBaseBytes(baseBytes());
    } else if (!IsIgnoredObjRecord(kind)) {
      throw PlCadPrepError("unsupported_obj_record", "OBJ contains an unsupported geometry record",
                           "import");
    }
  }
  if (lines.BytesRead() != size) {
    throw PlCadPrepError("source_changed", "OBJ size changed while it was read", "import");
  }
  if (progress) progress("import", size, size);
  return builder.FinishImport(lines.FinishDigest());
}
