#include "backends/triangle_archive_backend.h"

#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"

namespace {

// The request schema names these formats, so the refusal names the format.
const char* NotImplementedMessage(PlCadPrepSourceFormat format) {
  switch (format) {
    case PlCadPrepSourceFormat::step:
      return "step import is not implemented by the triangle archive backend";
    case PlCadPrepSourceFormat::shapeDefinition:
      return "pelto.shape.definition.v1 import is not implemented by the triangle archive backend";
    case PlCadPrepSourceFormat::iges:
      return "iges import is not implemented by the triangle archive backend";
    case PlCadPrepSourceFormat::threeMf:
      return "3mf import is not implemented by the triangle archive backend";
    case PlCadPrepSourceFormat::stl:
    case PlCadPrepSourceFormat::obj:
      break;
  }
  return "unknown import is not implemented by the triangle archive backend";
}

}  // namespace

PlCadPrepImportedSource PlCadPrepTriangleArchiveBackend::Import(
    const PlCadPrepRequest& request, const PlCadPrepOperationContext& context,
    const ProgressCallback& progress) {
  const bool stl = request.sourceFormat == PlCadPrepSourceFormat::stl;
  if (!stl && request.sourceFormat != PlCadPrepSourceFormat::obj) {
    throw PlCadPrepError("backend_not_implemented", NotImplementedMessage(request.sourceFormat),
                         "import");
  }
  // Every context the pipeline makes carries the run's cancellation.
  const PlCadPrepCancellation& cancellation = *context.cancellation;
  if (cancellation.IsCancelled()) {
    throw PlCadPrepError("cancelled", "preparation was cancelled", "preflight");
  }
  PlCadPrepImportedSource source;
  source.import = stl ? ReadPlCadPrepStl(request, progress, cancellation)
                      : ReadPlCadPrepObj(request, progress, cancellation);
  source.provenance = [] { return PlCadPrepProvenance(PlCadPrepMeshSourceProvenance()); };
  return source;
}
