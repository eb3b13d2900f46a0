#include "backends/triangle_archive_backend.h"

#include <string>
#include <string_view>
#include <utility>

#include "mesh/obj_reader.h"
#include "mesh/stl_reader.h"

namespace {

// The request schema names these formats, so the refusal names the format.
constexpr std::pair<PlCadPrepSourceFormat, std::string_view> kNotImplemented[] = {
    {PlCadPrepSourceFormat::step, "step import is not implemented by the triangle archive backend"},
    {PlCadPrepSourceFormat::shapeDefinition,
     "pelto.shape.definition.v1 import is not implemented by the triangle archive backend"},
    {PlCadPrepSourceFormat::iges, "iges import is not implemented by the triangle archive backend"},
    {PlCadPrepSourceFormat::threeMf,
     "3mf import is not implemented by the triangle archive backend"},
};

std::string NotImplementedMessage(PlCadPrepSourceFormat format) {
  for (const auto& [known, message] : kNotImplemented) {
    if (known == format) return std::string(message);
  }
  return "unknown import is not implemented by the triangle archive backend";
}

}  // namespace

PlCadPrepImportedSource ImportPlCadPrepMeshSource(const PlCadPrepRequest& request,
                                                  const PlCadPrepOperationContext& context,
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
