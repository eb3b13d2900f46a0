#pragma once
// The canonical manifest of a geometry asset package: every piece of provenance
// and evidence checked, the asset contract applied, one canonical byte form,
// and the asset identity written into it.
#include <string>

#include "context/operation_context.h"
#include "shapes/generated_provenance.h"
#include "members/derived_members.h"
#include "request/prepare_request.h"
#include "step/component_selection_evidence.h"

inline constexpr std::size_t kManifestMaxBytes = 262'144;
inline constexpr char kManifestMemberName[] = "manifest.json";

// The final manifest and its asset identity, with the reservations that cover them.
struct PlCadPrepManifest {
  std::string bytes;
  std::string assetId;
  PlCadPrepMemoryReservation memory;
  PlCadPrepOutputReservation output;
};

// For STEP, STL and OBJ sources; `evidence` is the empty record unless a
// reviewed STEP selection was replayed. Throws PlCadPrepError (stage "package").
PlCadPrepManifest BuildPlCadPrepImportedManifest(
    const PlCadPrepRequest& request, const PlCadPrepDerivedMembers& members,
    const PlCadPrepComponentSelectionEvidence& evidence, const PlCadPrepOperationContext& context);

// For generated shapes. Throws PlCadPrepError (stage "package").
PlCadPrepManifest BuildPlCadPrepGeneratedManifest(const PlCadPrepRequest& request,
                                                  const PlCadPrepDerivedMembers& members,
                                                  const PlCadPrepGeneratedProvenance& provenance,
                                                  const PlCadPrepOperationContext& context);
