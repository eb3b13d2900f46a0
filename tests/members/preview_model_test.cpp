#include "members/preview_model.h"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct TestRun : LimitedRun {
  using LimitedRun::LimitedRun;
  Bytes Preview(const PlCollisionMeshMember& member) {
    const PlCadPrepMemoryReservation input =
        ReserveMemory(context, PlCollisionMeshMemberStorageBytes(member), "mesh");
    return BuildPlCadPrepPreviewModel(member, context, input);
  }
};

PlCollisionMeshMember MemberOf(std::vector<PlPoint3> vertices) {
  PlCadPrepTriangleImport import;
  import.mesh.vertices = std::move(vertices);
  import.mesh.triangles = {{ 0, 1, 2 }};
  import.sourceHash = "sha256:" + std::string(64, '0');
  MeasurePlGeometryBounds(import.mesh.vertices, import.mesh.boundsMin, import.mesh.boundsMax);
  TestRun run;
  const PlCadPrepMemoryReservation input = ReserveMemory(run.context, 1024, "import");
  return BuildPlCadPrepCollisionMeshMember(import, run.context, input);
}

const PlCollisionMeshMember& Tiny() {
  static const PlCollisionMeshMember member =
      MemberOf({{0.0, 0.0, -0.0}, {10.0, -1e-5, 0.0}, {-2.5, 0.1, 0.0}});
  return member;
}

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{bytes[offset + i]} << (8 * i);
  return v;
}

std::string JsonChunk(const Bytes& glb) {
  return std::string(glb.begin() + 20, glb.begin() + 20 + U32At(glb, 12));
}

TEST(PreviewModel, WritesHeaderJsonAndBinaryChunksByteForByte) {
  TestRun run;
  const Bytes glb = run.Preview(Tiny());
  std::string json =
      R"({"asset":{"generator":"PeltoCadPrep","version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)"
      R"("nodes":[{"mesh":0}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,)"
      R"("material":0,"mode":4}]}],"materials":[{"doubleSided":true,"pbrMetallicRoughness":)"
      R"({"baseColorFactor":[0.58,0.7,0.76,1],"metallicFactor":0,"roughnessFactor":0.72}}],)"
      R"("buffers":[{"byteLength":48}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36,)"
      R"("target":34962},{"buffer":0,"byteOffset":36,"byteLength":12,"target":34963}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
      R"("min":[-2.5,-9.99999975e-06,-0],"max":[10,0.100000001,-0]},{"bufferView":1,)"
      R"("componentType":5125,"count":3,"type":"SCALAR"}]})";
  while (json.size() % 4 != 0) json += ' ';
  EXPECT_EQ(JsonChunk(glb), json);
  ASSERT_EQ(glb.size(), 28u + json.size() + 48);
  EXPECT_EQ(std::string(glb.begin(), glb.begin() + 4), "glTF");
  EXPECT_EQ(U32At(glb, 4), 2u);
  EXPECT_EQ(U32At(glb, 8), glb.size());
  EXPECT_EQ(std::string(glb.begin() + 16, glb.begin() + 20), "JSON");
  std::size_t at = 20 + json.size();
  EXPECT_EQ(U32At(glb, at), 48u);
  EXPECT_EQ(U32At(glb, at + 4), 0x004E4942u);  // "BIN\0"
  EXPECT_EQ(run.context.ledger->outputReserved, 0u);
  EXPECT_EQ(run.context.ledger->memoryReserved, 0u);
}

TEST(PreviewModel, RefusesUndecodableBytesAndUncoveredInputs) {
  PlCollisionMeshMember broken = Tiny();
  broken.bytes[20] = 1;
  ExpectPlCadPrepError([&] { (void)TestRun().Preview(broken); }, "invalid_mesh_topology", "mesh",
                       "collision.pmesh bytes fail the native preview input contract");
  const std::uint64_t storage = PlCollisionMeshMemberStorageBytes(Tiny());
  TestRun run;
  TestRun other;
  const PlCadPrepMemoryReservation foreign = ReserveMemory(other.context, storage, "mesh");
  const PlCadPrepMemoryReservation tooSmall = ReserveMemory(run.context, storage - 1, "mesh");
  for (const PlCadPrepMemoryReservation* input : {&foreign, &tooSmall}) {
    ExpectPlCadPrepError([&] { (void)BuildPlCadPrepPreviewModel(Tiny(), run.context, *input); },
                         "invalid_resource_reservation", "mesh",
                         "stage input lacks its required request memory reservation");
  }
}

}  // namespace
