#pragma once
// The replay of a prepare request's reviewed component selection: reads the
// record, replays its solids and its free-shell overlay against fresh imports
// of the source, proves the composition and its deviation bound, and hands out
// the composed mesh and, once the members derived from it exist, the evidence
// the STEP package publishes.
#include <memory>
#include <optional>

#include "context/operation_context.h"
#include "core/error.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"
#include "step/component_selection_evidence.h"
#include "step/step_role_composition.h"
#include "step/step_selection_record.h"

class PlCadPrepStepReplay {
 public:
  // Runs every replay step in its fixed order for a request with a
  // componentSelectionPath. Throws the first failure of the record reader, the
  // composition or either import; nothing is returned unless every proof held.
  // The request and context must outlive the replay.
  static std::shared_ptr<PlCadPrepStepReplay> Run(const PlCadPrepRequest& request,
                                                  const PlCadPrepOperationContext& context,
                                                  const ProgressCallback& progress);

  // The composition's TakeComposedImport and TakeEvidence. The replay holds the
  // record's memory and the evidence's until it is destroyed.
  PlCadPrepTriangleImport TakeComposedImport() { return composition->TakeComposedImport(); }
  PlCadPrepComponentSelectionEvidence TakeEvidence() { return composition->TakeEvidence(); }

 private:
  PlCadPrepStepReplay() = default;

  PlCadPrepStepSelection record;
  std::optional<PlCadPrepStepRoleComposition> composition;
};
