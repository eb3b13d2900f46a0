#include "step/step_import.h"

#include <BRepBndLib.hxx>
#include <BRepTools.hxx>
#include <BRep_Tool.hxx>
#include <Bnd_Box.hxx>
#include <IFSelect_ReturnStatus.hxx>
#include <Interface_Check.hxx>
#include <Poly_Triangulation.hxx>
#include <STEPControl_Reader.hxx>
#include <StepData_StepModel.hxx>
#include <TColStd_SequenceOfAsciiString.hxx>
#include <TopAbs_Orientation.hxx>
#include <TopAbs_ShapeEnum.hxx>
#include <TopExp_Explorer.hxx>
#include <TopLoc_Location.hxx>
#include <TopTools_MapOfShape.hxx>
#include <TopoDS.hxx>
#include <TopoDS_Builder.hxx>
#include <TopoDS_Compound.hxx>
#include <TopoDS_Iterator.hxx>
#include <TopoDS_Shape.hxx>
#include <algorithm>
#include <cmath>
#include <gp_Trsf.hxx>
#include <istream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/checked.h"
#include "core/sha256.h"
#include "kernel/kernel_failures.h"
#include "kernel/occt_compat.h"
#include "kernel/occt_progress.h"
#include "kernel/tessellation.h"
#include "kernel/triangle_extraction.h"
#include "mesh/triangle_mesh_builder.h"
#include "step/step_shape_queries.h"
#include "step/step_source.h"

namespace {

constexpr std::uint64_t kLoadCheckCheckpointEntities = 4096;
constexpr std::uint64_t kFirstPassSpanWithRemesh = 500;
// The remesh replay moves the first pass's steps by its span, which holds only
// while both passes span the same number of steps.
static_assert(2 * kFirstPassSpanWithRemesh == kPlCadPrepKernelProgressTotal);

enum class Phase {
  opened,
  transferred,
  counted,
  measured,
  tessellated,
  classified,
  remeshed,
  extracted
};

// A bound is claimed only for a complete, strict tessellation whose placed
// tolerance is small, and only within the version 1 limits.
double DeviationBound(bool tessellationComplete, bool sourceDeviationBounded,
                      double maxPlacedToleranceMm, double maxPlacementScale,
                      double targetLinearDeflectionMm) {
  if (!tessellationComplete || !sourceDeviationBounded) return kPlCadPrepStepUnboundedDeviationMm;
  const double scaledDeflection = maxPlacementScale * targetLinearDeflectionMm;
  const double bound = maxPlacedToleranceMm + scaledDeflection;
  if (std::isfinite(scaledDeflection) && scaledDeflection <= kPlCadPrepStepMaxScaledDeflectionMm &&
      std::isfinite(bound) && bound >= 0.0 && bound <= kPlCadPrepStepMaxSourceDeviationMm) {
    return bound;
  }
  return kPlCadPrepStepUnboundedDeviationMm;
}

// The parser keeps going past what it cannot read: an unresolved reference
// or an entity that failed to read stays in the model as a null or half-filled
// entity, and the transfer dereferences those without looking. A model whose
// load check failed anywhere is therefore refused before anything transfers.
bool LoadCheckPassed(const STEPControl_Reader& reader, const PlCadPrepOperationContext& context) {
  const Handle(StepData_StepModel) model = reader.StepModel();
  if (model.IsNull() || model->GlobalCheck(Standard_True)->HasFailed()) return false;
  PlCadPrepStepItemCheckpoint checkpoint(context, "import", kLoadCheckCheckpointEntities);
  const int entityCount = model->NbEntities();
  for (int entity = 1; entity <= entityCount; ++entity) {
    checkpoint.Tick();
    if (model->IsErrorEntity(entity) || model->Check(entity, Standard_True)->HasFailed()) {
      return false;
    }
  }
  return true;
}

std::uint64_t NonNegative(int count) { return count < 0 ? 0 : static_cast<std::uint64_t>(count); }

void ReadUnits(STEPControl_Reader& reader, PlCadPrepStepSourceFacts& result) {
  TColStd_SequenceOfAsciiString lengthNames;
  TColStd_SequenceOfAsciiString angleNames;
  TColStd_SequenceOfAsciiString solidAngleNames;
  reader.FileUnits(lengthNames, angleNames, solidAngleNames);
  for (int i = 1; i <= lengthNames.Length(); ++i) {
    // A unit context without a length unit still reports a name, an empty one.
    if (lengthNames.Value(i).IsEmpty()) continue;
    result.declaredLengthUnits.emplace_back(lengthNames.Value(i).ToCString());
  }
  if (result.declaredLengthUnits.empty()) {
    throw PlCadPrepError("step_units_missing", "STEP source declares no transferable length unit",
                         "import");
  }
  const std::string& first = result.declaredLengthUnits.front();
  result.mixedLengthUnits =
      std::any_of(result.declaredLengthUnits.begin(), result.declaredLengthUnits.end(),
                  [&first](const std::string& name) { return name != first; });
}

// Transfers every root and proves that each produced a shape. Returns the one shape.
TopoDS_Shape TransferRoots(STEPControl_Reader& reader, const PlCadPrepOperationContext& context,
                           const ProgressCallback& progress, std::uint64_t rootCount,
                           std::uint64_t& transferredRootCount) {
  PlCadPrepOcctProgress indicator(context, progress, "heal", 0, kPlCadPrepKernelProgressTotal,
                                  kPlCadPrepKernelProgressTotal);
  const int transferred = reader.TransferRoots(indicator.Start());
  CheckpointStage(context, "heal");
  transferredRootCount = NonNegative(transferred);
  if (transferred < 1) {
    throw PlCadPrepError("step_transfer_failed", "Open CASCADE could not transfer any STEP root",
                         "heal");
  }
  if (transferredRootCount != rootCount) {
    throw PlCadPrepError("step_partial_transfer", "Open CASCADE did not transfer every STEP root",
                         "heal");
  }
  const int shapeCount = reader.NbShapes();
  if (shapeCount != transferred) {
    throw PlCadPrepError("step_incomplete_transfer_output",
                         "Open CASCADE produced an incomplete STEP root result", "heal");
  }
  for (int i = 1; i <= shapeCount; ++i) {
    if (reader.Shape(i).IsNull()) {
      throw PlCadPrepError("step_incomplete_transfer_output",
                           "Open CASCADE produced a null STEP root result", "heal");
    }
  }
  TopoDS_Shape shape = reader.OneShape();
  if (shape.IsNull()) {
    throw PlCadPrepError("step_empty_shape", "STEP transfer produced no shape", "heal");
  }
  return shape;
}

}  // namespace

PlCadPrepStepShapeFixParameters PlCadPrepStepImportShapeFixParameters(bool strictSourceProof) {
  PlCadPrepStepShapeFixParameters parameters;
  parameters.modifyTopologyMode = PlCadPrepStepFixMode::notFix;
  parameters.modifyGeometryMode = PlCadPrepStepFixMode::notFix;
  if (strictSourceProof) {
    for (const auto field : kPlCadPrepStepFixModeFields) {
      parameters.*field = PlCadPrepStepFixMode::notFix;
    }
  }
  return parameters;
}

struct PlCadPrepStepSource::State {
  State(const PlCadPrepStepImportSettings& importSettings,
        const PlCadPrepOperationContext& runContext)
      : settings(importSettings), context(runContext) {}

  // Refuses a phase that is not the next one, then records it as begun.
  void Enter(Phase next, Phase required) {
    if (phase != required) {
      throw std::logic_error("a STEP import phase ran out of order");
    }
    phase = next;
  }

  const PlCadPrepStepImportSettings& settings;
  const PlCadPrepOperationContext& context;
  // Names the stage in force, so that an escaping kernel or allocation
  // failure is reported under it.
  std::string_view stage = "preflight";
  Phase phase = Phase::opened;
  PlCadPrepStepSourceFacts facts;
  // The reader comes first so that the kernel settings, declared after it,
  // are restored before the reader goes away, on success and on every failure.
  std::unique_ptr<STEPControl_Reader> reader;
  std::unique_ptr<PlCadPrepStepKernelSettings> kernelSettings;
  bool strictSourceProof = false;
  TopoDS_Shape transferred;
  PlCadPrepStepFaceSelection selection;
  std::uint32_t faceScope = kPlCadPrepStepScopeAllTransferredBoundaryFaces;
  std::uint32_t meshStatusFlags = 0;
  PlCadPrepMemoryReservation triangulationReservation;
  bool remesh = false;
  // The steps the first pass reported when a remesh follows, and whether the
  // classification retained every selected solid: the remesh would then mesh
  // the very same solids again and is replayed from the first pass instead.
  std::vector<std::uint64_t> firstPassSteps;
  bool everySolidRetained = false;
  TopoDS_Compound retained;
  bool retainedOnlyRemesh = false;
  std::uint32_t effectiveMeshStatusFlags = 0;
};

PlCadPrepStepSource::PlCadPrepStepSource(const PlCadPrepStepImportSettings& settings,
                                         const PlCadPrepOperationContext& context,
                                         const ProgressCallback& progress)
    : state(std::make_unique<State>(settings, context)) {
  State& s = *state;
  RunStepKernelWork(s.stage, [&] {
    ValidatePlCadPrepStepImportSettings(settings);
    s.stage = "import";
    PlCadPrepStepSourceSnapshot snapshot = SnapshotPlCadPrepStepSource(
        settings.sourcePath, context.ledger->maxInputBytes, context, progress);
    s.facts.sourceSha256 = snapshot.sourceSha256;
    s.facts.sourceBytes = snapshot.sourceBytes;

    s.reader = std::make_unique<STEPControl_Reader>();
    s.kernelSettings = std::make_unique<PlCadPrepStepKernelSettings>();
    PlCadPrepStepReadParameters readParameters;
    readParameters.readMaxPrecisionMode = 0;
    readParameters.readMaxPrecisionVal = 1.0;
    s.kernelSettings->ApplyReadParameters(readParameters);
    {
      ReadOnlyMemoryBuffer buffer(snapshot.bytes);
      std::istream stream(&buffer);
      if (PlCadPrepStepHasOverflowingReal(snapshot.bytes) ||
          s.reader->ReadStream("PeltoCadPrep-input.stp", stream) != IFSelect_RetDone ||
          !LoadCheckPassed(*s.reader, context)) {
        throw PlCadPrepError("step_read_failed", "Open CASCADE could not parse the STEP source",
                             "import");
      }
    }
    // The parsed model replaces the raw bytes; the triangulation estimate
    // accounts for that model by the source size.
    snapshot.bytes = std::vector<char>();
    snapshot.reservation.Release();

    CheckpointStage(context, "import");
    s.reader->SetSystemLengthUnit(1.0);
    ReadUnits(*s.reader, s.facts);
    s.facts.rootCount = NonNegative(s.reader->NbRootsForTransfer());
    if (s.facts.rootCount == 0) {
      throw PlCadPrepError("step_no_transfer_roots",
                           "STEP source contains no transferable product roots", "import");
    }
  });
}

PlCadPrepStepSource::~PlCadPrepStepSource() = default;

const PlCadPrepStepSourceFacts& PlCadPrepStepSource::Facts() const { return state->facts; }

std::uint64_t PlCadPrepStepSource::Transfer(bool strictSourceProof,
                                            const ProgressCallback& progress) {
  State& s = *state;
  s.Enter(Phase::transferred, Phase::opened);
  std::uint64_t transferredRootCount = 0;
  RunStepKernelWork(s.stage, [&] {
    s.stage = "heal";
    s.strictSourceProof = strictSourceProof;
    s.kernelSettings->ApplyShapeFixParameters(
        PlCadPrepStepImportShapeFixParameters(strictSourceProof));
    s.transferred =
        TransferRoots(*s.reader, s.context, progress, s.facts.rootCount, transferredRootCount);
  });
  return transferredRootCount;
}

PlCadPrepStepShapeCensus PlCadPrepStepSource::TakeCensus() {
  State& s = *state;
  s.Enter(Phase::counted, Phase::transferred);
  PlCadPrepStepShapeCensus census;
  RunStepKernelWork(s.stage, [&] { census = CountPlCadPrepStepShape(s.transferred, s.context); });
  return census;
}

PlCadPrepStepBounds PlCadPrepStepSource::MeasureBounds() {
  State& s = *state;
  s.Enter(Phase::measured, Phase::counted);
  PlCadPrepStepBounds bounds;
  RunStepKernelWork(s.stage, [&] {
    // The solids scope's solids: a source without any solid has no mold to seat.
    const PlCadPrepStepFaceSelection solids = SelectPlCadPrepStepFaces(
        s.transferred, kPlCadPrepStepScopeSolidsOnlyDiagnostic, true, s.context);
    bounds.selectedSolidCount = solids.solidCount;
    s.stage = "mesh";
    const bool sourceCounts =
        MeasurePlCadPrepStepBox(s.transferred, bounds.sourceBoundsMin, bounds.sourceBoundsMax);
    const bool solidsCount =
        MeasurePlCadPrepStepBox(solids.shape, bounds.solidBoundsMin, bounds.solidBoundsMax);
    if (!sourceCounts || !solidsCount) {
      throw PlCadPrepError("step_bounds_unbounded", "STEP transfer produced no finite extent",
                           "mesh");
    }
  });
  return bounds;
}

PlCadPrepStepTessellation PlCadPrepStepSource::Tessellate(std::uint32_t faceScope,
                                                          bool remeshFollows,
                                                          const ProgressCallback& progress) {
  State& s = *state;
  s.Enter(Phase::tessellated, Phase::counted);
  if (faceScope > kPlCadPrepStepScopeFreeShellsOnlyDiagnostic) {
    throw std::logic_error("a STEP face scope outside 0-2 reached the tessellation");
  }
  PlCadPrepStepTessellation result;
  result.faceScope = faceScope;
  RunStepKernelWork(s.stage, [&] {
    s.faceScope = faceScope;
    s.remesh = remeshFollows;
    s.selection = SelectPlCadPrepStepFaces(s.transferred, faceScope, true, s.context);
    result.selectedSolidCount = s.selection.solidCount;
    result.selectedFreeShellCount = s.selection.freeShellCount;

    s.stage = "mesh";
    const std::uint64_t firstSpan =
        remeshFollows ? kFirstPassSpanWithRemesh : kPlCadPrepKernelProgressTotal;
    ProgressCallback meshProgress = progress;
    if (remeshFollows) {
      s.firstPassSteps.reserve(kFirstPassSpanWithRemesh + 1);
      meshProgress = [&s, &progress](std::string_view stage, std::uint64_t completed,
                                     std::uint64_t total) {
        s.firstPassSteps.push_back(completed);
        if (progress) progress(stage, completed, total);
      };
    }
    s.meshStatusFlags = TessellatePlCadPrepShape(
        s.selection.shape, s.settings.targetLinearDeflectionMm, s.settings.angularDeflectionRadians,
        s.context, meshProgress, 0, firstSpan);
    s.effectiveMeshStatusFlags = s.meshStatusFlags;
    result.meshStatusFlags = s.meshStatusFlags;
    result.meshStatusNames = PlCadPrepMeshStatusNames(s.meshStatusFlags);
    result.triangulationMemoryEstimateBytes =
        EstimatePlCadPrepStepTriangulationBytes(s.selection.shape, s.facts.sourceBytes, s.context);
    s.triangulationReservation =
        ReserveMemory(s.context, result.triangulationMemoryEstimateBytes, "mesh");
  });
  return result;
}

PlCadPrepStepSolidClassification PlCadPrepStepSource::ClassifySolids(
    const PlCadPrepStepOccurrenceKeys& keys, const PlCadPrepStepSolidMeshCallback& onSolidMesh,
    const PlCadPrepStepSolidDiagnosticCallback& onSolidDiagnostic) {
  State& s = *state;
  s.Enter(Phase::classified, Phase::tessellated);
  if (s.faceScope != kPlCadPrepStepScopeSolidsOnlyDiagnostic || s.remesh != keys.RemeshRetained()) {
    throw std::logic_error("STEP solids were classified outside the solids scope's plan");
  }
  PlCadPrepStepSolidClassification classification;
  RunStepKernelWork(s.stage, [&] {
    classification = ClassifyPlCadPrepStepSolids(
        s.selection.shape, s.facts.sourceSha256, s.settings, keys, s.context,
        s.selection.solidCount, s.remesh ? &s.retained : nullptr, onSolidMesh, onSolidDiagnostic);
    // The retained compound holds the selection's distinct solids in the
    // selection's order, so an equal count means the same solids.
    s.everySolidRetained = classification.counters.retainedSolidCount == s.selection.solidCount;
  });
  return classification;
}

void PlCadPrepStepSource::RemeshRetained(const ProgressCallback& progress) {
  State& s = *state;
  s.Enter(Phase::remeshed, Phase::classified);
  if (!s.remesh) throw std::logic_error("a STEP remesh ran without retained solids");
  RunStepKernelWork(s.stage, [&] {
    if (s.everySolidRetained) {
      // Both passes cover the same number of steps, so the remesh would
      // report the first pass's steps moved by the first pass's span.
      s.effectiveMeshStatusFlags = ReplayPlCadPrepTessellation(
          s.retained, s.settings.targetLinearDeflectionMm, s.settings.angularDeflectionRadians,
          s.context, progress, s.firstPassSteps, kFirstPassSpanWithRemesh, s.meshStatusFlags);
    } else {
      BRepTools::Clean(s.retained, Standard_True);
      s.effectiveMeshStatusFlags = TessellatePlCadPrepShape(
          s.retained, s.settings.targetLinearDeflectionMm, s.settings.angularDeflectionRadians,
          s.context, progress, kFirstPassSpanWithRemesh,
          kPlCadPrepKernelProgressTotal - kFirstPassSpanWithRemesh);
    }
    s.retainedOnlyRemesh = true;
  });
}

PlCadPrepStepSurface PlCadPrepStepSource::ExtractTriangles() {
  State& s = *state;
  const Phase required = s.remesh ? Phase::remeshed
                         : s.faceScope == kPlCadPrepStepScopeSolidsOnlyDiagnostic
                             ? Phase::classified
                             : Phase::tessellated;
  s.Enter(Phase::extracted, required);
  PlCadPrepStepSurface result;
  result.faceScope = s.faceScope;
  result.strictSourceProof = s.strictSourceProof;
  result.retainedOnlyRemesh = s.retainedOnlyRemesh;
  result.effectiveMeshStatusFlags = s.effectiveMeshStatusFlags;
  RunStepKernelWork(s.stage, [&] {
    result.effectiveMeshStatusNames = PlCadPrepMeshStatusNames(s.effectiveMeshStatusFlags);
    const TopoDS_Shape meshShape =
        s.retainedOnlyRemesh ? TopoDS_Shape(s.retained) : s.selection.shape;
    s.stage = "heal";
    const PlCadPrepStepToleranceBound tolerance =
        BoundPlCadPrepStepTolerances(meshShape, s.context);
    result.maxSubshapeToleranceMm = tolerance.maxSubshapeToleranceMm;
    result.maxPlacedToleranceMm = tolerance.maxPlacedToleranceMm;

    s.stage = "mesh";
    if (s.context.cancellation == nullptr) {
      throw std::logic_error("a STEP import ran without the run's cancellation");
    }
    PlTriangleMeshBuilder builder(PlMeshLimitsOf(s.context), *s.context.cancellation, &s.context);
    result.faceCounts =
        ExtractPlCadPrepStepTriangles(meshShape, s.settings.sourceToMount, s.context, builder);
    result.maxPlacementScale =
        std::max(tolerance.maxPlacementScale, result.faceCounts.maxLocationScale);
    if (!std::isfinite(result.maxPlacedToleranceMm) || result.maxPlacedToleranceMm < 0.0) {
      throw PlCadPrepError("step_transfer_tolerance_unbounded",
                           "STEP transfer tolerance cannot be bounded after placement", "heal");
    }
    if (result.faceCounts.boundaryFaceCount == 0) {
      throw PlCadPrepError("step_no_faces", "STEP transfer produced no faces", "mesh");
    }

    constexpr std::uint32_t kHarmlessStatus =
        kPlCadPrepMeshStatusRemesh | kPlCadPrepMeshStatusReused;
    result.tessellationComplete = result.faceCounts.untriangulatedBoundaryFaceCount == 0 &&
                                  (s.effectiveMeshStatusFlags & ~kHarmlessStatus) == 0;
    result.sourceDeviationBounded =
        s.strictSourceProof && result.maxPlacedToleranceMm <= kPlCadPrepStepMaxSourceToleranceMm;
    const double deviationBound = DeviationBound(
        result.tessellationComplete, result.sourceDeviationBounded, result.maxPlacedToleranceMm,
        result.maxPlacementScale, s.settings.targetLinearDeflectionMm);
    result.mesh = builder.Finish(deviationBound);
  });
  return result;
}
