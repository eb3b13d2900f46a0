#pragma once
// Per-solid classification of a tessellated STEP solids selection, and the
// three content identities that let a later run recognise a solid's placed
// mesh, the solid itself under the same policy, and its review geometry.
#include <TopoDS_Compound.hxx>
#include <TopoDS_Shape.hxx>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "mesh/geometry_mesh.h"
#include "step/step_import_settings.h"

// Identity domains; hashed as their bytes alone, without a length or a zero byte.
inline constexpr std::string_view kPlCadPrepStepPlacedMeshStreamDomain =
    "PeltoCadPrep.STEP.placed-mesh-stream.v1";
inline constexpr std::string_view kPlCadPrepStepSamePolicyOccurrenceDomain =
    "PeltoCadPrep.STEP.same-policy-occurrence.v1";
inline constexpr std::string_view kPlCadPrepStepReviewMeshStreamDomain =
    "PeltoCadPrep.STEP.review-f32-mesh-stream.v1";
// The classification policy a same-policy key is bound to.
inline constexpr std::string_view kPlCadPrepStepDiagnosticPolicy =
    "PeltoCadPrep.STEP.diagnostic.v2";

// Bytes of one vertex (3 x f32) and of one triangle (3 x u32) in a review payload.
inline constexpr std::uint64_t kPlCadPrepStepReviewBytesPerItem = 12;

// True when `v` narrows to a finite single-precision value, as review meshes store it.
bool PlCadPrepStepFitsF32(double v);

// "all_transferred_boundary_faces", "solids_only_diagnostic",
// "free_shells_only_diagnostic" for 0, 1, 2; "unknown" otherwise.
std::string_view PlCadPrepStepFaceScopeName(std::uint32_t faceScope);

// One distinct solid of the selection (same TShape and location), in the
// order an explorer over the selection first meets it.
struct PlCadPrepStepSolidDiagnostic {
  std::uint64_t selectedSolidOrdinal = 0;  // 1-based
  std::uint64_t boundaryFaceCount = 0;
  std::uint64_t triangulatedBoundaryFaceCount = 0;
  std::uint64_t untriangulatedBoundaryFaceCount = 0;
  std::uint64_t tessellatedTriangleCount = 0;
  std::uint64_t retainedTriangleCount = 0;
  std::uint64_t discardedDegenerateTriangleCount = 0;
  // Both empty when no triangle was retained.
  std::string placedMeshStreamSha256;
  std::string samePolicyOccurrenceSha256;
  PlPoint3 boundsMin = {0.0, 0.0, 0.0};
  PlPoint3 boundsMax = {0.0, 0.0, 0.0};
  bool hasMesh = false;
  bool watertight = false;
  bool empty = false;
  bool selected = false;  // its same-policy key is among the reviewed keys
};

// Totals over one classification pass; they must add up to the ordinals.
struct PlCadPrepStepSolidCounters {
  std::uint64_t classifiedSolidCount = 0;
  std::uint64_t solidsWithUntriangulatedFacesCount = 0;
  std::uint64_t solidsWithoutUntriangulatedFacesCount = 0;
  std::uint64_t solidsWithDegenerateTrianglesCount = 0;
  std::uint64_t watertightSolidCount = 0;
  std::uint64_t nonWatertightSolidCount = 0;
  std::uint64_t emptySolidCount = 0;
  std::uint64_t reviewedKeysMatchedCount = 0;
  std::uint64_t retainedSolidCount = 0;
};

struct PlCadPrepStepSolidClassification {
  std::vector<PlCadPrepStepSolidDiagnostic> diagnostics;
  PlCadPrepStepSolidCounters counters;
};

// Called once per solid with a mesh, before the diagnostic callback.
using PlCadPrepStepSolidMeshCallback =
    std::function<void(const PlCadPrepStepSolidDiagnostic&, const PlGeometryMesh&)>;
// Called once for every classified solid, empty ones included.
using PlCadPrepStepSolidDiagnosticCallback =
    std::function<void(const PlCadPrepStepSolidDiagnostic&)>;

// Classifies every distinct solid of the tessellated `solids` selection: its
// own triangles, counters, watertightness and identities. `selectedSolidCount`
// is the number of solids the selection was built from; the totals must match
// it. `keys` are sorted as ValidatePlCadPrepStepOccurrenceKeys returns them.
// Solids whose key is retained, or whose (key, placed-mesh identity) pair is a
// source-proof pair, are added to `retainedSolids` when it is given (made a
// compound first when null). Either callback may be empty. Throws
// PlCadPrepError ("step_solid_diagnostic_incomplete", the three stale-selection
// codes, and every failure of the extraction and the mesh builder).
PlCadPrepStepSolidClassification ClassifyPlCadPrepStepSolids(
    const TopoDS_Shape& solids, std::string_view sourceSha256,
    const PlCadPrepStepImportSettings& settings, const PlCadPrepStepOccurrenceKeys& keys,
    const PlCadPrepOperationContext& context, std::uint64_t selectedSolidCount,
    TopoDS_Compound* retainedSolids, const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic);

// The placed-mesh-stream identity: domain, u64 vertex and triangle counts,
// every coordinate's f64 bit pattern, every index as u32. Throws only the
// context's cancellation and elapsed-time failures (stage "mesh").
std::string PlCadPrepStepPlacedMeshStreamSha256(const PlGeometryMesh& mesh,
                                                const PlCadPrepOperationContext& context);

// The same-policy occurrence key of a solid whose placed-mesh identity is set:
// domain, policy text, source digest text, deflection bit patterns, the name
// of `faceScope`, the 16 sourceToMount bit patterns, ordinal, placed-mesh identity.
std::string PlCadPrepStepSamePolicyOccurrenceSha256(std::string_view sourceSha256,
                                                    const PlCadPrepStepImportSettings& settings,
                                                    std::uint32_t faceScope,
                                                    const PlCadPrepStepSolidDiagnostic& diagnostic,
                                                    const PlCadPrepOperationContext& context);

// The review payload of a mesh: every vertex as three f32, then every triangle
// as three u32, 12 bytes per item, held with its memory reservation.
struct PlCadPrepStepReviewMeshPayload {
  std::vector<std::uint8_t> bytes;
  PlCadPrepMemoryReservation reservation;
  std::uint64_t vertexCount = 0;
  std::uint64_t triangleCount = 0;
};

// Throws PlCadPrepError (stage "mesh") for an empty mesh, an overflowing
// count, a coordinate not finite as f64 or as f32, or an out-of-range index.
PlCadPrepStepReviewMeshPayload EncodePlCadPrepStepReviewMeshPayload(
    const PlGeometryMesh& mesh, const PlCadPrepOperationContext& context);

// The review-f32-mesh-stream identity of a payload made by the encoder above.
std::string PlCadPrepStepReviewPayloadSha256(const PlCadPrepStepReviewMeshPayload& payload,
                                             const PlCadPrepOperationContext& context);

// The review-f32-mesh-stream identity of a mesh: encodes its payload, then hashes it.
std::string PlCadPrepStepReviewMeshStreamSha256(const PlGeometryMesh& mesh,
                                                const PlCadPrepOperationContext& context);
