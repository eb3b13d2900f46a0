#include "members/preview_model.h"

#include <gtest/gtest.h>

#include "request/prepare_request.h"
#include "support/expect_error.h"
#include "support/test_geometry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

PlCollisionMeshMember Tiny() {
  PlCadPrepTriangleImport import{
      MakeMesh({{0.0, 0.0, -0.0}, {10.0, -1e-5, 0.0}, {-2.5, 0.1, 0.0}}, {{0, 1, 2}}),
      "sha256:" + std::string(64, '0')};
  LimitedRun run;
  return BuildPlCadPrepCollisionMeshMember(import, run.context,
                                           ReserveMemory(run.context, 1024, "import"));
}

Bytes Preview(const PlCollisionMeshMember& member, LimitedRun& run, std::int64_t slack = 0) {
  const std::uint64_t bytes = PlCollisionMeshMemberStorageBytes(member) + slack;
  return BuildPlCadPrepPreviewModel(member, run.context, ReserveMemory(run.context, bytes, "mesh"));
}

std::uint32_t U32At(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

TEST(PreviewModel, WritesHeaderJsonAndBinaryChunksByteForByte) {
  LimitedRun run;
  const Bytes glb = Preview(Tiny(), run);
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
  ASSERT_EQ(glb.size(), 28u + json.size() + 48);
  EXPECT_EQ(std::string(glb.begin() + 20, glb.begin() + 20 + U32At(glb, 12)), json);
  EXPECT_EQ(std::string(glb.begin(), glb.begin() + 4), "glTF");
  EXPECT_EQ(U32At(glb, 4), 2u);
  EXPECT_EQ(U32At(glb, 8), glb.size());
  EXPECT_EQ(U32At(glb, 16), 0x4E4F534Au);  // "JSON"
  EXPECT_EQ(U32At(glb, 20 + json.size()), 48u);
  EXPECT_EQ(U32At(glb, 24 + json.size()), 0x004E4942u);  // "BIN\0"
  const PlCollisionMeshMember member = Tiny();
  EXPECT_EQ(BuildPlCadPrepDecodedPreviewModel(
                member, run.context,
                ReserveMemory(run.context, PlCollisionMeshMemberStorageBytes(member), "mesh")),
            glb);
}

TEST(PreviewModel, RefusesUndecodableBytesAndUncoveredInputs) {
  PlCollisionMeshMember broken = Tiny();
  broken.bytes[20] = 1;
  LimitedRun run;
  ExpectPlCadPrepError([&] { (void)Preview(broken, run); }, "invalid_mesh_topology", "mesh",
                       "collision.pmesh bytes fail the native preview input contract");
  ExpectPlCadPrepError([&] { (void)Preview(Tiny(), run, -1); }, "invalid_resource_reservation",
                       "mesh", "stage input lacks its required request memory reservation");
}

}  // namespace
