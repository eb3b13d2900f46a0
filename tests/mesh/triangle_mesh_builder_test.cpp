#include "mesh/triangle_mesh_builder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Triangle = std::array<PlPoint3, 3>;

const NeverCancelled kNever;
const char* kMemory = "mesh exceeds maxMemoryBytes";

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
  const PlPoint3 y = {0, 1, 0};
  const std::vector<Triangle> cube = {{PlPoint3{}, {1, 0, 0}, y},
                                      {PlPoint3{1, 0, 0}, {1, 1, 0}, y}},
                              two = {Disjoint(0), Disjoint(1)};
  const PlPoint3 o = {0, 0, 0}, x = {1, 0, 0}, nan = {NAN, 0, 0};
  const char* zero = "mesh contains a zero-area triangle";
  const char* repeated = "mesh contains a triangle with repeated vertices";
  // A null code: the triangle is accepted.
  // A null code: the triangle is accepted.
  for (const auto& [maxTriangles, maxMemoryBytes, baseBytes, before, t, code, message] :
       {std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::vector<Triangle>, Triangle,
                   const char*, const char*>{
            9, 1 << 20, 0, {}, {o, x, {0, 1e-6, 0}}, "degenerate_triangle", zero},  // 1e-12
                                                                                    // inclusive
        {9, 1 << 20, 0, {}, {o, x, {0, std::nextafter(1e-6, 1.0), 0}}, nullptr, ""},
        {9, 1 << 20, 0, {}, {nan, nan, x}, "degenerate_triangle", repeated},
        {2, 1 << 20, 0, two, {o, o, o}, "triangle_limit_exceeded", "mesh exceeds maxTriangles"},
        {9, 512, 0, {}, cube[0], nullptr, ""},
        {9, 511, 0, {}, cube[0], "memory_limit_exceeded", kMemory},
        {9, 521, 10, {}, cube[0], "memory_limit_exceeded", kMemory},
        {9, 1023, 0, {cube[0]}, cube[1], "memory_limit_exceeded", kMemory}}) {
    SCOPED_TRACE(maxMemoryBytes);
    Builder builder(maxTriangles, maxMemoryBytes);
    builder.SetBaseBytes(baseBytes);
    builder.Add(before);
    if (code == nullptr) builder.Add({t});
    const char* stage =
        code && std::string_view(code) == "degenerate_triangle" ? "validate" : "import";
    if (code) ExpectPlCadPrepError([&] { builder.Add({t}); }, code, stage, message);
    EXPECT_EQ(builder.TriangleCount(), before.size() + (code == nullptr ? 1 : 0));
  }
  Builder builder(9, 100);
  builder.SetBaseBytes(100);
  ExpectPlCadPrepError([&] { builder.SetBaseBytes(101); }, "memory_limit_exceeded", "import",
                       kMemory);
  EXPECT_EQ(EstimatePlMeshMemoryBytes(192'153'584'101'141'162, 0), 192'153'584'101'141'162ULL * 96);
  for (const auto& [vertices, triangles] :
       {std::pair<std::uint64_t, std::uint64_t>{192'153'584'101'141'163, 0},
        {2, 82'351'536'043'346'212}}) {
    ExpectPlCadPrepError([&] { (void)EstimatePlMeshMemoryBytes(vertices, triangles); },
                         "memory_limit_exceeded", "import", "mesh allocation estimate overflowed");
  }
}

TEST(TriangleMeshBuilder, StopsAtTheVertexLimit) {
  Builder builder;
  for (int i = 0; i < 166'666; ++i) builder.Add({Disjoint(i)});
  const PlPoint3 o = {0, 0, 0};
  builder.Add({{o, PlPoint3{-1, -1, 0}, {-1, 0, 1}}, {o, PlPoint3{3, 1, 0}, {-1, 0, 1}}});
  ASSERT_EQ(builder.VertexCount(), 500'000u);
  const auto add = [&] { builder.Add({{o, PlPoint3{1, 0, 0}, {0, 0, 7}}}); };
  ExpectPlCadPrepError(add, "vertex_limit_exceeded", "import",
                       "mesh exceeds the runtime 500000-vertex limit");
}

TEST(TriangleMeshBuilder, FinishChecksDeviationAndTheContract) {
  ExpectPlCadPrepError([] { (void)Builder().Finish(-1e-9); }, "invalid_surface_deviation",
                       "validate", "mesh surface deviation must be finite and nonnegative");
  const std::vector<Triangle> far = {{PlPoint3{100001.0000001, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  ExpectPlCadPrepError([&] { (void)Builder().Add(far).Finish(0.0); }, "invalid_mesh_number",
                       "validate",
                       "imported mesh failed the runtime mesh contract: mesh vertex is "
                       "non-finite or outside the coordinate limit");
}
