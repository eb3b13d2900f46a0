#pragma once
// Shape definition documents in canonical form, as the generated-shape tests
// and the generated-shape benchmark write them. No test framework needed.
#include <cstdint>
#include <string>
#include <string_view>

// The canonical document around one canonical shape object.
inline std::string ShapeDefinitionDocument(std::string_view shape) {
  return R"({"generatorProfile":"pelto.shape.generator.v1","schema":"pelto.shape.definition.v1",)"
         R"("shape":)" +
         std::string(shape) + R"(,"units":"um"})";
}

// The 40 x 30 mm L-prism, 10 mm high, with its 10 x 8 mm notch in `quadrant`.
inline std::string LPrismShape(std::string_view quadrant) {
  return R"({"heightUm":10000,"kind":"lPrism","notchQuadrant":")" + std::string(quadrant) +
         R"(","notchXSpanUm":10000,"notchZSpanUm":8000,"outsideXSpanUm":40000,)"
         R"("outsideZSpanUm":30000})";
}

// The triangular prism 5 mm high and 20 mm deep whose point lies `pointZOffsetUm` off centre.
inline std::string TriangularPrismShape(std::int64_t baseZSpanUm, std::string_view pointZOffsetUm) {
  return R"({"baseZSpanUm":)" + std::to_string(baseZSpanUm) +
         R"(,"heightUm":5000,"kind":"triangularPrism","pointXDepthUm":20000,"pointZOffsetUm":)" +
         std::string(pointZOffsetUm) + "}";
}
