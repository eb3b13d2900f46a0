#include "mesh/triangle_mesh_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/context_switch_cancellation.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Triangle = std::array<PlPoint3, 3>;

const NeverCancelled kNever;
const char* kMemory = "mesh exceeds maxMemoryBytes";

// The closed unit cube, outward wound.
std::vector<Triangle> Cube() {
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
                   const PlCadPrepCancellation& cancellation = kNever)
      : PlTriangleMeshBuilder({maxTriangles, maxMemoryBytes}, cancellation, nullptr) {}
  Builder& Add(const std::vector<Triangle>& triangles) {
    for (const Triangle& t : triangles) AddTriangle(t[0], t[1], t[2]);
    return *this;
  }
};

}  // namespace

// 512 bytes per (3 vertices, 1 triangle); after cube[0], cube[1] is checked for
// (6 vertices, 2 triangles) although it brings one new vertex.
TEST(TriangleMeshBuilder, AddsTrianglesThroughItsChecksInOrderAndAtExactMemoryBounds) {
  const std::vector<Triangle> cube = Cube(), two = {Disjoint(0), Disjoint(1)};
  const PlPoint3 o = {0, 0, 0}, x = {1, 0, 0}, nan = {NAN, 0, 0};
  const char* zero = "mesh contains a zero-area triangle";
  const struct {
    std::uint64_t maxTriangles, maxMemoryBytes, baseBytes;
    std::vector<Triangle> before;
    Triangle t;
    const char* code;  // null: the triangle is accepted
    const char* message;
  } cases[] = {
      {9, 1 << 20, 0, {}, {o, x, {2, 0, 0}}, "degenerate_triangle", zero},
      {9, 1 << 20, 0, {}, {o, x, {0, 1e-6, 0}}, "degenerate_triangle", zero},  // 1e-12 inclusive
      {9, 1 << 20, 0, {}, {o, x, {0, std::nextafter(1e-6, 1.0), 0}}, nullptr, ""},
      {9,
       1 << 20,
       0,
       {},
       {nan, nan, x},
       "degenerate_triangle",
       "mesh contains a triangle with repeated vertices"},
      {2, 1 << 20, 0, two, {o, o, o}, "triangle_limit_exceeded", "mesh exceeds maxTriangles"},
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
    if (c.code == nullptr) builder.Add({c.t});
    const char* stage =
        c.code && std::string_view(c.code) == "degenerate_triangle" ? "validate" : "import";
    if (c.code) ExpectPlCadPrepError([&] { builder.Add({c.t}); }, c.code, stage, c.message);
    EXPECT_EQ(builder.TriangleCount(), c.before.size() + (c.code == nullptr ? 1 : 0));
  }
  Builder builder(9, 100);
  builder.SetBaseBytes(100);
  ExpectPlCadPrepError([&] { builder.SetBaseBytes(101); }, "memory_limit_exceeded", "import",
                       kMemory);
  EXPECT_EQ(EstimatePlMeshMemoryBytes(192'153'584'101'141'162, 0), 192'153'584'101'141'162ULL * 96);
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
                                  .Finish(0.25);
  EXPECT_TRUE(std::signbit(mesh.vertices[0][0]));  // only the key reads -0.0 as +0.0
  EXPECT_EQ(mesh.triangles,
            (std::vector<std::array<std::uint32_t, 3>>{{0, 1, 2}, {0, 3, 4}, {5, 2, 1}}));
  EXPECT_EQ(mesh.boundsMax, (PlPoint3{5.0, 5.0, 2.0}));
  EXPECT_EQ(mesh.surfaceDeviationMm, 0.25);
  Builder builder;
  for (int i = 0; i < 166'666; ++i) builder.Add({Disjoint(i)});
  const PlPoint3 o = {0, 0, 0};
  builder.Add({{o, PlPoint3{-1, -1, 0}, {-1, 0, 1}}, {o, PlPoint3{3, 1, 0}, {-1, 0, 1}}});
  ASSERT_EQ(builder.VertexCount(), 500'000u);
  ExpectPlCadPrepError(
      [&] {
        builder.Add({{o, PlPoint3{1, 0, 0}, {0, 0, 7}}});
      },
      "vertex_limit_exceeded", "import", "mesh exceeds the runtime 500000-vertex limit");
}

TEST(TriangleMeshBuilder, FinishChecksDeviationEmptinessCancellationAndTheContract) {
  const char* deviation = "mesh surface deviation must be finite and nonnegative";
  const char* contract = "imported mesh failed the runtime mesh contract: ";
  const std::vector<Triangle> far = {{PlPoint3{100001.0000001, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  const struct {
    std::vector<Triangle> triangles;
    double deviation;
    const char* code;
    const char* stage;
    std::string message;
  } cases[] = {
      {Cube(), NAN, "invalid_surface_deviation", "validate", deviation},
      {{}, -1e-9, "invalid_surface_deviation", "validate", deviation},
      {{}, 0.0, "empty_mesh", "import", "source contains no triangles"},
      {far, 0.0, "invalid_mesh_number", "validate",
       contract + std::string("mesh vertex is non-finite or outside the coordinate limit")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Builder builder;
    ExpectPlCadPrepError([&] { (void)builder.Add(c.triangles).Finish(c.deviation); }, c.code,
                         c.stage, c.message);
  }
  SwitchCancellation cancelled;
  cancelled.cancelled = true;
  Builder polled(kDefaultMaxTriangles, kDefaultMaxMemoryBytes, cancelled);
  ExpectPlCadPrepError([&] { (void)polled.Add(Cube()).Finish(0.0); }, "cancelled", "validate",
                       "preparation was cancelled");
  // Only a request beyond the runtime triangle limit gets this far.
  Builder repeated(1'000'001);
  for (int i = 0; i < 1'000'001; ++i) repeated.Add({Disjoint(0)});
  ExpectPlCadPrepError(
      [&] { (void)repeated.Finish(-0.0); }, "mesh_limit_exceeded", "validate",
      contract + std::string("mesh exceeds the configured vertex or triangle limit"));
}
