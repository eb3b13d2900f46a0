#include "shapes/shape_definition.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>
#include <span>

#include "core/byte_io.h"
#include "core/json_text.h"
#include "core/sha256.h"
#include "request/json_reader.h"
#include "shapes/levels_shape.h"

namespace {

using Category = PlShapeDefinitionCategory;

constexpr std::string_view kGeneratorProfile = "pelto.shape.generator.v1";
constexpr std::string_view kSchema = "pelto.shape.definition.v1";
constexpr std::string_view kUnits = "um";

// Member sets in ascending byte order, which is also the order the members are read in.
constexpr std::string_view kDocumentMembers[] = {"generatorProfile", "schema", "shape", "units"};
constexpr std::string_view kPointMembers[] = {"xUm", "zUm"};
constexpr std::string_view kLevelMembers[] = {"vertices", "yUm"};

[[noreturn]] void FailStructure(const std::string& message) {
  throw PlShapeDefinitionError(message, PlShapeDefinitionCategory::structure);
}

// Names are read raw: a definition's names are canonical ASCII with nothing to decode.
constexpr JsonMemberRules kMemberRules = {
    .raise = FailStructure,
    .names = JsonMemberNameRule::canonicalAscii,
    .invalidName = "shape definition contains an invalid member name",
    .nonCanonicalName = "member name must be a canonical ASCII string",
    .duplicatePrefix = "duplicate shape definition member: ",
    .object = {"unknown shape definition member: ", "", "shape definition members are incomplete"},
};
constexpr JsonObjectTexts kPolygonPointTexts = {"unknown polygon point member: ", "",
                                                "polygon point members are incomplete"};
constexpr JsonObjectTexts kLevelPointTexts = {"unknown levels shape point member: ", "",
                                              "levels shape point members are incomplete"};
constexpr JsonObjectTexts kLevelTexts = {"unknown levels shape level member: ", "",
                                         "levels shape level members are incomplete"};

// Each kind's members in ascending byte order: the order they are read, range
// checked and written in (the analytic member's binary layout follows it too).
constexpr PlShapeKindMember kBoxMembers[] = {
    {"heightUm", PlShapeMemberValue::integer, &PlShapeDefinition::heightUm,
     "box.heightUm must be an integer micrometre value",
     "box.heightUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"xSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::xSpanUm,
     "box.xSpanUm must be an integer micrometre value",
     "box.xSpanUm must be between 1 and 100000000 micrometres"},
    {"zSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::zSpanUm,
     "box.zSpanUm must be an integer micrometre value",
     "box.zSpanUm must be between 1 and 100000000 micrometres"},
};
constexpr PlShapeKindMember kCylinderMembers[] = {
    {"axisLengthUm", PlShapeMemberValue::integer, &PlShapeDefinition::axisLengthUm,
     "cylinder.axisLengthUm must be an integer micrometre value",
     "cylinder.axisLengthUm must be between 1 and 100000000 micrometres"},
    {"diameterUm", PlShapeMemberValue::integer, &PlShapeDefinition::diameterUm,
     "cylinder.diameterUm must be an integer micrometre value",
     "cylinder.diameterUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"mount", PlShapeMemberValue::mount},
};
constexpr PlShapeKindMember kLPrismMembers[] = {
    {"heightUm", PlShapeMemberValue::integer, &PlShapeDefinition::heightUm,
     "L-prism.heightUm must be an integer micrometre value",
     "L-prism.heightUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"notchQuadrant", PlShapeMemberValue::notchQuadrant},
    {"notchXSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::notchXSpanUm,
     "L-prism.notchXSpanUm must be an integer micrometre value",
     "L-prism.notchXSpanUm must be between 1 and 100000000 micrometres"},
    {"notchZSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::notchZSpanUm,
     "L-prism.notchZSpanUm must be an integer micrometre value",
     "L-prism.notchZSpanUm must be between 1 and 100000000 micrometres"},
    {"outsideXSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::outsideXSpanUm,
     "L-prism.outsideXSpanUm must be an integer micrometre value",
     "L-prism.outsideXSpanUm must be between 1 and 100000000 micrometres"},
    {"outsideZSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::outsideZSpanUm,
     "L-prism.outsideZSpanUm must be an integer micrometre value",
     "L-prism.outsideZSpanUm must be between 1 and 100000000 micrometres"},
};
constexpr PlShapeKindMember kTriangularPrismMembers[] = {
    {"baseZSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::baseZSpanUm,
     "triangle.baseZSpanUm must be an integer micrometre value",
     "triangle.baseZSpanUm must be between 1 and 100000000 micrometres"},
    {"heightUm", PlShapeMemberValue::integer, &PlShapeDefinition::heightUm,
     "triangle.heightUm must be an integer micrometre value",
     "triangle.heightUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"pointXDepthUm", PlShapeMemberValue::integer, &PlShapeDefinition::pointXDepthUm,
     "triangle.pointXDepthUm must be an integer micrometre value",
     "triangle.pointXDepthUm must be between 1 and 100000000 micrometres"},
    // Bounded by the base span instead, after the ranges.
    {"pointZOffsetUm", PlShapeMemberValue::integer, &PlShapeDefinition::pointZOffsetUm,
     "triangle.pointZOffsetUm must be an integer micrometre value"},
};
constexpr PlShapeKindMember kWedgeMembers[] = {
    {"highHeightUm", PlShapeMemberValue::integer, &PlShapeDefinition::highHeightUm,
     "wedge.highHeightUm must be an integer micrometre value",
     "wedge.highHeightUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"lowHeightUm", PlShapeMemberValue::integer, &PlShapeDefinition::lowHeightUm,
     "wedge.lowHeightUm must be an integer micrometre value",
     "wedge.lowHeightUm must be between 1 and 100000000 micrometres"},
    {"xSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::xSpanUm,
     "wedge.xSpanUm must be an integer micrometre value",
     "wedge.xSpanUm must be between 1 and 100000000 micrometres"},
    {"zSpanUm", PlShapeMemberValue::integer, &PlShapeDefinition::zSpanUm,
     "wedge.zSpanUm must be an integer micrometre value",
     "wedge.zSpanUm must be between 1 and 100000000 micrometres"},
};
constexpr PlShapeKindMember kFrustumMembers[] = {
    {"axisLengthUm", PlShapeMemberValue::integer, &PlShapeDefinition::axisLengthUm,
     "frustum.axisLengthUm must be an integer micrometre value",
     "frustum.axisLengthUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"largeDiameterUm", PlShapeMemberValue::integer, &PlShapeDefinition::largeDiameterUm,
     "frustum.largeDiameterUm must be an integer micrometre value",
     "frustum.largeDiameterUm must be between 1 and 100000000 micrometres"},
    {"mount", PlShapeMemberValue::mount},
    {"smallDiameterUm", PlShapeMemberValue::integer, &PlShapeDefinition::smallDiameterUm,
     "frustum.smallDiameterUm must be an integer micrometre value",
     "frustum.smallDiameterUm must be between 1 and 100000000 micrometres"},
};
constexpr PlShapeKindMember kPolygonPrismMembers[] = {
    {"heightUm", PlShapeMemberValue::integer, &PlShapeDefinition::heightUm,
     "polygon.heightUm must be an integer micrometre value",
     "polygon.heightUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
    {"vertices", PlShapeMemberValue::vertices},
};
constexpr PlShapeKindMember kApexShapeMembers[] = {{"kind", PlShapeMemberValue::kind}, {"levels", PlShapeMemberValue::levels}};
constexpr PlShapeKindMember kSphereMembers[] = {
    {"diameterUm", PlShapeMemberValue::integer, &PlShapeDefinition::diameterUm,
     "sphere.diameterUm must be an integer micrometre value",
     "sphere.diameterUm must be between 1 and 100000000 micrometres"},
    {"kind", PlShapeMemberValue::kind},
};

struct KindRules {
  std::string_view name;
  std::span<const PlShapeKindMember> members;
  JsonObjectTexts texts;
  // The failures of a mount member, for the kinds that have one.
  const char* mountNotString = nullptr;
  const char* mountNotCanonical = nullptr;
};

// Indexed by the kind's index.
constexpr KindRules kKindRules[] = {
    {"box", kBoxMembers, {"unknown box shape member: ", "", "box shape members are incomplete"}},
    {"cylinder", kCylinderMembers,
     {"unknown cylinder shape member: ", "", "cylinder shape members are incomplete"},
     "cylinder.mount must be a string", "cylinder.mount must be a canonical ASCII string"},
    {"lPrism", kLPrismMembers,
     {"unknown L-prism shape member: ", "", "L-prism shape members are incomplete"}},
    {"triangularPrism", kTriangularPrismMembers,
     {"unknown triangular-prism shape member: ", "",
      "triangular-prism shape members are incomplete"}},
    {"wedge", kWedgeMembers,
     {"unknown wedge shape member: ", "", "wedge shape members are incomplete"}},
    {"frustum", kFrustumMembers,
     {"unknown frustum shape member: ", "", "frustum shape members are incomplete"},
     "frustum.mount must be a string", "frustum.mount must be a canonical ASCII string"},
    {"polygonPrism", kPolygonPrismMembers,
     {"unknown polygon-prism shape member: ", "", "polygon-prism shape members are incomplete"}},
    {"apexShape", kApexShapeMembers,
     {"unknown levels shape member: ", "", "levels shape members are incomplete"}},
    {"sphere", kSphereMembers,
     {"unknown sphere shape member: ", "", "sphere shape members are incomplete"}},
};

constexpr std::string_view kMountNames[] = {"upright", "laidDown"};
constexpr std::string_view kQuadrantNames[] = {"negativeXNegativeZ", "negativeXPositiveZ",
                                               "positiveXNegativeZ", "positiveXPositiveZ"};
// Indexed by the category's value.
constexpr std::string_view kCategoryEventCodes[] = {
    "invalid_shape_definition",  // structure
    "invalid_shape_definition",  // integer
    "invalid_shape_definition",  // mount
    "invalid_shape_definition",  // notch
    "invalid_shape_levels",
    "invalid_shape_polygon",
    "input_too_large",
    "noncanonical_shape_definition",
};

constexpr std::size_t kMinPolygonVertices = 3;
constexpr std::size_t kMaxPolygonVertices = 256;

[[noreturn]] void Fail(Category category, const std::string& message) {
  throw PlShapeDefinitionError(message, category);
}

template <typename Enum, std::size_t N>
std::string_view NameOf(Enum value, const std::string_view (&names)[N]) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : std::string_view("unknown");
}

// The raw text between the quotation marks of a scanned string value.
std::string_view RawStringText(std::string_view text, const JsonValueSpan& value) {
  return text.substr(value.begin + 1, value.end - value.begin - 2);
}

// No escapes are accepted anywhere, so for a canonical string the raw text is the value.
std::string_view ReadCanonicalString(std::string_view text, const JsonValueSpan& value,
                                     const char* notString, const char* notCanonical) {
  if (value.kind != JsonValueKind::string) Fail(Category::structure, notString);
  const std::string_view raw = RawStringText(text, value);
  if (!IsCanonicalJsonAscii(raw)) Fail(Category::structure, notCanonical);
  return raw;
}

// Reads the integer from its source text: the number's own digits decide, never
// a conversion through a double, so a fraction or an exponent is refused outright.
std::int64_t ReadInteger(std::string_view text, const JsonValueSpan& value,
                         const std::string& message) {
  if (value.kind != JsonValueKind::number) Fail(Category::integer, message);
  std::string_view raw = text.substr(value.begin, value.end - value.begin);
  const bool negative = raw.starts_with('-');
  if (negative) raw.remove_prefix(1);
  if (raw.empty()) Fail(Category::integer, message);
  const std::uint64_t limit =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1U : 0U);
  std::uint64_t magnitude = 0;
  for (const char c : raw) {
    if (c < '0' || c > '9') Fail(Category::integer, message);
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) Fail(Category::integer, message);
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  // -2^63 has no positive counterpart, so negate in unsigned arithmetic.
  return static_cast<std::int64_t>(~magnitude + 1U);
}

JsonMemberReader ReadObject(std::string_view text, const JsonValueSpan& object,
                            std::span<const std::string_view> allowed,
                            const JsonObjectTexts& texts) {
  JsonMemberReader members(text, ReadJsonObjectMembers(text, object), kMemberRules);
  members.RequireExactly(allowed, texts);
  return members;
}

// The points of a value the caller has already proven to be an array.
std::vector<PlShapePoint> ReadPoints(std::string_view text, const JsonValueSpan& array,
                                     const JsonObjectTexts& texts, const std::string& xMessage,
                                     const std::string& zMessage) {
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, array);
  std::vector<PlShapePoint> points;
  points.reserve(elements.size());
  for (const JsonValueSpan& element : elements) {
    const JsonMemberReader point = ReadObject(text, element, kPointMembers, texts);
    PlShapePoint read;
    read.xUm = ReadInteger(text, point.Require("xUm"), xMessage);
    read.zUm = ReadInteger(text, point.Require("zUm"), zMessage);
    points.push_back(read);
  }
  return points;
}

PlShapeMount ReadMount(std::string_view text, const JsonValueSpan& value, const char* notString,
                       const char* notCanonical) {
  const std::string_view name = ReadCanonicalString(text, value, notString, notCanonical);
  for (std::size_t index = 0; index < std::size(kMountNames); ++index) {
    if (name == kMountNames[index])
      return static_cast<PlShapeMount>(static_cast<std::uint32_t>(index));
  }
  Fail(Category::mount, "shape mount must be upright or laidDown");
}

PlNotchQuadrant ReadQuadrant(std::string_view text, const JsonValueSpan& value) {
  const std::string_view name =
      ReadCanonicalString(text, value, "L-prism.notchQuadrant must be a string",
                          "L-prism.notchQuadrant must be a canonical ASCII string");
  for (std::size_t index = 0; index < std::size(kQuadrantNames); ++index) {
    if (name == kQuadrantNames[index])
      return static_cast<PlNotchQuadrant>(static_cast<std::uint32_t>(index));
  }
  Fail(Category::notch, "L-prism notch quadrant is not supported");
}

std::vector<PlShapeLevel> ReadLevels(std::string_view text, const JsonValueSpan& array) {
  if (array.kind != JsonValueKind::array)
    Fail(Category::levels, "apexShape.levels must be an array");
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, array);
  std::vector<PlShapeLevel> levels;
  levels.reserve(elements.size());
  for (std::size_t index = 0; index < elements.size(); ++index) {
    // The level's index sits inside each text; the fixed rest is written whole.
    std::string prefix = "apexShape.levels[";
    AppendJsonUnsigned(prefix, index);
    const JsonMemberReader level = ReadObject(text, elements[index], kLevelMembers, kLevelTexts);
    const JsonValueSpan& vertices = level.Require("vertices");
    if (vertices.kind != JsonValueKind::array)
      Fail(Category::polygon, prefix + "].vertices must be an array");
    PlShapeLevel read;
    read.vertices = ReadPoints(text, vertices, kLevelPointTexts,
                               prefix + "].xUm must be an integer micrometre value",
                               prefix + "].zUm must be an integer micrometre value");
    read.yUm = ReadInteger(text, level.Require("yUm"),
                           prefix + "].yUm must be an integer micrometre value");
    levels.push_back(std::move(read));
  }
  return levels;
}

// Everything the raw text decides; the rules over whole values come after.
PlShapeDefinition ReadDefinition(std::string_view text) {
  const JsonMemberReader document(text, ReadJsonFrame(text), kMemberRules);
  document.RequireExactly(kDocumentMembers);
  const std::pair<std::string_view, std::string_view> fixed[] = {
      {"generatorProfile", kGeneratorProfile}, {"schema", kSchema}, {"units", kUnits}};
  for (const auto& [name, expected] : fixed) {
    const JsonValueSpan& value = document.Require(name);
    // The fixed values are canonical ASCII, so equality of the raw text proves both rules.
    if (value.kind != JsonValueKind::string || RawStringText(text, value) != expected)
      Fail(Category::structure, "shape definition schema, generator profile, or units is invalid");
  }

  const JsonMemberReader shape(text, ReadJsonObjectMembers(text, document.Require("shape")),
                               kMemberRules);
  const JsonValueSpan* kindValue = shape.Find("kind");
  if (kindValue == nullptr) Fail(Category::structure, "missing shape definition member: kind");
  const std::string_view kindName =
      ReadCanonicalString(text, *kindValue, "shape.kind must be a string",
                          "shape.kind must be a canonical ASCII string");
  const auto rules = std::find_if(std::begin(kKindRules), std::end(kKindRules),
                                  [&](const KindRules& r) { return r.name == kindName; });
  if (rules == std::end(kKindRules)) Fail(Category::structure, "shape kind is not supported");
  std::vector<std::string_view> names;
  names.reserve(rules->members.size());
  for (const PlShapeKindMember& member : rules->members) names.push_back(member.name);
  shape.RequireExactly(names, rules->texts);

  PlShapeDefinition definition;
  definition.kind =
      static_cast<PlShapeKind>(static_cast<std::uint32_t>(rules - std::begin(kKindRules)));
  for (const PlShapeKindMember& member : rules->members) {
    switch (member.holds) {
      case PlShapeMemberValue::kind:
        break;
      case PlShapeMemberValue::integer:
        definition.*member.field = ReadInteger(text, shape.Require(member.name), member.notInteger);
        break;
      case PlShapeMemberValue::mount:
        definition.mount = ReadMount(text, shape.Require(member.name), rules->mountNotString,
                                     rules->mountNotCanonical);
        break;
      case PlShapeMemberValue::notchQuadrant:
        definition.notchQuadrant = ReadQuadrant(text, shape.Require(member.name));
        break;
      case PlShapeMemberValue::vertices: {
        const JsonValueSpan& vertices = shape.Require(member.name);
        if (vertices.kind != JsonValueKind::array)
          Fail(Category::polygon, "polygon.vertices must be an array");
        definition.vertices = ReadPoints(text, vertices, kPolygonPointTexts,
                                         "polygon.xUm must be an integer micrometre value",
                                         "polygon.zUm must be an integer micrometre value");
        break;
      }
      case PlShapeMemberValue::levels:
        definition.levels = ReadLevels(text, shape.Require(member.name));
        break;
    }
  }
  return definition;
}

void CheckRange(std::int64_t valueUm, const char* message) {
  if (valueUm < 1 || valueUm > kPlShapeMaxDimensionUm) Fail(Category::integer, message);
}

void CheckMount(PlShapeMount mount) {
  if (mount != PlShapeMount::upright && mount != PlShapeMount::laidDown)
    Fail(Category::mount, "shape mount is not supported");
}

// Spans are taken in 128 bits: two arbitrary 64-bit coordinates may lie further
// apart than a 64-bit difference can hold.
void CheckSpan(PlInt128 span, const char* notPositive, const char* tooLarge) {
  if (span <= 0) Fail(Category::polygon, notPositive);
  if (span > kPlShapeMaxDimensionUm) Fail(Category::polygon, tooLarge);
}

void ValidatePolygon(std::vector<PlShapePoint>& polygon) {
  if (polygon.size() < kMinPolygonVertices || polygon.size() > kMaxPolygonVertices)
    Fail(Category::polygon, "polygon must contain 3..256 vertices");
  if (polygon.back() == polygon.front())
    Fail(Category::polygon, "polygon must not repeat its first vertex as a closing vertex");

  const auto lexicographic = [](const PlShapePoint& a, const PlShapePoint& b) {
    return a.xUm != b.xUm ? a.xUm < b.xUm : a.zUm < b.zUm;
  };
  std::vector<PlShapePoint> sorted = polygon;
  std::sort(sorted.begin(), sorted.end(), lexicographic);
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    Fail(Category::polygon, "polygon contains a repeated vertex");

  const auto [minX, maxX] = std::minmax_element(
      polygon.begin(), polygon.end(),
      [](const PlShapePoint& a, const PlShapePoint& b) { return a.xUm < b.xUm; });
  const auto [minZ, maxZ] = std::minmax_element(
      polygon.begin(), polygon.end(),
      [](const PlShapePoint& a, const PlShapePoint& b) { return a.zUm < b.zUm; });
  CheckSpan(static_cast<PlInt128>(maxX->xUm) - minX->xUm, "polygon X span must be positive",
            "polygon X span exceeds 100 m");
  CheckSpan(static_cast<PlInt128>(maxZ->zUm) - minZ->zUm, "polygon Z span must be positive",
            "polygon Z span exceeds 100 m");
  // The prism and its analytic footprint are centred by half the span, which
  // centres the polygon only when it starts at x = 0 and z = 0.
  if (minX->xUm != 0 || minZ->zUm != 0) Fail(Category::polygon, "polygon shape is not seated");

  // Both tests are exact for any 64-bit coordinates, so a polygon far from the
  // origin is judged the same as its copy at the origin.
  if (PlPolygonHasMeetingNonNeighbourEdges(polygon))
    Fail(Category::polygon, "polygon has crossing, touching, or overlapping non-neighbour edges");
  const PlInt128 doubledArea = PlPolygonDoubledSignedArea(polygon);
  if (doubledArea == 0) Fail(Category::polygon, "polygon has zero area");

  if (doubledArea > 0) std::reverse(polygon.begin(), polygon.end());
  // Points are distinct, so the smallest one is unique and the rotation well defined.
  std::rotate(polygon.begin(), std::min_element(polygon.begin(), polygon.end(), lexicographic),
              polygon.end());
}

void ValidateLevels(const std::vector<PlShapeLevel>& levels) {
  const PlLevelsShapeValidation result = ValidatePlLevelsShape(levels);
  if (!result.Accepted()) Fail(PlLevelsShapeDefinitionCategory(result.category), result.message);
}

void AppendPoints(JsonTextWriter& json, std::string_view name,
                  const std::vector<PlShapePoint>& points) {
  json.BeginArray(name);
  for (const PlShapePoint& point : points) {
    json.BeginObject();
    json.Signed("xUm", point.xUm);
    json.Signed("zUm", point.zUm);
    json.EndObject();
  }
  json.EndArray();
}

// The canonical document of a definition that has passed validation; the keys
// of every object are written in ascending byte order.
std::string SerialiseValidated(const PlShapeDefinition& definition) {
  std::string out;
  JsonTextWriter json(out);
  json.BeginObject();
  json.String("generatorProfile", kGeneratorProfile);
  json.String("schema", kSchema);
  json.BeginObject("shape");
  const KindRules& rules = kKindRules[static_cast<std::size_t>(definition.kind)];
  for (const PlShapeKindMember& member : rules.members) {
    switch (member.holds) {
      case PlShapeMemberValue::kind:
        json.String(member.name, rules.name);
        break;
      case PlShapeMemberValue::integer:
        json.Signed(member.name, definition.*member.field);
        break;
      case PlShapeMemberValue::mount:
        json.String(member.name, PlShapeMountName(definition.mount));
        break;
      case PlShapeMemberValue::notchQuadrant:
        json.String(member.name, PlNotchQuadrantName(definition.notchQuadrant));
        break;
      case PlShapeMemberValue::vertices:
        AppendPoints(json, member.name, definition.vertices);
        break;
      case PlShapeMemberValue::levels:
        json.BeginArray(member.name);
        for (const PlShapeLevel& level : definition.levels) {
          json.BeginObject();
          AppendPoints(json, "vertices", level.vertices);
          json.Signed("yUm", level.yUm);
          json.EndObject();
        }
        json.EndArray();
        break;
    }
  }
  json.EndObject();
  json.String("units", kUnits);
  json.EndObject();
  return out;
}

}  // namespace

std::string_view PlShapeKindName(PlShapeKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < std::size(kKindRules) ? kKindRules[index].name : std::string_view("unknown");
}

std::span<const PlShapeKindMember> PlShapeKindMembers(PlShapeKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  if (index >= std::size(kKindRules)) return {};
  return kKindRules[index].members;
}

PlShapeDefinition PlShapeDefinitionOwnMembers(const PlShapeDefinition& definition) {
  PlShapeDefinition own;
  own.kind = definition.kind;
  for (const PlShapeKindMember& member : PlShapeKindMembers(definition.kind)) {
    switch (member.holds) {
      case PlShapeMemberValue::kind:
        break;
      case PlShapeMemberValue::integer:
        own.*member.field = definition.*member.field;
        break;
      case PlShapeMemberValue::mount:
        own.mount = definition.mount;
        break;
      case PlShapeMemberValue::notchQuadrant:
        own.notchQuadrant = definition.notchQuadrant;
        break;
      case PlShapeMemberValue::vertices:
        own.vertices = definition.vertices;
        break;
      case PlShapeMemberValue::levels:
        own.levels = definition.levels;
        break;
    }
  }
  return own;
}

std::string_view PlShapeMountName(PlShapeMount mount) { return NameOf(mount, kMountNames); }

std::string_view PlNotchQuadrantName(PlNotchQuadrant quadrant) {
  return NameOf(quadrant, kQuadrantNames);
}

PlShapeDefinition ParsePlShapeDefinition(std::string_view bytes) {
  if (bytes.size() > kPlShapeDefinitionMaxBytes)
    Fail(Category::size, "shape definition exceeds 1 MiB");
  PlShapeDefinition definition;
  try {
    definition = ReadDefinition(bytes);
  } catch (const PlServeJsonParseError& error) {
    Fail(Category::structure, MakeJsonParseFailure(error).what());
  }
  ValidatePlShapeDefinition(definition);
  const std::string canonical = SerialiseValidated(definition);
  if (canonical.size() > kPlShapeDefinitionMaxBytes)
    Fail(Category::size, "shape definition exceeds 1 MiB");
  if (canonical != bytes) Fail(Category::noncanonical, "shape definition bytes are not canonical");
  return definition;
}

void ValidatePlShapeDefinition(PlShapeDefinition& definition) {
  const auto index = static_cast<std::size_t>(definition.kind);
  if (index >= std::size(kKindRules)) Fail(Category::structure, "shape kind is not supported");
  for (const PlShapeKindMember& member : kKindRules[index].members) {
    if (member.outOfRange != nullptr) CheckRange(definition.*member.field, member.outOfRange);
  }
  // The rules between values come after every range.
  switch (definition.kind) {
    case PlShapeKind::box:
    case PlShapeKind::sphere:
      return;
    case PlShapeKind::cylinder:
      CheckMount(definition.mount);
      return;
    case PlShapeKind::lPrism:
      if (static_cast<std::size_t>(definition.notchQuadrant) >= std::size(kQuadrantNames))
        Fail(Category::notch, "L-prism notch quadrant is not supported");
      if (definition.notchXSpanUm >= definition.outsideXSpanUm ||
          definition.notchZSpanUm >= definition.outsideZSpanUm)
        Fail(Category::notch, "L-prism notch spans must be smaller than outside spans");
      return;
    case PlShapeKind::triangularPrism: {
      // The base span is positive here, so integer division is the floor.
      const std::int64_t halfBaseUm = definition.baseZSpanUm / 2;
      if (definition.pointZOffsetUm < -halfBaseUm || definition.pointZOffsetUm > halfBaseUm)
        Fail(Category::integer, "triangle point offset must stay within the broad base span");
      return;
    }
    case PlShapeKind::wedge:
      if (definition.highHeightUm <= definition.lowHeightUm)
        Fail(Category::integer, "wedge high height must exceed low height");
      return;
    case PlShapeKind::frustum:
      CheckMount(definition.mount);
      if (definition.largeDiameterUm <= definition.smallDiameterUm)
        Fail(Category::integer, "frustum large diameter must exceed small diameter");
      return;
    case PlShapeKind::polygonPrism:
      ValidatePolygon(definition.vertices);
      return;
    case PlShapeKind::apexShape:
      ValidateLevels(definition.levels);
      return;
  }
}

std::string PlShapeDefinitionCanonicalBytes(const PlShapeDefinition& definition) {
  PlShapeDefinition validated = definition;
  try {
    ValidatePlShapeDefinition(validated);
  } catch (const PlShapeDefinitionError&) {
    // An invalid definition has no canonical form; the empty text is the answer.
    return {};
  }
  return SerialiseValidated(validated);
}

std::string PlShapeDefinitionSourceHash(const PlShapeDefinition& definition) {
  const std::string canonical = PlShapeDefinitionCanonicalBytes(definition);
  return canonical.empty() ? std::string() : Sha256Identity(canonical);
}

std::string PlShapeDefinitionId(const PlShapeDefinition& definition) {
  const std::string canonical = PlShapeDefinitionCanonicalBytes(definition);
  if (canonical.empty()) return {};
  ByteWriter length(8);
  length.U64(canonical.size());
  Sha256 hasher;
  hasher.Update(kPlShapeDefinitionIdDomain);
  hasher.Update(std::string_view("\0", 1));
  hasher.Update(length.bytes);
  hasher.Update(canonical);
  return Sha256IdentityText(hasher.Finish());
}

std::string_view PlShapeDefinitionEventCode(PlShapeDefinitionCategory category) {
  const auto index = static_cast<std::size_t>(category);
  return index < std::size(kCategoryEventCodes) ? kCategoryEventCodes[index]
                                                : std::string_view("invalid_shape_definition");
}
