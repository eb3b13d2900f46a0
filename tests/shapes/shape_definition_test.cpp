#include "shapes/shape_definition.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/sha256.h"
#include "support/shape_documents.h"

namespace {

using Category = PlShapeDefinitionCategory;
constexpr Category S = Category::structure, I = Category::integer, M = Category::mount,
                   Nt = Category::notch, Lv = Category::levels, P = Category::polygon,
                   N = Category::noncanonical;
using Points = std::vector<PlShapePoint>;

std::string Point(std::int64_t x, std::int64_t z) {
  return "{\"xUm\":" + std::to_string(x) + ",\"zUm\":" + std::to_string(z) + "}";
}
std::string Join(const Points& points) {
  std::string out;
  for (const PlShapePoint& p : points) out += (out.empty() ? "" : ",") + Point(p.xUm, p.zUm);
  return out;
}
std::string Polygon(const Points& points) {
  return ShapeDefinitionDocument(R"({"heightUm":3000,"kind":"polygonPrism","vertices":[)" +
                                 Join(points) + "]}");
}

const Points kSquare = {{0, 0}, {0, 10000}, {10000, 10000}, {10000, 0}},
             kInner = {{2000, 2000}, {2000, 8000}, {8000, 8000}, {8000, 2000}};
const std::string kBox = ShapeDefinitionDocument(BoxShape(10000, 20000, 30000)),
                  kCylinder = ShapeDefinitionDocument(CylinderShape(40000, 10000, "laidDown")),
                  kLPrism = ShapeDefinitionDocument(LPrismShape("negativeXPositiveZ")),
                  kTriangle = ShapeDefinitionDocument(TriangularPrismShape(5, "-2")),
                  kWedge = ShapeDefinitionDocument(WedgeShape(6000, 2000, 10000, 8000)),
                  kFrustum = ShapeDefinitionDocument(FrustumShape(30000, 20000, "upright", 10000)),
                  kPolygon = Polygon(kSquare),
                  kSphere = ShapeDefinitionDocument(SphereShape(12000)),
                  kApex = ShapeDefinitionDocument(R"({"kind":"apexShape","levels":[{"vertices":[)" +
                                                  Join(kSquare) + R"(],"yUm":0},{"vertices":[)" +
                                                  Join(kInner) + R"(],"yUm":5000}]})");

// `text` with its first occurrence of `from` replaced.
std::string R(std::string text, std::string_view from, std::string_view to) {
  return text.replace(text.find(from), from.size(), to);
}

template <typename Fn>
void ExpectShapeFailure(Fn&& fn, Category category, std::string_view message) {
  try {
    fn();
    ADD_FAILURE() << "expected PlShapeDefinitionError " << message;
  } catch (const PlShapeDefinitionError& error) {
    EXPECT_EQ(std::tuple(error.category, std::string_view(error.what())),
              std::tuple(category, message));
  }
}

using Case = std::tuple<std::string, Category, std::string>;
void RunCases(const std::vector<Case>& cases) {
  for (const auto& [bytes, category, message] : cases)
    ExpectShapeFailure([&] { (void)ParsePlShapeDefinition(bytes); }, category, message);
}

}  // namespace

// The field each dimension lands in is pinned by the analytic and generated-solid tests.
// A polygon built from any start and in either turning sense writes its normal form.
TEST(ShapeDefinition, WritesThePolygonNormalForm) {
  PlShapeDefinition polygon = ParsePlShapeDefinition(kPolygon);
  std::reverse(polygon.vertices.begin(), polygon.vertices.end());
  std::rotate(polygon.vertices.begin(), polygon.vertices.begin() + 2, polygon.vertices.end());
  EXPECT_EQ(PlShapeDefinitionCanonicalBytes(polygon), kPolygon);
  EXPECT_EQ(PlShapeDefinitionSourceHash(polygon), Sha256Identity(kPolygon));
}

TEST(ShapeDefinition, RejectsEachRuleWithItsCategoryAndMessage) {
  constexpr std::int64_t k100m = kPlShapeMaxDimensionUm;
  std::vector<Case> cases = {
      {R(kBox, "\"heightUm\"", "\"height\\u0055m\""), S,
       "member name must be a canonical ASCII string"},
      {R(kBox, "{\"heightUm\":10000", "{\"heightUm\":1,\"heightUm\":10000"), S,
       "duplicate shape definition member: heightUm"},
      {R(kBox, ",\"units\":\"um\"", ""), S, "shape definition members are incomplete"},
      {R(kSphere, ",\"kind\":\"sphere\"", ""), S, "missing shape definition member: kind"},
      {R(kSphere, "\"sphere\"", "8"), S, "shape.kind must be a string"},
      {R(kBox, "\"box\"", "\"Box\""), S, "shape kind is not supported"},
      {R(kPolygon, Point(10000, 0), R"({"xUm":10000,"yUm":0,"zUm":0})"), S,
       "unknown polygon point member: yUm"},
      {R(kCylinder, "laidDown", "sideways"), M, "shape mount must be upright or laidDown"},
      {R(kFrustum, "\"upright\"", "1"), S, "frustum.mount must be a string"},
      {Polygon({{0, 5}, {0, 10}, {10, 10}, {10, 5}}), P, "polygon shape is not seated"},
      {R(kLPrism, "negativeXPositiveZ", "northEast"), Nt,
       "L-prism notch quadrant is not supported"},
      {R(kLPrism, "\"notchXSpanUm\":10000", "\"notchXSpanUm\":40000"), Nt,
       "L-prism notch spans must be smaller than outside spans"},
      {R(kPolygon, "[" + Join(kSquare) + "]", "{}"), P, "polygon.vertices must be an array"},
      {Polygon({{0, 0}, {0, 10}}), P, "polygon must contain 3..256 vertices"},
      {Polygon({{0, 0}, {0, 10}, {0, 0}, {10, 10}}), P, "polygon contains a repeated vertex"},
      {Polygon({{0, 0}, {0, 5}, {0, 10}}), P, "polygon X span must be positive"},
      {Polygon({{0, 0}, {0, 10}, {k100m + 1, 0}}), P, "polygon X span exceeds 100 m"},
      {Polygon({{0, 0}, {k100m, k100m}, {k100m / 2, k100m / 2}}), P, "polygon has zero area"},
      {R(kApex, R"(,{"vertices":[)" + Join(kInner) + R"(],"yUm":5000})", ""), Lv,
       "levels shape must contain 2..8 levels"},
      // Within 64 bits a value reaches the range check, outside it does not.
      {R(kBox, ":30000}", ":9223372036854775807}"), I,
       "box.zSpanUm must be between 1 and 100000000 micrometres"},
      {R(kBox, ":30000}", ":9223372036854775808}"), I,
       "box.zSpanUm must be an integer micrometre value"},
  };
  for (const std::string& doc :
       {kBox, kCylinder, kLPrism, kTriangle, kWedge, kFrustum, kPolygon, kApex, kSphere})
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(ParsePlShapeDefinition(doc)), doc);
  RunCases(cases);
  // One unit of doubled area at the 100 m scale, where a double product would round to zero.
  const Points thin = {{0, 0}, {k100m, k100m - 1}, {k100m - 1, k100m - 2}};
  EXPECT_EQ(ParsePlShapeDefinition(Polygon(thin)).vertices, thin);
  for (int offset = -2; offset <= 2; offset += 4)
    EXPECT_EQ(ParsePlShapeDefinition(R(kTriangle, ":-2}", ":" + std::to_string(offset) + "}"))
                  .pointZOffsetUm,
              offset);
  EXPECT_EQ(ParsePlShapeDefinition(ShapeDefinitionDocument(BoxShape(1, 1, 100000000))).zSpanUm,
            kPlShapeMaxDimensionUm);
}

TEST(ShapeDefinition, RefusesOversizeDocumentsAndValuesOutsideTheEnumerations) {
  const std::string padded = kBox + std::string(kPlShapeDefinitionMaxBytes - kBox.size(), ' ');
  RunCases({{padded, N, "shape definition bytes are not canonical"},
            {padded + " ", Category::size, "shape definition exceeds 1 MiB"}});
  PlShapeDefinition cylinder = ParsePlShapeDefinition(kCylinder),
                    unknown = ParsePlShapeDefinition(kSphere);
  cylinder.mount = static_cast<PlShapeMount>(2), unknown.kind = static_cast<PlShapeKind>(9);
  const std::tuple<PlShapeDefinition, Category, const char*> cases[] = {
      {cylinder, M, "shape mount is not supported"}, {unknown, S, "shape kind is not supported"}};
  for (auto [definition, category, message] : cases) {
    ExpectShapeFailure([&] { ValidatePlShapeDefinition(definition); }, category, message);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(definition) +
                  PlShapeDefinitionSourceHash(definition) + PlShapeDefinitionId(definition),
              "");
  }
  std::string codes, expected;
  for (int i = 0; i < 4; ++i) expected += "invalid_shape_definition ";
  for (int i = 0; i < 8; ++i) codes += std::string(PlShapeDefinitionEventCode(Category(i))) + " ";
  EXPECT_EQ(codes, expected +
                       "invalid_shape_levels invalid_shape_polygon input_too_large "
                       "noncanonical_shape_definition ");
}
