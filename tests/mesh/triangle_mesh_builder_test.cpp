#include "mesh/triangle_mesh_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_error.h"

namespace {

using Triangle = std::array<PlPoint3, 3>;

constexpr std::uint64_t kMiB = 1'048'576;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
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

PlCadPrepRequest RequestWith(std::uint64_t maxTriangles, std::uint64_t maxMemoryBytes) {
  PlCadPrepRequest request;
  request.maxTriangles = maxTriangles;
  request.maxMemoryBytes = maxMemoryBytes;
  return request;
}

// The unit cube, every face wound counter-clockwise seen from outside.
std::vector<Triangle> CubeTriangles() {
  const auto corner = [](int i) {
    return PlPoint3{double(i & 1), double((i >> 1) & 1), double((i >> 2) & 1)};
  };
  const int faces[12][3] = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
                            {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
  std::vector<Triangle> triangles;
  for (const auto& f : faces) triangles.push_back({corner(f[0]), corner(f[1]), corner(f[2])});
  return triangles;
}

// Shares no vertex with the triangle of any other `i`.
Triangle DisjointTriangle(int i) {
  const double x = 3.0 * i;
  return {PlPoint3{x, 0.0, 0.0}, PlPoint3{x + 1.0, 0.0, 0.0}, PlPoint3{x, 1.0, 0.0}};
}

void Add(PlTriangleMeshBuilder& builder, const Triangle& t) {
  builder.AddTriangle(t[0], t[1], t[2]);
}

PlGeometryMesh Build(const std::vector<Triangle>& triangles) {
  const PlCadPrepRequest request;
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
  for (const Triangle& t : triangles) Add(builder, t);
  return builder.Finish(0.0);
}

}  // namespace

TEST(TriangleMeshBuilder, ScalesExactlyNamedUnitsAndMountsInTheWrittenOrder) {
  const std::pair<const char*, double> accepted[] = {
      {"mm", 1.0}, {"cm", 10.0}, {"m", 1000.0}, {"in", 25.4}};
  PlCadPrepRequest request;
  for (const auto& [units, scale] : accepted) {
    request.sourceUnits = units;
    EXPECT_EQ(UnitsScale(request), scale) << units;
  }
  for (const std::string units : {"MM", "IN", " mm", "m\t", "", "inch"}) {
    SCOPED_TRACE("'" + units + "'");
    request.sourceUnits = units;
    ExpectPlCadPrepError([&] { (void)UnitsScale(request); }, "units_confirmation_required",
                         "preflight", "STL and OBJ require mm, cm, m, or in");
  }
  const std::array<double, 16> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const std::array<double, 16> turn = {0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1};
  EXPECT_EQ(MountPoint(turn, 10.0, 1.0, 2.0, 3.0), (PlPoint3{-10.0, 30.0, 60.0}));
  // ((1 + 1e-16) + 1e-16) - 1 is 0 in f64; adding the translation earlier would give 2e-16.
  const std::array<double, 16> order = {1, 1, 1, -1, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  EXPECT_EQ(MountPoint(order, 1.0, 1.0, 1e-16, 1e-16)[0], 0.0);
  std::array<double, 16> huge = identity;
  huge[6] = 1e300;
  const struct {
    std::array<double, 16> transform;
    double scale;
    PlPoint3 p;
  } nonFinite[] = {{identity, 1e300, {1e10, 0.0, 0.0}},
                   {huge, 1.0, {0.0, 0.0, 1e10}},
                   {identity, 1.0, {0.0, kNan, 0.0}},
                   {identity, 1.0, {kInf, 1.0, 1.0}}};
  for (const auto& c : nonFinite) {
    SCOPED_TRACE(&c - nonFinite);
    ExpectPlCadPrepError([&] { (void)MountPoint(c.transform, c.scale, c.p[0], c.p[1], c.p[2]); },
                         "invalid_number", "import",
                         "source coordinate becomes non-finite in the mount frame");
  }
}

TEST(TriangleMeshBuilder, AddsTrianglesThroughItsChecksInOrder) {
  ASSERT_EQ(1e-6 * 1e-6, 1e-12);  // the sliver below sits exactly on the inclusive threshold
  const PlPoint3 o = {0.0, 0.0, 0.0}, x = {1.0, 0.0, 0.0}, y = {0.0, 1.0, 0.0};
  const PlPoint3 nan = {kNan, 0.0, 0.0};  // never equal, yet welded with itself
  const char* bad = "degenerate_triangle";
  const char* zero = "mesh contains a zero-area triangle";
  const struct {
    std::uint64_t maxTriangles;
    std::uint64_t maxMemoryBytes;
    Triangle t;
    const char* code;  // null: the triangle is accepted
    const char* stage;
    const char* message;
  } cases[] = {
      {9, kMiB, {o, {-0.0, 0.0, 0.0}, {1.0, 1.0, 0.0}}, bad, "validate", zero},  // signed zeros
      {9, kMiB, {x, y, x}, bad, "validate", zero},
      {9, kMiB, {o, x, {2.0, 0.0, 0.0}}, bad, "validate", zero},
      {9, kMiB, {o, x, {0.0, 1e-6, 0.0}}, bad, "validate", zero},
      {9, kMiB, {o, x, {0.0, std::nextafter(1e-6, 1.0), 0.0}}, nullptr, "", ""},
      {9, kMiB, {nan, nan, y}, bad, "validate", "mesh contains a triangle with repeated vertices"},
      {2, kMiB, {o, o, o}, "triangle_limit_exceeded", "import", "mesh exceeds maxTriangles"},
      {9, 0, {o, o, o}, bad, "validate", zero},  // the degenerate test comes before memory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const PlCadPrepRequest request = RequestWith(c.maxTriangles, c.maxMemoryBytes);
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
    for (int i = 0; c.maxTriangles == 2 && i < 2; ++i) Add(builder, DisjointTriangle(i));
    const std::size_t before = builder.TriangleCount();
    if (c.code == nullptr) {
      Add(builder, c.t);
    } else {
      ExpectPlCadPrepError([&] { Add(builder, c.t); }, c.code, c.stage, c.message);
    }
    EXPECT_EQ(builder.TriangleCount(), before + (c.code == nullptr ? 1 : 0));
  }
}

TEST(TriangleMeshBuilder, ChecksMemoryAtExactBoundaries) {
  const std::vector<Triangle> cube = CubeTriangles();
  // A second cube triangle is checked for (3 + 3 vertices, 2 triangles) = 1024 bytes
  // although it brings only one new vertex.
  const struct {
    std::uint64_t maxMemoryBytes;
    std::uint64_t baseBytes;
    std::size_t cubeTrianglesFirst;
    bool passes;
  } cases[] = {{512, 0, 0, true},   {511, 0, 0, false}, {522, 10, 0, true},
               {521, 10, 0, false}, {1024, 0, 1, true}, {1023, 0, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.maxMemoryBytes);
    const PlCadPrepRequest request = RequestWith(kDefaultMaxTriangles, c.maxMemoryBytes);
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
    builder.SetBaseBytes(c.baseBytes);
    if (c.cubeTrianglesFirst == 1) Add(builder, cube[0]);
    const Triangle& t = cube[c.cubeTrianglesFirst];
    if (c.passes) {
      Add(builder, t);
    } else {
      ExpectPlCadPrepError([&] { Add(builder, t); }, "memory_limit_exceeded", "import", kMemory);
    }
  }
  const PlCadPrepRequest request = RequestWith(9, 100);
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
  builder.SetBaseBytes(100);
  ExpectPlCadPrepError([&] { builder.SetBaseBytes(101); }, "memory_limit_exceeded", "import",
                       kMemory);
  EXPECT_EQ(EstimatePlMeshMemoryBytes(192'153'584'101'141'162, 0), 18'446'744'073'709'551'552u);
  EXPECT_EQ(EstimatePlMeshMemoryBytes(1, 82'351'536'043'346'212), 18'446'744'073'709'551'584u);
  const std::pair<std::uint64_t, std::uint64_t> overflowing[] = {
      {192'153'584'101'141'163, 0}, {0, 82'351'536'043'346'213}, {2, 82'351'536'043'346'212}};
  for (const auto& [vertices, triangles] : overflowing) {
    SCOPED_TRACE(std::to_string(vertices) + "/" + std::to_string(triangles));
    ExpectPlCadPrepError([&] { (void)EstimatePlMeshMemoryBytes(vertices, triangles); },
                         "memory_limit_exceeded", "import", "mesh allocation estimate overflowed");
  }
}

TEST(TriangleMeshBuilder, WeldsOnlyBitIdenticalPointsAndSignedZeros) {
  const PlPoint3 negativeZero = {-0.0, 1.0, 2.0};
  const PlPoint3 nextToOne = {0.0, std::nextafter(1.0, 2.0), 2.0};
  const PlGeometryMesh mesh = Build({
      {negativeZero, PlPoint3{1.0, 0.0, 0.0}, PlPoint3{0.0, 0.0, 1.0}},
      {PlPoint3{0.0, 1.0, 2.0}, PlPoint3{5.0, 0.0, 0.0}, PlPoint3{0.0, 5.0, 0.0}},
      {nextToOne, PlPoint3{0.0, 0.0, 1.0}, PlPoint3{1.0, 0.0, 0.0}},
  });
  ASSERT_EQ(mesh.vertices.size(), 6u);
  EXPECT_TRUE(std::signbit(mesh.vertices[0][0]));  // only the key reads -0.0 as +0.0
  EXPECT_EQ(mesh.vertices[5], nextToOne);
  EXPECT_EQ(mesh.triangles,
            (std::vector<std::array<std::uint32_t, 3>>{{0, 1, 2}, {0, 3, 4}, {5, 2, 1}}));
  EXPECT_TRUE(std::signbit(mesh.boundsMin[0]));
  EXPECT_EQ(mesh.boundsMax, (PlPoint3{5.0, 5.0, 2.0}));
}

TEST(TriangleMeshBuilder, StopsAtTheRuntimeVertexLimit) {
  const PlCadPrepRequest request;
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
  for (int i = 0; i < 166'666; ++i) Add(builder, DisjointTriangle(i));
  const PlPoint3 first = {0.0, 0.0, 0.0};
  builder.AddTriangle(first, {-1.0, -1.0, 0.0}, {-1.0, 0.0, 1.0});
  ASSERT_EQ(builder.VertexCount(), 500'000u);
  builder.AddTriangle(first, {3.0, 1.0, 0.0}, {-1.0, 0.0, 1.0});  // repeated vertices only
  ExpectPlCadPrepError(
      [&] {
        builder.AddTriangle(first, {1.0, 0.0, 0.0}, {0.0, 0.0, 7.0});
      },
      "vertex_limit_exceeded", "import", "mesh exceeds the runtime 500000-vertex limit");
  EXPECT_EQ(builder.VertexCount(), 500'000u);
  EXPECT_EQ(builder.TriangleCount(), 166'668u);
}

TEST(TriangleMeshBuilder, MarksOnlyClosedConsistentMeshesWatertight) {
  const PlGeometryMesh cube = Build(CubeTriangles());
  EXPECT_TRUE(cube.watertight);
  EXPECT_EQ(cube.boundsMin, (PlPoint3{0.0, 0.0, 0.0}));
  EXPECT_EQ(cube.boundsMax, (PlPoint3{1.0, 1.0, 1.0}));
  std::vector<Triangle> flipped = CubeTriangles();
  std::swap(flipped[5][1], flipped[5][2]);
  EXPECT_FALSE(Build(flipped).watertight);
  std::vector<Triangle> open = CubeTriangles();
  open.pop_back();
  EXPECT_FALSE(Build(open).watertight);
  // Two tetrahedra sharing one edge: that edge has four uses and a balance of 0.
  const PlPoint3 a = {0, 0, 0}, b = {1, 0, 0}, c = {0, 1, 0}, d = {0, 0, 1};
  const PlPoint3 e = {1, -1, -1}, f = {2, 1, 1};
  std::vector<Triangle> pair = {{a, c, b}, {a, b, d}, {a, d, c}, {b, c, d}};
  ASSERT_TRUE(Build(pair).watertight);
  pair.insert(pair.end(), {{a, e, b}, {a, b, f}, {a, f, e}, {b, e, f}});
  EXPECT_FALSE(Build(pair).watertight);
}

TEST(TriangleMeshBuilder, FinishChecksDeviationEmptinessAndTheContract) {
  const char* badDeviation = "mesh surface deviation must be finite and nonnegative";
  const struct {
    std::vector<Triangle> triangles;
    double deviation;
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {CubeTriangles(), kNan, "invalid_surface_deviation", "validate", badDeviation},
      {CubeTriangles(), kInf, "invalid_surface_deviation", "validate", badDeviation},
      {CubeTriangles(), -1e-9, "invalid_surface_deviation", "validate", badDeviation},
      {{}, -1.0, "invalid_surface_deviation", "validate", badDeviation},
      {{}, 0.0, "empty_mesh", "import", "source contains no triangles"},
      {{Triangle{PlPoint3{100001.0000001, 0, 0}, PlPoint3{0, 1, 0}, PlPoint3{0, 0, 1}}},
       0.0,
       "invalid_mesh_number",
       "validate",
       "imported mesh failed the runtime mesh contract: mesh vertex is non-finite or outside the "
       "coordinate limit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const PlCadPrepRequest request;
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
    for (const Triangle& t : c.triangles) Add(builder, t);
    ExpectPlCadPrepError([&] { (void)builder.Finish(c.deviation); }, c.code, c.stage, c.message);
  }
  const PlCadPrepRequest request;
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, nullptr);
  builder.AddTriangle({100001.0, 0, 0}, {0, -100001.0, 0}, {0, 0, 100001.0});
  EXPECT_EQ(builder.Finish(0.25).surfaceDeviationMm, 0.25);
  EXPECT_EQ(builder.VertexCount(), 0u);
  // Only a request beyond the runtime triangle limit gets this far.
  const PlCadPrepRequest wide = RequestWith(1'000'001, kDefaultMaxMemoryBytes);
  PlTriangleMeshBuilder repeated(PlMeshLimitsOf(wide), kNever, nullptr);
  for (int i = 0; i < 1'000'001; ++i) Add(repeated, DisjointTriangle(0));
  ExpectPlCadPrepError([&] { (void)repeated.Finish(-0.0); }, "mesh_limit_exceeded", "validate",
                       "imported mesh failed the runtime mesh contract: mesh exceeds the "
                       "configured vertex or triangle limit");
}

TEST(TriangleMeshBuilder, ReservesContextMemoryInMebibyteStepsWithinTheLedger) {
  const PlCadPrepRequest request = RequestWith(kDefaultMaxTriangles, 8 * kMiB);
  const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, kNever);
  {
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), kNever, &context);
    // Disjoint triangle k is checked for 512 * (k + 1) bytes.
    for (int i = 0; i < 2048; ++i) Add(builder, DisjointTriangle(i));
    EXPECT_EQ(context.ledger->memoryReserved, kMiB);
    Add(builder, DisjointTriangle(2048));
    EXPECT_EQ(context.ledger->memoryReserved, 2 * kMiB);
    EXPECT_EQ(builder.Finish(0.0).triangles.size(), 2049u);
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
    Add(builder, DisjointTriangle(0));
    EXPECT_EQ(context.ledger->memoryReserved, kMiB);
  }
  EXPECT_EQ(context.ledger->memoryReserved, 0u);  // released with the builder
  const struct {
    const char* name;
    std::uint64_t maxMemoryBytes;
    std::uint64_t heldElsewhere;
    std::uint64_t baseBytes;
    int triangles;
    bool passes;
  } cases[] = {
      {"one step fits", kMiB, 0, 0, 2048, true},
      {"second step does not fit", kMiB, 0, 0, 2049, false},
      {"a step is taken whole", kMiB - 1, 0, 0, 1, false},
      {"other reservations count", 2 * kMiB, kMiB + 1, 0, 1, false},
      {"reserved base bytes are covered", 2 * kMiB, kMiB, kMiB, 1, true},
      {"uncovered base bytes count", 2 * kMiB, 0, kMiB + 1, 1, false},
      {"uncovered base bytes fit", 2 * kMiB, 0, kMiB, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PlCadPrepRequest limited = RequestWith(kDefaultMaxTriangles, c.maxMemoryBytes);
    const PlCadPrepOperationContext run = MakePlCadPrepOperationContext(limited, kNever);
    const PlCadPrepMemoryReservation elsewhere = ReserveMemory(run, c.heldElsewhere, "import");
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(limited), kNever, &run);
    builder.SetBaseBytes(c.baseBytes);
    for (int i = 0; i + 1 < c.triangles; ++i) Add(builder, DisjointTriangle(i));
    const std::uint64_t before = run.ledger->memoryReserved;
    const Triangle last = DisjointTriangle(c.triangles - 1);
    if (c.passes) {
      Add(builder, last);
    } else {
      ExpectPlCadPrepError([&] { Add(builder, last); }, "memory_limit_exceeded", "import", kMemory);
      EXPECT_EQ(run.ledger->memoryReserved, before);
    }
  }
}

TEST(TriangleMeshBuilder, CancellationStopsTheBuildAtItsCheckpoints) {
  const PlCadPrepRequest request;
  {
    // With a context, reservations and the finishing polls ask through its checkpoint.
    CountingCancellation cancelled(1);
    const PlCadPrepOperationContext context = MakePlCadPrepOperationContext(request, cancelled);
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), cancelled, &context);
    ExpectPlCadPrepError([&] { Add(builder, DisjointTriangle(0)); }, "cancelled", "import",
                         "preparation was cancelled");
    EXPECT_EQ(context.ledger->memoryReserved, 0u);
    cancelled.cancelAt = 3;
    Add(builder, DisjointTriangle(0));
    ExpectPlCadPrepError([&] { (void)builder.Finish(0.0); }, "cancelled", "validate",
                         "preparation was cancelled");
  }
  // A strip of 6000 vertices, 5998 triangles and 11997 edges: 2 + 2 + 3 polls.
  std::vector<Triangle> strip;
  for (int i = 0; i < 2999; ++i) {
    const double x = i;
    strip.push_back({PlPoint3{x, 0, 0}, PlPoint3{x + 1, 0, 0}, PlPoint3{x, 1, 0}});
    strip.push_back({PlPoint3{x + 1, 0, 0}, PlPoint3{x + 1, 1, 0}, PlPoint3{x, 1, 0}});
  }
  for (const int cancelAt : {0, 1, 2, 3, 5, 7}) {
    SCOPED_TRACE(cancelAt);
    CountingCancellation counting(cancelAt);
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), counting, nullptr);
    for (const Triangle& t : strip) Add(builder, t);
    if (cancelAt == 0) {
      EXPECT_FALSE(builder.Finish(0.0).watertight);
      EXPECT_EQ(counting.calls, 7);
    } else {
      ExpectPlCadPrepError([&] { (void)builder.Finish(0.0); }, "cancelled", "validate",
                           "preparation was cancelled");
      EXPECT_EQ(counting.calls, cancelAt);
    }
  }
}
