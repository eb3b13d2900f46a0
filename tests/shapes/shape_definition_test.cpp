#include "shapes/shape_definition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/sha256.h"
#include "support/shape_documents.h"

namespace {

using Category = PlShapeDefinitionCategory;
constexpr Category S = Category::structure, I = Category::integer, M = Category::mount,
                   Nt = Category::notch, Lv = Category::levels, P = Category::polygon,
                   N = Category::noncanonical;
using K = PlShapeKind;
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

const Points kSquare = {{0, 0}, {0, 10000}, {10000, 10000}, {10000, 0}};
const Points kInner = {{2000, 2000}, {2000, 8000}, {8000, 8000}, {8000, 2000}};
const std::string kBox = ShapeDefinitionDocument(BoxShape(10000, 20000, 30000));
const std::string kCylinder = ShapeDefinitionDocument(CylinderShape(40000, 10000, "laidDown"));
const std::string kLPrism = ShapeDefinitionDocument(
    R"({"heightUm":5000,"kind":"lPrism","notchQuadrant":"negativeXPositiveZ","notchXSpanUm":2000,)"
    R"("notchZSpanUm":3000,"outsideXSpanUm":8000,"outsideZSpanUm":9000})");
const std::string kTriangle = ShapeDefinitionDocument(
    R"({"baseZSpanUm":5,"heightUm":7000,"kind":"triangularPrism","pointXDepthUm":4000,"pointZOffsetUm":-2})");
const std::string kWedge = ShapeDefinitionDocument(WedgeShape(6000, 2000, 10000, 8000));
const std::string kFrustum = ShapeDefinitionDocument(FrustumShape(30000, 20000, "upright", 10000));
const std::string kPolygon = Polygon(kSquare);
const std::string kApex =
    ShapeDefinitionDocument(R"({"kind":"apexShape","levels":[{"vertices":[)" + Join(kSquare) +
                            R"(],"yUm":0},{"vertices":[)" + Join(kInner) + R"(],"yUm":5000}]})");
const std::string kSphere = ShapeDefinitionDocument(SphereShape(12000));

// Each kind's document, the context of its member set and its integer label prefix.
struct KindDocument {
  const std::string& doc;
  PlShapeKind kind;
  std::string context, labelPrefix;
};
const KindDocument kKinds[] = {
    {kBox, K::box, "box shape", "box."},
    {kCylinder, K::cylinder, "cylinder shape", "cylinder."},
    {kLPrism, K::lPrism, "L-prism shape", "L-prism."},
    {kTriangle, K::triangularPrism, "triangular-prism shape", "triangle."},
    {kWedge, K::wedge, "wedge shape", "wedge."},
    {kFrustum, K::frustum, "frustum shape", "frustum."},
    {kPolygon, K::polygonPrism, "polygon-prism shape", "polygon."},
    {kApex, K::apexShape, "levels shape", ""},
    {kSphere, K::sphere, "sphere shape", "sphere."},
};

// `text` with its single occurrence of `from` replaced.
std::string R(const std::string& text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  if (at == std::string::npos) return text;
  return text.substr(0, at) + std::string(to) + text.substr(at + from.size());
}

std::string At(const std::string& text, std::string_view marker, std::size_t past) {
  return " at byte " + std::to_string(text.find(marker) + past);
}

template <typename Fn>
void ExpectShapeFailure(Fn&& fn, Category category, std::string_view message) {
  try {
    fn();
    ADD_FAILURE() << "expected PlShapeDefinitionError " << message;
  } catch (const PlShapeDefinitionError& error) {
    EXPECT_EQ(error.category, category);
    EXPECT_EQ(std::string_view(error.what()), message);
  }
}

struct Case {
  std::string bytes;
  Category category;
  std::string message;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    ExpectShapeFailure([&] { (void)ParsePlShapeDefinition(c.bytes); }, c.category, c.message);
  }
}

}  // namespace

// The field each dimension lands in is pinned by the analytic and generated-solid tests.
TEST(ShapeDefinition, ParsesTheCanonicalDocumentOfEveryKind) {
  for (const KindDocument& kind : kKinds) {
    const PlShapeDefinition parsed = ParsePlShapeDefinition(kind.doc);
    EXPECT_EQ(parsed.kind, kind.kind);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(parsed), kind.doc);
  }
  EXPECT_EQ(ParsePlShapeDefinition(kApex).levels,
            (std::vector<PlShapeLevel>{{kSquare, 0}, {kInner, 5000}}));
  PlShapeDefinition polygon = ParsePlShapeDefinition(kPolygon);
  EXPECT_EQ(polygon.vertices, kSquare);
  // A polygon built from any start and in either turning sense writes its normal form.
  std::reverse(polygon.vertices.begin(), polygon.vertices.end());
  std::rotate(polygon.vertices.begin(), polygon.vertices.begin() + 2, polygon.vertices.end());
  EXPECT_EQ(PlShapeDefinitionCanonicalBytes(polygon), kPolygon);
  EXPECT_EQ(PlShapeDefinitionSourceHash(polygon), Sha256Identity(kPolygon));
}

TEST(ShapeDefinition, RejectsStructureAndSyntaxMutations) {
  const char* kFixed = "shape definition schema, generator profile, or units is invalid";
  const char* kNotCanonical = "shape definition bytes are not canonical";
  const std::string boxShape = BoxShape(10000, 20000, 30000);
  RunCases({
      {R(kBox, "\"kind\":", "\"kind\": "), N, kNotCanonical},
      // "-0" passes the integer rule; only the canonical comparison sees it.
      {R(kTriangle, ":-2}", ":-0}"), N, kNotCanonical},
      {R(kBox, ":10000,", ":010000,"), S, "expected comma in JSON object" + At(kBox, ":10000,", 2)},
      {R(kBox, boxShape, "[]"), S, "JSON value must be an object" + At(kBox, boxShape, 0)},
      {R(kBox, "\"heightUm\"", "\"height\\u0055m\""), S,
       "member name must be a canonical ASCII string"},
      {R(kBox, "\"box\"", "\"b\\u006fx\""), S, "shape.kind must be a canonical ASCII string"},
      {R(kBox, "definition.v1", "definition.v\\u0031"), S, kFixed},
      {R(kBox, "\"um\"", "\"mm\""), S, kFixed},
      {R(kBox, "generator.v1", "generator.v2"), S, kFixed},
      {R(kBox, "{\"heightUm\":10000", "{\"heightUm\":1,\"heightUm\":10000"), S,
       "duplicate shape definition member: heightUm"},
      {R(kBox, "{\"generatorProfile\"", "{\"comment\":1,\"generatorProfile\""), S,
       "unknown shape definition member: comment"},
      {R(kBox, ",\"units\":\"um\"", ""), S, "shape definition members are incomplete"},
      {R(kSphere, ",\"kind\":\"sphere\"", ""), S, "missing shape definition member: kind"},
      {R(kSphere, "\"sphere\"", "8"), S, "shape.kind must be a string"},
      {R(kBox, "\"box\"", "\"Box\""), S, "shape kind is not supported"},
      {R(kPolygon, Point(10000, 0), R"({"xUm":10000,"yUm":0,"zUm":0})"), S,
       "unknown polygon point member: yUm"},
      {R(kPolygon, Point(10000, 0), R"({"xUm":10000})"), S, "polygon point members are incomplete"},
      {R(kApex, ",\"yUm\":5000", ",\"yUm\":5000,\"zz\":1"), S,
       "unknown levels shape level member: zz"},
      {R(kApex, ",\"yUm\":5000", ""), S, "levels shape level members are incomplete"},
      {R(kApex, Point(8000, 2000), R"({"xUm":8000})"), S,
       "levels shape point members are incomplete"},
      {R(kApex, Point(8000, 2000), R"({"xUm":8000,"yUm":0,"zUm":2000})"), S,
       "unknown levels shape point member: yUm"},
  });
}

// Every kind's member set is exact, and every integer member is checked at both ends of its
// range and against the integer rule under its own label.
TEST(ShapeDefinition, ChecksEveryKindsMembersAndIntegerRanges) {
  std::vector<Case> cases;
  for (const auto& [doc, kind, context, prefix] : kKinds) {
    const std::size_t close = doc.size() - std::string_view(",\"units\":\"um\"}").size() - 1;
    cases.push_back({doc.substr(0, close) + ",\"zz\":1" + doc.substr(close), S,
                     "unknown " + context + " member: zz"});
    // Without its first member, or without its levels when "kind" comes first.
    const std::size_t open = doc.find("\"shape\":{") + 9, levels = doc.find(",\"levels\"");
    cases.push_back({kind == K::apexShape
                         ? doc.substr(0, levels) + doc.substr(close)
                         : doc.substr(0, open) + doc.substr(doc.find(',', open) + 1),
                     S, context + " members are incomplete"});
    for (const PlShapeKindMember& member : PlShapeKindMembers(kind)) {
      if (member.holds != PlShapeMemberValue::integer) continue;
      const std::string name(member.name);
      const std::size_t at = doc.find("\"" + name + "\":") + name.size() + 3;
      const std::size_t end = doc.find_first_of(",}", at);
      const bool ranged = name != "pointZOffsetUm";
      for (const char* value : {"0", "100000001", "1.0"}) {
        if (!ranged && std::string_view(value) != "1.0") continue;
        const bool integer = std::string_view(value) != "1.0";
        cases.push_back({doc.substr(0, at) + value + doc.substr(end), I,
                         prefix + name +
                             (integer ? " must be between 1 and 100000000 micrometres"
                                      : " must be an integer micrometre value")});
      }
    }
  }
  // Within 64 bits a value reaches the range check, outside it does not.
  const std::pair<const char*, bool> values[] = {{"-0", true},
                                                 {"-9223372036854775808", true},
                                                 {"9223372036854775807", true},
                                                 {"1e3", false},
                                                 {"9223372036854775808", false},
                                                 {"-9223372036854775809", false},
                                                 {"null", false},
                                                 {"\"1\"", false}};
  for (const auto& [value, in64] : values) {
    cases.push_back({R(kBox, ":30000}", std::string(":") + value + "}"), I,
                     in64 ? "box.zSpanUm must be between 1 and 100000000 micrometres"
                          : "box.zSpanUm must be an integer micrometre value"});
  }
  const std::pair<std::string, std::string> otherLabels[] = {
      {R(kPolygon, Point(10000, 0), R"({"xUm":1E4,"zUm":0})"), "polygon.xUm"},
      {R(kPolygon, Point(10000, 0), R"({"xUm":10000,"zUm":0.5})"), "polygon.zUm"},
      {R(kApex, R"("yUm":5000)", R"("yUm":5000.0)"), "apexShape.levels[1].yUm"},
      {R(kApex, Point(8000, 2000), R"({"xUm":"8000","zUm":2000})"), "apexShape.levels[1].xUm"},
      {R(kApex, Point(0, 0), R"({"xUm":0,"zUm":true})"), "apexShape.levels[0].zUm"},
  };
  for (const auto& [bytes, label] : otherLabels)
    cases.push_back({bytes, I, label + " must be an integer micrometre value"});
  RunCases(cases);
  EXPECT_EQ(ParsePlShapeDefinition(ShapeDefinitionDocument(BoxShape(1, 1, 100000000))).zSpanUm,
            kPlShapeMaxDimensionUm);
}

TEST(ShapeDefinition, AppliesMountNotchAndDimensionRules) {
  for (int offset = -2; offset <= 2; ++offset) {
    const std::string bytes = R(kTriangle, ":-2}", ":" + std::to_string(offset) + "}");
    EXPECT_EQ(ParsePlShapeDefinition(bytes).pointZOffsetUm, offset);
  }
  const char* kNotch = "L-prism notch spans must be smaller than outside spans";
  const char* kOffset = "triangle point offset must stay within the broad base span";
  RunCases({
      {R(kCylinder, "laidDown", "sideways"), M, "shape mount must be upright or laidDown"},
      {R(kCylinder, "\"laidDown\"", "\"laid\\u0044own\""), S,
       "cylinder.mount must be a canonical ASCII string"},
      {R(kFrustum, "\"upright\"", "1"), S, "frustum.mount must be a string"},
      {R(kLPrism, "negativeXPositiveZ", "northEast"), Nt,
       "L-prism notch quadrant is not supported"},
      {R(kLPrism, "negativeXPositiveZ", "negativeX\\tPositiveZ"), S,
       "L-prism.notchQuadrant must be a canonical ASCII string"},
      {R(kLPrism, "\"notchXSpanUm\":2000", "\"notchXSpanUm\":8000"), Nt, kNotch},
      {R(kLPrism, "\"notchZSpanUm\":3000", "\"notchZSpanUm\":9001"), Nt, kNotch},
      {R(kTriangle, ":-2}", ":3}"), I, kOffset},
      {R(kTriangle, ":-2}", ":-3}"), I, kOffset},
      {R(kWedge, ":2000", ":6000"), I, "wedge high height must exceed low height"},
      {R(kFrustum, ":10000", ":20000"), I, "frustum large diameter must exceed small diameter"},
  });
}

TEST(ShapeDefinition, AppliesPolygonAndLevelsRulesExactly) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t k100m = kPlShapeMaxDimensionUm;
  // One unit of doubled area at the 100 m scale, where a double product would round to zero.
  const Points thin = {{0, 0}, {k100m, k100m - 1}, {k100m - 1, k100m - 2}};
  EXPECT_EQ(ParsePlShapeDefinition(Polygon(thin)).vertices, thin);
  Points many;
  for (std::int64_t i = 0; i < 257; ++i) many.push_back({i, i * i});
  const std::string numbers = R(kPolygon, Join(kSquare), "1,2,3");
  const char* kCount = "polygon must contain 3..256 vertices";
  const char* kCrossing = "polygon has crossing, touching, or overlapping non-neighbour edges";
  const char* kSeated = "polygon shape is not seated";
  RunCases({
      {R(kPolygon, "[" + Join(kSquare) + "]", "{}"), P, "polygon.vertices must be an array"},
      {numbers, S, "JSON value must be an object" + At(numbers, "[1", 1)},
      {Polygon({{0, 0}, {0, 10}}), P, kCount},
      {Polygon(many), P, kCount},
      {Polygon({{0, 0}, {0, 10}, {10, 10}, {0, 0}}), P,
       "polygon must not repeat its first vertex as a closing vertex"},
      {Polygon({{0, 0}, {0, 10}, {0, 0}, {10, 10}}), P, "polygon contains a repeated vertex"},
      {Polygon({{0, 0}, {0, 5}, {0, 10}}), P, "polygon X span must be positive"},
      {Polygon({{0, 0}, {5, 0}, {10, 0}}), P, "polygon Z span must be positive"},
      {Polygon({{0, 0}, {0, 10}, {k100m + 1, 0}}), P, "polygon X span exceeds 100 m"},
      {Polygon({{0, 0}, {0, k100m + 1}, {10, 0}}), P, "polygon Z span exceeds 100 m"},
      {Polygon({{-kMax - 1, 0}, {0, 10}, {kMax, 0}}), P, "polygon X span exceeds 100 m"},
      {Polygon({{0, 5}, {0, 15}, {10, 5}}), P, kSeated},
      {Polygon({{5, 0}, {5, 10}, {15, 0}}), P, kSeated},
      {Polygon({{0, 0}, {10, 10}, {10, 0}, {0, 10}}), P, kCrossing},
      {Polygon({{0, 0}, {1, 1}, {3, 3}, {2, 2}}), P, kCrossing},
      {Polygon({{0, 0}, {k100m, k100m}, {k100m / 2, k100m / 2}}), P, "polygon has zero area"},
      {Polygon({{0, 0}, {10000, 0}, {10000, 10000}, {0, 10000}}), N,
       "shape definition bytes are not canonical"},
      {ShapeDefinitionDocument(R"({"kind":"apexShape","levels":{}})"), Lv,
       "apexShape.levels must be an array"},
      {R(kApex, "[" + Join(kInner) + "]", "null"), P,
       "apexShape.levels[1].vertices must be an array"},
      {R(kApex, R"(,{"vertices":[)" + Join(kInner) + R"(],"yUm":5000})", ""), Lv,
       "levels shape must contain 2..8 levels"},
      {R(kApex, ":5000}", ":100000001}"), I,
       "levels shape height must be between 1 and 100000000 micrometres"},
      {R(kApex, Point(8000, 8000), Point(2000, 2000)), P,
       "level 1: polygon contains a repeated vertex"},
  });
}

TEST(ShapeDefinition, RefusesOversizeDocumentsAndValuesOutsideTheEnumerations) {
  const std::string padded = kBox + std::string(kPlShapeDefinitionMaxBytes - kBox.size(), ' ');
  RunCases({{padded, N, "shape definition bytes are not canonical"},
            {padded + " ", Category::size, "shape definition exceeds 1 MiB"}});
  PlShapeDefinition cylinder = ParsePlShapeDefinition(kCylinder);
  cylinder.mount = static_cast<PlShapeMount>(2);
  PlShapeDefinition lPrism = ParsePlShapeDefinition(kLPrism);
  lPrism.notchQuadrant = static_cast<PlNotchQuadrant>(4);
  PlShapeDefinition unknown = ParsePlShapeDefinition(kSphere);
  unknown.kind = static_cast<PlShapeKind>(9);
  const std::tuple<PlShapeDefinition, Category, const char*> cases[] = {
      {cylinder, M, "shape mount is not supported"},
      {lPrism, Nt, "L-prism notch quadrant is not supported"},
      {unknown, S, "shape kind is not supported"},
  };
  for (auto [definition, category, message] : cases) {
    ExpectShapeFailure([&] { ValidatePlShapeDefinition(definition); }, category, message);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(definition) +
                  PlShapeDefinitionSourceHash(definition) + PlShapeDefinitionId(definition),
              "");
  }
  EXPECT_EQ(PlShapeKindName(unknown.kind), "unknown");
  EXPECT_EQ(PlShapeMountName(cylinder.mount), "unknown");
  EXPECT_EQ(PlNotchQuadrantName(lPrism.notchQuadrant), "unknown");
  const char* codes[] = {"invalid_shape_definition", "invalid_shape_definition",
                         "invalid_shape_definition", "invalid_shape_definition",
                         "invalid_shape_levels",     "invalid_shape_polygon",
                         "input_too_large",          "noncanonical_shape_definition"};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(PlShapeDefinitionEventCode(Category(i)), codes[i]) << i;
}
