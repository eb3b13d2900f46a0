#include "step/step_scope_import.h"

#include <stdexcept>
#include <string>

#include "core/sha256.h"
#include "kernel/kernel_failures.h"

namespace {

// Runs a preflight step under the kernel boundary, as every import step runs.
template <typename Work>
void Preflight(Work&& work) {
  const std::string_view stage = "preflight";
  RunStepKernelWork(stage, work);
}

}  // namespace

PlCadPrepStepSolidsImport ImportPlCadPrepStepSolids(
    const PlCadPrepStepImportSettings& settings, const PlCadPrepStepOccurrenceKeys& keys,
    const PlCadPrepOperationContext& context, const ProgressCallback& progress,
    const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic) {
  PlCadPrepStepOccurrenceKeys sorted;
  Preflight([&] {
    ValidatePlCadPrepStepImportSettings(settings);
    sorted = ValidatePlCadPrepStepOccurrenceKeys(keys, context.ledger->maxTriangles);
  });
  PlCadPrepStepSolidsImport result;
  PlCadPrepStepSource source(settings, context, progress);
  result.source = source.Facts();
  result.transferredRootCount = source.Transfer(sorted.StrictSourceProof(), progress);
  result.census = source.TakeCensus();
  result.tessellation =
      source.Tessellate(kPlCadPrepStepScopeSolidsOnlyDiagnostic, sorted.RemeshRetained(), progress);
  result.classification = source.ClassifySolids(sorted, onSolidMesh, onSolidDiagnostic);
  if (sorted.RemeshRetained()) source.RemeshRetained(progress);
  result.surface = source.ExtractTriangles();
  return result;
}

PlCadPrepStepFacesImport ImportPlCadPrepStepFaces(const PlCadPrepStepImportSettings& settings,
                                                  std::uint32_t faceScope,
                                                  std::string_view sourceProofMeshKey,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress) {
  if (faceScope == kPlCadPrepStepScopeSolidsOnlyDiagnostic) {
    throw std::logic_error("the STEP solids scope is imported with its occurrence keys");
  }
  const bool strict = !sourceProofMeshKey.empty();
  Preflight([&] {
    ValidatePlCadPrepStepImportSettings(settings);
    if (faceScope > kPlCadPrepStepScopeFreeShellsOnlyDiagnostic) {
      throw PlCadPrepError("invalid_step_face_scope", "STEP face scope is not recognized",
                           "preflight");
    }
    if (strict && (faceScope != kPlCadPrepStepScopeFreeShellsOnlyDiagnostic ||
                   !IsCanonicalSha256Identity(sourceProofMeshKey))) {
      throw PlCadPrepError("invalid_step_source_proof_options",
                           "strict STEP source proof requires one exact retained mesh scope",
                           "preflight");
    }
  });
  PlCadPrepStepFacesImport result;
  PlCadPrepStepSource source(settings, context, progress);
  result.source = source.Facts();
  result.transferredRootCount = source.Transfer(strict, progress);
  result.census = source.TakeCensus();
  result.tessellation = source.Tessellate(faceScope, false, progress);
  result.surface = source.ExtractTriangles();
  if (strict) {
    const std::string_view stage = "mesh";
    RunStepKernelWork(stage, [&] {
      if (PlCadPrepStepPlacedMeshStreamSha256(result.surface.mesh, context) !=
          sourceProofMeshKey) {
        throw PlCadPrepError("step_source_proof_mesh_stale",
                             "strict STEP free-shell mesh differs from reviewed evidence", "heal");
      }
    });
  }
  return result;
}

PlCadPrepStepBoundsImport MeasurePlCadPrepStepBounds(const PlCadPrepStepImportSettings& settings,
                                                     const PlCadPrepOperationContext& context,
                                                     const ProgressCallback& progress) {
  PlCadPrepStepBoundsImport result;
  PlCadPrepStepSource source(settings, context, progress);
  result.source = source.Facts();
  result.transferredRootCount = source.Transfer(false, progress);
  result.census = source.TakeCensus();
  result.bounds = source.MeasureBounds();
  return result;
}
