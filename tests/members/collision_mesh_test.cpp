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
};

PlMemberDiagnostic Decode(const Bytes& bytes,
                          const PlRuntimeMeshLimits& limits = kPlRuntimeMeshLimits) {
  PlGeometryMesh out;
  return DecodeCollisionMesh(bytes, limits, out);
}

void PutU32(Bytes& bytes, std::size_t offset, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(CollisionMesh, DecoderRejectsEveryProperPrefixInOrder) {
  const std::pair<std::size_t, const char*> sections[] = {{8, "mesh magic is invalid or truncated"},
                                                          {24, "mesh header is truncated"},
                                                          {80, "mesh bounds are truncated"},
                                                          {116, "mesh vertex data is truncated"},
                                                          {128, "mesh triangle data is truncated"}};
  EXPECT_EQ(EncodeCollisionMesh(GoldenTriangle()), kGolden);
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
    PlCadPrepTriangleImport import{ClosedBox({0, 0, 0}, 10), c.hash};
    c.change(import.mesh);
    const PlCadPrepMemoryReservation input =
        ReserveMemory(run.context, 24 * 8 + 12 * 12 + 80, "import");
    ExpectPlCadPrepError(
        [&] { (void)BuildPlCadPrepCollisionMeshMember(import, run.context, input); }, c.code,
        c.stage, c.message);
    EXPECT_EQ(run.context.ledger->memoryReserved, input.bytes);
    EXPECT_EQ(run.context.ledger->outputReserved, 0u);
  }
}

}  // namespace
