#include "step/step_review_model.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/glb_container.h"
#include "core/json_text.h"
#include "core/sha256.h"
#include "pipeline/staging.h"
#include "platform/interrupt_cleanup.h"
#include "step/step_scope_import.h"
#include "step/step_side_command.h"
#include "step/step_solid_diagnostics.h"

namespace {

// Selectable components; with the overlay the scene holds at most 4096 nodes.
constexpr std::uint64_t kMaxComponents = 4095;
// Accessor counts and indices are u32 in the file.
constexpr std::uint64_t kMaxVertices = 4'294'967'295;
constexpr std::uint64_t kMaxGlbBytes = 268'435'456;
constexpr std::uint64_t kMaxJsonBytes = 8'388'608;
// The bookkeeping of one encoded mesh besides its bytes.
constexpr std::uint64_t kMeshBookkeepingBytes = 216;
constexpr std::size_t kCheckpointItems = 2048;
// The review offers every quarter turn; the select command narrows them.
constexpr std::array<std::uint32_t, 4> kReviewOrientationsDeg = {0, 90, 180, 270};

// Base colours of the component materials; component k uses entry k mod 12.
constexpr std::array<std::array<double, 4>, 12> kPalette = {{
    {0.68, 0.71, 0.74, 1},
    {0.59, 0.65, 0.70, 1},
    {0.65, 0.70, 0.72, 1},
    {0.61, 0.66, 0.72, 1},
    {0.70, 0.72, 0.69, 1},
    {0.60, 0.69, 0.70, 1},
    {0.70, 0.66, 0.68, 1},
    {0.63, 0.65, 0.73, 1},
    {0.67, 0.70, 0.65, 1},
    {0.69, 0.66, 0.71, 1},
    {0.61, 0.68, 0.66, 1},
    {0.69, 0.67, 0.62, 1},
}};
// The translucent base colour of the free-shell overlay's material.
constexpr std::array<double, 4> kOverlayColour = {0.91, 0.46, 0, 0.48};
// glTF accessor component types.
constexpr std::uint64_t kFloatComponentType = 5126;
constexpr std::uint64_t kUnsignedIntComponentType = 5125;

// The failures in which a component and the overlay differ.
struct MeshFailureTexts {
  const char* tooManyVertices;
  const char* positionOverflow;
  const char* indexOverflow;
  const char* meshOverflow;
  const char* binaryOverflow;
  const char* retainedOverflow;
  const char* outputLimit;
  const char* indexCode;
  const char* indexMessage;
  const char* byteCountChanged;
  const char* identityCode;
  const char* identityMessage;
};

constexpr MeshFailureTexts kComponentTexts = {
    "STEP review component has too many vertices",
    "STEP review position byte count overflowed",
    "STEP review index byte count overflowed",
    "STEP review component byte count overflowed",
    "STEP review binary byte count overflowed",
    "STEP review retained byte count overflowed",
    "STEP review binary exceeds the request output limit",
    "invalid_step_review_component",
    "STEP review component has an out-of-range triangle index",
    "STEP review component byte count changed during encoding",
    "step_review_component_identity_mismatch",
    "STEP review component does not match its diagnostic identity",
};

constexpr MeshFailureTexts kOverlayTexts = {
    "STEP review free-shell overlay has too many vertices",
    "STEP review overlay position byte count overflowed",
    "STEP review overlay index byte count overflowed",
    "STEP review overlay component byte count overflowed",
    "STEP review overlay binary byte count overflowed",
    "STEP review overlay retained byte count overflowed",
    "STEP review overlay exceeds the request output limit",
    "invalid_step_review_overlay",
    "STEP review overlay has an out-of-range triangle index",
    "STEP review overlay byte count changed during encoding",
    "step_review_overlay_incomplete",
    "STEP review omitted or changed the source free-shell overlay",
};

// One mesh as the BIN chunk holds it, with what its accessors declare.
struct ReviewMesh {
  PlCadPrepStepReviewMeshPayload payload;  // its reservation also covers the bookkeeping
  std::uint64_t byteOffset = 0;
  std::array<float, 3> boundsMin = {0.0F, 0.0F, 0.0F};
  std::array<float, 3> boundsMax = {0.0F, 0.0F, 0.0F};
  std::string reviewMeshStreamSha256;
};

struct ReviewComponent {
  PlCadPrepStepSolidDiagnostic diagnostic;
  ReviewMesh mesh;
};

struct ReviewOverlay {
  std::uint64_t freeShellOccurrenceCount = 0;
  std::uint64_t selectedFreeShellOccurrenceCount = 0;
  std::uint64_t edgeParityClosedFreeShellOccurrenceCount = 0;
  std::string placedMeshStreamSha256;
  bool watertight = false;
  std::uint64_t untriangulatedBoundaryFaceCount = 0;
  std::uint64_t retainedTriangleCount = 0;
  ReviewMesh mesh;
};

[[noreturn]] void Fail(const char* code, const char* message) {
  throw PlCadPrepError(code, message, "mesh");
}

void AppendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) Fail("step_review_encode_failed", "STEP review number is not finite");
  if (!AppendJsonShortestDouble(out, v)) {
    Fail("step_review_encode_failed", "STEP review number could not be encoded");
  }
}

// The shortest text that reads back as the same single-precision value ("0.1", "-0", "1e+30").
void AppendBound(std::string& out, float v) {
  if (!std::isfinite(v)) Fail("step_review_encode_failed", "STEP review bound is not finite");
  std::array<char, 32> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), v);
  if (result.ec != std::errc{}) {
    Fail("step_review_encode_failed", "STEP review bound could not be encoded");
  }
  out.append(text.data(), result.ptr);
}

void WriteBounds(JsonTextWriter& json, std::string_view name, const std::array<float, 3>& bounds) {
  json.BeginArray(name);
  for (const float v : bounds) AppendBound(json.Element(), v);
  json.EndArray();
}

void WriteColour(JsonTextWriter& json, const std::array<double, 4>& colour) {
  json.BeginObject("pbrMetallicRoughness");
  json.BeginArray("baseColorFactor");
  for (const double channel : colour) AppendNumber(json.Element(), channel);
  json.EndArray();
  json.Unsigned("metallicFactor", 0);
  json.Key("roughnessFactor") += "0.72";
  json.EndObject();
}

// The free-shell counts, which the scene and the overlay node both carry.
void WriteFreeShellCounts(JsonTextWriter& json, std::uint64_t freeShells, std::uint64_t selected,
                          std::uint64_t edgeParityClosed) {
  json.Unsigned("freeShellOccurrenceCount", freeShells);
  json.Unsigned("selectedFreeShellOccurrenceCount", selected);
  json.Unsigned("edgeParityClosedFreeShellOccurrenceCount", edgeParityClosed);
}

// Allocation failures of the review's own buffers become the review's limit failure.
template <typename Fn>
void WithReviewAllocation(Fn&& work) {
  WithinMemoryLimit("mesh", "STEP review allocation failed within the bounded request",
                    "STEP review allocation exceeds the bounded request", std::forward<Fn>(work));
}

class ReviewModelWriter {
 public:
  ReviewModelWriter(const PlCadPrepStepReviewRequest& sideRequest,
                    const PlCadPrepOperationContext& runContext)
      : request(sideRequest),
        context(runContext),
        settings(PlCadPrepStepSideImportSettings(sideRequest)) {}

  void ImportSolids(const ProgressCallback& progress) {
    const PlCadPrepStepSolidMeshCallback onSolidMesh =
        [this](const PlCadPrepStepSolidDiagnostic& diagnostic, const PlGeometryMesh& mesh) {
          WithReviewAllocation([&] { AddComponent(diagnostic, mesh); });
        };
    const PlCadPrepStepSolidsImport solids =
        ImportPlCadPrepStepSolids(settings, {}, context, progress, onSolidMesh, {});
    sourceSha256 = solids.source.sourceSha256;
    solidsFaceScope = solids.surface.faceScope;
    sourceFreeShellCount = solids.census.freeShellCount;
    emptySolidCount = solids.classification.counters.emptySolidCount;
    if (components.empty()) {
      throw PlCadPrepError("step_no_placed_solid",
                           "the STEP source contains no placed solid to show", "import");
    }
  }

  void ImportFreeShells(const ProgressCallback& progress) {
    if (sourceFreeShellCount == 0) return;
    // The overlay is imported with the solids' own settings, so only its scope can differ.
    const PlCadPrepStepFacesImport shells =
        ImportPlCadPrepStepFaces(settings, kPlCadPrepStepScopeFreeShellsOnlyDiagnostic, {}, context,
                                 PlCadPrepLaterPassProgress(progress, "mesh"));
    if (shells.source.sourceSha256 != sourceSha256) {
      Fail("step_review_overlay_source_mismatch",
           "STEP review free-shell overlay came from a different source");
    }
    if (shells.surface.faceScope != kPlCadPrepStepScopeFreeShellsOnlyDiagnostic) {
      Fail("step_review_overlay_policy_mismatch",
           "STEP review free-shell overlay used a different tessellation policy");
    }
    WithReviewAllocation([&] { SetOverlay(shells); });
  }

  // The GLB bytes with the memory and output they are accounted against.
  void Write(const ProgressCallback& progress) {
    std::vector<std::uint8_t> glb;
    PlCadPrepMemoryReservation glbMemory;
    PlCadPrepOutputReservation glbOutput;
    WithReviewAllocation([&] {
      CheckComposition();
      const PlCadPrepMemoryReservation jsonMemory = ReserveMemory(context, kMaxJsonBytes, "mesh");
      const std::string json = ComposeJson();
      std::uint64_t total = 0;
      if (!GlbContainerBytes(json.size(), binaryBytes, total)) {
        Fail("step_review_limit_exceeded", "STEP review GLB byte count overflowed");
      }
      if (total > kMaxGlbBytes || total > context.ledger->maxOutputBytes) {
        Fail("step_review_limit_exceeded",
             "STEP component review GLB exceeds the output byte limit");
      }
      glbMemory = ReserveMemory(context, total, "mesh");
      glbOutput = ReserveOutput(context, total, "mesh");
      glb = Assemble(json, total);
    });
    RequireMemoryReservation(context, glbMemory, glb.size(), "package");
    RequireOutputReservation(context, glbOutput, glb.size(), "package");
    WriteStagedArchive(glb, request.outputPath, context, progress);
    KeepCreatedFile(request.outputPath);
  }

 private:
  void AddComponent(const PlCadPrepStepSolidDiagnostic& diagnostic, const PlGeometryMesh& mesh) {
    std::string reviewSha256 = PlCadPrepStepReviewMeshStreamSha256(mesh, context);
    if (components.size() >= kMaxComponents) {
      Fail("step_review_component_limit_exceeded",
           "STEP review has too many selectable components");
    }
    if (diagnostic.selectedSolidOrdinal != components.size() + 1 || !diagnostic.hasMesh ||
        diagnostic.empty || diagnostic.retainedTriangleCount != mesh.triangles.size() ||
        diagnostic.watertight != mesh.watertight || mesh.vertices.empty() ||
        mesh.triangles.empty()) {
      Fail("invalid_step_review_component", "STEP review component disagrees with its diagnostic");
    }
    if (!IsCanonicalSha256Identity(diagnostic.placedMeshStreamSha256) ||
        !IsCanonicalSha256Identity(diagnostic.samePolicyOccurrenceSha256)) {
      Fail("invalid_step_review_component",
           "STEP review component lacks canonical diagnostic identities");
    }
    if (PlCadPrepStepPlacedMeshStreamSha256(mesh, context) != diagnostic.placedMeshStreamSha256) {
      Fail("step_review_component_identity_mismatch",
           "STEP review component does not match its diagnostic identity");
    }
    ReviewMesh encoded = EncodeMesh(mesh, std::move(reviewSha256), kComponentTexts);
    components.push_back(ReviewComponent{diagnostic, std::move(encoded)});
  }

  void SetOverlay(const PlCadPrepStepFacesImport& shells) {
    const PlCadPrepStepShapeCensus& census = shells.census;
    const PlGeometryMesh& mesh = shells.surface.mesh;
    const std::uint64_t selected = shells.tessellation.selectedFreeShellCount;
    if (overlay.has_value() || census.freeShellCount == 0 || selected == 0 ||
        selected > census.freeShellCount || census.closedFreeShellCount > census.freeShellCount ||
        mesh.vertices.empty() || mesh.triangles.empty() ||
        shells.surface.faceCounts.retainedTriangleCount != mesh.triangles.size()) {
      Fail("invalid_step_review_overlay",
           "STEP review free-shell overlay is incomplete or duplicated");
    }
    ReviewOverlay next;
    next.freeShellOccurrenceCount = census.freeShellCount;
    next.selectedFreeShellOccurrenceCount = selected;
    next.edgeParityClosedFreeShellOccurrenceCount = census.closedFreeShellCount;
    next.placedMeshStreamSha256 = PlCadPrepStepPlacedMeshStreamSha256(mesh, context);
    next.watertight = mesh.watertight;
    next.untriangulatedBoundaryFaceCount =
        shells.surface.faceCounts.untriangulatedBoundaryFaceCount;
    next.retainedTriangleCount = mesh.triangles.size();
    next.mesh = EncodeMesh(mesh, PlCadPrepStepReviewMeshStreamSha256(mesh, context), kOverlayTexts);
    overlay = std::move(next);
  }

  // Appends one mesh to the binary buffer's accounting and proves its bytes
  // against the review identity computed independently from the same mesh.
  ReviewMesh EncodeMesh(const PlGeometryMesh& mesh, std::string reviewSha256,
                        const MeshFailureTexts& texts) {
    const std::uint64_t vertexCount = mesh.vertices.size();
    const std::uint64_t triangleCount = mesh.triangles.size();
    if (vertexCount > kMaxVertices) Fail("step_review_limit_exceeded", texts.tooManyVertices);
    std::uint64_t positionBytes = 0;
    std::uint64_t indexBytes = 0;
    std::uint64_t meshBytes = 0;
    std::uint64_t nextBinaryBytes = 0;
    std::uint64_t retainedBytes = 0;
    if (!CheckedMultiply(vertexCount, kPlCadPrepStepReviewBytesPerItem, positionBytes)) {
      Fail("step_review_limit_exceeded", texts.positionOverflow);
    }
    if (!CheckedMultiply(triangleCount, kPlCadPrepStepReviewBytesPerItem, indexBytes)) {
      Fail("step_review_limit_exceeded", texts.indexOverflow);
    }
    if (!CheckedAdd(positionBytes, indexBytes, meshBytes)) {
      Fail("step_review_limit_exceeded", texts.meshOverflow);
    }
    if (!CheckedAdd(binaryBytes, meshBytes, nextBinaryBytes)) {
      Fail("step_review_limit_exceeded", texts.binaryOverflow);
    }
    if (nextBinaryBytes > kMaxGlbBytes || nextBinaryBytes > context.ledger->maxOutputBytes) {
      Fail("step_review_limit_exceeded", texts.outputLimit);
    }
    if (!CheckedAdd(meshBytes, kMeshBookkeepingBytes, retainedBytes)) {
      Fail("step_review_limit_exceeded", texts.retainedOverflow);
    }

    ReviewMesh encoded;
    encoded.payload.reservation = ReserveMemory(context, retainedBytes, "mesh");
    encoded.payload.vertexCount = vertexCount;
    encoded.payload.triangleCount = triangleCount;
    encoded.byteOffset = binaryBytes;
    // Bounded by the 256 MiB binary limit checked above.
    ByteWriter writer(static_cast<std::size_t>(meshBytes));
    std::size_t item = 0;
    for (const PlPoint3& vertex : mesh.vertices) {
      if (item++ % kCheckpointItems == 0) CheckpointStage(context, "mesh");
      for (const double coordinate : vertex) {
        if (!PlCadPrepStepFitsF32(coordinate)) {
          Fail("invalid_step_review_component",
               "STEP review component contains a non-finite vertex");
        }
        writer.F32(static_cast<float>(coordinate));
      }
    }
    for (const std::array<std::uint32_t, 3>& triangle : mesh.triangles) {
      if (item++ % kCheckpointItems == 0) CheckpointStage(context, "mesh");
      for (const std::uint32_t index : triangle) {
        if (index >= vertexCount) Fail(texts.indexCode, texts.indexMessage);
        writer.U32(index);
      }
    }
    if (writer.bytes.size() != meshBytes) Fail("step_review_encode_failed", texts.byteCountChanged);
    encoded.payload.bytes = std::move(writer.bytes);
    if (PlCadPrepStepReviewPayloadSha256(encoded.payload, context) != reviewSha256) {
      Fail(texts.identityCode, texts.identityMessage);
    }
    encoded.reviewMeshStreamSha256 = std::move(reviewSha256);
    MeasureBounds(mesh, encoded);
    binaryBytes = nextBinaryBytes;
    return encoded;
  }

  // Rounding is monotone, so the rounded extremes of the doubles are exactly
  // the extremes of the single-precision values the BIN chunk holds.
  static void MeasureBounds(const PlGeometryMesh& mesh, ReviewMesh& encoded) {
    if (mesh.vertices.empty()) {
      Fail("step_review_empty_component", "STEP review component has no vertex");
    }
    PlPoint3 low{};
    PlPoint3 high{};
    MeasurePlGeometryBounds(mesh.vertices, low, high);
    for (std::size_t axis = 0; axis < 3; ++axis) {
      encoded.boundsMin[axis] = static_cast<float>(low[axis]);
      encoded.boundsMax[axis] = static_cast<float>(high[axis]);
    }
  }

  void CheckComposition() const {
    if (solidsFaceScope != kPlCadPrepStepScopeSolidsOnlyDiagnostic) {
      Fail("invalid_step_review_policy",
           "STEP component review requires solids-only diagnostic scope");
    }
    if (!IsCanonicalSha256Identity(sourceSha256)) {
      throw PlCadPrepError("invalid_source_hash",
                           "STEP component review source hash is not canonical", "validate");
    }
    if (!LimitsMatchContext(PlCadPrepStepSideLimits(request), context)) {
      throw PlCadPrepError("invalid_limits",
                           "STEP review request and operation-context limits disagree", "validate");
    }
    if (components.empty())
      Fail("step_review_empty", "STEP review contains no selectable component");
    if (emptySolidCount != 0) {
      Fail("step_review_empty_component", "STEP review cannot represent an empty solid component");
    }
    for (const ReviewComponent& component : components) {
      if (component.mesh.payload.vertexCount == 0 || component.mesh.payload.triangleCount == 0) {
        Fail("step_review_empty_component",
             "STEP review cannot represent an empty solid component");
      }
    }
    if (overlay.has_value() != (sourceFreeShellCount > 0) ||
        (overlay.has_value() && overlay->freeShellOccurrenceCount != sourceFreeShellCount)) {
      Fail("step_review_overlay_incomplete",
           "STEP review omitted or changed the source free-shell overlay");
    }
    // Every mesh must sit exactly where the accounting put it, back to back.
    std::uint64_t offset = 0;
    bool placed = true;
    for (const ReviewComponent& component : components) {
      placed = placed && component.mesh.byteOffset == offset;
      if (!CheckedAdd(offset, component.mesh.payload.bytes.size(), offset)) {
        Fail("step_review_encode_failed", "STEP review binary offsets overflowed");
      }
    }
    if (overlay.has_value()) {
      placed = placed && overlay->mesh.byteOffset == offset;
      if (!CheckedAdd(offset, overlay->mesh.payload.bytes.size(), offset)) {
        Fail("step_review_encode_failed", "STEP review overlay binary offsets overflowed");
      }
    }
    if (!placed || offset != binaryBytes) {
      Fail("step_review_encode_failed", "STEP review binary accounting changed before composition");
    }
  }

  static void WriteMeshEntry(JsonTextWriter& json, std::size_t index, std::size_t material) {
    json.BeginObject();
    json.BeginArray("primitives");
    json.BeginObject();
    json.BeginObject("attributes");
    json.Unsigned("POSITION", 2 * index);
    json.EndObject();
    json.Unsigned("indices", 2 * index + 1);
    json.Unsigned("material", material);
    json.Unsigned("mode", 4);
    json.EndObject();
    json.EndArray();
    json.EndObject();
  }

  static void WriteViews(JsonTextWriter& json, const ReviewMesh& mesh) {
    const std::uint64_t positionBytes = kPlCadPrepStepReviewBytesPerItem * mesh.payload.vertexCount;
    WriteGltfBufferView(json, mesh.byteOffset, positionBytes, kGltfArrayBufferTarget);
    WriteGltfBufferView(json, mesh.byteOffset + positionBytes,
                        kPlCadPrepStepReviewBytesPerItem * mesh.payload.triangleCount,
                        kGltfElementArrayBufferTarget);
  }

  static void WriteAccessors(JsonTextWriter& json, std::size_t index, const ReviewMesh& mesh) {
    json.BeginObject();
    json.Unsigned("bufferView", 2 * index);
    json.Unsigned("componentType", kFloatComponentType);
    json.Unsigned("count", mesh.payload.vertexCount);
    json.String("type", "VEC3");
    WriteBounds(json, "min", mesh.boundsMin);
    WriteBounds(json, "max", mesh.boundsMax);
    json.EndObject();
    json.BeginObject();
    json.Unsigned("bufferView", 2 * index + 1);
    json.Unsigned("componentType", kUnsignedIntComponentType);
    json.Unsigned("count", 3 * mesh.payload.triangleCount);
    json.String("type", "SCALAR");
    json.EndObject();
  }

  static void WriteComponentNode(JsonTextWriter& json, const ReviewComponent& component,
                                 std::size_t index) {
    const PlCadPrepStepSolidDiagnostic& d = component.diagnostic;
    json.BeginObject();
    json.String("name", "Solid " + std::to_string(d.selectedSolidOrdinal));
    json.Unsigned("mesh", index);
    json.BeginObject("extras");
    json.String("reviewKind", "solid_component");
    json.Unsigned("selectedSolidOrdinal", d.selectedSolidOrdinal);
    json.String("samePolicyOccurrenceSha256", d.samePolicyOccurrenceSha256);
    json.String("placedMeshStreamSha256", d.placedMeshStreamSha256);
    json.String("reviewMeshStreamSha256", component.mesh.reviewMeshStreamSha256);
    json.String("reviewRole", "unreviewed");
    json.Bool("watertight", d.watertight);
    json.Unsigned("boundaryFaceCount", d.boundaryFaceCount);
    json.Unsigned("triangulatedBoundaryFaceCount", d.triangulatedBoundaryFaceCount);
    json.Unsigned("untriangulatedBoundaryFaceCount", d.untriangulatedBoundaryFaceCount);
    json.Unsigned("retainedTriangleCount", d.retainedTriangleCount);
    json.Unsigned("discardedDegenerateTriangleCount", d.discardedDegenerateTriangleCount);
    json.EndObject();
    json.EndObject();
  }

  void WriteOverlayNode(JsonTextWriter& json) const {
    const ReviewOverlay& o = *overlay;
    json.BeginObject();
    json.String("name", "Free shell source overlay");
    json.Unsigned("mesh", components.size());
    json.BeginObject("extras");
    json.String("reviewKind", "free_shell_overlay");
    json.String("reviewDecision", "unreviewed");
    WriteFreeShellCounts(json, o.freeShellOccurrenceCount, o.selectedFreeShellOccurrenceCount,
                         o.edgeParityClosedFreeShellOccurrenceCount);
    json.String("placedMeshStreamSha256", o.placedMeshStreamSha256);
    json.String("reviewMeshStreamSha256", o.mesh.reviewMeshStreamSha256);
    json.Bool("watertight", o.watertight);
    json.Unsigned("untriangulatedBoundaryFaceCount", o.untriangulatedBoundaryFaceCount);
    json.Unsigned("retainedTriangleCount", o.retainedTriangleCount);
    json.EndObject();
    json.EndObject();
  }

  void WriteScene(JsonTextWriter& json, std::size_t meshCount) const {
    json.BeginArray("scenes");
    json.BeginObject();
    json.BeginArray("nodes");
    for (std::size_t k = 0; k < meshCount; ++k) json.Unsigned(k);
    json.EndArray();
    json.BeginObject("extras");
    json.String("schema", kPlCadPrepStepReviewSchema);
    json.String("sourceSha256", sourceSha256);
    json.String("diagnosticPolicy", kPlCadPrepStepDiagnosticPolicy);
    json.String("faceScope", PlCadPrepStepFaceScopeName(solidsFaceScope));
    AppendNumber(json.Key("targetLinearDeflectionMm"), settings.targetLinearDeflectionMm);
    AppendNumber(json.Key("angularDeflectionRadians"), settings.angularDeflectionRadians);
    json.BeginArray("sourceToMount");
    for (const double v : settings.sourceToMount) AppendNumber(json.Element(), v);
    json.EndArray();
    json.BeginArray("allowedOrientationsDeg");
    for (const std::uint32_t degrees : kReviewOrientationsDeg) json.Unsigned(degrees);
    json.EndArray();
    json.Unsigned("componentCount", components.size());
    WriteFreeShellCounts(json, overlay ? overlay->freeShellOccurrenceCount : 0,
                         overlay ? overlay->selectedFreeShellOccurrenceCount : 0,
                         overlay ? overlay->edgeParityClosedFreeShellOccurrenceCount : 0);
    json.EndObject();
    json.EndObject();
    json.EndArray();
  }

  void WriteMaterials(JsonTextWriter& json) const {
    json.BeginArray("materials");
    for (std::size_t i = 0; i < kPalette.size(); ++i) {
      json.BeginObject();
      json.String("name", "Component palette " + std::to_string(i + 1));
      json.Bool("doubleSided", true);
      WriteColour(json, kPalette[i]);
      json.EndObject();
    }
    if (overlay) {
      json.BeginObject();
      json.String("name", "Free shell source overlay");
      json.Bool("doubleSided", true);
      json.String("alphaMode", "BLEND");
      WriteColour(json, kOverlayColour);
      json.EndObject();
    }
    json.EndArray();
  }

  // The JSON chunk text; the container pads it with spaces to four bytes.
  std::string ComposeJson() const {
    const std::size_t meshCount = components.size() + (overlay ? 1 : 0);
    std::string text;
    text.reserve(kMaxJsonBytes);
    JsonTextWriter json(text);
    json.BeginObject();
    json.BeginObject("asset");
    json.String("generator", "PeltoCadPrep STEP component review");
    json.String("version", "2.0");
    json.EndObject();
    json.Unsigned("scene", 0);
    WriteScene(json, meshCount);

    json.BeginArray("nodes");
    for (std::size_t k = 0; k < components.size(); ++k) {
      if (k % kCheckpointItems == 0) CheckpointStage(context, "mesh");
      WriteComponentNode(json, components[k], k);
    }
    if (overlay) WriteOverlayNode(json);
    json.EndArray();

    json.BeginArray("meshes");
    for (std::size_t k = 0; k < meshCount; ++k) {
      WriteMeshEntry(json, k, k < components.size() ? k % kPalette.size() : kPalette.size());
    }
    json.EndArray();
    WriteMaterials(json);

    json.BeginArray("buffers");
    json.BeginObject();
    json.Unsigned("byteLength", binaryBytes);
    json.EndObject();
    json.EndArray();
    json.BeginArray("bufferViews");
    for (std::size_t k = 0; k < meshCount; ++k) WriteViews(json, MeshAt(k));
    json.EndArray();
    json.BeginArray("accessors");
    for (std::size_t k = 0; k < meshCount; ++k) WriteAccessors(json, k, MeshAt(k));
    json.EndArray();
    json.EndObject();

    std::uint64_t chunkBytes = 0;
    if (!GlbChunkBytes(text.size(), chunkBytes) || chunkBytes > kMaxJsonBytes) {
      Fail("step_review_limit_exceeded",
           "STEP review metadata exceeds the bounded GLB document size");
    }
    return text;
  }

  const ReviewMesh& MeshAt(std::size_t k) const {
    return k < components.size() ? components[k].mesh : overlay->mesh;
  }

  std::vector<std::uint8_t> Assemble(const std::string& json, std::uint64_t total) const {
    GlbContainerWriter glb(json, binaryBytes, total);
    const std::size_t meshCount = components.size() + (overlay ? 1 : 0);
    for (std::size_t k = 0; k < meshCount; ++k) {
      if (k % kCheckpointItems == 0) CheckpointStage(context, "mesh");
      glb.Binary().Bytes(MeshAt(k).payload.bytes);
    }
    std::vector<std::uint8_t> bytes = glb.Finish();
    if (bytes.empty()) {
      Fail("step_review_encode_failed",
           "STEP component review byte count changed during composition");
    }
    return bytes;
  }

  const PlCadPrepStepReviewRequest& request;
  const PlCadPrepOperationContext& context;
  // Both imports' settings: the identity mount, since a review places nothing.
  const PlCadPrepStepImportSettings settings;
  std::string sourceSha256;
  std::uint32_t solidsFaceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  std::uint64_t sourceFreeShellCount = 0;
  std::uint64_t emptySolidCount = 0;
  std::vector<ReviewComponent> components;
  std::optional<ReviewOverlay> overlay;
  // Running length of the BIN chunk: components in ordinal order, then the overlay.
  std::uint64_t binaryBytes = 0;
};

}  // namespace

void WritePlCadPrepStepReviewModel(const PlCadPrepStepReviewRequest& request,
                                   const PlCadPrepCancellation& cancellation,
                                   const ProgressCallback& progress) {
  ValidatePlCadPrepStepReviewRequest(request);
  const PlCadPrepOperationContext context = PlCadPrepStepSideContext(request, cancellation);
  ReviewModelWriter writer(request, context);
  writer.ImportSolids(progress);
  writer.ImportFreeShells(progress);
  writer.Write(progress);
}
