#pragma once
// Levels shapes (the apexShape kind): 2 to 8 stacked polygons with one apex
// count joined by straight ties. Their validation rules, the exact integer
// polygon tests they share with polygon prisms and footprints, and the direct
// triangle-mesh publisher that builds them without a modelling kernel.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "context/operation_context.h"
#include "shapes/shape_definition.h"
#include "mesh/geometry_mesh.h"
#include "request/prepare_request.h"

// Doubled areas of 64-bit polygons need more than 64 bits.
__extension__ using PlInt128 = __int128;

enum class PlLevelsShapeCategory : std::int32_t {
  accepted = 0,
  levels = 1,
  polygon = 2,
  definition = 3,
};

struct PlLevelsShapeValidation {
  PlLevelsShapeCategory category = PlLevelsShapeCategory::accepted;
  std::string message;
  bool Accepted() const { return category == PlLevelsShapeCategory::accepted; }
};

// The definition reader's category for a levels failure: levels, polygon, or
// integer for the others (those whose event code is "invalid_shape_definition").
PlShapeDefinitionCategory PlLevelsShapeDefinitionCategory(PlLevelsShapeCategory category);

// The levels rules in their fixed order; the first failure decides.
PlLevelsShapeValidation ValidatePlLevelsShape(const std::vector<PlShapeLevel>& levels);

// Twice the signed area, sum of x_i * z_(i+1) - z_i * x_(i+1), exactly
// whenever it fits in 128 bits (always within the 100 m spans).
PlInt128 PlPolygonDoubledSignedArea(const std::vector<PlShapePoint>& polygon);

// True when two closed segments cross, touch or overlap (exact integer test
// for any 64-bit coordinates; a segment may be a single point).
bool PlSegmentsMeet(const PlShapePoint& a0, const PlShapePoint& a1, const PlShapePoint& b0,
                    const PlShapePoint& b1);

// True when two edges of the polygon that share no point meet.
bool PlPolygonHasMeetingNonNeighbourEdges(const std::vector<PlShapePoint>& polygon);

// Ear clipping of a simple polygon whose doubled signed area is negative: the
// first ear in index order each time, exact integer tests. n - 2 triangles of
// polygon indices (previous, current, next), each turning like the polygon;
// throws std::invalid_argument when no ear can be found.
std::vector<std::array<std::uint32_t, 3>> PlEarClipPolygon(
    const std::vector<PlShapePoint>& polygon);

// Builds the exact closed mesh of a validated levels shape through a mesh
// builder made for `request` (mount transform and limits) with surface
// deviation 0. Throws PlCadPrepError ("generated_solid_invalid" when the
// result is not closed, stage "mesh"; the builder's limit failures; for a
// shape that fails validation the definition reader's "invalid_shape_levels",
// "invalid_shape_polygon" or "invalid_shape_definition", stage "import").
PlGeometryMesh BuildPlLevelsShapeMesh(const std::vector<PlShapeLevel>& levels,
                                      const PlCadPrepRequest& request,
                                      const PlCadPrepOperationContext& context);
