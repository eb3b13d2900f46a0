#include "package/manifest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/checked.h"
#include "core/json_text.h"
#include "core/sha256.h"
#include "members/preview_model.h"
#include "members/voxelizer.h"
#include "package/asset_identity.h"
#include "package/asset_validator.h"
#include "platform/file_system.h"
#include "shapes/analytic_member.h"

namespace {

constexpr std::uint64_t kManifestWorkingMemoryBytes = 524'288;
constexpr std::size_t kIdentityManifestInitialBytes = 16'384;
constexpr std::size_t kMaxBakedAngles = 6;
constexpr std::uint32_t kQuarterTurnDeg = 90;
constexpr std::uint64_t kMilliDegPerDeg = 1000;
constexpr double kMaxSourceHealingDeviationMm = 5.0;
constexpr double kMaxStepAuthorityDeviationMm = 20.0;
constexpr std::string_view kSchema = "pelto.geometry.asset.v3";
constexpr std::string_view kMoldShellRole = "mold_shell";
constexpr std::string_view kFixtureRole = "fixture";
constexpr std::string_view kComponentRole = "component";

// One row of the baked-angle table: a grid angle and the pair of grids serving it.
struct BakedAngleEntry {
  std::uint32_t gridAngleDeg = 0;
  const PlVoxelMember* search = nullptr;
  const PlVoxelMember* refine = nullptr;
  std::string searchName;
  std::string refineName;
};

struct BuiltManifest {
  std::string bytes;
  std::string assetId;
};

std::vector<std::uint32_t> Sorted(std::vector<std::uint32_t> values) {
  std::sort(values.begin(), values.end());
  return values;
}

void CheckGeneratedProvenance(const PlCadPrepRequest& request,
                              const PlCadPrepDerivedMembers& members,
                              const PlCadPrepGeneratedProvenance* provenance) {
  if (provenance == nullptr) {
    if (!members.analytic.empty()) {
      throw PlCadPrepError("invalid_analytic_descriptor",
                           "imported geometry cannot publish a generated analytic member",
                           "package");
    }
    return;
  }
  if (request.sourceFormat != PlCadPrepSourceFormat::shapeDefinition) {
    throw PlCadPrepError("invalid_generated_source_evidence",
                         "generated provenance requires the generated-definition source format",
                         "package");
  }
  if (!IsCanonicalSha256Identity(provenance->definitionSourceHash) ||
      !IsCanonicalSha256Identity(provenance->shapeDefinitionId)) {
    throw PlCadPrepError("invalid_generated_source_evidence",
                         "generated provenance identities are not canonical SHA-256", "package");
  }
  // The member must prove itself (canonical bytes that certify against their
  // own definition) and name exactly the definition this run published.
  PlAnalyticShape analytic;
  if (!DecodePlAnalyticShape(members.analytic, analytic).Accepted() ||
      analytic.shapeDefinitionId != provenance->shapeDefinitionId ||
      analytic.definitionSha256 != provenance->definitionSourceHash) {
    throw PlCadPrepError("invalid_analytic_descriptor",
                         "generated analytic member does not match its exact definition source",
                         "package");
  }
}

// The retained roles in their fixed order, after the evidence is proven well formed.
std::vector<std::string> ComponentList(const PlCadPrepRequest& request,
                                       const PlCadPrepComponentSelectionEvidence* evidence) {
  if (evidence == nullptr) return {request.componentRole};
  if (request.sourceFormat != PlCadPrepSourceFormat::step) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection evidence is permitted only for STEP sources",
                         "package");
  }
  if (!IsCanonicalSha256Identity(evidence->evidenceIdentity)) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection evidence identity is not canonical SHA-256",
                         "package");
  }
  if (!IsCanonicalSha256Identity(evidence->sourceIdentity)) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection source identity is not canonical SHA-256", "package");
  }
  const std::string& decision = evidence->freeShellDecision;
  if (decision != "none" && decision != "residue" && decision != "physical") {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection free-shell decision is not recognized", "package");
  }
  // One pass in evidence order: the first role that is unsupported or seen a
  // second time decides the failure.
  bool moldShell = false;
  bool fixture = false;
  bool component = false;
  for (const std::string& role : evidence->retainedRoles) {
    if (role == kMoldShellRole) {
      if (moldShell) {
        throw PlCadPrepError("invalid_component_selection_evidence",
                             "component selection evidence repeats mold_shell", "package");
      }
      moldShell = true;
    } else if (role == kFixtureRole) {
      if (fixture) {
        throw PlCadPrepError("invalid_component_selection_evidence",
                             "component selection evidence repeats fixture", "package");
      }
      fixture = true;
    } else if (role == kComponentRole) {
      if (component) {
        throw PlCadPrepError("invalid_component_selection_evidence",
                             "component selection evidence repeats component", "package");
      }
      component = true;
    } else {
      throw PlCadPrepError("invalid_component_selection_evidence",
                           "component selection evidence contains an unsupported role", "package");
    }
  }
  if (!moldShell && !fixture && !component) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection evidence retains no role", "package");
  }
  std::vector<std::string> components;
  if (moldShell) components.emplace_back(kMoldShellRole);
  if (fixture) components.emplace_back(kFixtureRole);
  if (component) components.emplace_back(kComponentRole);
  return components;
}

void CheckEvidenceAgainstRequest(const PlCadPrepRequest& request,
                                 const PlCadPrepDerivedMembers& members,
                                 const PlCadPrepComponentSelectionEvidence& evidence) {
  if (evidence.sourceIdentity != members.collision.sourceHash) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "component selection source differs from collision provenance", "package");
  }
  if (request.componentRole != kComponentRole) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "reviewed STEP source must use the generic component request role",
                         "package");
  }
  const double tessellation = evidence.tessellationDeviationMm;
  const double healing = evidence.sourceHealingDeviationMm;
  if (!std::isfinite(tessellation) || tessellation < 0.0 || !std::isfinite(healing) ||
      healing < 0.0) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "STEP tessellation or source-healing deviation is invalid", "package");
  }
  if (evidence.sourceHealingDeviationBounded) {
    if (healing > kMaxSourceHealingDeviationMm) {
      throw PlCadPrepError("invalid_component_selection_evidence",
                           "STEP source-healing deviation exceeds geometry authority limit",
                           "package");
    }
    const double combined = tessellation + healing;
    if (!std::isfinite(combined) || combined > kMaxStepAuthorityDeviationMm ||
        combined > members.collision.mesh.surfaceDeviationMm) {
      throw PlCadPrepError("invalid_component_selection_evidence",
                           "collision deviation omits or exceeds STEP authority evidence",
                           "package");
    }
  }
  for (std::size_t i = 0; i < request.sourceToMount.size(); ++i) {
    if (!SameRecordedValue(request.sourceToMount[i], evidence.sourceToMount[i])) {
      throw PlCadPrepError("invalid_component_selection_evidence",
                           "manifest mount transform differs from reviewed STEP evidence",
                           "package");
    }
  }
  if (Sorted(request.allowedOrientationsDeg) != Sorted(evidence.orientationsDeg)) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "manifest orientations differ from reviewed STEP evidence", "package");
  }
}

std::vector<BakedAngleEntry> BakedAngleTable(const PlCadPrepDerivedMembers& members) {
  std::vector<PlCadPrepVoxelNames> names = PlCadPrepVoxelNameList(members);
  std::vector<BakedAngleEntry> table;
  table.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool base = i == 0;
    table.push_back(BakedAngleEntry{names[i].angleDeg,
                                    base ? &members.baseSearch : &members.baked[i - 1].search,
                                    base ? &members.baseRefine : &members.baked[i - 1].refine,
                                    std::move(names[i].search), std::move(names[i].refine)});
  }
  return table;
}

void CheckBakedAngleTable(const std::vector<BakedAngleEntry>& table) {
  if (table.empty() || table.size() > kMaxBakedAngles) {
    throw PlCadPrepError("invalid_orientation", "version 3 baked-angle table is incomplete",
                         "package");
  }
  for (const BakedAngleEntry& entry : table) {
    if (entry.search == nullptr || entry.refine == nullptr || entry.searchName.empty() ||
        entry.refineName.empty()) {
      throw PlCadPrepError("invalid_geometry_asset", "version 3 baked-angle member is invalid",
                           "package");
    }
  }
}

// Each distinct voxel member once, in table order, search before refine.
std::vector<PlCadPrepManifestVoxelMember> VoxelMembers(const std::vector<BakedAngleEntry>& table) {
  std::vector<PlCadPrepManifestVoxelMember> voxels;
  voxels.reserve(table.size() * 2);
  const auto add = [&voxels](const std::string& name, const PlVoxelMember* member) {
    const bool taken = std::any_of(
        voxels.begin(), voxels.end(),
        [&name](const PlCadPrepManifestVoxelMember& voxel) { return voxel.name == name; });
    if (!taken) voxels.push_back(PlCadPrepManifestVoxelMember{name, &member->grid});
  };
  for (const BakedAngleEntry& entry : table) {
    add(entry.searchName, entry.search);
    add(entry.refineName, entry.refine);
  }
  return voxels;
}

std::vector<PlCadPrepManifestOrientation> OrientationEntries(
    const PlCadPrepRequest& request, const std::vector<BakedAngleEntry>& table) {
  std::vector<PlCadPrepManifestOrientation> entries;
  entries.reserve(request.allowedOrientationsDeg.size());
  for (const std::uint32_t angle : Sorted(request.allowedOrientationsDeg)) {
    const std::uint32_t gridAngle = angle % kQuarterTurnDeg;
    const auto entry = std::find_if(
        table.begin(), table.end(),
        [gridAngle](const BakedAngleEntry& row) { return row.gridAngleDeg == gridAngle; });
    if (entry == table.end()) {
      throw PlCadPrepError("invalid_orientation", "version 3 orientation has no baked grid",
                           "package");
    }
    // An angle too large for the field saturates, so the asset contract refuses
    // it instead of seeing a wrapped value.
    const std::uint64_t milliDeg = std::uint64_t{angle} * kMilliDegPerDeg;
    entries.push_back(PlCadPrepManifestOrientation{
        static_cast<std::uint32_t>(
            std::min<std::uint64_t>(milliDeg, std::numeric_limits<std::uint32_t>::max())),
        static_cast<std::uint32_t>(std::uint64_t{gridAngle} * kMilliDegPerDeg), entry->searchName,
        entry->refineName});
  }
  return entries;
}

void AppendNumber(std::string& out, double v) {
  switch (AppendCanonicalNumber(out, v)) {
    case PlCanonicalNumberStatus::written:
      return;
    case PlCanonicalNumberStatus::notFinite:
      throw PlCadPrepError("invalid_number", "manifest number must be finite", "package");
    case PlCanonicalNumberStatus::notSerializable:
      throw PlCadPrepError("invalid_number", "manifest number cannot be serialized canonically",
                           "package");
  }
}

// The manifest without "assetId"; every object's keys are in ascending byte order.
std::string IdentityManifestText(const PlCadPrepRequest& request,
                                 const PlCadPrepGeneratedProvenance* provenance,
                                 const PlCadPrepComponentSelectionEvidence* evidence,
                                 const std::vector<std::string>& components,
                                 const PlCadPrepManifestModel& model) {
  const PlGeometryMesh& mesh = *model.collisionMesh;
  std::string out;
  out.reserve(kIdentityManifestInitialBytes);
  JsonTextWriter json(out);
  json.BeginObject();
  json.BeginObject("converter");
  json.String("buildId", "PeltoCadPrep-contract-20260804");
  json.String("policyVersion", "pelto.geometry.prepare.v1");
  json.EndObject();

  json.BeginObject("mountFrame");
  json.String("coordinateSystem", "right-handed-x-right-y-mount-normal-z-forward");
  json.BeginArray("orientations");
  for (const PlCadPrepManifestOrientation& entry : model.orientations) {
    json.BeginObject();
    json.Unsigned("angleMilliDeg", entry.angleMilliDeg);
    json.Unsigned("gridAngleMilliDeg", entry.gridAngleMilliDeg);
    json.String("refine", entry.refine);
    json.String("search", entry.search);
    json.EndObject();
  }
  json.EndArray();
  json.BeginArray("sourceToMount");
  for (const double v : request.sourceToMount) AppendNumber(json.Element(), v);
  json.EndArray();
  json.EndObject();

  json.String("schema", model.schema);
  json.BeginArray("sources");
  json.BeginObject();
  if (provenance == nullptr) {
    json.BeginArray("allowedOrientationsDeg");
    for (const std::uint32_t angle : request.allowedOrientationsDeg) json.Unsigned(angle);
    json.EndArray();
  }
  if (evidence != nullptr) json.String("componentSelectionSha256", evidence->evidenceIdentity);
  json.String("format", SourceFormatText(request.sourceFormat));
  // Provenance and evidence never meet, so these two keys keep byte order.
  if (provenance != nullptr) json.String("generatorProfile", "pelto.shape.generator.v1");
  if (evidence != nullptr) json.String("freeShellOverlayDecision", evidence->freeShellDecision);
  json.Bool("included", false);
  json.String("name", provenance != nullptr ? std::string("shape-definition.json")
                                            : PathToUtf8(request.inputPath.filename()));
  json.String("role", request.componentRole);
  json.String("sha256", model.sourceHash);
  if (provenance != nullptr) json.String("shapeDefinitionId", provenance->shapeDefinitionId);
  if (evidence != nullptr) {
    json.Bool("sourceHealingDeviationBounded", evidence->sourceHealingDeviationBounded);
    AppendNumber(json.Key("sourceHealingDeviationMm"), evidence->sourceHealingDeviationMm);
    AppendNumber(json.Key("tessellationDeviationMm"), evidence->tessellationDeviationMm);
  }
  json.EndObject();
  json.EndArray();

  json.BeginObject("states");
  json.BeginObject("cycleSolid");
  if (provenance != nullptr) json.String("analytic", "analytic.pshape");
  json.BeginArray("components");
  for (const std::string& component : components) json.String(component);
  json.EndArray();
  json.String("mesh", "collision.pmesh");
  json.String("preview", "preview.glb");
  json.BeginArray("voxelLevelsMm");
  json.Unsigned(50);
  json.Unsigned(30);
  json.EndArray();
  json.EndObject();
  json.EndObject();

  json.String("units", "mm");
  json.BeginObject("validation");
  json.Bool("authoritative", model.authoritative);
  json.Unsigned("closedComponentCount", model.closedComponentCount);
  AppendNumber(json.Key("maxSurfaceDeviationMm"), mesh.surfaceDeviationMm);
  json.Unsigned("openComponentCount", model.openComponentCount);
  json.Unsigned("triangleCount", mesh.triangles.size());
  json.Bool("watertight", mesh.watertight);
  json.EndObject();
  json.EndObject();
  return out;
}

// The identity hashes the text's own bytes; unsigned char may view any object.
std::span<const std::uint8_t> TextBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string AssetIdentity(const std::string& identityManifest,
                          const PlCadPrepDerivedMembers& members,
                          const PlCadPrepGeneratedProvenance* provenance,
                          const std::vector<BakedAngleEntry>& table) {
  std::vector<PlCadPrepIdentityRecord> records;
  records.reserve(4 + table.size() * 2);
  records.push_back({std::string(kAssetIdentityManifestName), TextBytes(identityManifest)});
  records.push_back({kPreviewMemberName, members.preview});
  records.push_back({kCollisionMeshMemberName, members.collision.bytes});
  if (provenance != nullptr) records.push_back({kAnalyticMemberName, members.analytic});
  std::vector<std::string_view> taken;
  taken.reserve(table.size() * 2);
  const auto add = [&records, &taken](const std::string& name, const PlVoxelMember* member) {
    if (std::find(taken.begin(), taken.end(), name) != taken.end()) return;
    taken.push_back(name);
    records.push_back({name, member->bytes});
  };
  for (const BakedAngleEntry& entry : table) {
    add(entry.searchName, entry.search);
    add(entry.refineName, entry.refine);
  }
  return ComputePlCadPrepAssetIdentity(std::move(records));
}

BuiltManifest BuildManifestText(const PlCadPrepRequest& request,
                                const PlCadPrepDerivedMembers& members,
                                const PlCadPrepGeneratedProvenance* provenance,
                                const PlCadPrepComponentSelectionEvidence* evidence,
                                const PlGeometryMesh* proven) {
  CheckGeneratedProvenance(request, members, provenance);
  const std::vector<std::string> components = ComponentList(request, evidence);
  if (provenance != nullptr && provenance->definitionSourceHash != members.collision.sourceHash) {
    throw PlCadPrepError("invalid_generated_source_evidence",
                         "generated definition source differs from collision provenance",
                         "package");
  }
  if (evidence != nullptr) CheckEvidenceAgainstRequest(request, members, *evidence);
  if (!IsCanonicalSha256Identity(members.collision.sourceHash)) {
    throw PlCadPrepError("invalid_source_hash", "source hash is not a canonical SHA-256 identity",
                         "package");
  }
  const std::vector<BakedAngleEntry> table = BakedAngleTable(members);
  CheckBakedAngleTable(table);

  PlCadPrepManifestModel model;
  if (evidence == nullptr) {
    model.closedComponentCount = members.collision.mesh.watertight ? 1 : 0;
    model.openComponentCount = members.collision.mesh.watertight ? 0 : 1;
  } else {
    model.closedComponentCount = evidence->closedComponentCount;
    model.openComponentCount = evidence->openComponentCount;
  }
  // Tested as "neither is non-zero" so that huge counts cannot wrap the sum.
  if (model.closedComponentCount == 0 && model.openComponentCount == 0) {
    throw PlCadPrepError("invalid_component_selection_evidence",
                         "reviewed composition evidence carries no retained component", "package");
  }
  model.authoritative = (evidence == nullptr || evidence->sourceHealingDeviationBounded) &&
                        model.closedComponentCount != 0 &&
                        std::all_of(table.begin(), table.end(), [](const BakedAngleEntry& entry) {
                          return entry.search->grid.solid && entry.refine->grid.solid;
                        });

  model.schema = kSchema;
  if (provenance != nullptr) {
    model.definitionSourceHash = provenance->definitionSourceHash;
    model.shapeDefinitionId = provenance->shapeDefinitionId;
  }
  model.analytic = members.analytic;
  model.sourceHash = members.collision.sourceHash;
  model.collisionMesh = &members.collision.mesh;
  model.voxelMembers = VoxelMembers(table);
  model.orientations = OrientationEntries(request, table);

  const PlMemberDiagnostic asset =
      proven != nullptr ? ValidatePlCadPrepAsset(model, kPlRuntimeMeshLimits, *proven)
                        : ValidatePlCadPrepAsset(model, kPlRuntimeMeshLimits);
  if (!asset.Passed()) {
    throw PlCadPrepError("invalid_geometry_asset",
                         "derived members do not satisfy the version 3 geometry asset contract",
                         "package");
  }

  const std::string identityManifest =
      IdentityManifestText(request, provenance, evidence, components, model);
  if (identityManifest.size() > kManifestMaxBytes) {
    throw PlCadPrepError("output_limit_exceeded",
                         "canonical geometry manifest exceeds the version 3 byte limit", "package");
  }
  std::string assetId = AssetIdentity(identityManifest, members, provenance, table);
  if (!IsCanonicalSha256Identity(assetId)) {
    throw PlCadPrepError("asset_identity_failed",
                         "canonical version 3 geometry asset identity could not be computed",
                         "package");
  }

  std::string manifest;
  manifest.reserve(identityManifest.size() + assetId.size() + 16);
  JsonTextWriter json(manifest);
  json.BeginObject();
  json.String("assetId", assetId);
  // The identity manifest's members follow in place, after its own opening brace.
  manifest += ',';
  manifest.append(identityManifest, 1);
  if (manifest.size() > kManifestMaxBytes) {
    throw PlCadPrepError("output_limit_exceeded",
                         "canonical geometry manifest exceeds the version 3 byte limit", "package");
  }
  return BuiltManifest{std::move(manifest), std::move(assetId)};
}

PlCadPrepManifest BuildManifest(const PlCadPrepRequest& request,
                                const PlCadPrepDerivedMembers& members,
                                const PlCadPrepGeneratedProvenance* provenance,
                                const PlCadPrepComponentSelectionEvidence* evidence,
                                const PlGeometryMesh* proven,
                                const PlCadPrepOperationContext& context) {
  if (!RequestLimitsMatchContext(request, context)) {
    throw PlCadPrepError("invalid_limits", "manifest request and operation-context limits disagree",
                         "package");
  }
  CheckpointStage(context, "package");
  RequirePlCadPrepDerivedMemberReservations(context, members, "package");
  PlCadPrepMemoryReservation working =
      ReserveMemory(context, kManifestWorkingMemoryBytes, "package");

  BuiltManifest built = BuildManifestText(request, members, provenance, evidence, proven);
  CheckpointStage(context, "package");

  PlCadPrepManifest result;
  result.bytes = std::move(built.bytes);
  result.assetId = std::move(built.assetId);
  // Give the working bytes back first, so the exact reservation is not refused
  // for memory that is about to be returned anyway.
  working.Release();
  result.memory =
      ReserveMemory(context, result.bytes.capacity() + result.assetId.capacity(), "package");
  result.output = ReserveOutput(context, result.bytes.size(), "package");
  return result;
}

// `proven` is null or a mesh that has passed the runtime mesh contract under the standard limits.
PlCadPrepManifest BuildWithProvenance(const PlCadPrepRequest& request,
                                      const PlCadPrepDerivedMembers& members,
                                      const PlCadPrepProvenance& provenance,
                                      const PlGeometryMesh* proven,
                                      const PlCadPrepOperationContext& context) {
  const auto* generated = std::get_if<PlCadPrepGeneratedProvenance>(&provenance);
  const auto* evidence = std::get_if<PlCadPrepComponentSelectionEvidence>(&provenance);
  return WithinMemoryLimit(
      "package",
      generated != nullptr ? "generated manifest allocation failed"
                           : "manifest allocation failed within the bounded request",
      "manifest allocation exceeds the bounded request",
      [&] { return BuildManifest(request, members, generated, evidence, proven, context); });
}

}  // namespace

PlCadPrepManifest BuildPlCadPrepManifest(const PlCadPrepRequest& request,
                                         const PlCadPrepDerivedMembers& members,
                                         const PlCadPrepProvenance& provenance,
                                         const PlCadPrepOperationContext& context) {
  return BuildWithProvenance(request, members, provenance, nullptr, context);
}

PlCadPrepManifest BuildPlCadPrepManifest(const PlCadPrepRequest& request,
                                         const PlCadPrepDerivedMembers& members,
                                         const PlCadPrepProvenance& provenance,
                                         const PlCadPrepOperationContext& context,
                                         const PlGeometryMesh& proven) {
  return BuildWithProvenance(request, members, provenance, &proven, context);
}
