#pragma once
// The component-selection record: the reviewed decision about a STEP source
// (which solids are kept, which excluded, what happens to its free shells).
// The select command writes it (step_selection_writer.h); prepare reads it back
// here. Writer and reader agree exactly, and the writer checks its own text
// with the reader.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "context/operation_context.h"
#include "core/error.h"
#include "request/step_side_requests.h"

inline constexpr std::string_view kPlCadPrepStepSelectionSchema =
    "pelto.geometry.step-component-selection.v1";
inline constexpr std::string_view kPlCadPrepStepSelectionRecordDomain =
    "PeltoCadPrep.STEP.component-selection-record.v1";
inline constexpr std::uint64_t kPlCadPrepStepSelectionMaxBytes = 8'388'608;
inline constexpr std::uint64_t kPlCadPrepStepSelectionMaxComponents = 4096;

// Role codes as read.
enum class PlCadPrepStepComponentRole : std::uint32_t {
  unreviewed = 0,
  moldShell = 1,
  fixture = 2,
  component = 3,
  exclude = 4,
};

// Free-shell decision codes as read.
enum class PlCadPrepStepFreeShellDecision : std::uint32_t {
  unreviewed = 0,
  physical = 1,
  residue = 2,
};

// "unreviewed", "mold_shell", "fixture", "component", "exclude"; "unknown" otherwise.
std::string_view PlCadPrepStepComponentRoleName(PlCadPrepStepComponentRole role);
// "unreviewed", "physical", "residue"; "unknown" otherwise.
std::string_view PlCadPrepStepFreeShellDecisionName(PlCadPrepStepFreeShellDecision decision);

struct PlCadPrepStepSelectionComponent {
  std::uint64_t selectedSolidOrdinal = 0;
  std::string samePolicyOccurrenceSha256;
  std::string placedMeshStreamSha256;
  std::string reviewMeshStreamSha256;
  PlCadPrepStepComponentRole role = PlCadPrepStepComponentRole::unreviewed;
  bool watertight = false;
  std::uint64_t untriangulatedBoundaryFaceCount = 0;
  std::uint64_t retainedTriangleCount = 0;
};

struct PlCadPrepStepSelectionOverlay {
  PlCadPrepStepFreeShellDecision decision = PlCadPrepStepFreeShellDecision::unreviewed;
  std::uint64_t freeShellOccurrenceCount = 0;
  std::uint64_t selectedFreeShellOccurrenceCount = 0;
  std::uint64_t edgeParityClosedFreeShellOccurrenceCount = 0;
  std::uint64_t retainedTriangleCount = 0;
  std::string placedMeshStreamSha256;
  std::string reviewMeshStreamSha256;
  bool watertight = false;
  std::uint64_t untriangulatedBoundaryFaceCount = 0;
};

// One parsed record with its identity; held with the memory it was accounted against.
struct PlCadPrepStepSelection {
  std::string schema;
  std::string reviewSchema;
  std::string sourceSha256;
  std::string diagnosticPolicy;
  std::string faceScope;
  double targetLinearDeflectionMm = 0.0;
  double angularDeflectionRadians = 0.0;
  std::array<double, 16> sourceToMount = {};
  std::vector<std::int32_t> allowedOrientationsDeg;  // record order
  bool roleReviewComplete = false;
  bool authoritative = false;
  bool collisionReady = false;
  std::uint64_t unreviewedComponentCount = 0;
  std::uint64_t geometryIssueComponentCount = 0;
  bool hasFreeShellOverlay = false;
  PlCadPrepStepSelectionOverlay freeShellOverlay;           // meaningful only when present
  std::vector<PlCadPrepStepSelectionComponent> components;  // ordinal order
  std::string recordSha256;                                 // the record identity
  PlCadPrepMemoryReservation memory;
};

// The record identity: SHA-256 over the domain text, the byte length as u64
// little-endian and the bytes, as identity text. Checks cancellation before
// every MiB (stage "preflight").
std::string PlCadPrepStepSelectionRecordSha256(std::string_view bytes,
                                               const PlCadPrepOperationContext& context);

// Parses record bytes with every reading rule, the first broken one winning;
// content errors are "invalid_step_component_selection". The result carries the
// reservation of what it holds. Throws PlCadPrepError (stage "preflight").
PlCadPrepStepSelection ParsePlCadPrepStepSelectionRecord(std::string_view bytes,
                                                         const PlCadPrepOperationContext& context);

// Reads the record file at `path` exactly (at most 8 MiB) and parses it; the
// file's size is reserved while it is held. Throws PlCadPrepError (stage "preflight").
PlCadPrepStepSelection ReadPlCadPrepStepSelectionRecord(const std::filesystem::path& path,
                                                        const PlCadPrepOperationContext& context);
