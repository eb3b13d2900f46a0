#include "backends/generated_archive_backend.h"

#include <Standard_Failure.hxx>
#include <Standard_OutOfMemory.hxx>
#include <cstdint>
#include <fstream>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kernel/tessellation.h"
#include "kernel/triangle_extraction.h"
#include "mesh/triangle_mesh_builder.h"
#include "platform/fault_trap.h"
#include "platform/file_system.h"
#include "shapes/analytic_member.h"
#include "shapes/generated_provenance.h"
#include "shapes/generated_solid.h"
#include "shapes/levels_shape.h"
#include "shapes/shape_definition.h"

namespace {

// Every kernel failure of a generated solid is reported on this stage.
constexpr std::string_view kKernelFailureStage = "import";

// The mesher settings of every generated solid.
constexpr double kLinearDeflectionMm = 0.25;
constexpr double kAngularDeflectionRadians = 0.25;
// Held for the run's unaccounted working state: the parsed definition, the
// analytic descriptor while it is encoded, and the kernel solid.
constexpr std::uint64_t kWorkingMemoryBytes = 2'097'152;

// The definition bytes and the analytic member, each held together with the
// reservation that covers it.
struct DefinitionSource {
  std::string bytes;
  PlCadPrepMemoryReservation memory;
};

struct AnalyticMember {
  std::vector<std::uint8_t> bytes;
  PlCadPrepMemoryReservation memory;
};

// The definition must still be what preflight accepted: a regular file of
// 1 byte to 1 MiB within maxInputBytes, read to its exact end.
DefinitionSource ReadDefinition(const PlCadPrepRequest& request,
                                const PlCadPrepOperationContext& context) {
  std::uint64_t size = 0;
  if (!QueryPathStatus(request.inputPath).RegularFile() ||
      !QueryFileSize(request.inputPath, size) || size == 0 || size > kPlShapeDefinitionMaxBytes ||
      size > request.maxInputBytes) {
    throw PlCadPrepError("input_changed", "shape definition changed after preflight", "import");
  }
  DefinitionSource source;
  source.memory = ReserveMemory(context, size, "import");
  source.bytes.assign(static_cast<std::size_t>(size), '\0');
  std::ifstream in(request.inputPath, std::ios::binary);
  if (!in.is_open()) {
    throw PlCadPrepError("input_changed", "shape definition changed or could not be read",
                         "import");
  }
  in.read(source.bytes.data(), static_cast<std::streamsize>(size));
  if (in.bad() || static_cast<std::uint64_t>(in.gcount()) != size) {
    throw PlCadPrepError("input_changed", "shape definition changed or could not be read",
                         "import");
  }
  if (in.peek() != std::ifstream::traits_type::eof() || in.bad()) {
    throw PlCadPrepError("input_changed", "shape definition changed or could not be read",
                         "import");
  }
  return source;
}

PlShapeDefinition ParseDefinition(const std::string& bytes) {
  try {
    return ParsePlShapeDefinition(bytes);
  } catch (const PlShapeDefinitionError& error) {
    throw PlCadPrepError(std::string(PlShapeDefinitionEventCode(error.category)), error.what(),
                         "import");
  }
}

AnalyticMember EncodeAnalyticMember(const PlShapeDefinition& definition,
                                    const PlCadPrepGeneratedProvenance& provenance,
                                    const PlCadPrepOperationContext& context) {
  AnalyticMember member;
  member.bytes = EncodePlAnalyticShape(BuildPlAnalyticShape(
      definition, provenance.shapeDefinitionId, provenance.definitionSourceHash));
  if (member.bytes.empty()) {
    throw PlCadPrepError("invalid_analytic_descriptor",
                         "generated shape analytic descriptor could not be certified", "import");
  }
  // Encoding ran inside the working reservation; the member keeps its own.
  member.memory = ReserveMemory(context, member.bytes.capacity(), "import");
  return member;
}

// The solid of every kind but the levels shape, tessellated by the mesher all
// solids share and finished with its carrier margin as the deviation bound.
PlGeometryMesh TessellateGeneratedSolid(const PlShapeDefinition& definition,
                                        const PlCadPrepRequest& request,
                                        const PlCadPrepOperationContext& context,
                                        const ProgressCallback& progress) {
  const PlGeneratedSolid record = MakePlGeneratedSolid(definition);
  (void)TessellatePlCadPrepShape(record.solid, kLinearDeflectionMm, kAngularDeflectionRadians,
                                 context, progress, 0, kPlCadPrepKernelProgressTotal);
  PlRequire(context.cancellation != nullptr, "every prepare context carries its cancellation");
  PlTriangleMeshBuilder builder(PlMeshLimitsOf(request), *context.cancellation, &context);
  (void)ExtractPlCadPrepShapeTriangles(record.solid, request.sourceToMount, context, builder);
  return builder.Finish(record.carrierMarginMm);
}

}  // namespace

PlCadPrepImportedSource ImportPlCadPrepGeneratedSource(const PlCadPrepRequest& request,
                                                       const PlCadPrepOperationContext& context,
                                                       const ProgressCallback& progress) {
  if (request.sourceFormat != PlCadPrepSourceFormat::shapeDefinition) {
    throw PlCadPrepError("backend_not_implemented",
                         "generated archive backend accepts canonical shape definitions only",
                         "import");
  }
  PlCadPrepImportedSource imported;
  DefinitionSource source = ReadDefinition(request, context);
  const PlShapeDefinition definition = ParseDefinition(source.bytes);
  const PlCadPrepGeneratedProvenance provenance{PlShapeDefinitionSourceHash(definition),
                                                PlShapeDefinitionId(definition)};
  // The definition's bytes stay accounted for, with the working state, until
  // the package is staged.
  imported.heldMemory.push_back(std::move(source.memory));
  imported.heldMemory.push_back(ReserveMemory(context, kWorkingMemoryBytes, "import"));
  AnalyticMember analytic = EncodeAnalyticMember(definition, provenance, context);
  if (progress) progress("import", 1, 1);

  CheckpointStage(context, "heal");
  if (definition.kind == PlShapeKind::apexShape) {
    imported.import.mesh = BuildPlLevelsShapeMesh(definition.levels, request, context);
  } else if (!RunTrappingFaults(
                 [&] {
                   imported.import.mesh =
                       TessellateGeneratedSolid(definition, request, context, progress);
                 },
                 PlFaultReport{&kKernelFailureStage, "generated_occt_failure",
                               "Open CASCADE could not generate the requested solid"})) {
    // A fault inside the kernel leaves its state unusable; the run ends here.
    throw PlCadPrepError("generated_occt_failure",
                         "Open CASCADE could not generate the requested solid", "import");
  }
  // The collision provenance names the definition, which is the whole source.
  imported.import.sourceHash = provenance.definitionSourceHash;
  imported.analyticBytes = std::move(analytic.bytes);
  imported.analyticMemory = std::move(analytic.memory);
  imported.provenance = [provenance] { return PlCadPrepProvenance(provenance); };
  return imported;
}

void GuardPlCadPrepGeneratedFrame(const std::function<void()>& frame) {
  try {
    frame();
  } catch (const Standard_OutOfMemory&) {
    throw PlCadPrepError("memory_limit_exceeded", "generated shape allocation failed", "import");
  } catch (const Standard_Failure& failure) {
    const char* text = failure.GetMessageString();
    if (text == nullptr || *text == '\0') {
      throw PlCadPrepError("generated_occt_failure",
                           "Open CASCADE could not generate the requested solid", "import");
    }
    throw PlCadPrepError("generated_occt_failure", text, "import");
  } catch (const std::bad_alloc&) {
    throw PlCadPrepError("memory_limit_exceeded", "generated shape allocation failed", "import");
  } catch (const std::length_error&) {
    throw PlCadPrepError("memory_limit_exceeded", "generated shape allocation failed", "import");
  }
}
