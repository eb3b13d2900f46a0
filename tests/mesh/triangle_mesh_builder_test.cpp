#include "mesh/triangle_mesh_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Triangle = std::array<PlPoint3, 3>;

constexpr std::uint64_t kMiB = 1'048'576;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
const NeverCancelled kNever;
const char* kMemory = "mesh exceeds maxMemoryBytes";

// Counts the questions it is asked; reports cancellation from call `cancelAt` on (0: never).
class CountingCancellation final : public PlCadPrepCancellation {
 public:
  explicit CountingCancellation(int cancelAtCall) : cancelAt(cancelAtCall) {}
  bool IsCancelled() const override { return ++calls >= cancelAt && cancelAt > 0; }
  mutable int calls = 0;
  int cancelAt;
};

// The closed unit cube, outward wound.
std::vector<Triangle> CubeTriangles() {
  const PlGeometryMesh cube = ClosedBox({0, 0, 0}, 1);
  std::vector<Triangle> triangles;
  for (const auto& t : cube.triangles)
    triangles.push_back({cube.vertices[t[0]], cube.vertices[t[1]], cube.vertices[t[2]]});
  return triangles;
}

// Shares no vertex with the triangle of any other `i`.
Triangle Disjoint(int i) { return {PlPoint3{3.0 * i, 0, 0}, {3.0 * i + 1, 0, 0}, {3.0 * i, 1, 0}}; }

struct Builder : PlTriangleMeshBuilder {
  explicit Builder(std::uint64_t maxTriangles = kDefaultMaxTriangles,
                   std::uint64_t maxMemoryBytes = kDefaultMaxMemoryBytes,
                   const PlCadPrepCancellation& cancellation = kNever,
                   const PlCadPrepOperationContext* context = nullptr)
      : PlTriangleMeshBuilder({maxTriangles, maxMemoryBytes}, cancellation, context) {}
  Builder& Add(const std::vector<Triangle>& triangles) {
    for (const Triangle& t : triangles) AddTriangle(t[0], t[1], t[2]);
    return *this;
  }
};

}  // namespace

TEST(TriangleMeshBuilder, AddsTrianglesThroughItsChecksInOrderAndAtExactMemoryBounds) {
  const std::vector<Triangle> cube = CubeTriangles();
  const PlPoint3 o = {0, 0, 0}, x = {1, 0, 0}, y = {0, 1, 0};
  const PlPoint3 nan = {kNan, 0, 0};  // never equal, yet welded with itself
  const char* zero = "mesh contains a zero-area triangle";
  const char* repeated = "mesh contains a triangle with repeated vertices";
  const char* limit = "mesh exceeds maxTriangles";
  const std::vector<Triangle> two = {Disjoint(0), Disjoint(1)};
  // 512 bytes per (3 vertices, 1 triangle); after cube[0], cube[1] is checked for
  // (6 vertices, 2 triangles) = 1024 bytes although it brings one new vertex.
  const struct {
    std::uint64_t maxTriangles, maxMemoryBytes, baseBytes;
    std::vector<Triangle> before;
    Triangle t;
    const char* code;  // null: the triangle is accepted
    const char* message;
  } cases[] = {
      {9, kMiB, 0, {}, {o, {-0.0, 0, 0}, {1, 1, 0}}, "degenerate_triangle", zero},
      {9, kMiB, 0, {}, {o, x, {2, 0, 0}}, "degenerate_triangle", zero},
      // 1e-6 * 1e-6 is exactly the inclusive threshold 1e-12.
      {9, kMiB, 0, {}, {o, x, {0, 1e-6, 0}}, "degenerate_triangle", zero},
      {9, kMiB, 0, {}, {o, x, {0, std::nextafter(1e-6, 1.0), 0}}, nullptr, ""},
      {9, kMiB, 0, {}, {nan, nan, y}, "degenerate_triangle", repeated},
      {2, kMiB, 0, two, {o, o, o}, "triangle_limit_exceeded", limit},
      {9, 0, 0, {}, {o, o, o}, "degenerate_triangle", zero},  // before memory
      {9, 512, 0, {}, cube[0], nullptr, ""},
      {9, 511, 0, {}, cube[0], "memory_limit_exceeded", kMemory},
      {9, 522, 10, {}, cube[0], nullptr, ""},
      {9, 521, 10, {}, cube[0], "memory_limit_exceeded", kMemory},
      {9, 1024, 0, {cube[0]}, cube[1], nullptr, ""},
      {9, 1023, 0, {cube[0]}, cube[1], "memory_limit_exceeded", kMemory},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Builder builder(c.maxTriangles, c.maxMemoryBytes);
    builder.SetBaseBytes(c.baseBytes);
    builder.Add(c.before);
    if (c.code == nullptr) {
      builder.Add({c.t});
    } else {
      const char* stage = std::string_view(c.code) == "degenerate_triangle" ? "validate" : "import";
      ExpectPlCadPrepError([&] { builder.Add({c.t}); }, c.code, stage, c.message);
    }
    EXPECT_EQ(builder.TriangleCount(), c.before.size() + (c.code == nullptr ? 1 : 0));
  }
  Builder builder(9, 100);
  builder.SetBaseBytes(100);
  ExpectPlCadPrepError([&] { builder.SetBaseBytes(101); }, "memory_limit_exceeded", "import",
                       kMemory);
  for (const auto& [vertices, triangles] :
       {std::pair<std::uint64_t, std::uint64_t>{192'153'584'101'141'163, 0},
        {0, 82'351'536'043'346'213},
        {2, 82'351'536'043'346'212}}) {
    ExpectPlCadPrepError([&] { (void)EstimatePlMeshMemoryBytes(vertices, triangles); },
                         "memory_limit_exceeded", "import", "mesh allocation estimate overflowed");
  }
}

TEST(TriangleMeshBuilder, WeldsBitIdenticalPointsAndSignedZerosAndStopsAtTheVertexLimit) {
  const PlPoint3 negativeZero = {-0.0, 1, 2}, nextToOne = {0, std::nextafter(1.0, 2.0), 2};
  const PlGeometryMesh mesh = Builder()
                                  .Add({Triangle{negativeZero, PlPoint3{1, 0, 0}, {0, 0, 1}},
                                        Triangle{PlPoint3{0, 1, 2}, {5, 0, 0}, {0, 5, 0}},
                                        Triangle{nextToOne, PlPoint3{0, 0, 1}, {1, 0, 0}}})
                                  .Finish(0.0);
  EXPECT_EQ(mesh.vertices.size(), 6u);
  EXPECT_TRUE(std::signbit(mesh.vertices[0][0]));  // only the key reads -0.0 as +0.0
  EXPECT_EQ(mesh.triangles,
            (std::vector<std::array<std::uint32_t, 3>>{{0, 1, 2}, {0, 3, 4}, {5, 2, 1}}));
  EXPECT_TRUE(std::signbit(mesh.boundsMin[0]));
  EXPECT_EQ(mesh.boundsMax, (PlPoint3{5.0, 5.0, 2.0}));
  Builder builder;
  for (int i = 0; i < 166'666; ++i) builder.Add({Disjoint(i)});
  const PlPoint3 o = {0, 0, 0};
  builder.Add(
      {Triangle{o, PlPoint3{-1, -1, 0}, {-1, 0, 1}}, Triangle{o, PlPoint3{3, 1, 0}, {-1, 0, 1}}});
  ASSERT_EQ(builder.VertexCount(), 500'000u);
  ExpectPlCadPrepError(
      [&] {
        builder.Add({Triangle{o, PlPoint3{1, 0, 0}, {0, 0, 7}}});
      },
      "vertex_limit_exceeded", "import", "mesh exceeds the runtime 500000-vertex limit");
  EXPECT_EQ(builder.TriangleCount(), 166'668u);
}

TEST(TriangleMeshBuilder, FinishChecksDeviationEmptinessAndTheContract) {
  const char* deviation = "mesh surface deviation must be finite and nonnegative";
  const std::vector<Triangle> far = {{PlPoint3{100001.0000001, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  const struct {
    std::vector<Triangle> triangles;
    double deviation;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {CubeTriangles(), kNan, "invalid_surface_deviation", "validate", deviation},
      {CubeTriangles(), -1e-9, "invalid_surface_deviation", "validate", deviation},
      {{}, -1.0, "invalid_surface_deviation", "validate", deviation},
      {{}, 0.0, "empty_mesh", "import", "source contains no triangles"},
      {far, 0.0, "invalid_mesh_number", "validate",
       "imported mesh failed the runtime mesh contract: mesh vertex is non-finite or outside the "
       "coordinate limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Builder builder;
    ExpectPlCadPrepError([&] { (void)builder.Add(c.triangles).Finish(c.deviation); }, c.code,
                         c.stage, c.message);
  }
  CountingCancellation cancelled(1);
  Builder polled(kDefaultMaxTriangles, kDefaultMaxMemoryBytes, cancelled);
  ExpectPlCadPrepError([&] { (void)polled.Add(CubeTriangles()).Finish(0.0); }, "cancelled",
                       "validate", "preparation was cancelled");
  Builder builder;
  builder.AddTriangle({100001.0, 0, 0}, {0, -100001.0, 0}, {0, 0, 100001.0});
  EXPECT_EQ(builder.Finish(0.25).surfaceDeviationMm, 0.25);
  EXPECT_EQ(builder.VertexCount(), 0u);
  // Only a request beyond the runtime triangle limit gets this far.
  Builder repeated(1'000'001);
  for (int i = 0; i < 1'000'001; ++i) repeated.Add({Disjoint(0)});
  ExpectPlCadPrepError([&] { (void)repeated.Finish(-0.0); }, "mesh_limit_exceeded", "validate",
                       "imported mesh failed the runtime mesh contract: mesh exceeds the "
                       "configured vertex or triangle limit");
}
