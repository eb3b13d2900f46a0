#pragma once
// The import of generated shape definitions for the archive frame: the
// definition re-read and parsed canonically, its identities and certified
// analytic member, the mesh (through a kernel solid, or directly for the
// levels shape).
#include <functional>

#include "backends/archive_backend.h"

// Refuses every other source format with "backend_not_implemented" (stage
// "import") before the source is opened. Failures of the called units pass
// through unchanged.
PlCadPrepImportedSource ImportPlCadPrepGeneratedSource(const PlCadPrepRequest& request,
                                                       const PlCadPrepOperationContext& context,
                                                       const ProgressCallback& progress);

// The frame guard of generated shapes: a failed allocation anywhere in the
// frame becomes "memory_limit_exceeded" and any other kernel failure
// "generated_occt_failure" (stage "import").
void GuardPlCadPrepGeneratedFrame(const std::function<void()>& frame);
