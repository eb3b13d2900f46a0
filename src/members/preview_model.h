#pragma once
// "preview.glb": a binary glTF 2.0 model of the encoded collision mesh for
// display, built from the member bytes so it shows exactly what the runtime
// collides against.
#include <cstdint>
#include <vector>

#include "context/operation_context.h"
#include "members/collision_mesh.h"

inline constexpr char kPreviewMemberName[] = "preview.glb";
// The JSON chunk is bounded so the whole document is reserved up front.
inline constexpr std::uint64_t kPreviewJsonLimitBytes = 4096;
inline constexpr std::uint64_t kPreviewByteLimit = 67'108'864;

// The GLB bytes of the member's decoded mesh. The input reservation must be
// this run's and cover the member's storage. Throws PlCadPrepError (stage "mesh").
std::vector<std::uint8_t> BuildPlCadPrepPreviewModel(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation);

// The same for a member whose `mesh` is exactly what its bytes decode to, as the
// collision member builders leave it: that mesh is used instead of a second
// decode, under the same reservations.
std::vector<std::uint8_t> BuildPlCadPrepDecodedPreviewModel(
    const PlCollisionMeshMember& member, const PlCadPrepOperationContext& context,
    const PlCadPrepMemoryReservation& inputReservation);
