#pragma once
// Where a generated shape came from: the identities a generated package
// carries from its shape definition into the manifest.
#include <string>

struct PlCadPrepGeneratedProvenance {
  // Identity of the SHA-256 of the shape definition bytes.
  std::string definitionSourceHash;
  // The shape definition identity ("shapeDefinitionId").
  std::string shapeDefinitionId;
};
