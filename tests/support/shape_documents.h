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

// The canonical shape objects of the kinds with plain dimensions.
inline std::string BoxShape(std::int64_t heightUm, std::int64_t xSpanUm, std::int64_t zSpanUm) {
  return R"({"heightUm":)" + std::to_string(heightUm) + R"(,"kind":"box","xSpanUm":)" +
         std::to_string(xSpanUm) + R"(,"zSpanUm":)" + std::to_string(zSpanUm) + "}";
}

inline std::string CylinderShape(std::int64_t axisLengthUm, std::int64_t diameterUm,
                                 std::string_view mount) {
  return R"({"axisLengthUm":)" + std::to_string(axisLengthUm) + R"(,"diameterUm":)" +
         std::to_string(diameterUm) + R"(,"kind":"cylinder","mount":")" + std::string(mount) +
         R"("})";
}

inline std::string WedgeShape(std::int64_t highHeightUm, std::int64_t lowHeightUm,
                              std::int64_t xSpanUm, std::int64_t zSpanUm) {
  return R"({"highHeightUm":)" + std::to_string(highHeightUm) +
         R"(,"kind":"wedge","lowHeightUm":)" + std::to_string(lowHeightUm) + R"(,"xSpanUm":)" +
         std::to_string(xSpanUm) + R"(,"zSpanUm":)" + std::to_string(zSpanUm) + "}";
}

inline std::string FrustumShape(std::int64_t axisLengthUm, std::int64_t largeDiameterUm,
                                std::string_view mount, std::int64_t smallDiameterUm) {
  return R"({"axisLengthUm":)" + std::to_string(axisLengthUm) +
         R"(,"kind":"frustum","largeDiameterUm":)" + std::to_string(largeDiameterUm) +
         R"(,"mount":")" + std::string(mount) + R"(","smallDiameterUm":)" +
         std::to_string(smallDiameterUm) + "}";
}

inline std::string SphereShape(std::int64_t diameterUm) {
  return R"({"diameterUm":)" + std::to_string(diameterUm) + R"(,"kind":"sphere"})";
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
