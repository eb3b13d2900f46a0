#include "step/step_solid_diagnostics.h"

#include <TopExp_Explorer.hxx>
#include <TopTools_MapOfShape.hxx>
#include <TopoDS_Builder.hxx>
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>

#include "core/byte_io.h"
#include "core/checked.h"
#include "core/sha256.h"
#include "kernel/kernel_failures.h"
#include "kernel/triangle_extraction.h"
#include "mesh/triangle_mesh_builder.h"

namespace {

constexpr std::uint64_t kIdentityCheckpointInterval = 4096;
constexpr std::uint64_t kReviewCheckpointInterval = 2048;
constexpr std::size_t kReviewHashChunkBytes = 1'048'576;
// The placed stream is hashed through a buffer of this size, so a large mesh
// costs no second copy.
constexpr std::size_t kStreamBufferBytes = 65'536;

const NeverCancelled kNeverCancelled;

// A set of `wanted` names that the run matched only `matched` of is stale (stage
// "validate"); an empty set asks for nothing.
void RequireAllMatched(std::size_t wanted, std::uint64_t matched, const char* code,
                       const char* message) {
  if (wanted != 0 && matched != wanted) throw PlCadPrepError(code, message, "validate");
}

// A text written with its length: u64 byte count, then the bytes.
void PutText(ByteWriter& writer, std::string_view text) {
  writer.U64(text.size());
  for (const char ch : text) writer.U8(static_cast<std::uint8_t>(ch));
}

// Feeds a ByteWriter's bytes to the hasher whenever a buffer's worth is
// pending, so the writer's storage is reused for the whole stream.
class BufferedHash {
 public:
  explicit BufferedHash(std::string_view domain) : writer(kStreamBufferBytes) {
    hasher.Update(domain);
  }
  void FlushWhenFull() {
    if (writer.bytes.size() >= kStreamBufferBytes) Flush();
  }
  std::string Finish() {
    Flush();
    return Sha256IdentityText(hasher.Finish());
  }

  ByteWriter writer;

 private:
  void Flush() {
    hasher.Update(writer.bytes);
    writer.bytes.clear();
  }
  Sha256 hasher;
};

std::vector<std::string_view> SortedKeys(const std::vector<std::string>& keys) {
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

bool Contains(const std::vector<std::string_view>& sorted, std::string_view key) {
  return std::binary_search(sorted.begin(), sorted.end(), key);
}

using ProofPair = std::pair<std::string_view, std::string_view>;

class SolidClassifier {
 public:
  SolidClassifier(std::string_view sourceDigest, const PlCadPrepStepImportSettings& importSettings,
                  const PlCadPrepStepOccurrenceKeys& keys,
                  const PlCadPrepOperationContext& runContext, TopoDS_Compound* retainedCompound,
                  const PlCadPrepStepSolidMeshCallback& meshCallback,
                  const PlCadPrepStepSolidDiagnosticCallback& diagnosticCallback)
      : sourceSha256(sourceDigest),
        settings(importSettings),
        context(runContext),
        retainedSolids(retainedCompound),
        onSolidMesh(meshCallback),
        onSolidDiagnostic(diagnosticCallback),
        reviewedKeys(SortedKeys(keys.reviewed)),
        retainedKeys(SortedKeys(keys.retained)) {
    proofPairs.reserve(keys.sourceProofPairs.size());
    for (const auto& [key, identity] : keys.sourceProofPairs) {
      proofPairs.emplace_back(key, identity);
    }
    std::sort(proofPairs.begin(), proofPairs.end());
  }

  void Run(const TopoDS_Shape& solids) {
    if (retainedSolids != nullptr && retainedSolids->IsNull()) {
      compoundBuilder.MakeCompound(*retainedSolids);
    }
    TopTools_MapOfShape seen;
    for (TopExp_Explorer explorer(solids, TopAbs_SOLID); explorer.More(); explorer.Next()) {
      if (!seen.Add(explorer.Current())) continue;
      CheckpointStage(context, "mesh");
      ClassifySolid(explorer.Current());
    }
  }

  void CheckTotals(std::uint64_t selectedSolidCount) const {
    const PlCadPrepStepSolidCounters& c = result.counters;
    // Each sum is of counts no larger than the ordinals, so none can overflow.
    if (c.classifiedSolidCount != selectedSolidCount ||
        c.solidsWithUntriangulatedFacesCount + c.solidsWithoutUntriangulatedFacesCount !=
            c.classifiedSolidCount ||
        c.emptySolidCount + c.nonWatertightSolidCount + c.watertightSolidCount !=
            c.classifiedSolidCount) {
      throw PlCadPrepError("step_solid_diagnostic_incomplete",
                           "STEP per-solid diagnostic did not classify every selected solid",
                           "mesh");
    }
    RequireAllMatched(reviewedKeys.size(), c.reviewedKeysMatchedCount,
                      "step_occurrence_selection_stale",
                      "STEP occurrence selection does not match this source and policy");
    RequireAllMatched(retainedKeys.size(), c.retainedSolidCount,
                      "step_occurrence_role_selection_stale",
                      "retained STEP occurrence roles do not match this source and policy");
    RequireAllMatched(proofPairs.size(), c.retainedSolidCount, "step_source_proof_mesh_stale",
                      "strict STEP source-proof meshes do not match this transfer");
  }

  PlCadPrepStepSolidClassification result;

 private:
  void ClassifySolid(const TopoDS_Shape& solid) {
    PlCadPrepStepSolidCounters& totals = result.counters;
    PlCadPrepStepSolidDiagnostic diagnostic;
    diagnostic.selectedSolidOrdinal = ++totals.classifiedSolidCount;

    const PlCadPrepCancellation& cancellation =
        context.cancellation != nullptr ? *context.cancellation : kNeverCancelled;
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(context), cancellation, &context);
    const PlCadPrepTriangleCounters faces =
        ExtractPlCadPrepStepTriangles(solid, settings.sourceToMount, context, builder);
    diagnostic.boundaryFaceCount = faces.boundaryFaceCount;
    diagnostic.triangulatedBoundaryFaceCount = faces.triangulatedBoundaryFaceCount;
    diagnostic.untriangulatedBoundaryFaceCount = faces.untriangulatedBoundaryFaceCount;
    diagnostic.tessellatedTriangleCount = faces.tessellatedTriangleCount;
    diagnostic.retainedTriangleCount = faces.retainedTriangleCount;
    diagnostic.discardedDegenerateTriangleCount = faces.discardedDegenerateTriangleCount;
    if (faces.untriangulatedBoundaryFaceCount > 0) {
      ++totals.solidsWithUntriangulatedFacesCount;
    } else {
      ++totals.solidsWithoutUntriangulatedFacesCount;
    }
    if (faces.discardedDegenerateTriangleCount > 0) ++totals.solidsWithDegenerateTrianglesCount;

    if (faces.retainedTriangleCount == 0) {
      diagnostic.empty = true;
      ++totals.emptySolidCount;
      result.diagnostics.push_back(diagnostic);
      if (onSolidDiagnostic) onSolidDiagnostic(diagnostic);
      return;
    }

    // The per-solid mesh makes no claim about its distance to the source.
    const PlGeometryMesh mesh = builder.Finish(0.0);
    diagnostic.placedMeshStreamSha256 = PlCadPrepStepPlacedMeshStreamSha256(mesh, context);
    diagnostic.samePolicyOccurrenceSha256 = PlCadPrepStepSamePolicyOccurrenceSha256(
        sourceSha256, settings, kPlCadPrepStepScopeSolidsOnlyDiagnostic, diagnostic, context);
    const std::string_view key = diagnostic.samePolicyOccurrenceSha256;
    diagnostic.selected = Contains(reviewedKeys, key);
    if (diagnostic.selected) ++totals.reviewedKeysMatchedCount;
    const bool retained = Contains(retainedKeys, key);
    const bool proven =
        std::binary_search(proofPairs.begin(), proofPairs.end(),
                           ProofPair(key, std::string_view(diagnostic.placedMeshStreamSha256)));
    if (retained || proven) {
      if (retainedSolids != nullptr) compoundBuilder.Add(*retainedSolids, solid);
      ++totals.retainedSolidCount;
    }
    diagnostic.boundsMin = mesh.boundsMin;
    diagnostic.boundsMax = mesh.boundsMax;
    diagnostic.hasMesh = true;
    diagnostic.watertight = mesh.watertight;
    if (mesh.watertight) {
      ++totals.watertightSolidCount;
    } else {
      ++totals.nonWatertightSolidCount;
    }
    result.diagnostics.push_back(diagnostic);
    if (onSolidMesh) onSolidMesh(diagnostic, mesh);
    if (onSolidDiagnostic) onSolidDiagnostic(diagnostic);
  }

  std::string_view sourceSha256;
  const PlCadPrepStepImportSettings& settings;
  const PlCadPrepOperationContext& context;
  TopoDS_Compound* retainedSolids;
  const PlCadPrepStepSolidMeshCallback& onSolidMesh;
  const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic;
  std::vector<std::string_view> reviewedKeys;
  std::vector<std::string_view> retainedKeys;
  std::vector<ProofPair> proofPairs;
  TopoDS_Builder compoundBuilder;
};

}  // namespace

bool PlCadPrepStepFitsF32(double v) {
  // The smallest magnitude that rounds to infinity in single precision: FLT_MAX
  // plus half of its last place. Below it the narrowing is defined and finite.
  constexpr double kF32OverflowMagnitude = 0x1.ffffffp127;
  return std::isfinite(v) && std::abs(v) < kF32OverflowMagnitude;
}

std::string_view PlCadPrepStepFaceScopeName(std::uint32_t faceScope) {
  switch (faceScope) {
    case 0:
      return "all_transferred_boundary_faces";
    case 1:
      return "solids_only_diagnostic";
    case 2:
      return "free_shells_only_diagnostic";
    default:
      return "unknown";
  }
}

PlCadPrepStepSolidClassification ClassifyPlCadPrepStepSolids(
    const TopoDS_Shape& solids, std::string_view sourceSha256,
    const PlCadPrepStepImportSettings& settings, const PlCadPrepStepOccurrenceKeys& keys,
    const PlCadPrepOperationContext& context, std::uint64_t selectedSolidCount,
    TopoDS_Compound* retainedSolids, const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic) {
  PlCadPrepStepSolidClassification classification;
  RunStepKernelWork("mesh", [&] {
    SolidClassifier classifier(sourceSha256, settings, keys, context, retainedSolids, onSolidMesh,
                               onSolidDiagnostic);
    classifier.Run(solids);
    classifier.CheckTotals(selectedSolidCount);
    classification = std::move(classifier.result);
  });
  return classification;
}

std::string PlCadPrepStepPlacedMeshStreamSha256(const PlGeometryMesh& mesh,
                                                const PlCadPrepOperationContext& context) {
  BufferedHash stream(kPlCadPrepStepPlacedMeshStreamDomain);
  ByteWriter& writer = stream.writer;
  writer.U64(mesh.vertices.size());
  writer.U64(mesh.triangles.size());
  for (std::size_t i = 0; i < mesh.vertices.size(); ++i) {
    if (i % kIdentityCheckpointInterval == 0) CheckpointStage(context, "mesh");
    for (const double coordinate : mesh.vertices[i]) writer.F64(coordinate);
    stream.FlushWhenFull();
  }
  for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
    if (i % kIdentityCheckpointInterval == 0) CheckpointStage(context, "mesh");
    for (const std::uint32_t index : mesh.triangles[i]) writer.U32(index);
    stream.FlushWhenFull();
  }
  return stream.Finish();
}

std::string PlCadPrepStepSamePolicyOccurrenceSha256(std::string_view sourceSha256,
                                                    const PlCadPrepStepImportSettings& settings,
                                                    std::uint32_t faceScope,
                                                    const PlCadPrepStepSolidDiagnostic& diagnostic,
                                                    const PlCadPrepOperationContext& context) {
  const std::string_view scopeName = PlCadPrepStepFaceScopeName(faceScope);
  ByteWriter writer(kPlCadPrepStepDiagnosticPolicy.size() + sourceSha256.size() + scopeName.size() +
                    diagnostic.placedMeshStreamSha256.size() + 8 * 23);
  PutText(writer, kPlCadPrepStepDiagnosticPolicy);
  PutText(writer, sourceSha256);
  writer.F64(settings.targetLinearDeflectionMm);
  writer.F64(settings.angularDeflectionRadians);
  PutText(writer, scopeName);
  for (const double entry : settings.sourceToMount) writer.F64(entry);
  writer.U64(diagnostic.selectedSolidOrdinal);
  PutText(writer, diagnostic.placedMeshStreamSha256);

  Sha256 hasher;
  hasher.Update(kPlCadPrepStepSamePolicyOccurrenceDomain);
  hasher.Update(writer.bytes);
  std::string key = Sha256IdentityText(hasher.Finish());
  CheckpointStage(context, "mesh");
  return key;
}

PlCadPrepStepReviewMeshPayload EncodePlCadPrepStepReviewMeshPayload(
    const PlGeometryMesh& mesh, const PlCadPrepOperationContext& context) {
  if (mesh.vertices.empty() || mesh.triangles.empty()) {
    throw PlCadPrepError("step_review_empty_component",
                         "STEP review mesh identity requires nonempty geometry", "mesh");
  }
  PlCadPrepStepReviewMeshPayload payload;
  payload.vertexCount = mesh.vertices.size();
  payload.triangleCount = mesh.triangles.size();
  std::uint64_t items = 0;
  if (!CheckedAdd(payload.vertexCount, payload.triangleCount, items)) {
    throw PlCadPrepError("step_review_limit_exceeded", "STEP review mesh identity count overflowed",
                         "mesh");
  }
  std::uint64_t byteCount = 0;
  if (!CheckedMultiply(items, kPlCadPrepStepReviewBytesPerItem, byteCount) ||
      byteCount > std::numeric_limits<std::size_t>::max()) {
    throw PlCadPrepError("step_review_limit_exceeded",
                         "STEP review mesh identity byte count overflowed", "mesh");
  }
  payload.reservation = ReserveMemory(context, byteCount, "mesh");
  try {
    ByteWriter writer(static_cast<std::size_t>(byteCount));
    std::uint64_t item = 0;
    for (const PlPoint3& vertex : mesh.vertices) {
      if (item++ % kReviewCheckpointInterval == 0) CheckpointStage(context, "mesh");
      for (const double coordinate : vertex) {
        if (!PlCadPrepStepFitsF32(coordinate)) {
          throw PlCadPrepError("invalid_step_review_component",
                               "STEP review mesh identity contains a non-finite vertex", "mesh");
        }
        writer.F32(static_cast<float>(coordinate));
      }
    }
    for (const std::array<std::uint32_t, 3>& triangle : mesh.triangles) {
      if (item++ % kReviewCheckpointInterval == 0) CheckpointStage(context, "mesh");
      for (const std::uint32_t index : triangle) {
        if (index >= payload.vertexCount) {
          throw PlCadPrepError("invalid_step_review_component",
                               "STEP review mesh identity has an out-of-range index", "mesh");
        }
        writer.U32(index);
      }
    }
    if (writer.bytes.size() != byteCount) {
      throw PlCadPrepError("step_review_encode_failed",
                           "STEP review mesh identity byte count changed", "mesh");
    }
    payload.bytes = std::move(writer.bytes);
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP import allocation failed", "mesh");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "STEP import allocation failed", "mesh");
  }
  return payload;
}

std::string PlCadPrepStepReviewPayloadSha256(const PlCadPrepStepReviewMeshPayload& payload,
                                             const PlCadPrepOperationContext& context) {
  Sha256 hasher;
  hasher.Update(kPlCadPrepStepReviewMeshStreamDomain);
  ByteWriter counts(16);
  counts.U64(payload.vertexCount);
  counts.U64(payload.triangleCount);
  hasher.Update(counts.bytes);
  const std::span<const std::uint8_t> bytes(payload.bytes);
  for (std::size_t offset = 0; offset < bytes.size(); offset += kReviewHashChunkBytes) {
    CheckpointStage(context, "mesh");
    hasher.Update(bytes.subspan(offset, std::min(kReviewHashChunkBytes, bytes.size() - offset)));
  }
  return Sha256IdentityText(hasher.Finish());
}

std::string PlCadPrepStepReviewMeshStreamSha256(const PlGeometryMesh& mesh,
                                                const PlCadPrepOperationContext& context) {
  const PlCadPrepStepReviewMeshPayload payload =
      EncodePlCadPrepStepReviewMeshPayload(mesh, context);
  return PlCadPrepStepReviewPayloadSha256(payload, context);
}
