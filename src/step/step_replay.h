#pragma once
// The replay of a prepare request's reviewed component selection: reads the
// record, replays its solids and its free-shell overlay against fresh imports
// of the source, proves the composition and its deviation bound, and hands out
// the composed result the STEP package is built from.
#include "context/operation_context.h"
#include "core/error.h"
#include "request/prepare_request.h"
#include "step/step_role_composition.h"

// Runs every replay step in its fixed order for a request with a
// componentSelectionPath. Throws the first failure of the record reader, the
// composition or either import; nothing is returned unless every proof held.
PlCadPrepStepComposedResult ReplayPlCadPrepStepSelection(const PlCadPrepRequest& request,
                                                         const PlCadPrepOperationContext& context,
                                                         const ProgressCallback& progress);
