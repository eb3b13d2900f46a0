#include "members/collision_mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Code = PlMemberDiagnosticCode;

const std::string kHash = "sha256:" + std::string(64, 'a');

PlGeometryMesh GoldenTriangle() {
  return MakeMesh({{-2.0, 0.5, 3.0}, {1.0, 0.5, 3.0}, {0.0, 4.0, -1.0}}, {{2, 0, 1}}, 0.125);
}

// The closed tetrahedron, consistently wound; `x` moves the first corner.
PlGeometryMesh Tetrahedron(double x, double deviationMm = 0.0) {
  PlGeometryMesh mesh = MakeMesh({{x, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}},
                                 {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}, deviationMm);
  mesh.watertight = true;
  return mesh;
}

const Bytes kGolden = {
    'P', 'L', 'G',  'M',  'S', 'H', '1',  0,     // magic
    1,   0,   0,    0,    3,   0,   0,    0,     // version, vertices
    1,   0,   0,    0,    0,   0,   0,    0,     // triangles, flags
    0,   0,   0,    0,    0,   0,   0xC0, 0x3F,  // deviation 0.125
    0,   0,   0,    0,    0,   0,   0,    0xC0,  // min x -2
    0,   0,   0,    0,    0,   0,   0xE0, 0x3F,  // min y 0.5
    0,   0,   0,    0,    0,   0,   0xF0, 0xBF,  // min z -1
    0,   0,   0,    0,    0,   0,   0xF0, 0x3F,  // max x 1
    0,   0,   0,    0,    0,   0,   0x10, 0x40,  // max y 4
    0,   0,   0,    0,    0,   0,   0x08, 0x40,  // max z 3
    0,   0,   0,    0xC0, 0,   0,   0,    0x3F,  // v0 -2, 0.5
    0,   0,   0x40, 0x40, 0,   0,   0x80, 0x3F,  // v0 3, v1 1
    0,   0,   0,    0x3F, 0,   0,   0x40, 0x40,  // v1 0.5, 3
    0,   0,   0,    0,    0,   0,   0x80, 0x40,  // v2 0, 4
    0,   0,   0x80, 0xBF, 2,   0,   0,    0,     // v2 -1, triangle 2
    0,   0,   0,    0,    1,   0,   0,    0,     // triangle 0, 1
};

struct TestRun : LimitedRun {
  using LimitedRun::LimitedRun;
  // The import's storage: 24 bytes a vertex, 12 a triangle and the 71-character hash.
  PlCollisionMeshMember Build(const PlGeometryMesh& mesh, std::int64_t inputSlack = 0) {
    const PlCadPrepMemoryReservation input = ReserveMemory(
        context, 24 * mesh.vertices.size() + 12 * mesh.triangles.size() + 71 + inputSlack,
        "import");
    return BuildPlCadPrepCollisionMeshMember({mesh, kHash}, context, input);
  }
};

// Reports cancellation from its n-th question on, to reach checkpoints in order.
class CancelAtCall final : public PlCadPrepCancellation {
 public:
  explicit CancelAtCall(int n) : remaining(n) {}
  bool IsCancelled() const override { return --remaining <= 0; }

 private:
  mutable int remaining;
};

PlMemberDiagnostic Decode(const Bytes& bytes,
                          const PlRuntimeMeshLimits& limits = kPlRuntimeMeshLimits) {
  PlGeometryMesh out;
  return DecodeCollisionMesh(bytes, limits, out);
}

void PutU32(Bytes& bytes, std::size_t offset, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(CollisionMesh, EncodesGoldenBytesAndRoundTrips) {
  EXPECT_EQ(EncodeCollisionMesh(GoldenTriangle()), kGolden);
  const PlGeometryMesh source = Tetrahedron(0.0, 0.5);
  const Bytes bytes = EncodeCollisionMesh(source);
  PlGeometryMesh decoded;
  decoded.watertight = true;
  ASSERT_TRUE(DecodeCollisionMesh(bytes, kPlRuntimeMeshLimits, decoded).Passed());
  EXPECT_EQ(decoded.vertices, source.vertices);
  EXPECT_EQ(decoded.triangles, source.triangles);
  EXPECT_EQ(decoded.boundsMin, source.boundsMin);
  EXPECT_EQ(decoded.boundsMax, source.boundsMax);
  EXPECT_EQ(decoded.surfaceDeviationMm, 0.5);
  EXPECT_FALSE(decoded.watertight);
  EXPECT_EQ(EncodeCollisionMesh(decoded), bytes);
  // Encoded bounds are those of the rounded vertices: 0.1 rounds up, so the minimum x is 0.1f.
  ASSERT_TRUE(DecodeCollisionMesh(EncodeCollisionMesh(MakeMesh(
                                      {{0.1, 0, 0}, {1, 0.2, 0}, {0.3, 1, 0}}, {{0, 1, 2}}, 0)),
                                  kPlRuntimeMeshLimits, decoded)
                  .Passed());
  EXPECT_EQ(decoded.boundsMin[0], static_cast<double>(0.1f));
  // Meshes that break the contract are not encoded.
  PlGeometryMesh badBounds = GoldenTriangle();
  badBounds.boundsMax[1] = 5.0;
  EXPECT_TRUE(EncodeCollisionMesh(badBounds).empty());
}

TEST(CollisionMesh, DecoderRejectsEveryProperPrefixInOrder) {
  const std::pair<std::size_t, const char*> sections[] = {{8, "mesh magic is invalid or truncated"},
                                                          {24, "mesh header is truncated"},
                                                          {80, "mesh bounds are truncated"},
                                                          {116, "mesh vertex data is truncated"},
                                                          {128, "mesh triangle data is truncated"}};
  std::size_t section = 0;
  for (std::size_t n = 0; n < kGolden.size(); ++n) {
    SCOPED_TRACE(n);
    if (n == sections[section].first) ++section;
    // Each prefix in its own allocation so an overrun is visible to sanitizers.
    const auto prefix =
        std::make_unique<Bytes>(kGolden.begin(), kGolden.begin() + std::ptrdiff_t(n));
    const PlMemberDiagnostic d = Decode(*prefix);
    EXPECT_EQ(d.code, n < 8 ? Code::badMagic : Code::truncated);
    EXPECT_EQ(d.member, "collision.pmesh");
    EXPECT_EQ(d.message, sections[section].second);
  }
}

TEST(CollisionMesh, DecoderReportsEachCategory) {
  PlRuntimeMeshLimits tinyMember = kPlRuntimeMeshLimits, twoVertices = kPlRuntimeMeshLimits,
                      noTriangles = kPlRuntimeMeshLimits;
  tinyMember.maxMemberBytes = 127;
  twoVertices.maxVertices = 2;
  noTriangles.maxTriangles = 0;
  const PlRuntimeMeshLimits& standard = kPlRuntimeMeshLimits;
  const char* version = "mesh version or reserved flags are unsupported";
  const char* count = "mesh count exceeds the configured limit";
  const struct {
    void (*mutate)(Bytes&);
    const PlRuntimeMeshLimits& limits;
    Code code;
    const char* message;
  } cases[] = {
      {[](Bytes&) {}, standard, Code::passed, ""},
      {[](Bytes&) {}, tinyMember, Code::limitExceeded,
       "mesh member exceeds the configured byte limit"},
      {[](Bytes& b) { b[7] = '1'; }, standard, Code::badMagic,
       "mesh magic is invalid or truncated"},
      {[](Bytes& b) { PutU32(b, 8, 2); }, standard, Code::unsupportedVersion, version},
      {[](Bytes& b) { PutU32(b, 20, 1); }, standard, Code::unsupportedVersion, version},
      {[](Bytes&) {}, twoVertices, Code::limitExceeded, count},
      {[](Bytes&) {}, noTriangles, Code::limitExceeded, count},
      {[](Bytes& b) { PutU32(b, 12, 499'999); }, standard, Code::truncated,
       "mesh vertex data is truncated"},
      {[](Bytes& b) { b.push_back(0); }, standard, Code::trailingBytes,
       "mesh contains trailing bytes"},
      {[](Bytes& b) { PutU32(b, 116, 3); }, standard, Code::invalidTopology,
       "mesh contains an invalid triangle index"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Bytes bytes = kGolden;
    c.mutate(bytes);
    const PlMemberDiagnostic d = Decode(bytes, c.limits);
    EXPECT_EQ(d.code, c.code);
    EXPECT_EQ(d.message, c.message);
  }
}

TEST(CollisionMesh, BuilderFailuresCarryTheirCodesInOrder) {
  const char* badHash = "source hash must be a canonical SHA-256 identity";
  const char* contract = "source mesh fails the native collision mesh contract";
  const struct {
    std::string hash;
    void (*change)(PlGeometryMesh&);
    const char* code;
    const char* stage;
    const char* message;
  } cases[] = {
      {"sha256:" + std::string(64, 'A'), [](PlGeometryMesh&) {}, "invalid_source_hash", "validate",
       badHash},
      {"md5:0",
       [](PlGeometryMesh& m) {
         m.triangles[3] = {1, 2, 0};
       },
       "invalid_source_hash", "validate", badHash},
      {kHash,
       [](PlGeometryMesh& m) {
         m.triangles[3] = {1, 2, 0};
       },
       "invalid_mesh_topology", "validate", contract},
      {kHash, [](PlGeometryMesh& m) { m.vertices[3][2] = m.boundsMax[2] = 100001.5; },
       "invalid_mesh_topology", "validate", contract},
      {kHash, [](PlGeometryMesh& m) { m.surfaceDeviationMm = std::numeric_limits<double>::max(); },
       "invalid_surface_deviation", "mesh",
       "source mesh carries an unbounded surface-deviation sentinel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    TestRun run;
    PlCadPrepTriangleImport import{Tetrahedron(0.0), c.hash};
    c.change(import.mesh);
    const PlCadPrepMemoryReservation input =
        ReserveMemory(run.context, 24 * 4 + 12 * 4 + 80, "import");
    ExpectPlCadPrepError(
        [&] { (void)BuildPlCadPrepCollisionMeshMember(import, run.context, input); }, c.code,
        c.stage, c.message);
    EXPECT_EQ(run.context.ledger->memoryReserved, input.bytes);
    EXPECT_EQ(run.context.ledger->outputReserved, 0u);
  }
}

TEST(CollisionMesh, ReservesTheInputWorkMemoryAndExactOutput) {
  const std::uint64_t input = 24 * 3 + 12 + 71;
  const std::uint64_t work = 2 * (24 * 3 + 12) + 128;
  TestRun other;
  TestRun run;
  const PlCadPrepMemoryReservation foreign = ReserveMemory(other.context, input, "import");
  const auto refused = [](auto&& build) {
    ExpectPlCadPrepError(build, "invalid_resource_reservation", "mesh",
                         "stage input lacks its required request memory reservation");
  };
  refused([&] {
    (void)BuildPlCadPrepCollisionMeshMember({GoldenTriangle(), kHash}, run.context, foreign);
  });
  refused([&] { (void)run.Build(GoldenTriangle(), -1); });
  ExpectPlCadPrepError([&] { (void)TestRun(input + work - 1).Build(GoldenTriangle()); },
                       "memory_limit_exceeded", "mesh", "preparation exceeds maxMemoryBytes");
  ExpectPlCadPrepError([&] { (void)TestRun(input + work, 127).Build(GoldenTriangle()); },
                       "output_limit_exceeded", "mesh", "preparation exceeds maxOutputBytes");
  EXPECT_EQ(TestRun(input + work, 128).Build(GoldenTriangle()).bytes, kGolden);
}

}  // namespace
