#include "package/package_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/expect_error.h"
#include "support/package_reader.h"
#include "support/test_geometry.h"

namespace {

// Derived members of a box for the 0 and 30 degree grids and a hand-made manifest,
// each with the reservations the earlier stages leave on them.
struct ArchiveJob {
  explicit ArchiveJob(std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes,
                      std::vector<std::uint8_t> analytic = {}) {
    request.allowedOrientationsDeg = {0, 30, 90, 120, 180, 210, 270, 300};
    request.maxOutputBytes = maxOutputBytes;
    context = MakePlCadPrepOperationContext(request, never);
    PlCadPrepMemoryReservation analyticMemory = ReserveMemory(context, analytic.size(), "mesh");
    members = BuildPlCadPrepDerivedMembers(BoxImport({10, 20, 30}, 140), request, context, {},
                                           std::move(analytic), std::move(analyticMemory));
    manifest.assetId = "sha256:" + std::string(64, 'a');
    manifest.bytes = R"({"assetId":")" + manifest.assetId + R"("})";
    manifest.memory =
        ReserveMemory(context, manifest.bytes.capacity() + manifest.assetId.capacity(), "package");
    manifest.output = ReserveOutput(context, manifest.bytes.size(), "package");
  }
  PlCadPrepPackageArchive Build() {
    return BuildPlCadPrepPackageArchive(manifest, members, context);
  }

  NeverCancelled never;
  PlCadPrepRequest request;
  PlCadPrepOperationContext context;
  PlCadPrepDerivedMembers members;
  PlCadPrepManifest manifest;
};

std::vector<std::string> Names(const PlCadPrepPackageArchive& archive) {
  const PackageContents contents = ReadPackage(archive.image);
  EXPECT_EQ(contents.problem, "");
  return contents.Names();
}

// The image's bytes are proven against the member list inside the build.
TEST(PackageArchive, WritesManifestPreviewMeshAnalyticThenVoxelsByName) {
  ArchiveJob job(kDefaultMaxOutputBytes, {7, 8, 9});
  const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(job.members);
  ASSERT_EQ(names.size(), 2u);
  std::vector<std::string> expected = {names[0].search, names[0].refine, names[1].search,
                                       names[1].refine};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected[0].substr(0, 12), "refine_30mm_");
  expected.insert(expected.begin(),
                  {"manifest.json", "preview.glb", "collision.pmesh", "analytic.pshape"});
  const PlCadPrepPackageArchive archive = job.Build();
  EXPECT_EQ(Names(archive), expected);
  EXPECT_EQ(archive.assetId, job.manifest.assetId);

  // Grids shared by two angles enter once.
  ArchiveJob shared;
  shared.members.baked[0].search = shared.members.baseSearch;
  shared.members.baked[0].refine = shared.members.baseRefine;
  const std::uint64_t voxelBytes =
      2 * (shared.members.baseSearch.bytes.size() + shared.members.baseRefine.bytes.size());
  shared.members.voxelOutput.Release();
  shared.members.voxelOutput = ReserveOutput(shared.context, voxelBytes, "voxel");
  shared.members.voxelMemory = ReserveMemory(shared.context, 4 * voxelBytes, "voxel");
  EXPECT_EQ(Names(shared.Build()),
            (std::vector<std::string>{"manifest.json", "preview.glb", "collision.pmesh",
                                      names[0].refine, names[0].search}));
}

TEST(PackageArchive, TakesOverTheInputsOutputWithinTheLimitOrKeepsEverything) {
  const std::uint64_t imageBytes = ArchiveJob().Build().image.size();
  ArchiveJob tight(imageBytes - 1);
  const std::uint64_t memoryBefore = tight.context.ledger->memoryReserved;
  const std::uint64_t outputBefore = tight.context.ledger->outputReserved;
  ExpectPlCadPrepError([&] { (void)tight.Build(); }, "output_limit_exceeded", "package",
                       "geometry ZIP exceeds the remaining output limit");
  EXPECT_EQ(tight.context.ledger->memoryReserved, memoryBefore);
  EXPECT_EQ(tight.context.ledger->outputReserved, outputBefore);

  ArchiveJob exact(imageBytes);
  const std::uint64_t exactMemoryBefore = exact.context.ledger->memoryReserved;
  const PlCadPrepPackageArchive archive = exact.Build();
  EXPECT_EQ(archive.output.bytes, imageBytes);
  EXPECT_EQ(exact.context.ledger->outputReserved, imageBytes);
  EXPECT_EQ(exact.members.voxelOutput.ledger, nullptr);
  EXPECT_EQ(exact.manifest.output.bytes, 0u);
  EXPECT_EQ(archive.memory.bytes, archive.image.capacity() + archive.assetId.capacity());
  EXPECT_EQ(exact.context.ledger->memoryReserved, exactMemoryBefore + archive.memory.bytes);
}

TEST(PackageArchive, RefusesAManifestWithoutItsMemory) {
  ArchiveJob job;
  job.manifest.memory.Release();
  ExpectPlCadPrepError([&] { (void)job.Build(); }, "invalid_resource_reservation", "package",
                       "stage input lacks its required request memory reservation");
}

}  // namespace
