#pragma once
// The select command: imports the solids (and the free shells when the source
// has any), turns the request's exclusions and free-shell decision into a
// component-selection record, proves the text with the record reader and
// writes it by exclusive creation.
#include "context/operation_context.h"
#include "core/error.h"
#include "request/step_side_requests.h"

// Runs the select command for a request that has been read: validates it,
// imports the source, decides roles and free shells, checks the text with the
// parser and writes it to outputPath. Throws PlCadPrepError; nothing is written
// unless every check passed.
void WritePlCadPrepStepSelectionRecord(const PlCadPrepStepRecordRequest& request,
                                       const PlCadPrepCancellation& cancellation,
                                       const ProgressCallback& progress);
