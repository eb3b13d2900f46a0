#include "package/asset_validator.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/sha256.h"
#include "members/derived_members.h"
#include "members/preview_model.h"
#include "members/voxelizer.h"
#include "package/manifest.h"
#include "shapes/analytic_member.h"
#include "shapes/generated_provenance.h"

namespace {

constexpr std::size_t kMaxOrientations = 24;
constexpr std::size_t kMinVoxelMembers = 2;
constexpr std::size_t kMaxVoxelMembers = 12;
constexpr std::uint32_t kMaxAngleMilliDeg = 359'999;
constexpr std::uint32_t kMaxGridAngleMilliDeg = 89'999;
constexpr std::int64_t kQuarterTurnMilliDeg = 90'000;
constexpr std::size_t kQuarterTurnsPerFamily = 4;
constexpr std::uint64_t kMilliDegPerDeg = 1000;

PlMemberDiagnostic Fail(PlMemberDiagnosticCode code, std::string member, const char* message) {
  return PlMemberDiagnostic{code, std::move(member), message};
}

PlMemberDiagnostic Pass() { return PlMemberDiagnostic{}; }

const PlGeometryMesh& CollisionMeshOf(const PlCadPrepManifestModel& model) {
  static const PlGeometryMesh kEmptyMesh;
  return model.collisionMesh != nullptr ? *model.collisionMesh : kEmptyMesh;
}

const PlVoxelGrid& GridOf(const PlCadPrepManifestVoxelMember& member) {
  static const PlVoxelGrid kEmptyGrid;
  return member.grid != nullptr ? *member.grid : kEmptyGrid;
}

// The first of `entries` whose `field` equals `key`, or null.
template <typename Entry, typename Field, typename Key>
const Entry* FindEntry(const std::vector<Entry>& entries, Field Entry::*field, const Key& key) {
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const Entry& entry) { return entry.*field == key; });
  return found == entries.end() ? nullptr : &*found;
}

const PlCadPrepManifestVoxelMember* FindVoxelMember(const PlCadPrepManifestModel& model,
                                                    std::string_view name) {
  return FindEntry(model.voxelMembers, &PlCadPrepManifestVoxelMember::name, name);
}

PlMemberDiagnostic CheckIdentity(const PlCadPrepManifestModel& model) {
  if (!model.assetId.empty() && !IsCanonicalSha256Identity(model.assetId)) {
    return Fail(PlMemberDiagnosticCode::identity, kManifestMemberName,
                "geometry asset ID is not a canonical SHA-256 identity");
  }
  return Pass();
}

// A generated model's analytic member is decoded into `analytic` for the
// heading check, which runs once the orientation table itself is sound.
PlMemberDiagnostic CheckProvenance(const PlCadPrepManifestModel& model, PlAnalyticShape& analytic) {
  if (!model.definitionSourceHash.empty()) {
    if (model.shapeDefinitionId.empty() || model.analytic.empty()) {
      return Fail(PlMemberDiagnosticCode::missingContent, kAnalyticMemberName,
                  "generated version 3 geometry requires its immutable analytic member");
    }
    if (!DecodePlAnalyticShape(model.analytic, analytic).Accepted() ||
        analytic.definitionSha256 != model.definitionSourceHash ||
        analytic.shapeDefinitionId != model.shapeDefinitionId) {
      return Fail(PlMemberDiagnosticCode::identity, kAnalyticMemberName,
                  "analytic member does not match generated source provenance");
    }
    return Pass();
  }
  if (!model.shapeDefinitionId.empty()) {
    return Fail(PlMemberDiagnosticCode::missingContent, kAnalyticMemberName,
                "generated version 3 geometry requires its immutable analytic member");
  }
  if (!model.analytic.empty()) {
    return Fail(PlMemberDiagnosticCode::unexpectedContent, kAnalyticMemberName,
                "imported geometry cannot carry generated analytic authority");
  }
  return Pass();
}

// Orientation i of a generated asset is heading i of its certified table.
PlMemberDiagnostic CheckGeneratedHeadings(const PlCadPrepManifestModel& model,
                                          const PlAnalyticShape& analytic) {
  if (model.definitionSourceHash.empty()) return Pass();
  bool matches = model.orientations.size() == analytic.headingTable.size();
  for (std::size_t i = 0; matches && i < model.orientations.size(); ++i) {
    matches = std::uint64_t{model.orientations[i].angleMilliDeg} ==
              std::uint64_t{analytic.headingTable[i].headingDeg} * kMilliDegPerDeg;
  }
  if (!matches) {
    return Fail(PlMemberDiagnosticCode::orientationTable, kAnalyticMemberName,
                "generated manifest headings do not match the analytic member");
  }
  return Pass();
}

PlMemberDiagnostic CheckOrientationTable(const PlCadPrepManifestModel& model) {
  if (model.orientations.empty()) {
    return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                "geometry asset has no allowed mounting orientation");
  }
  if (model.orientations.size() > kMaxOrientations) {
    return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                "version 3 permits at most twenty-four orientations");
  }
  for (std::size_t i = 0; i < model.orientations.size(); ++i) {
    const PlCadPrepManifestOrientation& entry = model.orientations[i];
    const std::int64_t difference = std::int64_t{entry.angleMilliDeg} - entry.gridAngleMilliDeg;
    if (entry.angleMilliDeg > kMaxAngleMilliDeg ||
        entry.gridAngleMilliDeg > kMaxGridAngleMilliDeg ||
        (i > 0 && entry.angleMilliDeg <= model.orientations[i - 1].angleMilliDeg) ||
        difference % kQuarterTurnMilliDeg != 0) {
      return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                  "version 3 orientations must be ascending unique angles with a first-quarter "
                  "grid angle and an exact quarter-turn difference");
    }
  }
  return Pass();
}

PlMemberDiagnostic CheckVoxelMembers(const PlCadPrepManifestModel& model,
                                     const PlRuntimeMeshLimits& limits) {
  const std::size_t count = model.voxelMembers.size();
  if (count < kMinVoxelMembers || count > kMaxVoxelMembers) {
    return Fail(PlMemberDiagnosticCode::voxelGrid, kManifestMemberName,
                "version 3 requires between two and twelve named voxel members");
  }
  for (std::size_t i = 0; i < count; ++i) {
    const PlCadPrepManifestVoxelMember& member = model.voxelMembers[i];
    const PlVoxelGrid& grid = GridOf(member);
    const auto earlier = model.voxelMembers.begin() + static_cast<std::ptrdiff_t>(i);
    // An empty name is never a content address, even for a grid that has none.
    if (member.name.empty() ||
        std::any_of(model.voxelMembers.begin(), earlier,
                    [&member](const PlCadPrepManifestVoxelMember& other) {
                      return other.name == member.name;
                    }) ||
        member.name != PlCadPrepVoxelMemberName(grid)) {
      return Fail(PlMemberDiagnosticCode::voxelGrid, member.name,
                  "version 3 voxel members require unique content-addressed names");
    }
    PlMemberDiagnostic gridDiagnostic = CheckPlVoxelGridContract(grid, grid.cellSizeMm, limits);
    if (!gridDiagnostic.Passed()) return gridDiagnostic;
  }
  return Pass();
}

PlMemberDiagnostic CheckReferences(const PlCadPrepManifestModel& model,
                                   const PlRuntimeMeshLimits& limits) {
  std::vector<std::string_view> referenced;
  referenced.reserve(model.orientations.size() * 2);
  for (const PlCadPrepManifestOrientation& entry : model.orientations) {
    PlMemberDiagnostic search =
        CheckPlCadPrepOrientationReference(model, entry.search, kPlVoxelSearchCellMm, limits);
    if (!search.Passed()) return search;
    PlMemberDiagnostic refine =
        CheckPlCadPrepOrientationReference(model, entry.refine, kPlVoxelRefineCellMm, limits);
    if (!refine.Passed()) return refine;
    referenced.push_back(entry.search);
    referenced.push_back(entry.refine);
  }
  // Every reference already names one of the uniquely named members, so the
  // distinct references equal the members exactly when each member is referenced.
  std::sort(referenced.begin(), referenced.end());
  for (const PlCadPrepManifestVoxelMember& member : model.voxelMembers) {
    if (!std::binary_search(referenced.begin(), referenced.end(), member.name)) {
      return Fail(PlMemberDiagnosticCode::unexpectedContent, member.name,
                  "version 3 archive contains an unreferenced voxel member");
    }
  }
  return Pass();
}

const PlCadPrepManifestOrientation* FindOrientation(const PlCadPrepManifestModel& model,
                                                    std::int64_t angleMilliDeg) {
  return FindEntry(model.orientations, &PlCadPrepManifestOrientation::angleMilliDeg, angleMilliDeg);
}

PlMemberDiagnostic CheckQuarterTurnFamilies(const PlCadPrepManifestModel& model) {
  std::vector<std::uint32_t> gridAngles;
  gridAngles.reserve(model.orientations.size());
  for (const PlCadPrepManifestOrientation& entry : model.orientations) {
    gridAngles.push_back(entry.gridAngleMilliDeg);
  }
  std::sort(gridAngles.begin(), gridAngles.end());
  if (gridAngles.empty() || gridAngles.front() != 0) {
    return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                "version 3 requires the protected zero-degree quarter-turn family");
  }
  for (auto family = gridAngles.begin(); family != gridAngles.end();) {
    const std::uint32_t gridAngle = *family;
    const auto next = std::upper_bound(family, gridAngles.end(), gridAngle);
    if (static_cast<std::size_t>(next - family) != kQuarterTurnsPerFamily) {
      return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                  "each version 3 baked base requires four quarter-turn aliases");
    }
    const PlCadPrepManifestOrientation* base = FindOrientation(model, gridAngle);
    if (base == nullptr) {
      return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                  "version 3 quarter-turn family is missing its baked base heading");
    }
    for (std::int64_t k = 0; k < static_cast<std::int64_t>(kQuarterTurnsPerFamily); ++k) {
      const PlCadPrepManifestOrientation* alias =
          FindOrientation(model, std::int64_t{gridAngle} + kQuarterTurnMilliDeg * k);
      if (alias == nullptr || alias->search != base->search || alias->refine != base->refine) {
        return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                    "version 3 quarter-turn aliases must completely and exactly reference their "
                    "baked base grids");
      }
    }
    family = next;
  }
  return Pass();
}

PlMemberDiagnostic CheckAuthority(const PlCadPrepManifestModel& model) {
  if (!model.authoritative) return Pass();
  for (const PlCadPrepManifestVoxelMember& member : model.voxelMembers) {
    if (!GridOf(member).solid) {
      return Fail(PlMemberDiagnosticCode::authority, member.name,
                  "authoritative geometry requires conservative solid occupancy at both voxel "
                  "levels");
    }
  }
  return Pass();
}

}  // namespace

PlMemberDiagnostic CheckPlCadPrepOrientationReference(const PlCadPrepManifestModel& model,
                                                      std::string_view name,
                                                      std::uint32_t cellSizeMm,
                                                      const PlRuntimeMeshLimits& limits) {
  if (name.empty()) {
    return Fail(PlMemberDiagnosticCode::orientationTable, kManifestMemberName,
                "geometry orientation contains an empty voxel member reference");
  }
  if (const PlCadPrepManifestVoxelMember* member = FindVoxelMember(model, name)) {
    PlMemberDiagnostic diagnostic = CheckPlVoxelGridContract(GridOf(*member), cellSizeMm, limits);
    diagnostic.member = std::string(name);
    return diagnostic;
  }
  if (name == kManifestMemberName || name == kPreviewMemberName ||
      name == kCollisionMeshMemberName) {
    return Fail(PlMemberDiagnosticCode::voxelGrid, std::string(name),
                "geometry orientation references a non-voxel member");
  }
  return Fail(PlMemberDiagnosticCode::missingContent, std::string(name),
              "geometry orientation references an absent archive member");
}

namespace {

// `proven` is null or a mesh that has passed the runtime mesh contract under `limits`.
PlMemberDiagnostic ValidateAsset(const PlCadPrepManifestModel& model,
                                 const PlRuntimeMeshLimits& limits, const PlGeometryMesh* proven) {
  if (PlMemberDiagnostic d = CheckIdentity(model); !d.Passed()) return d;
  PlAnalyticShape analytic;
  if (PlMemberDiagnostic d = CheckProvenance(model, analytic); !d.Passed()) return d;
  if (PlMemberDiagnostic d = CheckOrientationTable(model); !d.Passed()) return d;
  if (PlMemberDiagnostic d = CheckGeneratedHeadings(model, analytic); !d.Passed()) return d;
  const PlGeometryMesh& mesh = CollisionMeshOf(model);
  if (PlMemberDiagnostic d = proven != nullptr ? CheckPlRuntimeMeshContract(mesh, limits, *proven)
                                               : CheckPlRuntimeMeshContract(mesh, limits);
      !d.Passed()) {
    return d;
  }
  if (PlMemberDiagnostic d = CheckVoxelMembers(model, limits); !d.Passed()) return d;
  if (PlMemberDiagnostic d = CheckReferences(model, limits); !d.Passed()) return d;
  if (PlMemberDiagnostic d = CheckQuarterTurnFamilies(model); !d.Passed()) return d;
  if (PlMemberDiagnostic d = CheckAuthority(model); !d.Passed()) return d;
  return Pass();
}

}  // namespace

PlMemberDiagnostic ValidatePlCadPrepAsset(const PlCadPrepManifestModel& model,
                                          const PlRuntimeMeshLimits& limits) {
  return ValidateAsset(model, limits, nullptr);
}

PlMemberDiagnostic ValidatePlCadPrepAsset(const PlCadPrepManifestModel& model,
                                          const PlRuntimeMeshLimits& limits,
                                          const PlGeometryMesh& proven) {
  return ValidateAsset(model, limits, &proven);
}
