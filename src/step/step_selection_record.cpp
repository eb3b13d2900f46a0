#include "step/step_selection_record.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <new>
#include <utility>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/sha256.h"
#include "platform/file_system.h"
#include "request/json_reader.h"
#include "step/step_import.h"
#include "step/step_review_model.h"
#include "step/step_solid_diagnostics.h"

namespace {

// The identity hash polls cancellation once per this many record bytes.
constexpr std::size_t kIdentityCheckpointBytes = 1'048'576;
// Parsing works within four times the record size, never less than this.
constexpr std::uint64_t kMinParseWorkBytes = 65'536;
constexpr std::uint64_t kParseWorkBytesPerRecordByte = 4;
// What one parsed orientation and one parsed component are accounted at.
constexpr std::uint64_t kOrientationAccountBytes = 4;
constexpr std::uint64_t kComponentAccountBytes = 136;

constexpr std::size_t kMaxOrientations = 24;
constexpr std::uint64_t kOrientationLimitDeg = 360;

PlCadPrepError InvalidSelection(const std::string& message) {
  return PlCadPrepError("invalid_step_component_selection", message, "preflight");
}

// The strict reading rules of one kind of object in the record: a name that
// does not decode or is not the object's fails with its invalid-name text.
constexpr JsonMemberRules SelectionObjectRules(std::string_view invalidName,
                                               std::string_view duplicatePrefix,
                                               std::string_view missingPrefix) {
  return JsonMemberRules{.code = "invalid_step_component_selection",
                         .stage = "preflight",
                         .invalidName = invalidName,
                         .duplicatePrefix = duplicatePrefix,
                         .object = {.missingPrefix = missingPrefix}};
}

constexpr JsonMemberRules kRootRules = SelectionObjectRules(
    "STEP component selection contains an invalid member name",
    "duplicate STEP component selection member: ", "missing STEP component selection member: ");
constexpr JsonMemberRules kComponentRules =
    SelectionObjectRules("STEP component contains an invalid member name",
                         "duplicate STEP component member: ", "missing STEP component member: ");
constexpr JsonMemberRules kOverlayRules = SelectionObjectRules(
    "STEP free-shell overlay contains an invalid member name",
    "duplicate STEP free-shell overlay member: ", "missing STEP free-shell overlay member: ");

enum RootMember : std::size_t {
  schemaMember,
  reviewSchemaMember,
  sourceSha256Member,
  diagnosticPolicyMember,
  faceScopeMember,
  linearDeflectionMember,
  angularDeflectionMember,
  sourceToMountMember,
  orientationsMember,
  roleReviewCompleteMember,
  authoritativeMember,
  collisionReadyMember,
  unreviewedCountMember,
  geometryIssueCountMember,
  overlayMember,
  componentsMember,
  rootMemberCount,
};

constexpr std::array<std::string_view, rootMemberCount> kRootNames = {
    "schema",
    "reviewSchema",
    "sourceSha256",
    "diagnosticPolicy",
    "faceScope",
    "targetLinearDeflectionMm",
    "angularDeflectionRadians",
    "sourceToMount",
    "allowedOrientationsDeg",
    "roleReviewComplete",
    "authoritative",
    "collisionReady",
    "unreviewedComponentCount",
    "geometryIssueComponentCount",
    "freeShellOverlay",
    "components",
};

enum ComponentMember : std::size_t {
  ordinalMember,
  componentKeyMember,
  componentPlacedMember,
  componentReviewMember,
  roleMember,
  componentWatertightMember,
  componentUntriangulatedMember,
  componentTrianglesMember,
  componentMemberCount,
};

constexpr std::array<std::string_view, componentMemberCount> kComponentNames = {
    "selectedSolidOrdinal",
    "samePolicyOccurrenceSha256",
    "placedMeshStreamSha256",
    "reviewMeshStreamSha256",
    "role",
    "watertight",
    "untriangulatedBoundaryFaceCount",
    "retainedTriangleCount",
};

enum OverlayMember : std::size_t {
  decisionMember,
  freeShellCountMember,
  selectedFreeShellCountMember,
  closedFreeShellCountMember,
  overlayTrianglesMember,
  overlayPlacedMember,
  overlayReviewMember,
  overlayWatertightMember,
  overlayUntriangulatedMember,
  overlayMemberCount,
};

constexpr std::array<std::string_view, overlayMemberCount> kOverlayNames = {
    "decision",
    "freeShellOccurrenceCount",
    "selectedFreeShellOccurrenceCount",
    "edgeParityClosedFreeShellOccurrenceCount",
    "retainedTriangleCount",
    "placedMeshStreamSha256",
    "reviewMeshStreamSha256",
    "watertight",
    "untriangulatedBoundaryFaceCount",
};

// Names indexed by the enumerators' values.
constexpr std::array<std::string_view, 5> kRoleNames = {
    "unreviewed", "mold_shell", "fixture", "component", "exclude",
};
constexpr std::array<std::string_view, 3> kDecisionNames = {"unreviewed", "physical", "residue"};

// The name at `code`, or "unknown" for a value outside the enumeration.
template <std::size_t N>
std::string_view NameAt(const std::array<std::string_view, N>& names, std::uint32_t code) {
  return code < N ? names[code] : "unknown";
}

// The code of `name`, or N when the name is not one of `names`.
template <std::size_t N>
std::size_t CodeOf(const std::array<std::string_view, N>& names, std::string_view name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

// The values of an object that must hold exactly `names`, in the order of `names`.
// Duplicates are found over every name first, then foreign names, then missing ones.
template <std::size_t N>
std::array<JsonValueSpan, N> ReadExactMembers(std::string_view text,
                                              const std::vector<JsonMemberSpan>& members,
                                              const std::array<std::string_view, N>& names,
                                              const JsonMemberRules& rules) {
  const JsonMemberReader reader(text, members, rules);
  reader.RequireExactly(names);
  std::array<JsonValueSpan, N> values{};
  for (std::size_t i = 0; i < N; ++i) values[i] = reader.Require(names[i]);
  return values;
}

std::string ReadCanonicalAscii(std::string_view text, const JsonValueSpan& value,
                               std::string_view name) {
  const std::string failure = std::string(name) + " must be a canonical ASCII string";
  if (value.kind != JsonValueKind::string) throw InvalidSelection(failure);
  std::string decoded;
  try {
    decoded = DecodeJsonString(text, value.begin);
  } catch (const PlCadPrepError&) {
    // Whatever fails to decode (NUL, broken UTF-8 or surrogates) is not canonical ASCII.
    throw InvalidSelection(failure);
  }
  if (!IsCanonicalJsonAscii(decoded)) throw InvalidSelection(failure);
  return decoded;
}

double ReadFiniteNumber(std::string_view text, const JsonValueSpan& value, std::string_view name) {
  const std::string failure = std::string(name) + " must be a finite number";
  if (value.kind != JsonValueKind::number) throw InvalidSelection(failure);
  double result = 0.0;
  if (!ParseJsonFiniteNumber(text.substr(value.begin, value.end - value.begin), result)) {
    throw InvalidSelection(failure);
  }
  return result;
}

std::uint64_t ReadUnsigned(std::string_view text, const JsonValueSpan& value,
                           std::string_view name) {
  const std::string failure = std::string(name) + " must be an unsigned integer";
  if (value.kind != JsonValueKind::number) throw InvalidSelection(failure);
  const std::string_view raw = text.substr(value.begin, value.end - value.begin);
  std::uint64_t result = 0;
  for (const char c : raw) {
    if (c < '0' || c > '9' || !CheckedMultiply(result, 10, result) ||
        !CheckedAdd(result, static_cast<std::uint64_t>(c - '0'), result)) {
      throw InvalidSelection(failure);
    }
  }
  return result;
}

bool ReadFlag(std::string_view text, const JsonValueSpan& value, std::string_view name) {
  if (value.kind != JsonValueKind::boolean) {
    throw InvalidSelection(std::string(name) + " must be boolean");
  }
  // The scanner admits only the literals true and false here.
  return text[value.begin] == 't';
}

void ReadSourceToMount(std::string_view text, const JsonValueSpan& value,
                       PlCadPrepStepSelection& selection) {
  if (value.kind != JsonValueKind::array) throw InvalidSelection("sourceToMount must be an array");
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, value);
  if (elements.size() != selection.sourceToMount.size()) {
    throw InvalidSelection("sourceToMount must contain 16 numbers");
  }
  for (std::size_t i = 0; i < elements.size(); ++i) {
    selection.sourceToMount[i] = ReadFiniteNumber(text, elements[i], "sourceToMount");
  }
}

bool IsNegativeInteger(std::string_view text, const JsonValueSpan& value) {
  if (value.kind != JsonValueKind::number) return false;
  const std::string_view raw = text.substr(value.begin, value.end - value.begin);
  return raw.size() > 1 && raw.front() == '-' &&
         std::all_of(raw.begin() + 1, raw.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void ReadOrientations(std::string_view text, const JsonValueSpan& value,
                      PlCadPrepStepSelection& selection) {
  if (value.kind != JsonValueKind::array) {
    throw InvalidSelection("allowedOrientationsDeg must be an array");
  }
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, value);
  selection.allowedOrientationsDeg.reserve(elements.size());
  for (const JsonValueSpan& element : elements) {
    if (IsNegativeInteger(text, element)) {
      // A signed angle is an angle below the range, not a malformed one; the
      // writer never spells a sign, so "-0" is refused the same way.
      throw InvalidSelection("allowedOrientationsDeg must be in [0, 360) degrees");
    }
    const std::uint64_t degrees = ReadUnsigned(text, element, "allowedOrientationsDeg");
    if (degrees >= kOrientationLimitDeg) {
      throw InvalidSelection("allowedOrientationsDeg must be in [0, 360) degrees");
    }
    selection.allowedOrientationsDeg.push_back(static_cast<std::int32_t>(degrees));
  }
  if (elements.empty() || elements.size() > kMaxOrientations) {
    throw InvalidSelection("one to twenty-four mounting orientations are required");
  }
  std::vector<std::int32_t> sorted = selection.allowedOrientationsDeg;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
    throw InvalidSelection("mounting orientations must be unique");
  }
}

void ReadComponents(std::string_view text, const JsonValueSpan& value,
                    PlCadPrepStepSelection& selection) {
  if (value.kind != JsonValueKind::array) throw InvalidSelection("components must be an array");
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, value);
  if (elements.empty() || elements.size() > kPlCadPrepStepSelectionMaxComponents) {
    throw InvalidSelection("STEP component selection count is outside the supported bound");
  }
  selection.components.reserve(elements.size());
  // Kept sorted, so a repeated same-policy key is found where it would be inserted.
  std::vector<std::string> seenKeys;
  seenKeys.reserve(elements.size());
  for (const JsonValueSpan& element : elements) {
    const std::vector<JsonMemberSpan> members = ReadJsonObjectMembers(text, element);
    const auto values = ReadExactMembers(text, members, kComponentNames, kComponentRules);
    PlCadPrepStepSelectionComponent component;
    component.selectedSolidOrdinal =
        ReadUnsigned(text, values[ordinalMember], "selectedSolidOrdinal");
    component.samePolicyOccurrenceSha256 =
        ReadCanonicalAscii(text, values[componentKeyMember], "samePolicyOccurrenceSha256");
    component.placedMeshStreamSha256 =
        ReadCanonicalAscii(text, values[componentPlacedMember], "placedMeshStreamSha256");
    component.reviewMeshStreamSha256 =
        ReadCanonicalAscii(text, values[componentReviewMember], "reviewMeshStreamSha256");
    const std::string role = ReadCanonicalAscii(text, values[roleMember], "role");
    component.watertight = ReadFlag(text, values[componentWatertightMember], "watertight");
    component.untriangulatedBoundaryFaceCount = ReadUnsigned(
        text, values[componentUntriangulatedMember], "untriangulatedBoundaryFaceCount");
    component.retainedTriangleCount =
        ReadUnsigned(text, values[componentTrianglesMember], "retainedTriangleCount");

    const auto slot =
        std::lower_bound(seenKeys.begin(), seenKeys.end(), component.samePolicyOccurrenceSha256);
    const bool repeated = slot != seenKeys.end() && *slot == component.samePolicyOccurrenceSha256;
    if (component.selectedSolidOrdinal != selection.components.size() + 1 ||
        !IsCanonicalSha256Identity(component.samePolicyOccurrenceSha256) ||
        !IsCanonicalSha256Identity(component.placedMeshStreamSha256) ||
        !IsCanonicalSha256Identity(component.reviewMeshStreamSha256) ||
        component.retainedTriangleCount == 0 || repeated) {
      throw InvalidSelection("STEP component identity, order, or topology is invalid");
    }
    seenKeys.insert(slot, component.samePolicyOccurrenceSha256);

    const std::size_t roleCode = CodeOf(kRoleNames, role);
    if (roleCode == kRoleNames.size()) {
      throw InvalidSelection("STEP component selection role is not recognized");
    }
    component.role = static_cast<PlCadPrepStepComponentRole>(roleCode);
    selection.components.push_back(std::move(component));
  }
}

void ReadOverlay(std::string_view text, const JsonValueSpan& value,
                 PlCadPrepStepSelection& selection) {
  if (value.kind == JsonValueKind::null) return;
  const std::vector<JsonMemberSpan> members = ReadJsonObjectMembers(text, value);
  const auto values = ReadExactMembers(text, members, kOverlayNames, kOverlayRules);
  PlCadPrepStepSelectionOverlay& overlay = selection.freeShellOverlay;
  const std::string decision = ReadCanonicalAscii(text, values[decisionMember], "decision");
  overlay.freeShellOccurrenceCount =
      ReadUnsigned(text, values[freeShellCountMember], "freeShellOccurrenceCount");
  overlay.selectedFreeShellOccurrenceCount =
      ReadUnsigned(text, values[selectedFreeShellCountMember], "selectedFreeShellOccurrenceCount");
  overlay.edgeParityClosedFreeShellOccurrenceCount = ReadUnsigned(
      text, values[closedFreeShellCountMember], "edgeParityClosedFreeShellOccurrenceCount");
  overlay.retainedTriangleCount =
      ReadUnsigned(text, values[overlayTrianglesMember], "retainedTriangleCount");
  overlay.placedMeshStreamSha256 =
      ReadCanonicalAscii(text, values[overlayPlacedMember], "placedMeshStreamSha256");
  overlay.reviewMeshStreamSha256 =
      ReadCanonicalAscii(text, values[overlayReviewMember], "reviewMeshStreamSha256");
  overlay.watertight = ReadFlag(text, values[overlayWatertightMember], "watertight");
  overlay.untriangulatedBoundaryFaceCount =
      ReadUnsigned(text, values[overlayUntriangulatedMember], "untriangulatedBoundaryFaceCount");

  const std::size_t decisionCode = CodeOf(kDecisionNames, decision);
  if (decisionCode == kDecisionNames.size()) {
    throw InvalidSelection("STEP free-shell review decision is not recognized");
  }
  overlay.decision = static_cast<PlCadPrepStepFreeShellDecision>(decisionCode);
  if (overlay.freeShellOccurrenceCount == 0 || overlay.selectedFreeShellOccurrenceCount == 0 ||
      overlay.selectedFreeShellOccurrenceCount > overlay.freeShellOccurrenceCount ||
      overlay.edgeParityClosedFreeShellOccurrenceCount > overlay.freeShellOccurrenceCount ||
      overlay.retainedTriangleCount == 0 ||
      !IsCanonicalSha256Identity(overlay.placedMeshStreamSha256) ||
      !IsCanonicalSha256Identity(overlay.reviewMeshStreamSha256)) {
    throw InvalidSelection("STEP free-shell review evidence is inconsistent");
  }
  selection.hasFreeShellOverlay = true;
}

void CheckSummary(const PlCadPrepStepSelection& selection) {
  std::uint64_t unreviewed = 0;
  std::uint64_t geometryIssues = 0;
  for (const PlCadPrepStepSelectionComponent& component : selection.components) {
    if (component.role == PlCadPrepStepComponentRole::unreviewed) ++unreviewed;
    if (!component.watertight || component.untriangulatedBoundaryFaceCount > 0) ++geometryIssues;
  }
  const bool overlayDecided =
      !selection.hasFreeShellOverlay ||
      selection.freeShellOverlay.decision != PlCadPrepStepFreeShellDecision::unreviewed;
  const bool complete = unreviewed == 0 && overlayDecided;
  if (selection.unreviewedComponentCount != unreviewed ||
      selection.geometryIssueComponentCount != geometryIssues ||
      selection.roleReviewComplete != complete) {
    throw InvalidSelection("STEP review summary does not match its component evidence");
  }
}

// Steps through the record in its defined order; the first broken rule wins.
PlCadPrepStepSelection ParseRecordText(std::string_view text) {
  const std::vector<JsonMemberSpan> rootMembers = ReadJsonFrame(text);
  const auto root = ReadExactMembers(text, rootMembers, kRootNames, kRootRules);

  PlCadPrepStepSelection selection;
  selection.schema = ReadCanonicalAscii(text, root[schemaMember], "schema");
  selection.reviewSchema = ReadCanonicalAscii(text, root[reviewSchemaMember], "reviewSchema");
  selection.sourceSha256 = ReadCanonicalAscii(text, root[sourceSha256Member], "sourceSha256");
  selection.diagnosticPolicy =
      ReadCanonicalAscii(text, root[diagnosticPolicyMember], "diagnosticPolicy");
  selection.faceScope = ReadCanonicalAscii(text, root[faceScopeMember], "faceScope");
  selection.targetLinearDeflectionMm =
      ReadFiniteNumber(text, root[linearDeflectionMember], "targetLinearDeflectionMm");
  selection.angularDeflectionRadians =
      ReadFiniteNumber(text, root[angularDeflectionMember], "angularDeflectionRadians");
  selection.roleReviewComplete =
      ReadFlag(text, root[roleReviewCompleteMember], "roleReviewComplete");
  selection.authoritative = ReadFlag(text, root[authoritativeMember], "authoritative");
  selection.collisionReady = ReadFlag(text, root[collisionReadyMember], "collisionReady");
  selection.unreviewedComponentCount =
      ReadUnsigned(text, root[unreviewedCountMember], "unreviewedComponentCount");
  selection.geometryIssueComponentCount =
      ReadUnsigned(text, root[geometryIssueCountMember], "geometryIssueComponentCount");

  if (selection.schema != kPlCadPrepStepSelectionSchema ||
      selection.reviewSchema != kPlCadPrepStepReviewSchema) {
    throw InvalidSelection("STEP component selection schema is not supported");
  }
  const double linear = selection.targetLinearDeflectionMm;
  const double angular = selection.angularDeflectionRadians;
  if (!IsCanonicalSha256Identity(selection.sourceSha256) ||
      selection.diagnosticPolicy != kPlCadPrepStepDiagnosticPolicy ||
      selection.faceScope != PlCadPrepStepFaceScopeName(kPlCadPrepStepScopeSolidsOnlyDiagnostic) ||
      !(linear > 0.0 && linear <= kPlCadPrepStepMaxLinearDeflectionMm) ||
      !(angular > 0.0 && angular <= kPlCadPrepStepMaxAngularDeflectionRadians)) {
    throw InvalidSelection("STEP component selection source or diagnostic policy is invalid");
  }
  ReadSourceToMount(text, root[sourceToMountMember], selection);
  ReadOrientations(text, root[orientationsMember], selection);
  if (selection.authoritative || selection.collisionReady) {
    throw InvalidSelection("STEP review evidence cannot claim collision authority");
  }
  ReadComponents(text, root[componentsMember], selection);
  ReadOverlay(text, root[overlayMember], selection);
  CheckSummary(selection);
  return selection;
}

// The request readers' wording of a scan error, under the record's own code.
PlCadPrepStepSelection ParseRecordJson(std::string_view text) {
  try {
    return ParseRecordText(text);
  } catch (const PlServeJsonParseError& error) {
    throw InvalidSelection(MakeJsonParseFailure(error).what());
  }
}

bool AddLength(std::uint64_t& total, std::size_t bytes) {
  return CheckedAdd(total, static_cast<std::uint64_t>(bytes), total);
}

// The bytes the parsed record holds on to; false when the sum overflows.
bool AccountSelectionBytes(const PlCadPrepStepSelection& selection, std::uint64_t& total) {
  total = 0;
  std::uint64_t orientationBytes = 0;
  std::uint64_t componentBytes = 0;
  bool fits =
      AddLength(total, selection.schema.size()) &&
      AddLength(total, selection.reviewSchema.size()) &&
      AddLength(total, selection.sourceSha256.size()) &&
      AddLength(total, selection.diagnosticPolicy.size()) &&
      AddLength(total, selection.faceScope.size()) &&
      AddLength(total, selection.recordSha256.size()) &&
      CheckedMultiply(selection.allowedOrientationsDeg.size(), kOrientationAccountBytes,
                      orientationBytes) &&
      CheckedAdd(total, orientationBytes, total) &&
      CheckedMultiply(selection.components.size(), kComponentAccountBytes, componentBytes) &&
      CheckedAdd(total, componentBytes, total);
  for (const PlCadPrepStepSelectionComponent& component : selection.components) {
    fits = fits && AddLength(total, component.samePolicyOccurrenceSha256.size()) &&
           AddLength(total, component.placedMeshStreamSha256.size()) &&
           AddLength(total, component.reviewMeshStreamSha256.size());
  }
  if (selection.hasFreeShellOverlay) {
    fits = fits && AddLength(total, selection.freeShellOverlay.placedMeshStreamSha256.size()) &&
           AddLength(total, selection.freeShellOverlay.reviewMeshStreamSha256.size());
  }
  return fits;
}

}  // namespace

std::string_view PlCadPrepStepComponentRoleName(PlCadPrepStepComponentRole role) {
  return NameAt(kRoleNames, static_cast<std::uint32_t>(role));
}

std::string_view PlCadPrepStepFreeShellDecisionName(PlCadPrepStepFreeShellDecision decision) {
  return NameAt(kDecisionNames, static_cast<std::uint32_t>(decision));
}

std::string PlCadPrepStepSelectionRecordSha256(std::string_view bytes,
                                               const PlCadPrepOperationContext& context) {
  Sha256 hasher;
  hasher.Update(kPlCadPrepStepSelectionRecordDomain);
  ByteWriter length(8);
  length.U64(static_cast<std::uint64_t>(bytes.size()));
  hasher.Update(length.bytes);
  for (std::size_t done = 0; done < bytes.size(); done += kIdentityCheckpointBytes) {
    CheckpointStage(context, "preflight");
    hasher.Update(bytes.substr(done, kIdentityCheckpointBytes));
  }
  return Sha256IdentityText(hasher.Finish());
}

PlCadPrepStepSelection ParsePlCadPrepStepSelectionRecord(std::string_view bytes,
                                                         const PlCadPrepOperationContext& context) {
  if (bytes.empty()) throw InvalidSelection("STEP component selection is empty");
  if (bytes.size() > kPlCadPrepStepSelectionMaxBytes) {
    throw PlCadPrepError("step_component_selection_too_large",
                         "STEP component selection exceeds the 8 MiB limit", "preflight");
  }
  PlCadPrepMemoryReservation work = ReserveMemory(
      context, std::max(kParseWorkBytesPerRecordByte * bytes.size(), kMinParseWorkBytes),
      "preflight");
  std::string identity = PlCadPrepStepSelectionRecordSha256(bytes, context);
  PlCadPrepStepSelection selection =
      WithinMemoryLimit("preflight", "STEP component selection allocation failed",
                        "STEP component selection allocation exceeds the request",
                        [&] { return ParseRecordJson(bytes); });
  selection.recordSha256 = std::move(identity);

  std::uint64_t accounted = 0;
  if (!AccountSelectionBytes(selection, accounted)) {
    throw PlCadPrepError("memory_limit_exceeded",
                         "STEP component selection memory accounting overflowed", "preflight");
  }
  // The working room of the parse is given back before the lasting record is charged.
  work.Release();
  selection.memory = ReserveMemory(context, accounted, "preflight");
  return selection;
}

PlCadPrepStepSelection ReadPlCadPrepStepSelectionRecord(const std::filesystem::path& path,
                                                        const PlCadPrepOperationContext& context) {
  if (!QueryPathStatus(path).RegularFile()) {
    throw PlCadPrepError("step_component_selection_not_found",
                         "STEP component selection path is not a regular file", "preflight");
  }
  std::uint64_t size = 0;
  if (!QueryFileSize(path, size) || size == 0) {
    throw PlCadPrepError("step_component_selection_read_failed",
                         "STEP component selection size could not be read", "preflight");
  }
  if (size > kPlCadPrepStepSelectionMaxBytes) {
    throw PlCadPrepError("step_component_selection_too_large",
                         "STEP component selection exceeds the 8 MiB limit", "preflight");
  }
  const PlCadPrepMemoryReservation reservation = ReserveMemory(context, size, "preflight");
  std::string bytes;
  try {
    bytes.assign(static_cast<std::size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP component selection allocation failed",
                         "preflight");
  }
  std::ifstream in(path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  // Exactly `size` bytes, then the end of the file: a file that changed is not read.
  if (!in.is_open() || in.bad() || static_cast<std::uint64_t>(in.gcount()) != size ||
      in.peek() != std::ifstream::traits_type::eof()) {
    throw PlCadPrepError("step_component_selection_read_failed",
                         "STEP component selection could not be read exactly", "preflight");
  }
  return ParsePlCadPrepStepSelectionRecord(bytes, context);
}
