#pragma once
// What a replayed STEP component selection proves about the published geometry;
// the manifest carries it as the package's selection evidence.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct PlCadPrepComponentSelectionEvidence {
  std::string evidenceIdentity;
  std::string sourceIdentity;
  std::array<double, 16> sourceToMount = {};
  std::vector<std::uint32_t> orientationsDeg;
  std::vector<std::string> retainedRoles;
  std::string freeShellDecision;
  std::uint64_t closedComponentCount = 0;
  std::uint64_t openComponentCount = 0;
  double tessellationDeviationMm = 0.0;
  double sourceHealingDeviationMm = 0.0;
  bool sourceHealingDeviationBounded = false;
};
