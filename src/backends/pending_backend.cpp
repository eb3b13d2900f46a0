#include "backends/pending_backend.h"

#include <string>

void PlCadPrepPendingBackend::Prepare(const PlCadPrepRequest& request,
                                      const std::filesystem::path& /*stagingPath*/,
                                      const PlCadPrepOperationContext& /*context*/,
                                      const ProgressCallback& /*progress*/) {
  throw PlCadPrepError("backend_not_implemented",
                       std::string(SourceFormatText(request.sourceFormat)) +
                           " import is not available in this build",
                       "import");
}
