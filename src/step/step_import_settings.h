#pragma once
// What a STEP import is asked to do: the narrow settings one source is opened
// with, the occurrence keys a solids classification is held to, and the rules
// both must pass before any source byte is read.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "context/operation_context.h"
#include "request/prepare_request.h"

// Face scopes; their texts come from PlCadPrepStepFaceScopeName.
inline constexpr std::uint32_t kPlCadPrepStepScopeAllTransferredBoundaryFaces = 0;
inline constexpr std::uint32_t kPlCadPrepStepScopeSolidsOnlyDiagnostic = 1;
inline constexpr std::uint32_t kPlCadPrepStepScopeFreeShellsOnlyDiagnostic = 2;

// Largest accepted linear deflection; the angular one is bounded by pi.
inline constexpr double kPlCadPrepStepMaxLinearDeflectionMm = 15.0;
inline constexpr double kPlCadPrepStepMaxAngularDeflectionRadians = 3.141592653589793;

// One STEP source and the policy it is placed and tessellated with. The
// limits are the operation context's.
struct PlCadPrepStepImportSettings {
  std::filesystem::path sourcePath;
  std::string sourceUnits = "source";  // STEP units always come from the source
  // Row-major 4x4, as in the prepare request.
  std::array<double, 16> sourceToMount = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  double targetLinearDeflectionMm = 0.5;
  double angularDeflectionRadians = 0.5;
};

// The settings rules in their fixed order, all stage "preflight":
// "step_units_must_come_from_source", then "invalid_tessellation_options".
void ValidatePlCadPrepStepImportSettings(const PlCadPrepStepImportSettings& settings);

// The keys a solids classification is held to. Source-proof pairs are
// (same-policy occurrence key, expected placed-mesh-stream identity); giving
// any makes the import strict, which heals nothing.
struct PlCadPrepStepOccurrenceKeys {
  std::vector<std::string> reviewed;
  std::vector<std::string> retained;
  std::vector<std::pair<std::string, std::string>> sourceProofPairs;

  bool StrictSourceProof() const { return !sourceProofPairs.empty(); }
  // Retained or proven solids are meshed again on their own.
  bool RemeshRetained() const { return !retained.empty() || !sourceProofPairs.empty(); }
};

// The key rules in their fixed order (stage "preflight"); returns the keys
// with every list sorted, so that lookups can bisect. `maxTriangles` bounds
// every list.
PlCadPrepStepOccurrenceKeys ValidatePlCadPrepStepOccurrenceKeys(
    const PlCadPrepStepOccurrenceKeys& keys, std::uint64_t maxTriangles);
