#pragma once
// The canonical manifest of a geometry asset package: every piece of provenance
// and evidence checked, the asset contract applied, one canonical byte form,
// and the asset identity written into it.
#include <string>
#include <variant>

#include "context/operation_context.h"
#include "members/derived_members.h"
#include "request/prepare_request.h"
#include "shapes/generated_provenance.h"
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

// An STL or OBJ file: the collision mesh's source digest is its whole provenance.
struct PlCadPrepMeshSourceProvenance {};

// Where the published geometry came from: a mesh file, a replayed STEP
// selection, or a generated shape definition.
using PlCadPrepProvenance =
    std::variant<PlCadPrepMeshSourceProvenance, PlCadPrepComponentSelectionEvidence,
                 PlCadPrepGeneratedProvenance>;

// Checks the provenance against the request and the members, applies the asset
// contract and writes the canonical manifest with its identity. Throws
// PlCadPrepError (stage "package").
PlCadPrepManifest BuildPlCadPrepManifest(const PlCadPrepRequest& request,
                                         const PlCadPrepDerivedMembers& members,
                                         const PlCadPrepProvenance& provenance,
                                         const PlCadPrepOperationContext& context);

// The same manifest and failures, given `proven`, a mesh that has passed the
// runtime mesh contract under the standard runtime limits (as the import's mesh
// has once the derived members are built from it): a collision mesh that shares
// its topology is not put through the topology checks again.
PlCadPrepManifest BuildPlCadPrepManifest(const PlCadPrepRequest& request,
                                         const PlCadPrepDerivedMembers& members,
                                         const PlCadPrepProvenance& provenance,
                                         const PlCadPrepOperationContext& context,
                                         const PlGeometryMesh& proven);
