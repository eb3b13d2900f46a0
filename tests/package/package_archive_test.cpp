#include "package/package_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_error.h"
#include "support/package_reader.h"
#include "support/test_geometry.h"

namespace {

std::vector<std::uint32_t> BakedThirty() { return {0, 30, 90, 120, 180, 210, 270, 300}; }

// Derived members and a manifest assembled by hand, each with the reservations
// the earlier stages leave on them.
struct ArchiveJob {
  explicit ArchiveJob(std::vector<std::uint32_t> orientations,
                      std::uint64_t maxOutputBytes = kDefaultMaxOutputBytes,
                      std::vector<std::uint8_t> analytic = {}) {
    request.allowedOrientationsDeg = std::move(orientations);
    request.maxOutputBytes = maxOutputBytes;
    context = MakePlCadPrepOperationContext(request, never);
    PlCadPrepMemoryReservation analyticMemory = ReserveMemory(context, analytic.size(), "mesh");
    members = BuildPlCadPrepDerivedMembers(BoxImport({10, 20, 30}, 140), request, context, {},
                                           std::move(analytic), std::move(analyticMemory));
    manifest.bytes = R"({"assetId":"sha256:)" + std::string(64, 'a') +
                     R"(","schema":"pelto.geometry.asset.v3"})";
    manifest.assetId = "sha256:" + std::string(64, 'a');
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

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(PackageArchive, WritesMembersInPackageOrder) {
  ArchiveJob job(BakedThirty(), kDefaultMaxOutputBytes, {7, 8, 9});
  const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(job.members);
  ASSERT_EQ(names.size(), 2u);
  std::vector<std::string> voxels = {names[0].search, names[0].refine, names[1].search,
                                     names[1].refine};
  std::sort(voxels.begin(), voxels.end());

  const PlCadPrepPackageArchive archive = job.Build();
  const PackageContents contents = ReadPackage(archive.image);
  ASSERT_EQ(contents.problem, "");
  std::vector<std::string> expected = {"manifest.json", "preview.glb", "collision.pmesh",
                                       "analytic.pshape"};
  expected.insert(expected.end(), voxels.begin(), voxels.end());
  ASSERT_EQ(contents.Names(), expected);

  EXPECT_EQ(contents.entries[0].bytes, Bytes(job.manifest.bytes));
  EXPECT_EQ(contents.entries[1].bytes, job.members.preview);
  EXPECT_EQ(contents.entries[2].bytes, job.members.collision.bytes);
  EXPECT_EQ(contents.entries[3].bytes, (std::vector<std::uint8_t>{7, 8, 9}));
  const auto voxelBytes = [&](const std::string& name) {
    if (name == names[0].search) return job.members.baseSearch.bytes;
    if (name == names[0].refine) return job.members.baseRefine.bytes;
    if (name == names[1].search) return job.members.baked[0].search.bytes;
    return job.members.baked[0].refine.bytes;
  };
  for (std::size_t i = 4; i < contents.entries.size(); ++i) {
    SCOPED_TRACE(contents.entries[i].name);
    EXPECT_EQ(contents.entries[i].bytes, voxelBytes(contents.entries[i].name));
  }
  for (const PackageEntry& entry : contents.entries) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.method, 0u);
    EXPECT_EQ(entry.localTime, 0u);
    EXPECT_EQ(entry.localDate, 0u);
  }
  EXPECT_EQ(archive.assetId, job.manifest.assetId);
}

TEST(PackageArchive, ImportedGeometryHasNoAnalyticMember) {
  ArchiveJob job({0, 90, 180, 270});
  const std::vector<PlCadPrepArchiveMember> list =
      PlCadPrepPackageMembers(job.manifest, job.members);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[2].name, "collision.pmesh");
  EXPECT_EQ(list[3].name.substr(0, 12), "refine_30mm_");
  EXPECT_EQ(list[4].name.substr(0, 12), "search_50mm_");
}

TEST(PackageArchive, RefineMembersPrecedeSearchMembersWhateverTheTableOrder) {
  ArchiveJob job(BakedThirty());
  // The table lists every search member before its refine member.
  const std::vector<PlCadPrepArchiveMember> list =
      PlCadPrepPackageMembers(job.manifest, job.members);
  ASSERT_EQ(list.size(), 7u);
  std::vector<std::string> prefixes;
  for (std::size_t i = 3; i < list.size(); ++i) prefixes.push_back(list[i].name.substr(0, 12));
  EXPECT_EQ(prefixes, (std::vector<std::string>{"refine_30mm_", "refine_30mm_", "search_50mm_",
                                                "search_50mm_"}));
  EXPECT_LT(list[3].name, list[4].name);
  EXPECT_LT(list[5].name, list[6].name);
}

TEST(PackageArchive, SharedVoxelNamesEnterOnce) {
  ArchiveJob job(BakedThirty());
  // A baked angle whose grids equal the base grids, as two orientations that
  // share one grid produce; its reservations grow to cover the copies.
  job.members.baked[0].search = job.members.baseSearch;
  job.members.baked[0].refine = job.members.baseRefine;
  const std::uint64_t voxelBytes =
      2 * (job.members.baseSearch.bytes.size() + job.members.baseRefine.bytes.size());
  job.members.voxelOutput.Release();
  job.members.voxelOutput = ReserveOutput(job.context, voxelBytes, "voxel");
  job.members.voxelMemory = ReserveMemory(job.context, 4 * voxelBytes, "voxel");

  const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(job.members);
  ASSERT_EQ(names[0].search, names[1].search);
  const PlCadPrepPackageArchive archive = job.Build();
  const PackageContents contents = ReadPackage(archive.image);
  ASSERT_EQ(contents.problem, "");
  EXPECT_EQ(contents.Names(),
            (std::vector<std::string>{"manifest.json", "preview.glb", "collision.pmesh",
                                      names[0].refine, names[0].search}));
}

TEST(PackageArchive, HandsTheInputOutputReservationsToTheArchive) {
  ArchiveJob job(BakedThirty());
  const std::uint64_t memoryBefore = job.context.ledger->memoryReserved;
  const std::uint64_t collisionMemory = job.members.collisionMemory.bytes;
  const std::uint64_t manifestMemory = job.manifest.memory.bytes;

  const PlCadPrepPackageArchive archive = job.Build();
  EXPECT_EQ(archive.output.bytes, archive.image.size());
  EXPECT_EQ(job.context.ledger->outputReserved, archive.image.size());
  for (const PlCadPrepOutputReservation* given :
       {&job.manifest.output, &job.members.collisionOutput, &job.members.previewOutput,
        &job.members.voxelOutput, &job.members.analyticOutput}) {
    EXPECT_EQ(given->bytes, 0u);
    EXPECT_EQ(given->ledger, nullptr);
  }
  // Memory stays with the data that still lives; the writer's peak is gone.
  EXPECT_EQ(job.members.collisionMemory.bytes, collisionMemory);
  EXPECT_EQ(job.manifest.memory.bytes, manifestMemory);
  EXPECT_EQ(archive.memory.ledger, job.context.ledger);
  EXPECT_EQ(archive.memory.bytes, archive.image.capacity() + archive.assetId.capacity());
  EXPECT_EQ(job.context.ledger->memoryReserved, memoryBefore + archive.memory.bytes);
}

TEST(PackageArchive, OutputLimitBelowTheImageFailsAndKeepsTheInputsReservations) {
  std::uint64_t imageBytes = 0;
  {
    ArchiveJob measure(BakedThirty());
    imageBytes = measure.Build().image.size();
  }
  ArchiveJob tight(BakedThirty(), imageBytes - 1);
  const std::uint64_t memoryBefore = tight.context.ledger->memoryReserved;
  const std::uint64_t outputBefore = tight.context.ledger->outputReserved;
  ExpectPlCadPrepError([&] { (void)tight.Build(); }, "output_limit_exceeded", "package",
                       "geometry ZIP exceeds the remaining output limit");
  EXPECT_EQ(tight.context.ledger->memoryReserved, memoryBefore);
  EXPECT_EQ(tight.context.ledger->outputReserved, outputBefore);
  EXPECT_EQ(tight.manifest.output.bytes, tight.manifest.bytes.size());

  ArchiveJob exact(BakedThirty(), imageBytes);
  const PlCadPrepPackageArchive archive = exact.Build();
  EXPECT_EQ(archive.image.size(), imageBytes);
  EXPECT_EQ(exact.context.ledger->outputReserved, imageBytes);
}

TEST(PackageArchive, RefusesInputsWithoutTheirReservations) {
  struct Case {
    const char* name;
    void (*strip)(ArchiveJob&);
    const char* message;
  };
  const Case cases[] = {
      {"manifest memory", [](ArchiveJob& job) { job.manifest.memory.Release(); },
       "stage input lacks its required request memory reservation"},
      {"manifest output", [](ArchiveJob& job) { job.manifest.output.Release(); },
       "stage input lacks its required request output reservation"},
      {"voxel output", [](ArchiveJob& job) { job.members.voxelOutput.Release(); },
       "stage input lacks its required request output reservation"},
      {"preview memory", [](ArchiveJob& job) { job.members.previewMemory.Release(); },
       "stage input lacks its required request memory reservation"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ArchiveJob job({0, 90, 180, 270});
    c.strip(job);
    ExpectPlCadPrepError([&] { (void)job.Build(); }, "invalid_resource_reservation", "package",
                         c.message);
  }
}

// Lets `allowed` checks pass once the archive writer holds its reservation (the
// only one above 1 MiB in this job), then cancels.
class CancelWhileWriting final : public PlCadPrepCancellation {
 public:
  CancelWhileWriting(const PlCadPrepResourceLedger& watched, int allowed)
      : ledger(watched), threshold(watched.memoryReserved + 1'048'576), left(allowed) {}
  bool IsCancelled() const override { return ledger.memoryReserved >= threshold && --left < 0; }
  const PlCadPrepResourceLedger& ledger;
  std::uint64_t threshold;
  mutable int left;
};

TEST(PackageArchive, CancellationDuringWritingReleasesTheWriterAndKeepsTheInputs) {
  ArchiveJob job(BakedThirty());
  const CancelWhileWriting cancel(*job.context.ledger, 2);
  PlCadPrepOperationContext cancelling = job.context;
  cancelling.cancellation = &cancel;
  const std::uint64_t memoryBefore = job.context.ledger->memoryReserved;
  const std::uint64_t outputBefore = job.context.ledger->outputReserved;
  ExpectPlCadPrepError(
      [&] { (void)BuildPlCadPrepPackageArchive(job.manifest, job.members, cancelling); },
      "cancelled", "package", "preparation was cancelled");
  EXPECT_EQ(cancel.left, -1);
  EXPECT_EQ(job.context.ledger->memoryReserved, memoryBefore);
  EXPECT_EQ(job.context.ledger->outputReserved, outputBefore);
  EXPECT_EQ(job.members.voxelOutput.ledger, job.context.ledger);
}

}  // namespace
