#include "step/component_selection_evidence.h"

#include <algorithm>

namespace {

// A NaN compares unequal to zero, so it counts as present like any other value.
bool NonZero(double v) { return v != 0.0; }

}  // namespace

bool IsPlCadPrepComponentSelectionEvidencePresent(const PlCadPrepComponentSelectionEvidence& e) {
  return !e.evidenceIdentity.empty() || !e.sourceIdentity.empty() ||
         std::any_of(e.sourceToMount.begin(), e.sourceToMount.end(), NonZero) ||
         !e.orientationsDeg.empty() || !e.retainedRoles.empty() || !e.freeShellDecision.empty() ||
         e.closedComponentCount != 0 || e.openComponentCount != 0 ||
         NonZero(e.tessellationDeviationMm) || NonZero(e.sourceHealingDeviationMm) ||
         e.sourceHealingDeviationBounded;
}
