#pragma once
// The modelling-kernel solid of a generated shape (every kind but the levels
// shape) in the mount frame: centred on x = z = 0 and resting on y = 0, with
// its declared bounds and, for the curved kinds, a slightly larger carrier
// solid whose margin bounds how far a tessellation of the solid may stray.
#include <TopoDS_Shape.hxx>
#include <string_view>

#include "shapes/shape_definition.h"
#include "mesh/geometry_mesh.h"

// How far the carrier of a curved kind grows past the solid, radially and
// along the axis, in millimetres.
inline constexpr double kPlGeneratedCarrierGrowthMm = 0.5;

struct PlGeneratedSolid {
  TopoDS_Shape solid;
  PlPoint3 boundsMin = {0.0, 0.0, 0.0};
  PlPoint3 boundsMax = {0.0, 0.0, 0.0};
  // 1.0 for cylinder, frustum and sphere, 0 for the flat kinds.
  double carrierMarginMm = 0.0;
  // The enlarged solid of a curved kind; for a flat kind null until the
  // record is checked, then the solid itself.
  TopoDS_Shape carrier;
};

// Builds the record of an already validated definition without checking it.
// Throws PlCadPrepError (stage "heal"): "generated_solid_failed" when an
// outline, face or sweep cannot be made, and "backend_not_implemented" for the
// levels shape, which never becomes a solid. Kernel exceptions propagate to
// the caller's boundary.
PlGeneratedSolid BuildPlGeneratedSolid(const PlShapeDefinition& definition);

// Validates a copy of the definition, builds its record and checks that the
// solid, and the carrier when there is one, is exactly one valid solid.
// Throws PlCadPrepError (stage "heal"): a definition failure with the code of
// its category, the failures of BuildPlGeneratedSolid, and
// "generated_solid_invalid" for a solid or carrier that fails the check.
PlGeneratedSolid MakePlGeneratedSolid(const PlShapeDefinition& definition);

// True when `shape` is not null, holds exactly one solid and passes the
// kernel's topology and geometry checks.
bool IsPlGeneratedSolidValid(const TopoDS_Shape& shape);
