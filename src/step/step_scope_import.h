#pragma once
// The three ways the commands import a STEP source, each one opened source
// driven through the phases its face scope needs: the solids with their
// classification, the faces of the whole shape or of its free shells, and the
// bounds alone. Each returns its phases' results or throws; the source is
// closed again before it returns.
#include <cstdint>
#include <string>
#include <string_view>

#include "context/operation_context.h"
#include "core/error.h"
#include "step/step_import.h"
#include "step/step_import_settings.h"
#include "step/step_solid_diagnostics.h"

struct PlCadPrepStepSolidsImport {
  PlCadPrepStepSourceFacts source;
  std::uint64_t transferredRootCount = 0;
  PlCadPrepStepShapeCensus census;
  PlCadPrepStepTessellation tessellation;
  PlCadPrepStepSolidClassification classification;
  PlCadPrepStepSurface surface;
};

struct PlCadPrepStepFacesImport {
  PlCadPrepStepSourceFacts source;
  std::uint64_t transferredRootCount = 0;
  PlCadPrepStepShapeCensus census;
  PlCadPrepStepTessellation tessellation;
  PlCadPrepStepSurface surface;
};

struct PlCadPrepStepBoundsImport {
  PlCadPrepStepSourceFacts source;
  std::uint64_t transferredRootCount = 0;
  PlCadPrepStepShapeCensus census;
  PlCadPrepStepBounds bounds;
};

// The solids scope: the settings' and the keys' rules (stage "preflight"),
// then open, transfer (strict when the keys carry source-proof pairs),
// census, tessellation, classification, the retained remesh when the keys
// retain solids, and extraction. Either callback may be empty. The stale-key
// failures are those of ClassifyPlCadPrepStepSolids (stage "validate").
PlCadPrepStepSolidsImport ImportPlCadPrepStepSolids(
    const PlCadPrepStepImportSettings& settings, const PlCadPrepStepOccurrenceKeys& keys,
    const PlCadPrepOperationContext& context, const ProgressCallback& progress,
    const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic);

// The whole shape (scope 0) or its free shells (scope 2). A non-empty
// `sourceProofMeshKey` (free shells only, canonical) makes the import strict
// and must equal the placed-mesh identity of the result
// ("step_source_proof_mesh_stale", stage "heal"). Preflight failures:
// "invalid_step_face_scope" for a scope above 2, and
// "invalid_step_source_proof_options" for a misplaced or non-canonical key.
// The solids scope goes through ImportPlCadPrepStepSolids only.
PlCadPrepStepFacesImport ImportPlCadPrepStepFaces(const PlCadPrepStepImportSettings& settings,
                                                  std::uint32_t faceScope,
                                                  std::string_view sourceProofMeshKey,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress);

// Open, transfer, census and the exact boxes of the shape and of its solids,
// without tessellating.
PlCadPrepStepBoundsImport MeasurePlCadPrepStepBounds(const PlCadPrepStepImportSettings& settings,
                                                     const PlCadPrepOperationContext& context,
                                                     const ProgressCallback& progress);
