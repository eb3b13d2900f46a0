#include "members/collision_mesh.h"

#include <gtest/gtest.h>

#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Code = PlMemberDiagnosticCode;

Bytes Hex(std::string_view h) {
  Bytes b;
  for (std::size_t i = 0; i < h.size(); i += 2)
    b.push_back(std::uint8_t(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return b;
}

// Magic, version 1, 3 vertices, 1 triangle, flags 0, deviation 0.125, bounds, f32 vertices,
// triangle {2, 0, 1}.
const Bytes kGolden =
    Hex("504c474d5348310001000000030000000100000000000000000000000000c03f00000000000000c000000000"
        "0000e03f000000000000f0bf000000000000f03f00000000000010400000000000000840000000c00000003f00"
        "0040400000803f0000003f000040400000000000008040000080bf020000000000000001000000");

PlMemberDiagnostic Decode(const Bytes& bytes,
                          const PlRuntimeMeshLimits& limits = kPlRuntimeMeshLimits) {
  PlGeometryMesh out;
  return DecodeCollisionMesh(bytes, limits, out);
}

TEST(CollisionMesh, EncodesGoldenBytesAndDecoderRejectsEveryProperPrefixInOrder) {
  const std::pair<std::size_t, const char*> sections[] = {{8, "mesh magic is invalid or truncated"},
                                                          {24, "mesh header is truncated"},
                                                          {80, "mesh bounds are truncated"},
                                                          {116, "mesh vertex data is truncated"},
                                                          {128, "mesh triangle data is truncated"}};
  EXPECT_EQ(EncodeCollisionMesh(MakeMesh({{-2.0, 0.5, 3.0}, {1.0, 0.5, 3.0}, {0.0, 4.0, -1.0}},
                                         {{2, 0, 1}}, 0.125)),
            kGolden);
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
  PlRuntimeMeshLimits small = kPlRuntimeMeshLimits, two = kPlRuntimeMeshLimits;
  small.maxMemberBytes = 127;
  two.maxVertices = 2;
  const PlRuntimeMeshLimits& base = kPlRuntimeMeshLimits;
  // Writes `value` at byte `at`; at 0: no change; at 1: append a byte.
  for (const auto& [at, value, limits, code, message] :
       {std::tuple<std::size_t, std::uint32_t, PlRuntimeMeshLimits, Code, const char*>{
            0, 0, small, Code::limitExceeded, "mesh member exceeds the configured byte limit"},
        {4, 0x3131'4853, base, Code::badMagic, "mesh magic is invalid or truncated"},
        {20, 1, base, Code::unsupportedVersion, "mesh version or reserved flags are unsupported"},
        {0, 0, two, Code::limitExceeded, "mesh count exceeds the configured limit"},
        {12, 499'999, base, Code::truncated, "mesh vertex data is truncated"},
        {1, 0, base, Code::trailingBytes, "mesh contains trailing bytes"}}) {
    SCOPED_TRACE(message);
    Bytes b = kGolden;
    if (at == 1) b.push_back(0);
    for (std::size_t i = 0; at > 1 && i < 4; ++i) b[at + i] = std::uint8_t(value >> (8 * i));
    const PlMemberDiagnostic d = Decode(b, limits);
    EXPECT_EQ(d.code, code);
    EXPECT_EQ(d.message, message);
  }
}

TEST(CollisionMesh, BuilderFailuresCarryTheirCodesInOrder) {
  const auto expect = [](const char* hash, void (*change)(PlGeometryMesh&), const char* code,
                         const char* stage, const char* message) {
    LimitedRun run;
    PlCadPrepTriangleImport import{ClosedBox({0, 0, 0}, 10), hash};
    change(import.mesh);
    const auto input = ReserveMemory(run.context, 24 * 8 + 12 * 12 + 80, "import");
    ExpectPlCadPrepError(
        [&] { (void)BuildPlCadPrepCollisionMeshMember(import, run.context, input); }, code, stage,
        message);
    EXPECT_EQ(run.context.ledger->memoryReserved, input.bytes);
  };
  const std::string hash = "sha256:" + std::string(64, 'a');
  expect(
      "md5:0",
      [](PlGeometryMesh& m) {
        m.triangles[3] = {1, 2, 0};
      },
      "invalid_source_hash", "validate", "source hash must be a canonical SHA-256 identity");
  expect(
      hash.c_str(), [](PlGeometryMesh& m) { m.vertices[3][2] = m.boundsMax[2] = 100001.5; },
      "invalid_mesh_topology", "validate", "source mesh fails the native collision mesh contract");
  expect(
      hash.c_str(),
      [](PlGeometryMesh& m) { m.surfaceDeviationMm = std::numeric_limits<double>::max(); },
      "invalid_surface_deviation", "mesh",
      "source mesh carries an unbounded surface-deviation sentinel");
}

}  // namespace
