#pragma once
// The review command: a binary glTF model of a STEP source in which every
// solid is one selectable node carrying its diagnostic and identities, and the
// free shells, if any, form one translucent overlay. Evidence only: every role
// in it is "unreviewed".
#include <string_view>

#include "context/operation_context.h"
#include "core/error.h"
#include "request/step_side_requests.h"

inline constexpr std::string_view kPlCadPrepStepReviewSchema =
    "pelto.geometry.step-component-review.v1";

// Runs the review command for a request that has been read: validates it,
// imports the solids (and the free shells when the source has any), and
// writes the GLB to outputPath by exclusive creation. Throws PlCadPrepError;
// no file is left behind on failure and none is ever replaced.
void WritePlCadPrepStepReviewModel(const PlCadPrepStepReviewRequest& request,
                                   const PlCadPrepCancellation& cancellation,
                                   const ProgressCallback& progress);
