#include "shapes/levels_shape.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "mesh/triangle_mesh_builder.h"

namespace {

constexpr std::size_t kLevelsMinCount = 2;
constexpr std::size_t kLevelsMaxCount = 8;
constexpr std::size_t kPolygonMinPoints = 3;
constexpr std::size_t kPolygonMaxPoints = 256;
constexpr std::uint64_t kLevelsCheckpointTriangles = 4096;
constexpr double kMillimetresPerMicrometre = 0.001;

// A signed value held as sign and magnitude, so that the difference of any two
// 64-bit coordinates (65 bits) and the product of two such differences (129
// bits) are exact without a wider integer type.
__extension__ using Uint128 = unsigned __int128;

struct SignedMagnitude {
  int sign = 0;
  Uint128 magnitude = 0;
};

SignedMagnitude Difference(std::int64_t a, std::int64_t b) {
  // The unsigned subtraction is exact because the true difference lies in [0, 2^64).
  if (a > b) return {1, static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)};
  if (a < b) return {-1, static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a)};
  return {};
}

SignedMagnitude Product(const SignedMagnitude& a, const SignedMagnitude& b) {
  return {a.sign * b.sign, a.magnitude * b.magnitude};
}

// The sign of a - b.
int CompareSigned(const SignedMagnitude& a, const SignedMagnitude& b) {
  if (a.sign != b.sign) return a.sign > b.sign ? 1 : -1;
  if (a.sign == 0 || a.magnitude == b.magnitude) return 0;
  return (a.magnitude > b.magnitude) == (a.sign > 0) ? 1 : -1;
}

// The sign of (q - p) x (r - p) in (x, z); negative is the turning sense of a
// polygon in normal form, the sign its doubled signed area has.
int Orientation(const PlShapePoint& p, const PlShapePoint& q, const PlShapePoint& r) {
  return CompareSigned(Product(Difference(q.xUm, p.xUm), Difference(r.zUm, p.zUm)),
                       Product(Difference(q.zUm, p.zUm), Difference(r.xUm, p.xUm)));
}

// For a point collinear with the segment: whether it lies between its ends.
bool WithinSegmentBox(const PlShapePoint& s0, const PlShapePoint& s1, const PlShapePoint& p) {
  return std::min(s0.xUm, s1.xUm) <= p.xUm && p.xUm <= std::max(s0.xUm, s1.xUm) &&
         std::min(s0.zUm, s1.zUm) <= p.zUm && p.zUm <= std::max(s0.zUm, s1.zUm);
}

// Inside or on the edges of a triangle whose orientation is negative.
bool InClosedTriangle(const PlShapePoint& a, const PlShapePoint& b, const PlShapePoint& c,
                      const PlShapePoint& p) {
  return Orientation(a, b, p) <= 0 && Orientation(b, c, p) <= 0 && Orientation(c, a, p) <= 0;
}

bool PointBefore(const PlShapePoint& a, const PlShapePoint& b) {
  return a.xUm < b.xUm || (a.xUm == b.xUm && a.zUm < b.zUm);
}

bool HasRepeatedPoint(const std::vector<PlShapePoint>& polygon) {
  std::vector<PlShapePoint> sorted = polygon;
  std::sort(sorted.begin(), sorted.end(), PointBefore);
  return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

PlLevelsShapeValidation Fail(PlLevelsShapeCategory category, std::string message) {
  return {category, std::move(message)};
}

// Largest minus smallest; exact for any two 64-bit values because max >= min.
std::uint64_t Span(std::int64_t smallest, std::int64_t largest) {
  return static_cast<std::uint64_t>(largest) - static_cast<std::uint64_t>(smallest);
}

struct MicrometrePoint3 {
  PlInt128 x = 0;
  PlInt128 y = 0;
  PlInt128 z = 0;
};

MicrometrePoint3 Minus(const MicrometrePoint3& a, const MicrometrePoint3& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}

MicrometrePoint3 Plus(const MicrometrePoint3& a, const MicrometrePoint3& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}

// Chooses the diagonal a0-b1 (true) or a1-b0 (false) of the side quad between
// two levels, so that the split folds the quad outward. Validated shapes keep
// differences below 2^28 micrometres, so every product stays far inside 128 bits.
bool SplitsAlongA0B1(const MicrometrePoint3& a0, const MicrometrePoint3& a1,
                     const MicrometrePoint3& b0, const MicrometrePoint3& b1) {
  const MicrometrePoint3 d1 = Minus(b1, a0);
  const MicrometrePoint3 d2 = Minus(b0, a1);
  MicrometrePoint3 n{(d1.y * d2.z) - (d1.z * d2.y), (d1.z * d2.x) - (d1.x * d2.z),
                     (d1.x * d2.y) - (d1.y * d2.x)};
  if (n.x == 0 && n.y == 0 && n.z == 0) return true;
  const MicrometrePoint3 w = Plus(Minus(a1, a0), Minus(b1, b0));
  const PlInt128 s1 = (n.z * w.x) - (n.x * w.z);
  if (s1 == 0) return true;
  if (s1 < 0) n = {-n.x, -n.y, -n.z};
  const MicrometrePoint3 v = Plus(Minus(Minus(a0, a1), b0), b1);
  const PlInt128 s2 = ((n.x * v.x) + (n.y * v.y)) + (n.z * v.z);
  return s2 >= 0;
}

using IndexTriangle = std::array<std::uint32_t, 3>;

// Bottom cap, top cap, then the sides band by band, in level * n + apex indices.
std::vector<IndexTriangle> LevelsTriangles(const std::vector<PlShapeLevel>& levels) {
  const std::size_t n = levels.front().vertices.size();
  const std::size_t levelCount = levels.size();
  const auto index = [n](std::size_t level, std::size_t apex) {
    return static_cast<std::uint32_t>((level * n) + apex);
  };
  const auto micrometrePoint = [&levels](std::size_t level, std::size_t apex) {
    const PlShapePoint& p = levels[level].vertices[apex];
    return MicrometrePoint3{p.xUm, levels[level].yUm, p.zUm};
  };

  std::vector<IndexTriangle> triangles;
  triangles.reserve((2 * n - 4) + (2 * n * (levelCount - 1)));
  // Ears keep the polygon's turning sense, which faces +y; the bottom cap is turned over.
  for (const IndexTriangle& ear : PlEarClipPolygon(levels.front().vertices)) {
    triangles.push_back({index(0, ear[0]), index(0, ear[2]), index(0, ear[1])});
  }
  const std::size_t top = levelCount - 1;
  for (const IndexTriangle& ear : PlEarClipPolygon(levels.back().vertices)) {
    triangles.push_back({index(top, ear[0]), index(top, ear[1]), index(top, ear[2])});
  }
  for (std::size_t lower = 0; lower < top; ++lower) {
    const std::size_t upper = lower + 1;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t next = (j + 1) % n;
      const std::uint32_t a0 = index(lower, j);
      const std::uint32_t a1 = index(lower, next);
      const std::uint32_t b0 = index(upper, j);
      const std::uint32_t b1 = index(upper, next);
      if (SplitsAlongA0B1(micrometrePoint(lower, j), micrometrePoint(lower, next),
                          micrometrePoint(upper, j), micrometrePoint(upper, next))) {
        triangles.push_back({a0, a1, b1});
        triangles.push_back({a0, b1, b0});
      } else {
        triangles.push_back({a0, a1, b0});
        triangles.push_back({a1, b1, b0});
      }
    }
  }
  return triangles;
}

}  // namespace

PlInt128 PlPolygonDoubledSignedArea(const std::vector<PlShapePoint>& polygon) {
  // Summed modulo 2^128 so that no intermediate overflow is undefined; the
  // result is still exact whenever the true sum fits in 128 bits.
  Uint128 sum = 0;
  const std::size_t n = polygon.size();
  for (std::size_t i = 0; i < n; ++i) {
    const PlShapePoint& p = polygon[i];
    const PlShapePoint& q = polygon[(i + 1) % n];
    const auto wide = [](std::int64_t v) { return static_cast<Uint128>(static_cast<PlInt128>(v)); };
    sum += (wide(p.xUm) * wide(q.zUm)) - (wide(p.zUm) * wide(q.xUm));
  }
  return static_cast<PlInt128>(sum);
}

bool PlSegmentsMeet(const PlShapePoint& a0, const PlShapePoint& a1, const PlShapePoint& b0,
                    const PlShapePoint& b1) {
  const int a0Side = Orientation(b0, b1, a0);
  const int a1Side = Orientation(b0, b1, a1);
  const int b0Side = Orientation(a0, a1, b0);
  const int b1Side = Orientation(a0, a1, b1);
  if (a0Side * a1Side < 0 && b0Side * b1Side < 0) return true;
  return (a0Side == 0 && WithinSegmentBox(b0, b1, a0)) ||
         (a1Side == 0 && WithinSegmentBox(b0, b1, a1)) ||
         (b0Side == 0 && WithinSegmentBox(a0, a1, b0)) ||
         (b1Side == 0 && WithinSegmentBox(a0, a1, b1));
}

bool PlPolygonHasMeetingNonNeighbourEdges(const std::vector<PlShapePoint>& polygon) {
  const std::size_t n = polygon.size();
  for (std::size_t i = 0; i < n; ++i) {
    // Edge 0 and edge n - 1 are neighbours through point 0.
    const std::size_t last = i == 0 ? n - 1 : n;
    for (std::size_t j = i + 2; j < last; ++j) {
      if (PlSegmentsMeet(polygon[i], polygon[i + 1], polygon[j], polygon[(j + 1) % n])) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::array<std::uint32_t, 3>> PlEarClipPolygon(
    const std::vector<PlShapePoint>& polygon) {
  if (polygon.size() < kPolygonMinPoints) {
    throw std::invalid_argument("ear clipping needs at least three polygon points");
  }
  std::vector<std::uint32_t> remaining(polygon.size());
  for (std::size_t i = 0; i < remaining.size(); ++i) remaining[i] = static_cast<std::uint32_t>(i);
  std::vector<IndexTriangle> triangles;
  triangles.reserve(polygon.size() - 2);

  while (remaining.size() > 3) {
    const std::size_t m = remaining.size();
    bool clipped = false;
    for (std::size_t position = 0; position < m && !clipped; ++position) {
      const std::uint32_t previous = remaining[(position + m - 1) % m];
      const std::uint32_t current = remaining[position];
      const std::uint32_t next = remaining[(position + 1) % m];
      const PlShapePoint& p = polygon[previous];
      const PlShapePoint& c = polygon[current];
      const PlShapePoint& q = polygon[next];
      if (Orientation(p, c, q) >= 0) continue;
      const bool blocked = std::any_of(remaining.begin(), remaining.end(), [&](std::uint32_t k) {
        return k != previous && k != current && k != next && InClosedTriangle(p, c, q, polygon[k]);
      });
      if (blocked) continue;
      triangles.push_back({previous, current, next});
      remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(position));
      clipped = true;
    }
    if (!clipped) throw std::invalid_argument("polygon has no ear to clip");
  }
  triangles.push_back({remaining[0], remaining[1], remaining[2]});
  return triangles;
}

PlLevelsShapeValidation ValidatePlLevelsShape(const std::vector<PlShapeLevel>& levels) {
  using Category = PlLevelsShapeCategory;
  if (levels.size() < kLevelsMinCount || levels.size() > kLevelsMaxCount) {
    return Fail(Category::levels, "levels shape must contain 2..8 levels");
  }
  const std::size_t n = levels.front().vertices.size();
  const bool sharedCount = std::all_of(
      levels.begin(), levels.end(), [n](const PlShapeLevel& l) { return l.vertices.size() == n; });
  if (n < kPolygonMinPoints || n > kPolygonMaxPoints || !sharedCount) {
    return Fail(Category::levels, "levels shape levels must share one apex count of 3..256");
  }
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (levels[i].yUm <= levels[i - 1].yUm) {
      return Fail(Category::definition, "levels shape levels must rise strictly from the plate");
    }
  }
  if (levels.back().yUm > kPlShapeMaxDimensionUm) {
    return Fail(Category::definition,
                "levels shape height must be between 1 and 100000000 micrometres");
  }

  PlShapePoint smallest = levels.front().vertices.front();
  PlShapePoint largest = smallest;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const std::vector<PlShapePoint>& polygon = levels[i].vertices;
    if (polygon.back() == polygon.front()) {
      return Fail(Category::polygon, "level " + std::to_string(i) +
                                         ": polygon must not repeat its first vertex as a "
                                         "closing vertex");
    }
    if (HasRepeatedPoint(polygon)) {
      return Fail(Category::polygon,
                  "level " + std::to_string(i) + ": polygon contains a repeated vertex");
    }
    for (const PlShapePoint& p : polygon) {
      smallest = {std::min(smallest.xUm, p.xUm), std::min(smallest.zUm, p.zUm)};
      largest = {std::max(largest.xUm, p.xUm), std::max(largest.zUm, p.zUm)};
    }
  }
  const std::uint64_t maxSpan = static_cast<std::uint64_t>(kPlShapeMaxDimensionUm);
  if (largest.xUm <= smallest.xUm)
    return Fail(Category::polygon, "polygon X span must be positive");
  if (Span(smallest.xUm, largest.xUm) > maxSpan) {
    return Fail(Category::polygon, "polygon X span exceeds 100 m");
  }
  if (largest.zUm <= smallest.zUm)
    return Fail(Category::polygon, "polygon Z span must be positive");
  if (Span(smallest.zUm, largest.zUm) > maxSpan) {
    return Fail(Category::polygon, "polygon Z span exceeds 100 m");
  }
  if (smallest.xUm != 0 || smallest.zUm != 0 || levels.front().yUm != 0) {
    return Fail(Category::levels, "levels shape is not seated");
  }

  std::vector<PlInt128> areas;
  areas.reserve(levels.size());
  for (std::size_t i = 0; i < levels.size(); ++i) {
    if (PlPolygonHasMeetingNonNeighbourEdges(levels[i].vertices)) {
      return Fail(Category::polygon,
                  "level " + std::to_string(i) +
                      ": polygon has crossing, touching, or overlapping non-neighbour edges");
    }
    areas.push_back(PlPolygonDoubledSignedArea(levels[i].vertices));
    if (areas.back() == 0) {
      return Fail(Category::polygon, "level " + std::to_string(i) + ": polygon has zero area");
    }
  }
  for (std::size_t i = 1; i < levels.size(); ++i) {
    if (areas[i] > 0) {
      return Fail(Category::levels, "level " + std::to_string(i) + " turns the other way");
    }
  }
  const std::vector<PlShapePoint>& base = levels.front().vertices;
  const bool startsAtSmallest =
      std::none_of(base.begin() + 1, base.end(),
                   [&base](const PlShapePoint& p) { return PointBefore(p, base.front()); });
  if (!startsAtSmallest || areas.front() > 0) {
    return Fail(Category::levels, "level 0 is not in canonical order");
  }

  for (std::size_t k = 0; k + 1 < levels.size(); ++k) {
    const std::vector<PlShapePoint>& lower = levels[k].vertices;
    const std::vector<PlShapePoint>& upper = levels[k + 1].vertices;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t next = (j + 1) % n;
      if (PlSegmentsMeet(lower[j], upper[j], lower[next], upper[next])) {
        return Fail(Category::levels, "ties " + std::to_string(j + 1) + " and " +
                                          std::to_string(next + 1) + " cross between levels " +
                                          std::to_string(k) + " and " + std::to_string(k + 1));
      }
    }
  }
  return {};
}

PlShapeDefinitionCategory PlLevelsShapeDefinitionCategory(PlLevelsShapeCategory category) {
  if (category == PlLevelsShapeCategory::levels) return PlShapeDefinitionCategory::levels;
  if (category == PlLevelsShapeCategory::polygon) return PlShapeDefinitionCategory::polygon;
  return PlShapeDefinitionCategory::integer;
}

PlGeometryMesh BuildPlLevelsShapeMesh(const std::vector<PlShapeLevel>& levels,
                                      const PlCadPrepRequest& request,
                                      const PlCadPrepOperationContext& context) {
  const PlLevelsShapeValidation validation = ValidatePlLevelsShape(levels);
  if (!validation.Accepted()) {
    // The code the definition reader gives for the same rule.
    throw PlCadPrepError(std::string(PlShapeDefinitionEventCode(
                             PlLevelsShapeDefinitionCategory(validation.category))),
                         validation.message, "import");
  }
  const std::vector<IndexTriangle> triangles = LevelsTriangles(levels);

  std::vector<PlPoint3> corners;
  corners.reserve(levels.size() * levels.front().vertices.size());
  for (const PlShapeLevel& level : levels) {
    for (const PlShapePoint& p : level.vertices) {
      corners.push_back(MountPoint(request.sourceToMount, kMillimetresPerMicrometre,
                                   static_cast<double>(p.xUm), static_cast<double>(level.yUm),
                                   static_cast<double>(p.zUm)));
    }
  }

  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), *context.cancellation, &context);
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    if (i % kLevelsCheckpointTriangles == 0) CheckpointStage(context, "mesh");
    const IndexTriangle& t = triangles[i];
    builder.AddTriangle(corners[t[0]], corners[t[1]], corners[t[2]]);
  }
  CheckpointStage(context, "mesh");
  PlGeometryMesh mesh = builder.Finish(0.0);
  if (!mesh.watertight) {
    throw PlCadPrepError("generated_solid_invalid", "levels shape mesh is not closed", "mesh");
  }
  return mesh;
}
