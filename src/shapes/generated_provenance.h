#pragma once
// Where a generated shape came from: the identities a generated package
// carries from its shape definition into the manifest.
#include <string>

// The archive member that carries a generated shape's exact analytic form.
inline constexpr char kAnalyticMemberName[] = "analytic.pshape";

struct PlCadPrepGeneratedProvenance {
  // Identity of the SHA-256 of the shape definition bytes.
  std::string definitionSourceHash;
  // The shape definition identity ("shapeDefinitionId").
  std::string shapeDefinitionId;
};
