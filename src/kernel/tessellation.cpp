#include "kernel/tessellation.h"

#include <BRepMesh_IncrementalMesh.hxx>
#include <Standard_OutOfMemory.hxx>
#include <cerrno>
#include <iterator>
#include <string_view>

#include "kernel/mesher_estimate.h"
#include "kernel/occt_compat.h"
#include "kernel/occt_progress.h"

namespace {

constexpr std::uint32_t kFirstUnknownMeshStatusBit = 0x200;

}  // namespace

std::vector<std::string> PlCadPrepMeshStatusNames(std::uint32_t flags) {
  static constexpr std::string_view kNames[] = {
      "open_wire",       "self_intersecting_wire", "failure",  "remesh",
      "unoriented_wire", "too_few_points",         "outdated", "reused",
      "user_break",
  };
  std::vector<std::string> names;
  for (std::size_t bit = 0; bit < std::size(kNames); ++bit) {
    if ((flags & (std::uint32_t{1} << bit)) != 0) names.emplace_back(kNames[bit]);
  }
  if (flags >= kFirstUnknownMeshStatusBit) names.emplace_back("unknown");
  return names;
}

PlCadPrepMeshParameters PlCadPrepImportMeshParameters(double linearDeflectionMm,
                                                      double angularDeflectionRadians) {
  PlCadPrepMeshParameters parameters;
  parameters.meshAlgo = -1;
  parameters.deflection = linearDeflectionMm;
  parameters.deflectionInterior = linearDeflectionMm;
  parameters.angle = angularDeflectionRadians;
  parameters.angleInterior = angularDeflectionRadians;
  parameters.minSize = -1.0;
  parameters.inParallel = false;
  parameters.relative = false;
  parameters.internalVerticesMode = true;
  parameters.controlSurfaceDeflection = true;
  parameters.enableControlSurfaceDeflectionAllSurfaces = true;
  parameters.cleanModel = true;
  parameters.adjustMinSize = false;
  parameters.forceFaceDeflection = false;
  parameters.allowQualityDecrease = false;
  return parameters;
}

std::uint32_t TessellatePlCadPrepShape(const TopoDS_Shape& shape, double linearDeflectionMm,
                                       double angularDeflectionRadians,
                                       const PlCadPrepOperationContext& context,
                                       const ProgressCallback& progress, std::uint64_t start,
                                       std::uint64_t span) {
  // The mesher allocates outside the ledger; its upper estimate is held for
  // as long as it runs, so a shape too large to mesh is refused before it starts.
  const PlCadPrepMemoryReservation mesherMemory = ReserveMemory(
      context,
      EstimatePlCadPrepMesher(shape, linearDeflectionMm, angularDeflectionRadians, context).bytes,
      "mesh");
  PlCadPrepOcctProgress indicator(context, progress, "mesh", start, span,
                                  kPlCadPrepKernelProgressTotal);
  const IMeshTools_Parameters parameters = PlCadPrepOcctMeshParameters(
      PlCadPrepImportMeshParameters(linearDeflectionMm, angularDeflectionRadians));
  // A face whose allocation fails is left without triangles while the mesher
  // goes on and reports success; only errno keeps the trace. Raising the
  // kernel's out-of-memory lets the caller's boundary report it as such.
  errno = 0;
  const BRepMesh_IncrementalMesh mesher(shape, parameters, indicator.Start());
  const bool allocationFailed = errno == ENOMEM;
  // A stop requested through the indicator leaves the mesher undone; the
  // context names the reason before the generic failure would.
  CheckpointStage(context, "mesh");
  if (allocationFailed) throw Standard_OutOfMemory("the mesher could not allocate");
  if (!mesher.IsDone()) {
    throw PlCadPrepError("step_tessellation_failed",
                         "Open CASCADE did not complete STEP tessellation", "mesh");
  }
  return static_cast<std::uint32_t>(mesher.GetStatusFlags());
}

std::uint32_t ReplayPlCadPrepTessellation(const TopoDS_Shape& shape, double linearDeflectionMm,
                                          double angularDeflectionRadians,
                                          const PlCadPrepOperationContext& context,
                                          const ProgressCallback& progress,
                                          std::span<const std::uint64_t> steps,
                                          std::uint64_t offset, std::uint32_t flags) {
  const PlCadPrepMemoryReservation mesherMemory = ReserveMemory(
      context,
      EstimatePlCadPrepMesher(shape, linearDeflectionMm, angularDeflectionRadians, context).bytes,
      "mesh");
  for (const std::uint64_t step : steps) {
    CheckpointStage(context, "mesh");
    if (progress) progress("mesh", offset + step, kPlCadPrepKernelProgressTotal);
  }
  CheckpointStage(context, "mesh");
  return flags;
}
