#include "step/step_import_settings.h"

#include <algorithm>
#include <cmath>

#include "core/error.h"
#include "core/sha256.h"

namespace {

// Sorts `keys`, refusing first a key that is not canonical SHA-256 identity
// text, then a repeated one.
void SortCanonicalKeys(std::vector<std::string>& keys, const char* notCanonicalMessage,
                       const char* duplicateMessage) {
  if (!std::all_of(keys.begin(), keys.end(), IsCanonicalSha256Identity)) {
    throw PlCadPrepError("invalid_step_occurrence_key", notCanonicalMessage, "preflight");
  }
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) {
    throw PlCadPrepError("duplicate_step_occurrence_key", duplicateMessage, "preflight");
  }
}

}  // namespace

void ValidatePlCadPrepStepImportSettings(const PlCadPrepStepImportSettings& settings) {
  if (settings.sourceUnits != "source") {
    throw PlCadPrepError("step_units_must_come_from_source",
                         "STEP import must preserve the units declared by the source file",
                         "preflight");
  }
  const double linear = settings.targetLinearDeflectionMm;
  const double angular = settings.angularDeflectionRadians;
  if (!std::isfinite(linear) || !(linear > 0.0) || linear > kPlCadPrepStepMaxLinearDeflectionMm ||
      !std::isfinite(angular) || !(angular > 0.0) ||
      angular > kPlCadPrepStepMaxAngularDeflectionRadians) {
    throw PlCadPrepError("invalid_tessellation_options",
                         "STEP tessellation deflections exceed the finite version 1 policy",
                         "preflight");
  }
}

PlCadPrepStepOccurrenceKeys ValidatePlCadPrepStepOccurrenceKeys(
    const PlCadPrepStepOccurrenceKeys& keys, std::uint64_t maxTriangles) {
  // A strict proof names its solids by pairs alone.
  if (keys.StrictSourceProof() && (!keys.reviewed.empty() || !keys.retained.empty())) {
    throw PlCadPrepError("invalid_step_source_proof_options",
                         "strict STEP source proof requires one exact retained mesh scope",
                         "preflight");
  }
  if (keys.reviewed.size() > maxTriangles || keys.retained.size() > maxTriangles ||
      keys.sourceProofPairs.size() > maxTriangles || keys.retained.size() > keys.reviewed.size()) {
    throw PlCadPrepError("step_occurrence_selection_too_large",
                         "STEP occurrence role selection exceeds the request limit", "preflight");
  }
  PlCadPrepStepOccurrenceKeys sorted = keys;
  std::vector<std::string>& reviewed = sorted.reviewed;
  std::vector<std::string>& retained = sorted.retained;
  SortCanonicalKeys(reviewed, "STEP occurrence selection key is not canonical SHA-256",
                    "STEP occurrence selection contains a duplicate key");
  SortCanonicalKeys(retained, "retained STEP occurrence key is not canonical SHA-256",
                    "retained STEP occurrence selection contains a duplicate key");
  for (const std::string& key : retained) {
    if (!std::binary_search(reviewed.begin(), reviewed.end(), key)) {
      throw PlCadPrepError("invalid_step_occurrence_role_selection",
                           "retained STEP occurrences are not a subset of reviewed occurrences",
                           "preflight");
    }
  }
  std::vector<std::pair<std::string, std::string>>& pairs = sorted.sourceProofPairs;
  for (const auto& [key, identity] : pairs) {
    if (!IsCanonicalSha256Identity(key) || !IsCanonicalSha256Identity(identity)) {
      throw PlCadPrepError("invalid_step_source_proof_mesh_key",
                           "strict STEP source-proof component identity is not canonical",
                           "preflight");
    }
  }
  std::sort(pairs.begin(), pairs.end());
  const auto sameKey = [](const auto& a, const auto& b) { return a.first == b.first; };
  if (std::adjacent_find(pairs.begin(), pairs.end(), sameKey) != pairs.end()) {
    throw PlCadPrepError("ambiguous_step_source_proof_mesh",
                         "strict STEP source proof repeats a reviewed occurrence", "preflight");
  }
  return sorted;
}
