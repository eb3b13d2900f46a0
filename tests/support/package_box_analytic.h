#pragma once
// The certified analytic member of a box of the given x span (10 mm high, 30 mm
// deep), whose twelve headings are 30 degrees apart, with the identities it carries.
#include <cstdint>
#include <vector>

#include "shapes/analytic_member.h"
#include "shapes/generated_provenance.h"
#include "shapes/shape_definition.h"

inline std::vector<std::uint8_t> PackageBoxAnalytic(std::int64_t xSpanUm,
                                                    PlCadPrepGeneratedProvenance& ids) {
  PlShapeDefinition box{.kind = PlShapeKind::box};
  box.xSpanUm = xSpanUm;
  box.heightUm = 10000;
  box.zSpanUm = 30000;
  ids = {PlShapeDefinitionSourceHash(box), PlShapeDefinitionId(box)};
  return EncodePlAnalyticShape(
      BuildPlAnalyticShape(box, ids.shapeDefinitionId, ids.definitionSourceHash));
}
