#include "generated/shape_definition.h"

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

namespace {

using Category = PlShapeDefinitionCategory;

std::string Doc(std::string_view shape) {
  return "{\"generatorProfile\":\"pelto.shape.generator.v1\",\"schema\":\"pelto.shape.definition."
         "v1\",\"shape\":" +
         std::string(shape) + ",\"units\":\"um\"}";
}

std::string Point(std::int64_t x, std::int64_t z) {
  return "{\"xUm\":" + std::to_string(x) + ",\"zUm\":" + std::to_string(z) + "}";
}

std::string Points(const std::vector<PlShapePoint>& points) {
  std::string out;
  for (const PlShapePoint& p : points) out += (out.empty() ? "" : ",") + Point(p.xUm, p.zUm);
  return out;
}

std::string Polygon(const std::vector<PlShapePoint>& points) {
  return Doc(R"({"heightUm":3000,"kind":"polygonPrism","vertices":[)" + Points(points) + "]}");
}

const std::vector<PlShapePoint> kSquarePoints = {{0, 0}, {0, 10000}, {10000, 10000}, {10000, 0}};
const std::vector<PlShapePoint> kInnerPoints = {
    {2000, 2000}, {2000, 8000}, {8000, 8000}, {8000, 2000}};

const std::string kBox = Doc(R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})");
const std::string kCylinder =
    Doc(R"({"axisLengthUm":40000,"diameterUm":10000,"kind":"cylinder","mount":"laidDown"})");
const std::string kLPrism = Doc(
    R"({"heightUm":5000,"kind":"lPrism","notchQuadrant":"negativeXPositiveZ","notchXSpanUm":2000,)"
    R"("notchZSpanUm":3000,"outsideXSpanUm":8000,"outsideZSpanUm":9000})");
const std::string kTriangle = Doc(
    R"({"baseZSpanUm":5,"heightUm":7000,"kind":"triangularPrism","pointXDepthUm":4000,"pointZOffsetUm":-2})");
const std::string kWedge = Doc(
    R"({"highHeightUm":6000,"kind":"wedge","lowHeightUm":2000,"xSpanUm":10000,"zSpanUm":8000})");
const std::string kFrustum = Doc(
    R"({"axisLengthUm":30000,"kind":"frustum","largeDiameterUm":20000,"mount":"upright","smallDiameterUm":10000})");
const std::string kPolygon = Polygon(kSquarePoints);
const std::string kApex =
    Doc(R"({"kind":"apexShape","levels":[{"vertices":[)" + Points(kSquarePoints) +
        R"(],"yUm":0},{"vertices":[)" + Points(kInnerPoints) + R"(],"yUm":5000}]})");
const std::string kSphere = Doc(R"({"diameterUm":12000,"kind":"sphere"})");

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

void ExpectShapeError(std::string_view bytes, Category category, std::string_view message) {
  ExpectShapeFailure([&] { (void)ParsePlShapeDefinition(bytes); }, category, message);
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
    ExpectShapeError(c.bytes, c.category, c.message);
  }
}

PlShapeDefinition Normalised(PlShapeDefinition definition) {
  ValidatePlShapeDefinition(definition);
  return definition;
}

std::int64_t Dim(std::mt19937_64& rng, std::int64_t low = 1,
                 std::int64_t high = kPlShapeMaxDimensionUm) {
  switch (rng() % 8) {
    case 0:
      return low;
    case 1:
      return high;
    default:
      return std::uniform_int_distribution<std::int64_t>(low, high)(rng);
  }
}

// A star-shaped polygon around a random centre, in random order and start.
// A random star-shaped polygon in either turning sense and from any start,
// moved so that it is seated (smallest x and z are 0).
std::vector<PlShapePoint> RandomPolygon(std::mt19937_64& rng, std::size_t count,
                                        std::int64_t radius) {
  std::vector<double> angles(count);
  for (double& a : angles) a = std::uniform_real_distribution<double>(0.0, 6.283185307179586)(rng);
  std::sort(angles.begin(), angles.end());
  std::vector<PlShapePoint> points;
  for (const double a : angles) {
    const double r =
        std::uniform_real_distribution<double>(0.5, 1.0)(rng) * static_cast<double>(radius);
    points.push_back({std::llround(r * std::cos(a)), std::llround(r * std::sin(a))});
  }
  std::int64_t minX = points[0].xUm;
  std::int64_t minZ = points[0].zUm;
  for (const PlShapePoint& p : points) minX = std::min(minX, p.xUm), minZ = std::min(minZ, p.zUm);
  for (PlShapePoint& p : points) p.xUm -= minX, p.zUm -= minZ;
  if (rng() % 2 == 0) std::reverse(points.begin(), points.end());
  std::rotate(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(rng() % count),
              points.end());
  return points;
}

// Seated levels shrinking towards the centre of level 0, so every tie runs along its own ray.
std::vector<PlShapeLevel> RandomLevels(std::mt19937_64& rng) {
  PlShapeDefinition base{};
  base.kind = PlShapeKind::polygonPrism;
  base.heightUm = 1;
  std::vector<PlShapePoint> regular;
  const std::size_t count = 3 + rng() % 10;
  const double radius = static_cast<double>(Dim(rng, 1'000'000, 40'000'000));
  for (std::size_t j = 0; j < count; ++j) {
    const double a = 6.283185307179586 * static_cast<double>(j) / static_cast<double>(count);
    regular.push_back({std::llround(radius * std::cos(a)), std::llround(radius * std::sin(a))});
  }
  // Normalised as a seated polygon, then moved back around the origin.
  std::int64_t minX = regular[0].xUm;
  std::int64_t lowZ = regular[0].zUm;
  for (const PlShapePoint& p : regular) minX = std::min(minX, p.xUm), lowZ = std::min(lowZ, p.zUm);
  for (const PlShapePoint& p : regular) base.vertices.push_back({p.xUm - minX, p.zUm - lowZ});
  ValidatePlShapeDefinition(base);
  for (PlShapePoint& p : base.vertices) p.xUm += minX, p.zUm += lowZ;
  std::int64_t minZ = base.vertices[0].zUm;
  for (const PlShapePoint& p : base.vertices) minZ = std::min(minZ, p.zUm);
  // Moving the smallest corner to the origin moves the centre to (cx, cz).
  const std::int64_t cx = -base.vertices[0].xUm;
  const std::int64_t cz = -minZ;
  std::vector<PlShapeLevel> levels(2 + rng() % 7);
  std::int64_t y = 0;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const std::int64_t keep = 100 - static_cast<std::int64_t>(k) * 10;
    for (const PlShapePoint& p : base.vertices)
      levels[k].vertices.push_back({cx + p.xUm * keep / 100, cz + p.zUm * keep / 100});
    levels[k].yUm = y;
    y += Dim(rng, 1, 10'000'000);
  }
  return levels;
}

PlShapeDefinition RandomDefinition(std::mt19937_64& rng, PlShapeKind kind) {
  PlShapeDefinition d{};
  d.kind = kind;
  const auto mount = static_cast<PlShapeMount>(static_cast<std::uint32_t>(rng() % 2));
  switch (kind) {
    case PlShapeKind::box:
      d.heightUm = Dim(rng), d.xSpanUm = Dim(rng), d.zSpanUm = Dim(rng);
      break;
    case PlShapeKind::cylinder:
      d.axisLengthUm = Dim(rng), d.diameterUm = Dim(rng), d.mount = mount;
      break;
    case PlShapeKind::lPrism:
      d.heightUm = Dim(rng), d.outsideXSpanUm = Dim(rng, 2), d.outsideZSpanUm = Dim(rng, 2);
      d.notchXSpanUm = Dim(rng, 1, d.outsideXSpanUm - 1);
      d.notchZSpanUm = Dim(rng, 1, d.outsideZSpanUm - 1);
      d.notchQuadrant = static_cast<PlNotchQuadrant>(static_cast<std::uint32_t>(rng() % 4));
      break;
    case PlShapeKind::triangularPrism:
      d.baseZSpanUm = Dim(rng), d.heightUm = Dim(rng), d.pointXDepthUm = Dim(rng);
      d.pointZOffsetUm = Dim(rng, -(d.baseZSpanUm / 2), d.baseZSpanUm / 2);
      break;
    case PlShapeKind::wedge:
      d.highHeightUm = Dim(rng, 2), d.lowHeightUm = Dim(rng, 1, d.highHeightUm - 1);
      d.xSpanUm = Dim(rng), d.zSpanUm = Dim(rng);
      break;
    case PlShapeKind::frustum:
      d.axisLengthUm = Dim(rng), d.largeDiameterUm = Dim(rng, 2), d.mount = mount;
      d.smallDiameterUm = Dim(rng, 1, d.largeDiameterUm - 1);
      break;
    case PlShapeKind::polygonPrism:
      d.heightUm = Dim(rng);
      d.vertices = RandomPolygon(rng, 3 + rng() % 40, Dim(rng, 1000, 50'000'000));
      break;
    case PlShapeKind::apexShape:
      d.levels = RandomLevels(rng);
      break;
    case PlShapeKind::sphere:
      d.diameterUm = Dim(rng);
      break;
  }
  return d;
}

}  // namespace

TEST(ShapeDefinition, ParsesTheCanonicalDocumentOfEveryKind) {
  const std::pair<std::string, PlShapeDefinition> cases[] = {
      {kBox, {.kind = PlShapeKind::box, .xSpanUm = 20000, .zSpanUm = 30000, .heightUm = 10000}},
      {kCylinder,
       {.kind = PlShapeKind::cylinder,
        .axisLengthUm = 40000,
        .diameterUm = 10000,
        .mount = PlShapeMount::laidDown}},
      {kLPrism,
       {.kind = PlShapeKind::lPrism,
        .heightUm = 5000,
        .notchQuadrant = PlNotchQuadrant::negativeXPositiveZ,
        .notchXSpanUm = 2000,
        .notchZSpanUm = 3000,
        .outsideXSpanUm = 8000,
        .outsideZSpanUm = 9000}},
      {kTriangle,
       {.kind = PlShapeKind::triangularPrism,
        .heightUm = 7000,
        .baseZSpanUm = 5,
        .pointXDepthUm = 4000,
        .pointZOffsetUm = -2}},
      {kWedge,
       {.kind = PlShapeKind::wedge,
        .xSpanUm = 10000,
        .zSpanUm = 8000,
        .highHeightUm = 6000,
        .lowHeightUm = 2000}},
      {kFrustum,
       {.kind = PlShapeKind::frustum,
        .axisLengthUm = 30000,
        .largeDiameterUm = 20000,
        .smallDiameterUm = 10000}},
      {kPolygon, {.kind = PlShapeKind::polygonPrism, .heightUm = 3000, .vertices = kSquarePoints}},
      {kApex,
       {.kind = PlShapeKind::apexShape, .levels = {{kSquarePoints, 0}, {kInnerPoints, 5000}}}},
      {kSphere, {.kind = PlShapeKind::sphere, .diameterUm = 12000}},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(PlShapeKindName(expected.kind));
    const PlShapeDefinition parsed = ParsePlShapeDefinition(bytes);
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(parsed), bytes);
  }
}

TEST(ShapeDefinition, RandomValidDefinitionsRoundTripByteForByte) {
  std::mt19937_64 rng(20240611);
  for (std::uint32_t kindIndex = 0; kindIndex < 9; ++kindIndex) {
    const auto kind = static_cast<PlShapeKind>(kindIndex);
    SCOPED_TRACE(PlShapeKindName(kind));
    int accepted = 0;
    for (int round = 0; round < 60; ++round) {
      const PlShapeDefinition definition = RandomDefinition(rng, kind);
      const std::string canonical = PlShapeDefinitionCanonicalBytes(definition);
      // Random polygons and levels may come out degenerate; the others never do.
      if (canonical.empty() &&
          (kind == PlShapeKind::polygonPrism || kind == PlShapeKind::apexShape))
        continue;
      ASSERT_FALSE(canonical.empty()) << round;
      ++accepted;
      const PlShapeDefinition parsed = ParsePlShapeDefinition(canonical);
      EXPECT_EQ(parsed, Normalised(definition));
      EXPECT_EQ(PlShapeDefinitionCanonicalBytes(parsed), canonical);
    }
    EXPECT_GE(accepted, 40);
  }
}

TEST(ShapeDefinition, RejectsStructureAndSyntaxMutations) {
  const std::string shapeAt = std::to_string(kBox.find("\"shape\":") + 8);
  RunCases({
      {"space", Replace(kBox, "\"kind\":", "\"kind\": "), Category::noncanonical,
       "shape definition bytes are not canonical"},
      {"line feed", kBox + "\n", Category::noncanonical,
       "shape definition bytes are not canonical"},
      {"key order",
       Replace(kBox, R"("xSpanUm":20000,"zSpanUm":30000)", R"("zSpanUm":30000,"xSpanUm":20000)"),
       Category::noncanonical, "shape definition bytes are not canonical"},
      {"negative zero offset", Replace(kTriangle, ":-2}", ":-0}"), Category::noncanonical,
       "shape definition bytes are not canonical"},
      {"not an object", "[1]", Category::structure, "frame must contain one JSON object at byte 0"},
      {"truncated", "{\"a\":1", Category::structure, "unterminated JSON object at byte 6"},
      {"leading zero", Replace(kBox, ":10000,", ":010000,"), Category::structure,
       "expected comma in JSON object" + At(kBox, ":10000,", 2)},
      {"shape array",
       Replace(kBox, R"({"heightUm":10000,"kind":"box","xSpanUm":20000,"zSpanUm":30000})", "[]"),
       Category::structure, "JSON value must be an object at byte " + shapeAt},
      {"escaped key", Replace(kBox, "\"heightUm\"", "\"height\\u0055m\""), Category::structure,
       "member name must be a canonical ASCII string"},
      {"non-ASCII key", Replace(kBox, "\"heightUm\"", "\"h\xC3\xA9ightUm\""), Category::structure,
       "member name must be a canonical ASCII string"},
      {"escaped kind", Replace(kBox, "\"box\"", "\"b\\u006fx\""), Category::structure,
       "shape.kind must be a canonical ASCII string"},
      {"escaped mount", Replace(kCylinder, "\"laidDown\"", "\"laid\\u0044own\""),
       Category::structure, "cylinder.mount must be a canonical ASCII string"},
      {"escaped schema", Replace(kBox, "definition.v1", "definition.v\\u0031"), Category::structure,
       "shape definition schema, generator profile, or units is invalid"},
      {"units mm", Replace(kBox, "\"um\"", "\"mm\""), Category::structure,
       "shape definition schema, generator profile, or units is invalid"},
      {"schema number", Replace(kBox, "\"pelto.shape.definition.v1\"", "1"), Category::structure,
       "shape definition schema, generator profile, or units is invalid"},
      {"profile v2", Replace(kBox, "generator.v1", "generator.v2"), Category::structure,
       "shape definition schema, generator profile, or units is invalid"},
      {"duplicate top", Replace(kBox, ",\"units\"", ",\"units\":\"um\",\"units\""),
       Category::structure, "duplicate shape definition member: units"},
      {"duplicate shape",
       Replace(kBox, "{\"heightUm\":10000", "{\"heightUm\":1,\"heightUm\":10000"),
       Category::structure, "duplicate shape definition member: heightUm"},
      {"comment", Replace(kBox, "{\"generatorProfile\"", "{\"comment\":1,\"generatorProfile\""),
       Category::structure, "unknown shape definition member: comment"},
      {"empty", "{}", Category::structure, "shape definition members are incomplete"},
      {"no units", Replace(kBox, ",\"units\":\"um\"", ""), Category::structure,
       "shape definition members are incomplete"},
      {"no kind", Replace(kSphere, ",\"kind\":\"sphere\"", ""), Category::structure,
       "missing shape definition member: kind"},
      {"kind number", Replace(kSphere, "\"sphere\"", "8"), Category::structure,
       "shape.kind must be a string"},
      {"kind cube", Replace(kBox, "\"box\"", "\"cube\""), Category::structure,
       "shape kind is not supported"},
      {"kind Box", Replace(kBox, "\"box\"", "\"Box\""), Category::structure,
       "shape kind is not supported"},
  });
}

TEST(ShapeDefinition, ChecksExactMemberSetsInEveryContext) {
  struct Kind {
    const std::string& doc;
    std::string context;
    std::string lacking;  // the document without its last shape member
  };
  const Kind kinds[] = {
      {kBox, "box shape", Replace(kBox, ",\"zSpanUm\":30000", "")},
      {kCylinder, "cylinder shape", Replace(kCylinder, ",\"mount\":\"laidDown\"", "")},
      {kLPrism, "L-prism shape", Replace(kLPrism, ",\"outsideZSpanUm\":9000", "")},
      {kTriangle, "triangular-prism shape", Replace(kTriangle, ",\"pointZOffsetUm\":-2", "")},
      {kWedge, "wedge shape", Replace(kWedge, ",\"zSpanUm\":8000", "")},
      {kFrustum, "frustum shape", Replace(kFrustum, ",\"smallDiameterUm\":10000", "")},
      {kPolygon, "polygon-prism shape", Doc(R"({"heightUm":3000,"kind":"polygonPrism"})")},
      {kApex, "levels shape", Doc(R"({"kind":"apexShape"})")},
      {kSphere, "sphere shape", Replace(kSphere, "\"diameterUm\":12000,", "")},
  };
  std::vector<Case> cases;
  for (const Kind& kind : kinds) {
    // The shape object closes just before the fixed suffix.
    const std::size_t close = kind.doc.size() - std::string_view(",\"units\":\"um\"}").size() - 1;
    cases.push_back({kind.context + " extra",
                     kind.doc.substr(0, close) + ",\"zz\":1" + kind.doc.substr(close),
                     Category::structure, "unknown " + kind.context + " member: zz"});
    cases.push_back({kind.context + " lacking", kind.lacking, Category::structure,
                     kind.context + " members are incomplete"});
  }
  const std::string polygonPoint = Point(10000, 0);
  const std::string levelPoint = Point(8000, 2000);
  cases.push_back({"polygon point extra",
                   Replace(kPolygon, polygonPoint, R"({"xUm":10000,"yUm":0,"zUm":0})"),
                   Category::structure, "unknown polygon point member: yUm"});
  cases.push_back({"polygon point lacking", Replace(kPolygon, polygonPoint, R"({"xUm":10000})"),
                   Category::structure, "polygon point members are incomplete"});
  cases.push_back({"level extra", Replace(kApex, ",\"yUm\":5000", ",\"yUm\":5000,\"zz\":1"),
                   Category::structure, "unknown levels shape level member: zz"});
  cases.push_back({"level lacking", Replace(kApex, ",\"yUm\":5000", ""), Category::structure,
                   "levels shape level members are incomplete"});
  cases.push_back({"level point extra",
                   Replace(kApex, levelPoint, R"({"xUm":8000,"yUm":0,"zUm":2000})"),
                   Category::structure, "unknown levels shape point member: yUm"});
  cases.push_back({"level point lacking", Replace(kApex, levelPoint, R"({"zUm":2000})"),
                   Category::structure, "levels shape point members are incomplete"});
  RunCases(cases);
}

TEST(ShapeDefinition, ReadsIntegersFromTheirTextAndChecksRanges) {
  struct Field {
    const std::string& doc;
    std::string member;  // "name":value as it stands in the document
    std::string label;
  };
  const Field fields[] = {
      {kBox, R"("heightUm":10000)", "box.heightUm"},
      {kBox, R"("xSpanUm":20000)", "box.xSpanUm"},
      {kBox, R"("zSpanUm":30000)", "box.zSpanUm"},
      {kCylinder, R"("axisLengthUm":40000)", "cylinder.axisLengthUm"},
      {kCylinder, R"("diameterUm":10000)", "cylinder.diameterUm"},
      {kLPrism, R"("heightUm":5000)", "L-prism.heightUm"},
      {kLPrism, R"("notchXSpanUm":2000)", "L-prism.notchXSpanUm"},
      {kLPrism, R"("notchZSpanUm":3000)", "L-prism.notchZSpanUm"},
      {kLPrism, R"("outsideXSpanUm":8000)", "L-prism.outsideXSpanUm"},
      {kLPrism, R"("outsideZSpanUm":9000)", "L-prism.outsideZSpanUm"},
      {kTriangle, R"("baseZSpanUm":5)", "triangle.baseZSpanUm"},
      {kTriangle, R"("heightUm":7000)", "triangle.heightUm"},
      {kTriangle, R"("pointXDepthUm":4000)", "triangle.pointXDepthUm"},
      {kWedge, R"("highHeightUm":6000)", "wedge.highHeightUm"},
      {kWedge, R"("lowHeightUm":2000)", "wedge.lowHeightUm"},
      {kWedge, R"("xSpanUm":10000)", "wedge.xSpanUm"},
      {kWedge, R"("zSpanUm":8000)", "wedge.zSpanUm"},
      {kFrustum, R"("axisLengthUm":30000)", "frustum.axisLengthUm"},
      {kFrustum, R"("largeDiameterUm":20000)", "frustum.largeDiameterUm"},
      {kFrustum, R"("smallDiameterUm":10000)", "frustum.smallDiameterUm"},
      {kPolygon, R"("heightUm":3000)", "polygon.heightUm"},
      {kSphere, R"("diameterUm":12000)", "sphere.diameterUm"},
  };
  // Values that pass the integer rule fail the range; the others fail the integer rule.
  const std::pair<const char*, bool> values[] = {
      {"0", true},      {"100000001", true}, {"-0", true},    {"-9223372036854775808", true},
      {"1.0", false},   {"1e3", false},      {"null", false}, {"9223372036854775808", false},
      {"\"1\"", false},
  };
  std::vector<Case> cases;
  for (const Field& field : fields) {
    const std::string name = field.member.substr(0, field.member.find(':') + 1);
    for (const auto& [value, isInteger] : values) {
      const std::string message =
          field.label + (isInteger ? " must be between 1 and 100000000 micrometres"
                                   : " must be an integer micrometre value");
      cases.push_back({field.label + "=" + value, Replace(field.doc, field.member, name + value),
                       Category::integer, message});
    }
  }
  const std::pair<std::string, std::string> integerOnly[] = {
      {Replace(kTriangle, ":-2}", ":-2.5}"), "triangle.pointZOffsetUm"},
      {Replace(kPolygon, R"({"xUm":10000,"zUm":0})", R"({"xUm":1E4,"zUm":0})"), "polygon.xUm"},
      {Replace(kPolygon, R"({"xUm":10000,"zUm":0})", R"({"xUm":10000,"zUm":-9223372036854775809})"),
       "polygon.zUm"},
      {Replace(kApex, R"("yUm":5000)", R"("yUm":5000.0)"), "apexShape.levels[1].yUm"},
      {Replace(kApex, R"({"xUm":8000,"zUm":2000})", R"({"xUm":"8000","zUm":2000})"),
       "apexShape.levels[1].xUm"},
      {Replace(kApex, R"({"xUm":0,"zUm":0})", R"({"xUm":0,"zUm":true})"),
       "apexShape.levels[0].zUm"},
  };
  for (const auto& [bytes, label] : integerOnly)
    cases.push_back(
        {label, bytes, Category::integer, label + " must be an integer micrometre value"});
  RunCases(cases);

  const std::string smallest = Doc(R"({"heightUm":1,"kind":"box","xSpanUm":1,"zSpanUm":1})");
  const std::string largest =
      Doc(R"({"heightUm":100000000,"kind":"box","xSpanUm":100000000,"zSpanUm":100000000})");
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
      {"mount Upright", Replace(kFrustum, "upright", "Upright"), Category::mount,
       "shape mount must be upright or laidDown"},
      {"mount number", Replace(kCylinder, "\"laidDown\"", "1"), Category::structure,
       "cylinder.mount must be a string"},
      {"quadrant word", Replace(kLPrism, "negativeXPositiveZ", "northEast"), Category::notch,
       "L-prism notch quadrant is not supported"},
      {"quadrant number", Replace(kLPrism, "\"negativeXPositiveZ\"", "1"), Category::structure,
       "L-prism.notchQuadrant must be a string"},
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
      {"wedge inverted", Replace(kWedge, ":2000", ":7000"), Category::integer,
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
  const std::string notArray = Doc(R"({"heightUm":3000,"kind":"polygonPrism","vertices":{}})");
  const std::string numbers = Doc(R"({"heightUm":3000,"kind":"polygonPrism","vertices":[1,2,3]})");
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
      {"centred",
       Polygon({{-k100m / 2, -k100m / 2},
                {-k100m / 2, k100m / 2},
                {k100m / 2, k100m / 2},
                {k100m / 2, -k100m / 2}}),
       Category::polygon, "polygon shape is not seated"},
      {"far from the plate origin",
       Polygon({{kMax - k100m, kMin},
                {kMax - k100m, kMin + k100m},
                {kMax, kMin + k100m},
                {kMax, kMin}}),
       Category::polygon, "polygon shape is not seated"},
      {"bow tie", Polygon({{0, 0}, {10, 10}, {10, 0}, {0, 10}}), Category::polygon, crossing},
      {"touching", Polygon({{0, 0}, {0, 10}, {10, 10}, {10, 0}, {5, 10}}), Category::polygon,
       crossing},
      {"collinear overlap", Polygon({{0, 0}, {1, 1}, {3, 3}, {2, 2}}), Category::polygon, crossing},
      {"zero area", Polygon({{0, 0}, {2, 1}, {4, 2}}), Category::polygon, "polygon has zero area"},
      {"collinear at 100 m", Polygon({{0, 0}, {k100m, k100m}, {k100m / 2, k100m / 2}}),
       Category::polygon, "polygon has zero area"},
      {"other turning sense", Polygon({{0, 0}, {10000, 0}, {10000, 10000}, {0, 10000}}),
       Category::noncanonical, "shape definition bytes are not canonical"},
      {"other start", Polygon({{0, 10000}, {10000, 10000}, {10000, 0}, {0, 0}}),
       Category::noncanonical, "shape definition bytes are not canonical"},
  });
}

TEST(ShapeDefinition, MapsLevelsFailuresToTheirCategories) {
  const std::string levelsObject = Doc(R"({"kind":"apexShape","levels":{}})");
  const std::string levelNumber = Doc(R"({"kind":"apexShape","levels":[7]})");
  const std::string oneLevel = Doc(R"({"kind":"apexShape","levels":[{"vertices":[)" +
                                   Points(kSquarePoints) + R"(],"yUm":0}]})");
  RunCases({
      {"levels object", levelsObject, Category::levels, "apexShape.levels must be an array"},
      {"level number", levelNumber, Category::structure,
       "JSON value must be an object" + At(levelNumber, "[7", 1)},
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
  ExpectShapeError(padded, Category::noncanonical, "shape definition bytes are not canonical");
  padded.push_back(' ');
  ExpectShapeError(padded, Category::size, "shape definition exceeds 1 MiB");
}

TEST(ShapeDefinition, ValidatesEnumerationsOfBuiltDefinitions) {
  PlShapeDefinition cylinder = ParsePlShapeDefinition(kCylinder);
  cylinder.mount = static_cast<PlShapeMount>(2);
  ExpectShapeFailure([&] { ValidatePlShapeDefinition(cylinder); }, Category::mount,
                     "shape mount is not supported");
  PlShapeDefinition lPrism = ParsePlShapeDefinition(kLPrism);
  lPrism.notchQuadrant = static_cast<PlNotchQuadrant>(4);
  ExpectShapeFailure([&] { ValidatePlShapeDefinition(lPrism); }, Category::notch,
                     "L-prism notch quadrant is not supported");
  PlShapeDefinition unknown = ParsePlShapeDefinition(kSphere);
  unknown.kind = static_cast<PlShapeKind>(9);
  ExpectShapeFailure([&] { ValidatePlShapeDefinition(unknown); }, Category::structure,
                     "shape kind is not supported");
  EXPECT_EQ(PlShapeKindName(unknown.kind), "unknown");
  EXPECT_EQ(PlShapeMountName(cylinder.mount), "unknown");
  EXPECT_EQ(PlNotchQuadrantName(lPrism.notchQuadrant), "unknown");
  for (const PlShapeDefinition& invalid : {cylinder, lPrism, unknown}) {
    EXPECT_EQ(PlShapeDefinitionCanonicalBytes(invalid), "");
    EXPECT_EQ(PlShapeDefinitionSourceHash(invalid), "");
    EXPECT_EQ(PlShapeDefinitionId(invalid), "");
  }
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
