#pragma once
// The project's own checks of a published package, shared by every end-to-end
// test: member order, the asset identity recomputed from the members, the
// manifest's validation figures and orientation table, and every member decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "members/collision_mesh.h"
#include "members/voxel_member.h"
#include "package/asset_identity.h"
#include "support/json_walk.h"
#include "support/package_reader.h"

// Fails the test (without stopping it) on every broken promise of the package
// at `path`; a generated package carries its analytic member after the mesh.
inline void ExpectValidPackage(const std::filesystem::path& path, std::uint64_t triangles,
                               std::size_t orientations, std::size_t voxelMembers, bool watertight,
                               bool analytic = false) {
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const PackageContents contents = ReadPackage(PackageTextBytes(file));
  EXPECT_EQ(contents.problem, "");
  const std::vector<std::string> names = contents.Names();
  const std::size_t fixed = analytic ? 4 : 3;
  ASSERT_EQ(names.size(), fixed + voxelMembers) << "members in the package";
  EXPECT_EQ(names[0], "manifest.json");
  EXPECT_EQ(names[1], "preview.glb");
  EXPECT_EQ(names[2], "collision.pmesh");
  if (analytic) {
    EXPECT_EQ(names[3], "analytic.pshape");
  }
  const auto voxels = names.begin() + static_cast<std::ptrdiff_t>(fixed);
  EXPECT_TRUE(std::is_sorted(voxels, names.end()));

  const std::string manifest(contents.entries[0].bytes.begin(), contents.entries[0].bytes.end());
  const JsonWalk root(manifest);
  const std::string assetId = root["assetId"].String();
  const std::string prefix = R"({"assetId":")" + assetId + R"(",)";
  EXPECT_EQ(assetId.size(), 71U);
  EXPECT_EQ(manifest.substr(0, prefix.size()), prefix);
  const std::string identityManifest = "{" + manifest.substr(prefix.size());
  std::vector<PlCadPrepIdentityRecord> records = {
      {std::string(kAssetIdentityManifestName), PackageTextBytes(identityManifest)}};
  for (std::size_t i = 1; i < contents.entries.size(); ++i) {
    records.push_back({contents.entries[i].name, contents.entries[i].bytes});
  }
  EXPECT_EQ(ComputePlCadPrepAssetIdentity(std::move(records)), assetId);

  EXPECT_EQ(root["validation"]["watertight"].Text(), watertight ? "true" : "false");
  EXPECT_EQ(root["validation"]["triangleCount"].Text(), std::to_string(triangles));

  // Every orientation names voxel members of the package, and every voxel
  // member of the package serves some orientation.
  const std::vector<JsonWalk> entries = root["mountFrame"]["orientations"].Elements();
  EXPECT_EQ(entries.size(), orientations);
  std::vector<std::string> served;
  for (const JsonWalk& entry : entries) {
    served.push_back(entry["search"].String());
    served.push_back(entry["refine"].String());
  }
  std::sort(served.begin(), served.end());
  served.erase(std::unique(served.begin(), served.end()), served.end());
  EXPECT_EQ(served, std::vector<std::string>(voxels, names.end()));

  PlGeometryMesh mesh;
  EXPECT_TRUE(DecodeCollisionMesh(contents.entries[2].bytes, kPlRuntimeMeshLimits, mesh).Passed());
  EXPECT_EQ(mesh.triangles.size(), triangles);
  for (std::size_t i = fixed; i < contents.entries.size(); ++i) {
    const PackageEntry& entry = contents.entries[i];
    SCOPED_TRACE(entry.name);
    const bool search = entry.name.rfind("search_50mm_", 0) == 0;
    EXPECT_TRUE(search || entry.name.rfind("refine_30mm_", 0) == 0);
    EXPECT_EQ(entry.name.size(), 12U + 64U + 5U);
    PlVoxelGrid grid;
    EXPECT_TRUE(
        DecodePlVoxelGrid(entry.bytes, search ? 50 : 30, kPlRuntimeMeshLimits, grid).Passed());
  }
}
