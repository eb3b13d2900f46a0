#include "package/package_archive.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "core/checked.h"
#include "core/error.h"
#include "members/preview_model.h"
#include "pipeline/staging.h"

namespace {

// Room the writer may need beyond the member bytes: headers, directory, names.
constexpr std::uint64_t kWriterHeadroomBytes = 65'536;
// The writer holds the image while it grows it and hands out one more copy.
constexpr std::uint64_t kWriterPeakFactor = 3;
constexpr std::uint64_t kWriterSlackBytes = 1'048'576;

std::uint64_t AddEstimate(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  if (!CheckedAdd(a, b, sum)) {
    throw PlCadPrepError("memory_limit_exceeded", "archive memory estimate overflowed", "package");
  }
  return sum;
}

std::uint64_t MultiplyEstimate(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (!CheckedMultiply(a, b, product)) {
    throw PlCadPrepError("memory_limit_exceeded", "archive memory estimate overflowed", "package");
  }
  return product;
}

// The manifest text as the byte view the ZIP writer borrows; unsigned char may
// view the storage of any object, so this reads the text's own bytes.
std::span<const std::uint8_t> TextBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Every encoded voxel buffer counts once per place it holds in the derived
// members, because each place carries its own output reservation.
std::uint64_t DeclaredInputBytes(const PlCadPrepManifest& manifest,
                                 const PlCadPrepDerivedMembers& members) {
  std::uint64_t sum = manifest.bytes.size();
  sum = AddEstimate(sum, members.preview.size());
  sum = AddEstimate(sum, members.collision.bytes.size());
  sum = AddEstimate(sum, members.analytic.size());
  sum = AddEstimate(sum, members.baseSearch.bytes.size());
  sum = AddEstimate(sum, members.baseRefine.bytes.size());
  for (const PlCadPrepBakedVoxelMembers& entry : members.baked) {
    sum = AddEstimate(sum, entry.search.bytes.size());
    sum = AddEstimate(sum, entry.refine.bytes.size());
  }
  return sum;
}

std::uint64_t ManifestStorageBytes(const PlCadPrepManifest& manifest) {
  return AddEstimate(manifest.bytes.capacity(), manifest.assetId.capacity());
}

void GiveUpOutputReservations(PlCadPrepManifest& manifest, PlCadPrepDerivedMembers& members) {
  manifest.output.Release();
  members.collisionOutput.Release();
  members.previewOutput.Release();
  members.voxelOutput.Release();
  members.analyticOutput.Release();
}

PlCadPrepPackageArchive BuildArchive(PlCadPrepManifest& manifest, PlCadPrepDerivedMembers& members,
                                     const PlCadPrepOperationContext& context) {
  CheckpointStage(context, "package");
  RequirePlCadPrepDerivedMemberReservations(context, members, "package");
  RequireMemoryReservation(context, manifest.memory, ManifestStorageBytes(manifest), "package");
  RequireOutputReservation(context, manifest.output, manifest.bytes.size(), "package");

  const std::uint64_t declaredBytes = DeclaredInputBytes(manifest, members);
  if (context.ledger->outputReserved < declaredBytes) {
    throw PlCadPrepError("invalid_resource_reservation",
                         "archive inputs do not own their declared output leases", "package");
  }

  const std::vector<PlCadPrepArchiveMember> archiveMembers =
      PlCadPrepPackageMembers(manifest, members);
  std::uint64_t payloadBytes = kWriterHeadroomBytes;
  for (const PlCadPrepArchiveMember& member : archiveMembers) {
    payloadBytes = AddEstimate(payloadBytes, member.bytes.size());
  }
  PlCadPrepMemoryReservation writerMemory = ReserveMemory(
      context, AddEstimate(MultiplyEstimate(kWriterPeakFactor, payloadBytes), kWriterSlackBytes),
      "package");

  std::vector<std::uint8_t> image = WritePlCadPrepZipImage(archiveMembers, context);

  // The inputs' output bytes become the image's, so only what other holders
  // reserved counts against the image; the lease check above keeps this in range.
  const std::uint64_t remainingBytes =
      context.ledger->maxOutputBytes - (context.ledger->outputReserved - declaredBytes);
  if (image.size() > remainingBytes) {
    throw PlCadPrepError("output_limit_exceeded", "geometry ZIP exceeds the remaining output limit",
                         "package");
  }

  ValidatePlCadPrepZipImage(image, archiveMembers, context);

  PlCadPrepPackageArchive archive;
  archive.image = std::move(image);
  archive.assetId = manifest.assetId;
  // The writer's reservation goes first: the image's own is smaller, and both
  // together could pass the limit that each alone fits.
  writerMemory.Release();
  archive.memory = ReserveMemory(
      context, AddEstimate(archive.image.capacity(), archive.assetId.capacity()), "package");
  GiveUpOutputReservations(manifest, members);
  archive.output = ReserveOutput(context, archive.image.size(), "package");
  return archive;
}

}  // namespace

std::vector<PlCadPrepArchiveMember> PlCadPrepPackageMembers(
    const PlCadPrepManifest& manifest, const PlCadPrepDerivedMembers& members) {
  // Names come from the same list the manifest uses, so the archive can only
  // hold the members the manifest names.
  const std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(members);
  std::vector<PlCadPrepArchiveMember> voxels;
  voxels.reserve(2 * names.size());
  const auto collect = [&voxels](const std::string& name, const PlVoxelMember& member) {
    const bool seen =
        std::any_of(voxels.begin(), voxels.end(),
                    [&name](const PlCadPrepArchiveMember& m) { return m.name == name; });
    if (!seen) voxels.push_back(PlCadPrepArchiveMember{name, member.bytes});
  };
  collect(names[0].search, members.baseSearch);
  collect(names[0].refine, members.baseRefine);
  for (std::size_t i = 0; i < members.baked.size(); ++i) {
    collect(names[i + 1].search, members.baked[i].search);
    collect(names[i + 1].refine, members.baked[i].refine);
  }
  // std::string orders by unsigned bytes, which is the package's name order.
  std::sort(voxels.begin(), voxels.end(),
            [](const PlCadPrepArchiveMember& a, const PlCadPrepArchiveMember& b) {
              return a.name < b.name;
            });

  std::vector<PlCadPrepArchiveMember> list;
  list.reserve(4 + voxels.size());
  list.push_back(PlCadPrepArchiveMember{kManifestMemberName, TextBytes(manifest.bytes)});
  list.push_back(PlCadPrepArchiveMember{kPreviewMemberName, members.preview});
  list.push_back(PlCadPrepArchiveMember{kCollisionMeshMemberName, members.collision.bytes});
  if (!members.analytic.empty()) {
    list.push_back(PlCadPrepArchiveMember{kAnalyticMemberName, members.analytic});
  }
  std::move(voxels.begin(), voxels.end(), std::back_inserter(list));
  return list;
}

PlCadPrepPackageArchive BuildPlCadPrepPackageArchive(PlCadPrepManifest& manifest,
                                                     PlCadPrepDerivedMembers& members,
                                                     const PlCadPrepOperationContext& context) {
  return WithinMemoryLimit("package", "archive allocation failed within the bounded request",
                           "archive allocation exceeds the bounded request",
                           [&] { return BuildArchive(manifest, members, context); });
}

void StagePlCadPrepPackageArchive(const PlCadPrepPackageArchive& archive,
                                  const std::filesystem::path& stagingPath,
                                  const PlCadPrepOperationContext& context,
                                  const ProgressCallback& progress) {
  CheckpointStage(context, "package");
  RequireMemoryReservation(context, archive.memory,
                           archive.image.capacity() + archive.assetId.capacity(), "package");
  RequireOutputReservation(context, archive.output, archive.image.size(), "package");
  WriteStagedArchive(archive.image, stagingPath, context, progress);
}
