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

TEST(PackageArchive, WritesManifestPreviewMeshAnalyticThenVoxelsByName) {
  ArchiveJob job(kDefaultMaxOutputBytes, {7, 8, 9});
  const std::vector<PlCadPrepVoxelNames> n = PlCadPrepVoxelNameList(job.members);
  std::vector<std::string> expected = {n[0].search, n[0].refine, n[1].search, n[1].refine};
  std::sort(expected.begin(), expected.end());
  expected.insert(expected.begin(),
                  {"manifest.json", "preview.glb", "collision.pmesh", "analytic.pshape"});
  const PlCadPrepPackageArchive archive = job.Build();
  EXPECT_EQ(ReadPackage(archive.image).Names(), expected);
  EXPECT_EQ(archive.assetId, job.manifest.assetId);
}

TEST(PackageArchive, TakesOverTheInputsOutputWithinTheLimit) {
  const std::uint64_t imageBytes = ArchiveJob().Build().image.size();
  ArchiveJob tight(imageBytes - 1);
  ExpectPlCadPrepError([&] { (void)tight.Build(); }, "output_limit_exceeded", "package",
                       "geometry ZIP exceeds the remaining output limit");
  ArchiveJob exact(imageBytes);
  const PlCadPrepPackageArchive archive = exact.Build();
  EXPECT_EQ(exact.context.ledger->outputReserved, imageBytes);
  EXPECT_EQ(archive.output.bytes, imageBytes);
  EXPECT_EQ(exact.manifest.output.bytes, 0u);
  EXPECT_EQ(exact.members.voxelOutput.ledger, nullptr);
  EXPECT_EQ(archive.memory.bytes, archive.image.capacity() + archive.assetId.capacity());
}

}  // namespace
