#include "shapes/shape_definition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/sha256.h"
#include "support/shape_documents.h"

namespace {

using Category = PlShapeDefinitionCategory;
using K = PlShapeKind;

std::string Point(std::int64_t x, std::int64_t z) {
  return "{\"xUm\":" + std::to_string(x) + ",\"zUm\":" + std::to_string(z) + "}";
}

std::string Points(const std::vector<PlShapePoint>& points) {
  std::string out;
  for (const PlShapePoint& p : points) out += (out.empty() ? "" : ",") + Point(p.xUm, p.zUm);
  return out;
}

std::string Polygon(const std::vector<PlShapePoint>& points) {
  return ShapeDefinitionDocument(R"({"heightUm":3000,"kind":"polygonPrism","vertices":[)" +
                                 Points(points) + "]}");
}

const std::vector<PlShapePoint> kSquarePoints = {{0, 0}, {0, 10000}, {10000, 10000}, {10000, 0}};
const std::vector<PlShapePoint> kInnerPoints = {
    {2000, 2000}, {2000, 8000}, {8000, 8000}, {8000, 2000}};

const std::string kBox =
    ShapeDefinitionDocument(R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})");
const std::string kCylinder = ShapeDefinitionDocument(
    R"({"axisLengthUm":40000,"diameterUm":10000,"kind":"cylinder","mount":"laidDown"})");
const std::string kLPrism = ShapeDefinitionDocument(
    R"({"heightUm":5000,"kind":"lPrism","notchQuadrant":"negativeXPositiveZ","notchXSpanUm":2000,)"
    R"("notchZSpanUm":3000,"outsideXSpanUm":8000,"outsideZSpanUm":9000})");
const std::string kTriangle = ShapeDefinitionDocument(
    R"({"baseZSpanUm":5,"heightUm":7000,"kind":"triangularPrism","pointXDepthUm":4000,"pointZOffsetUm":-2})");
const std::string kWedge = ShapeDefinitionDocument(
    R"({"highHeightUm":6000,"kind":"wedge","lowHeightUm":2000,"xSpanUm":10000,"zSpanUm":8000})");
const std::string kFrustum = ShapeDefinitionDocument(
    R"({"axisLengthUm":30000,"kind":"frustum","largeDiameterUm":20000,"mount":"upright","smallDiameterUm":10000})");
const std::string kPolygon = Polygon(kSquarePoints);
const std::string kApex = ShapeDefinitionDocument(
    R"({"kind":"apexShape","levels":[{"vertices":[)" + Points(kSquarePoints) +
    R"(],"yUm":0},{"vertices":[)" + Points(kInnerPoints) + R"(],"yUm":5000}]})");
const std::string kSphere = ShapeDefinitionDocument(R"({"diameterUm":12000,"kind":"sphere"})");

// Each kind's document, the context of its member set and its integer labels
// (the prefix followed by the member name).
struct KindDocument {
  const std::string& doc;
  std::string context;
  std::string labelPrefix;
  std::vector<std::string> integers;
};
const KindDocument kKinds[] = {
    {kBox, "box shape", "box.", {"heightUm", "xSpanUm", "zSpanUm"}},
    {kCylinder, "cylinder shape", "cylinder.", {"axisLengthUm", "diameterUm"}},
    {kLPrism,
     "L-prism shape",
     "L-prism.",
     {"heightUm", "notchXSpanUm", "notchZSpanUm", "outsideXSpanUm", "outsideZSpanUm"}},
    {kTriangle,
     "triangular-prism shape",
     "triangle.",
     {"baseZSpanUm", "heightUm", "pointXDepthUm"}},
    {kWedge, "wedge shape", "wedge.", {"highHeightUm", "lowHeightUm", "xSpanUm", "zSpanUm"}},
    {kFrustum, "frustum shape", "frustum.", {"axisLengthUm", "largeDiameterUm", "smallDiameterUm"}},
    {kPolygon, "polygon-prism shape", "polygon.", {"heightUm"}},
    {kApex, "levels shape", "", {}},
    {kSphere, "sphere shape", "sphere.", {"diameterUm"}},
};

// `text` with its single occurrence of `from` replaced.
std::string Replace(const std::string& text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  if (at == std::string::npos) return text;
  return text.substr(0, at) + std::string(to) + text.substr(at + from.size());
}

std::string At(const std::string& text, std::string_view marker, std::size_t past = 0) {
  return " at byte " + std::to_string(text.find(marker) + past);
}

template <typename Fn>
void ExpectShapeFailure(Fn&& fn, Category category, std::string_view message) {
  try {
    fn();
  } catch (const PlShapeDefinitionError& error) {
    EXPECT_EQ(error.category, category);
    EXPECT_EQ(std::string_view(error.what()), message);
    return;
  }
  ADD_FAILURE() << "expected PlShapeDefinitionError " << message;
}

struct Case {
  std::string name;
  std::string bytes;
  Category category;
  std::string message;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectShapeFailure([&] { (void)ParsePlShapeDefinition(c.bytes); }, c.category, c.message);
  }
}

// Either bound of the range now and then, so the property test reaches both.
std::int64_t Dim(std::mt19937_64& rng, std::int64_t low = 1,
                 std::int64_t high = kPlShapeMaxDimensionUm) {
  const std::uint64_t pick = rng() % 8;
  if (pick == 0) return low;
  if (pick == 1) return high;
  return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
}

// A seated star-shaped polygon in either turning sense and from any start.
std::vector<PlShapePoint> RandomPolygon(std::mt19937_64& rng) {
  const std::size_t count = 3 + rng() % 40;
  const auto radius = static_cast<double>(Dim(rng, 1000, 50'000'000));
  std::vector<double> angles(count);
  for (double& a : angles) a = std::uniform_real_distribution<double>(0.0, 6.283185307179586)(rng);
  std::sort(angles.begin(), angles.end());
  std::vector<PlShapePoint> points;
  for (const double a : angles) {
    const double r = std::uniform_real_distribution<double>(0.5, 1.0)(rng) * radius;
    points.push_back({std::llround(r * std::cos(a)), std::llround(r * std::sin(a))});
  }
  PlShapePoint low = points[0];
  for (const PlShapePoint& p : points) low = {std::min(low.xUm, p.xUm), std::min(low.zUm, p.zUm)};
  for (PlShapePoint& p : points) p = {p.xUm - low.xUm, p.zUm - low.zUm};
  if (rng() % 2 == 0) std::reverse(points.begin(), points.end());
  std::rotate(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(rng() % count),
              points.end());
  return points;
}

// A random polygon prism, or a levels shape of equal levels of one normalised
// random polygon (which keeps every tie vertical).
PlShapeDefinition RandomDefinition(std::mt19937_64& rng, PlShapeKind kind) {
  PlShapeDefinition prism{.kind = K::polygonPrism, .heightUm = Dim(rng)};
  prism.vertices = RandomPolygon(rng);
  if (kind == K::polygonPrism) return prism;
  if (!PlShapeDefinitionCanonicalBytes(prism).empty()) ValidatePlShapeDefinition(prism);
  PlShapeDefinition levels{.kind = K::apexShape};
  std::int64_t y = 0;
  for (std::uint64_t k = 2 + rng() % 7; k > 0; --k, y += Dim(rng, 1, 10'000'000))
    levels.levels.push_back({prism.vertices, y});
  return levels;
}

}  // namespace

TEST(ShapeDefinition, ParsesTheCanonicalDocumentOfEveryKind) {
  // clang-format off
  const std::pair<std::string, PlShapeDefinition> cases[] = {
      {kBox, {.kind = K::box, .xSpanUm = 20000, .zSpanUm = 30000, .heightUm = 10000}},
      {kCylinder, {.kind = K::cylinder, .axisLengthUm = 40000, .diameterUm = 10000,
                   .mount = PlShapeMount::laidDown}},
      {kLPrism, {.kind = K::lPrism, .heightUm = 5000,
                 .notchQuadrant = PlNotchQuadrant::negativeXPositiveZ, .notchXSpanUm = 2000,
                 .notchZSpanUm = 3000, .outsideXSpanUm = 8000, .outsideZSpanUm = 9000}},
      {kTriangle, {.kind = K::triangularPrism, .heightUm = 7000, .baseZSpanUm = 5,
                   .pointXDepthUm = 4000, .pointZOffsetUm = -2}},
      {kWedge, {.kind = K::wedge, .xSpanUm = 10000, .zSpanUm = 8000, .highHeightUm = 6000,
                .lowHeightUm = 2000}},
      {kFrustum, {.kind = K::frustum, .axisLengthUm = 30000, .largeDiameterUm = 20000,
                  .smallDiameterUm = 10000}},
      {kPolygon, {.kind = K::polygonPrism, .heightUm = 3000, .vertices = kSquarePoints}},
      {kApex, {.kind = K::apexShape, .levels = {{kSquarePoints, 0}, {kInnerPoints, 5000}}}},
      {kSphere, {.kind = K::sphere, .diameterUm = 12000}},
  };
  // clang-format on
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(PlShapeKindName(expected.kind));
    const PlShapeDefinition parsed = ParsePlShapeDefinition(bytes);
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(parsed), bytes);
  }
}

// Every parse compares its input with the canonical bytes, so the fixed documents
// above already round-trip; random polygons add the normalisation of any order.
TEST(ShapeDefinition, RandomPolygonsRoundTripByteForByte) {
  std::mt19937_64 rng(20240611);
  for (const PlShapeKind kind : {K::polygonPrism, K::apexShape}) {
    SCOPED_TRACE(PlShapeKindName(kind));
    int accepted = 0;
    for (int round = 0; round < 100; ++round) {
      const PlShapeDefinition definition = RandomDefinition(rng, kind);
      const std::string canonical = PlShapeDefinitionCanonicalBytes(definition);
      // Random polygons may come out degenerate.
      if (canonical.empty()) continue;
      ++accepted;
      PlShapeDefinition normalised = definition;
      ValidatePlShapeDefinition(normalised);
      const PlShapeDefinition parsed = ParsePlShapeDefinition(canonical);
      EXPECT_EQ(parsed, normalised);
      EXPECT_EQ(PlShapeDefinitionCanonicalBytes(parsed), canonical);
    }
    EXPECT_GE(accepted, 70);
  }
}

TEST(ShapeDefinition, RejectsStructureAndSyntaxMutations) {
  const std::string shapeAt = std::to_string(kBox.find("\"shape\":") + 8);
  const char* kFixed = "shape definition schema, generator profile, or units is invalid";
  const char* kNotCanonical = "shape definition bytes are not canonical";
  RunCases({
      {"space", Replace(kBox, "\"kind\":", "\"kind\": "), Category::noncanonical, kNotCanonical},
      {"key order",
       Replace(kBox, R"("xSpanUm":20000,"zSpanUm":30000)", R"("zSpanUm":30000,"xSpanUm":20000)"),
       Category::noncanonical, kNotCanonical},
      // "-0" passes the integer rule; only the canonical comparison sees it.
      {"negative zero offset", Replace(kTriangle, ":-2}", ":-0}"), Category::noncanonical,
       kNotCanonical},
      {"leading zero", Replace(kBox, ":10000,", ":010000,"), Category::structure,
       "expected comma in JSON object" + At(kBox, ":10000,", 2)},
      {"shape array",
       Replace(kBox, R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})", "[]"),
       Category::structure, "JSON value must be an object at byte " + shapeAt},
      {"escaped key", Replace(kBox, "\"heightUm\"", "\"height\\u0055m\""), Category::structure,
       "member name must be a canonical ASCII string"},
      {"escaped kind", Replace(kBox, "\"box\"", "\"b\\u006fx\""), Category::structure,
       "shape.kind must be a canonical ASCII string"},
      {"escaped schema", Replace(kBox, "definition.v1", "definition.v\\u0031"), Category::structure,
       kFixed},
      {"units mm", Replace(kBox, "\"um\"", "\"mm\""), Category::structure, kFixed},
      {"profile v2", Replace(kBox, "generator.v1", "generator.v2"), Category::structure, kFixed},
      {"duplicate shape member",
       Replace(kBox, "{\"heightUm\":10000", "{\"heightUm\":1,\"heightUm\":10000"),
       Category::structure, "duplicate shape definition member: heightUm"},
      {"comment", Replace(kBox, "{\"generatorProfile\"", "{\"comment\":1,\"generatorProfile\""),
       Category::structure, "unknown shape definition member: comment"},
      {"no units", Replace(kBox, ",\"units\":\"um\"", ""), Category::structure,
       "shape definition members are incomplete"},
      {"no kind", Replace(kSphere, ",\"kind\":\"sphere\"", ""), Category::structure,
       "missing shape definition member: kind"},
      {"kind number", Replace(kSphere, "\"sphere\"", "8"), Category::structure,
       "shape.kind must be a string"},
      {"kind Box", Replace(kBox, "\"box\"", "\"Box\""), Category::structure,
       "shape kind is not supported"},
  });
}

TEST(ShapeDefinition, ChecksExactMemberSetsInEveryContext) {
  std::vector<Case> cases;
  for (const KindDocument& kind : kKinds) {
    // The shape object closes just before the fixed suffix.
    const std::size_t close = kind.doc.size() - std::string_view(",\"units\":\"um\"}").size() - 1;
    cases.push_back({kind.context, kind.doc.substr(0, close) + ",\"zz\":1" + kind.doc.substr(close),
                     Category::structure, "unknown " + kind.context + " member: zz"});
  }
  const std::string polygonPoint = Point(10000, 0);
  const std::string levelPoint = Point(8000, 2000);
  const std::vector<Case> others = {
      {"shape lacking", Replace(kSphere, "\"diameterUm\":12000,", ""), Category::structure,
       "sphere shape members are incomplete"},
      {"polygon point extra", Replace(kPolygon, polygonPoint, R"({"xUm":10000,"yUm":0,"zUm":0})"),
       Category::structure, "unknown polygon point member: yUm"},
      {"polygon point lacking", Replace(kPolygon, polygonPoint, R"({"xUm":10000})"),
       Category::structure, "polygon point members are incomplete"},
      {"level extra", Replace(kApex, ",\"yUm\":5000", ",\"yUm\":5000,\"zz\":1"),
       Category::structure, "unknown levels shape level member: zz"},
      {"level lacking", Replace(kApex, ",\"yUm\":5000", ""), Category::structure,
       "levels shape level members are incomplete"},
      {"level point extra", Replace(kApex, levelPoint, R"({"xUm":8000,"yUm":0,"zUm":2000})"),
       Category::structure, "unknown levels shape point member: yUm"},
  };
  cases.insert(cases.end(), others.begin(), others.end());
  RunCases(cases);
}

TEST(ShapeDefinition, ReadsIntegersFromTheirTextAndChecksRanges) {
  // Every field at both ends of the range and once against the integer rule.
  std::vector<Case> cases;
  for (const auto& [doc, context, prefix, members] : kKinds) {
    for (const std::string& member : members) {
      const std::string label = prefix + member;
      const std::size_t at = doc.find("\"" + member + "\":") + member.size() + 3;
      const std::size_t end = doc.find_first_of(",}", at);
      for (const char* value : {"0", "100000001", "1.0"}) {
        const bool integer = std::string_view(value) != "1.0";
        cases.push_back({label + "=" + value, doc.substr(0, at) + value + doc.substr(end),
                         Category::integer,
                         label + (integer ? " must be between 1 and 100000000 micrometres"
                                          : " must be an integer micrometre value")});
      }
    }
  }
  // The integer rule itself: within 64 bits a value reaches the range check, outside it does not.
  for (const char* value : {"-0", "-9223372036854775808", "9223372036854775807"}) {
    cases.push_back({value, Replace(kBox, ":30000}", std::string(":") + value + "}"),
                     Category::integer, "box.zSpanUm must be between 1 and 100000000 micrometres"});
  }
  for (const char* value :
       {"1e3", "9223372036854775808", "-9223372036854775809", "null", "\"1\""}) {
    cases.push_back({value, Replace(kBox, ":30000}", std::string(":") + value + "}"),
                     Category::integer, "box.zSpanUm must be an integer micrometre value"});
  }
  const std::pair<std::string, std::string> otherLabels[] = {
      {Replace(kTriangle, ":-2}", ":-2.5}"), "triangle.pointZOffsetUm"},
      {Replace(kPolygon, R"({"xUm":10000,"zUm":0})", R"({"xUm":1E4,"zUm":0})"), "polygon.xUm"},
      {Replace(kPolygon, R"({"xUm":10000,"zUm":0})", R"({"xUm":10000,"zUm":0.5})"), "polygon.zUm"},
      {Replace(kApex, R"("yUm":5000)", R"("yUm":5000.0)"), "apexShape.levels[1].yUm"},
      {Replace(kApex, R"({"xUm":8000,"zUm":2000})", R"({"xUm":"8000","zUm":2000})"),
       "apexShape.levels[1].xUm"},
      {Replace(kApex, R"({"xUm":0,"zUm":0})", R"({"xUm":0,"zUm":true})"),
       "apexShape.levels[0].zUm"},
  };
  for (const auto& [bytes, label] : otherLabels)
    cases.push_back(
        {label, bytes, Category::integer, label + " must be an integer micrometre value"});
  RunCases(cases);

  const std::string smallest =
      ShapeDefinitionDocument(R"({"heightUm":1,"kind":"box","xSpanUm":1,"zSpanUm":1})");
  const std::string largest = ShapeDefinitionDocument(
      R"({"heightUm":100000000,"kind":"box","xSpanUm":100000000,"zSpanUm":100000000})");
  EXPECT_EQ(ParsePlShapeDefinition(smallest).xSpanUm, 1);
  EXPECT_EQ(ParsePlShapeDefinition(largest).zSpanUm, kPlShapeMaxDimensionUm);
}

TEST(ShapeDefinition, AppliesMountNotchAndDimensionRules) {
  for (int offset = -2; offset <= 2; ++offset) {
    const std::string bytes = Replace(kTriangle, ":-2}", ":" + std::to_string(offset) + "}");
    EXPECT_EQ(ParsePlShapeDefinition(bytes).pointZOffsetUm, offset);
  }
  RunCases({
      {"mount sideways", Replace(kCylinder, "laidDown", "sideways"), Category::mount,
       "shape mount must be upright or laidDown"},
      {"cylinder mount escaped", Replace(kCylinder, "\"laidDown\"", "\"laid\\u0044own\""),
       Category::structure, "cylinder.mount must be a canonical ASCII string"},
      {"frustum mount number", Replace(kFrustum, "\"upright\"", "1"), Category::structure,
       "frustum.mount must be a string"},
      {"quadrant word", Replace(kLPrism, "negativeXPositiveZ", "northEast"), Category::notch,
       "L-prism notch quadrant is not supported"},
      {"quadrant tab", Replace(kLPrism, "negativeXPositiveZ", "negativeX\\tPositiveZ"),
       Category::structure, "L-prism.notchQuadrant must be a canonical ASCII string"},
      {"notch x equal", Replace(kLPrism, "\"notchXSpanUm\":2000", "\"notchXSpanUm\":8000"),
       Category::notch, "L-prism notch spans must be smaller than outside spans"},
      {"notch z larger", Replace(kLPrism, "\"notchZSpanUm\":3000", "\"notchZSpanUm\":9001"),
       Category::notch, "L-prism notch spans must be smaller than outside spans"},
      {"offset 3", Replace(kTriangle, ":-2}", ":3}"), Category::integer,
       "triangle point offset must stay within the broad base span"},
      {"offset -3", Replace(kTriangle, ":-2}", ":-3}"), Category::integer,
       "triangle point offset must stay within the broad base span"},
      {"wedge equal", Replace(kWedge, ":2000", ":6000"), Category::integer,
       "wedge high height must exceed low height"},
      {"frustum equal", Replace(kFrustum, ":10000", ":20000"), Category::integer,
       "frustum large diameter must exceed small diameter"},
  });
}

TEST(ShapeDefinition, AppliesPolygonRulesExactly) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t k100m = kPlShapeMaxDimensionUm;
  const std::vector<std::vector<PlShapePoint>> accepted = {
      {{0, 0}, {0, k100m}, {k100m, k100m}, {k100m, 0}},
      // One unit of doubled area at the 100 m scale, where a double product would round to zero.
      {{0, 0}, {k100m, k100m - 1}, {k100m - 1, k100m - 2}},
  };
  for (const std::vector<PlShapePoint>& points : accepted)
    EXPECT_EQ(ParsePlShapeDefinition(Polygon(points)).vertices, points);

  std::vector<PlShapePoint> many;
  for (std::int64_t i = 0; i < 257; ++i) many.push_back({i, i * i});
  const std::string notArray =
      ShapeDefinitionDocument(R"({"heightUm":3000,"kind":"polygonPrism","vertices":{}})");
  const std::string numbers =
      ShapeDefinitionDocument(R"({"heightUm":3000,"kind":"polygonPrism","vertices":[1,2,3]})");
  const char* crossing = "polygon has crossing, touching, or overlapping non-neighbour edges";
  RunCases({
      {"not array", notArray, Category::polygon, "polygon.vertices must be an array"},
      {"number points", numbers, Category::structure,
       "JSON value must be an object" + At(numbers, "[1", 1)},
      {"two", Polygon({{0, 0}, {0, 10}}), Category::polygon,
       "polygon must contain 3..256 vertices"},
      {"257", Polygon(many), Category::polygon, "polygon must contain 3..256 vertices"},
      {"closing", Polygon({{0, 0}, {0, 10}, {10, 10}, {0, 0}}), Category::polygon,
       "polygon must not repeat its first vertex as a closing vertex"},
      {"repeated", Polygon({{0, 0}, {0, 10}, {0, 0}, {10, 10}}), Category::polygon,
       "polygon contains a repeated vertex"},
      {"flat x", Polygon({{0, 0}, {0, 5}, {0, 10}}), Category::polygon,
       "polygon X span must be positive"},
      {"flat z", Polygon({{0, 0}, {5, 0}, {10, 0}}), Category::polygon,
       "polygon Z span must be positive"},
      {"wide x", Polygon({{0, 0}, {0, 10}, {k100m + 1, 0}}), Category::polygon,
       "polygon X span exceeds 100 m"},
      {"wide z", Polygon({{0, 0}, {0, k100m + 1}, {10, 0}}), Category::polygon,
       "polygon Z span exceeds 100 m"},
      {"full range x", Polygon({{kMin, 0}, {0, 10}, {kMax, 0}}), Category::polygon,
       "polygon X span exceeds 100 m"},
      {"smallest z 5", Polygon({{0, 5}, {0, 15}, {10, 5}}), Category::polygon,
       "polygon shape is not seated"},
      {"smallest x 5", Polygon({{5, 0}, {5, 10}, {15, 0}}), Category::polygon,
       "polygon shape is not seated"},
      {"bow tie", Polygon({{0, 0}, {10, 10}, {10, 0}, {0, 10}}), Category::polygon, crossing},
      {"collinear overlap", Polygon({{0, 0}, {1, 1}, {3, 3}, {2, 2}}), Category::polygon, crossing},
      {"collinear at 100 m", Polygon({{0, 0}, {k100m, k100m}, {k100m / 2, k100m / 2}}),
       Category::polygon, "polygon has zero area"},
      {"other turning sense", Polygon({{0, 0}, {10000, 0}, {10000, 10000}, {0, 10000}}),
       Category::noncanonical, "shape definition bytes are not canonical"},
      {"other start", Polygon({{0, 10000}, {10000, 10000}, {10000, 0}, {0, 0}}),
       Category::noncanonical, "shape definition bytes are not canonical"},
  });
}

TEST(ShapeDefinition, MapsLevelsFailuresToTheirCategories) {
  const std::string oneLevel = ShapeDefinitionDocument(
      R"({"kind":"apexShape","levels":[{"vertices":[)" + Points(kSquarePoints) + R"(],"yUm":0}]})");
  RunCases({
      {"levels object", ShapeDefinitionDocument(R"({"kind":"apexShape","levels":{}})"),
       Category::levels, "apexShape.levels must be an array"},
      {"vertices null",
       Replace(kApex, "\"vertices\":[" + Points(kInnerPoints) + "]", "\"vertices\":null"),
       Category::polygon, "apexShape.levels[1].vertices must be an array"},
      {"one level", oneLevel, Category::levels, "levels shape must contain 2..8 levels"},
      {"too high", Replace(kApex, ":5000}", ":100000001}"), Category::integer,
       "levels shape height must be between 1 and 100000000 micrometres"},
      {"repeated apex", Replace(kApex, Point(8000, 8000), Point(2000, 2000)), Category::polygon,
       "level 1: polygon contains a repeated vertex"},
  });
}

TEST(ShapeDefinition, RefusesDefinitionsAboveOneMebibyte) {
  std::string padded = kBox + std::string(kPlShapeDefinitionMaxBytes - kBox.size(), ' ');
  RunCases({{"1 MiB", padded, Category::noncanonical, "shape definition bytes are not canonical"},
            {"1 MiB + 1", padded + " ", Category::size, "shape definition exceeds 1 MiB"}});
}

TEST(ShapeDefinition, RefusesBuiltDefinitionsOutsideTheEnumerations) {
  PlShapeDefinition cylinder = ParsePlShapeDefinition(kCylinder);
  cylinder.mount = static_cast<PlShapeMount>(2);
  PlShapeDefinition lPrism = ParsePlShapeDefinition(kLPrism);
  lPrism.notchQuadrant = static_cast<PlNotchQuadrant>(4);
  PlShapeDefinition unknown = ParsePlShapeDefinition(kSphere);
  unknown.kind = static_cast<PlShapeKind>(9);
  const std::pair<PlShapeDefinition, Case> cases[] = {
      {cylinder, {"mount", "", Category::mount, "shape mount is not supported"}},
      {lPrism, {"quadrant", "", Category::notch, "L-prism notch quadrant is not supported"}},
      {unknown, {"kind", "", Category::structure, "shape kind is not supported"}},
  };
  for (auto [definition, c] : cases) {
    SCOPED_TRACE(c.name);
    ExpectShapeFailure([&] { ValidatePlShapeDefinition(definition); }, c.category, c.message);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(definition), "");
    EXPECT_EQ(PlShapeDefinitionSourceHash(definition), "");
    EXPECT_EQ(PlShapeDefinitionId(definition), "");
  }
  EXPECT_EQ(PlShapeKindName(unknown.kind), "unknown");
  EXPECT_EQ(PlShapeMountName(cylinder.mount), "unknown");
  EXPECT_EQ(PlNotchQuadrantName(lPrism.notchQuadrant), "unknown");

  const std::pair<Category, const char*> codes[] = {
      {Category::structure, "invalid_shape_definition"},
      {Category::integer, "invalid_shape_definition"},
      {Category::mount, "invalid_shape_definition"},
      {Category::notch, "invalid_shape_definition"},
      {Category::levels, "invalid_shape_levels"},
      {Category::polygon, "invalid_shape_polygon"},
      {Category::size, "input_too_large"},
      {Category::noncanonical, "noncanonical_shape_definition"},
  };
  for (const auto& [category, code] : codes) EXPECT_EQ(PlShapeDefinitionEventCode(category), code);
}

TEST(ShapeDefinition, DerivesBothIdentitiesFromTheCanonicalBytes) {
  for (const std::string& bytes : {kBox, kPolygon, kApex}) {
    PlShapeDefinition definition = ParsePlShapeDefinition(bytes);
    // Identities follow the normalised polygon, not the order it was built in.
    std::reverse(definition.vertices.begin(), definition.vertices.end());
    Sha256 hasher;
    hasher.Update(std::string("pelto.shape.definition-id.v1") + '\0');
    std::string length;
    for (int i = 0; i < 8; ++i)
      length.push_back(static_cast<char>((bytes.size() >> (8 * i)) & 0xFF));
    hasher.Update(length);
    hasher.Update(bytes);
    EXPECT_EQ(PlShapeDefinitionSourceHash(definition), Sha256Identity(bytes));
    EXPECT_EQ(PlShapeDefinitionId(definition), Sha256IdentityText(hasher.Finish()));
  }
}
