#pragma once
// The frame of every prepare run: validate, check the staging path, run the
// backend under the run's operation context, check the staged file, publish.
#include "context/operation_context.h"
#include "core/error.h"
#include "pipeline/backend.h"
#include "pipeline/staging.h"
#include "request/prepare_request.h"

// Throws PlCadPrepError on failure; nothing is published then.
PlCadPrepPublishResult PrepareAndPublish(const PlCadPrepRequest& request, PlCadPrepBackend& backend,
                                         const PlCadPrepCancellation& cancellation,
                                         const ProgressCallback& progress);
