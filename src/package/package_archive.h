#pragma once
// The package archive: the manifest and the derived members in their fixed
// order as one stored ZIP image, proven by re-reading it, ready for staging.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "members/derived_members.h"
#include "package/manifest.h"
#include "package/zip_image.h"

struct PlCadPrepPackageArchive {
  std::vector<std::uint8_t> image;
  std::string assetId;
  PlCadPrepMemoryReservation memory;
  PlCadPrepOutputReservation output;
};

// The members in package order: manifest, preview, collision mesh, analytic
// member when present, then the distinct voxel members sorted by name.
std::vector<PlCadPrepArchiveMember> PlCadPrepPackageMembers(const PlCadPrepManifest& manifest,
                                                            const PlCadPrepDerivedMembers& members);

// On success the manifest and the derived members give up their output
// reservations to the archive. Throws PlCadPrepError (stage "package").
PlCadPrepPackageArchive BuildPlCadPrepPackageArchive(PlCadPrepManifest& manifest,
                                                     PlCadPrepDerivedMembers& members,
                                                     const PlCadPrepOperationContext& context);

// The last step of every backend: checks that the archive still holds the
// reservations that cover it, then writes it to the staging path. Throws
// PlCadPrepError (stage "package").
void StagePlCadPrepPackageArchive(const PlCadPrepPackageArchive& archive,
                                  const std::filesystem::path& stagingPath,
                                  const PlCadPrepOperationContext& context,
                                  const ProgressCallback& progress);
