#include "shapes/shape_definition.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <limits>
#include <map>
#include <span>

#include "core/byte_io.h"
#include "core/json_text.h"
#include "core/sha256.h"
#include "shapes/levels_shape.h"
#include "request/json_reader.h"

namespace {

using Category = PlShapeDefinitionCategory;

constexpr std::string_view kGeneratorProfile = "pelto.shape.generator.v1";
constexpr std::string_view kSchema = "pelto.shape.definition.v1";
constexpr std::string_view kUnits = "um";

// The fixed text around the shape object; the top-level keys are already in byte order.
constexpr std::string_view kDocumentPrefix =
    "{\"generatorProfile\":\"pelto.shape.generator.v1\",\"schema\":\"pelto.shape.definition.v1\","
    "\"shape\":";
constexpr std::string_view kDocumentSuffix = ",\"units\":\"um\"}";

// Member sets in ascending byte order, which is also the order the members are read in.
constexpr std::string_view kDocumentMembers[] = {"generatorProfile", "schema", "shape", "units"};
constexpr std::string_view kBoxMembers[] = {"heightUm", "kind", "xSpanUm", "zSpanUm"};
constexpr std::string_view kCylinderMembers[] = {"axisLengthUm", "diameterUm", "kind", "mount"};
constexpr std::string_view kLPrismMembers[] = {"heightUm",      "kind",         "notchQuadrant",
                                               "notchXSpanUm",  "notchZSpanUm", "outsideXSpanUm",
                                               "outsideZSpanUm"};
constexpr std::string_view kTriangularPrismMembers[] = {"baseZSpanUm", "heightUm", "kind",
                                                        "pointXDepthUm", "pointZOffsetUm"};
constexpr std::string_view kWedgeMembers[] = {"highHeightUm", "kind", "lowHeightUm", "xSpanUm",
                                              "zSpanUm"};
constexpr std::string_view kFrustumMembers[] = {"axisLengthUm", "kind", "largeDiameterUm", "mount",
                                                "smallDiameterUm"};
constexpr std::string_view kPolygonPrismMembers[] = {"heightUm", "kind", "vertices"};
constexpr std::string_view kApexShapeMembers[] = {"kind", "levels"};
constexpr std::string_view kSphereMembers[] = {"diameterUm", "kind"};
constexpr std::string_view kPointMembers[] = {"xUm", "zUm"};
constexpr std::string_view kLevelMembers[] = {"vertices", "yUm"};

struct KindRules {
  std::string_view name;
  std::string_view context;
  std::span<const std::string_view> members;
};

// Indexed by the kind's index.
constexpr KindRules kKindRules[] = {
    {"box", "box shape", kBoxMembers},
    {"cylinder", "cylinder shape", kCylinderMembers},
    {"lPrism", "L-prism shape", kLPrismMembers},
    {"triangularPrism", "triangular-prism shape", kTriangularPrismMembers},
    {"wedge", "wedge shape", kWedgeMembers},
    {"frustum", "frustum shape", kFrustumMembers},
    {"polygonPrism", "polygon-prism shape", kPolygonPrismMembers},
    {"apexShape", "levels shape", kApexShapeMembers},
    {"sphere", "sphere shape", kSphereMembers},
};

constexpr std::string_view kMountNames[] = {"upright", "laidDown"};
constexpr std::string_view kQuadrantNames[] = {"negativeXNegativeZ", "negativeXPositiveZ",
                                               "positiveXNegativeZ", "positiveXPositiveZ"};

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

void AppendDecimal(std::string& out, std::int64_t value) {
  std::array<char, 24> digits{};
  const std::to_chars_result result =
      std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

// No escapes are accepted anywhere, so for a canonical string the raw text is the value.
bool IsCanonicalAscii(std::string_view raw) {
  return std::all_of(raw.begin(), raw.end(),
                     [](char c) { return c >= 0x20 && c <= 0x7E && c != '\\' && c != '"'; });
}

// The raw text between the quotation marks of a scanned string value.
std::string_view RawStringText(std::string_view text, const JsonValueSpan& value) {
  return text.substr(value.begin + 1, value.end - value.begin - 2);
}

std::string_view ReadCanonicalString(std::string_view text, const JsonValueSpan& value,
                                     std::string_view label) {
  if (value.kind != JsonValueKind::string)
    Fail(Category::structure, std::string(label) + " must be a string");
  const std::string_view raw = RawStringText(text, value);
  if (!IsCanonicalAscii(raw))
    Fail(Category::structure, std::string(label) + " must be a canonical ASCII string");
  return raw;
}

// Reads the integer from its source text: the number's own digits decide, never
// a conversion through a double, so a fraction or an exponent is refused outright.
std::int64_t ReadInteger(std::string_view text, const JsonValueSpan& value,
                         std::string_view label) {
  const std::string message = std::string(label) + " must be an integer micrometre value";
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

// One object's members by their raw names, after the member-name rules.
class MemberTable {
 public:
  MemberTable(std::string_view text, const std::vector<JsonMemberSpan>& spans) {
    for (const JsonMemberSpan& span : spans) {
      const std::string_view name = RawMemberName(text, span.keyOffset);
      if (!IsCanonicalAscii(name))
        Fail(Category::structure, "member name must be a canonical ASCII string");
      if (!members.emplace(name, span.value).second)
        Fail(Category::structure, "duplicate shape definition member: " + std::string(name));
    }
  }

  // Unknown names are reported first, the byte-wise first of them.
  void RequireExactly(std::span<const std::string_view> allowed, std::string_view context) const {
    for (const auto& [name, value] : members) {
      if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
        Fail(Category::structure,
             "unknown " + std::string(context) + " member: " + std::string(name));
    }
    // Every name is allowed and none repeats, so a shorter table lacks members.
    if (members.size() != allowed.size())
      Fail(Category::structure, std::string(context) + " members are incomplete");
  }

  const JsonValueSpan* Find(std::string_view name) const {
    const auto found = members.find(name);
    return found == members.end() ? nullptr : &found->second;
  }

  // Only after RequireExactly() has proven the member present.
  const JsonValueSpan& At(std::string_view name) const { return members.at(name); }

 private:
  // The key token must be one quoted token; its raw text is the name.
  static std::string_view RawMemberName(std::string_view text, std::size_t keyOffset) {
    if (keyOffset >= text.size() || text[keyOffset] != '"')
      Fail(Category::structure, "shape definition contains an invalid member name");
    std::size_t pos = keyOffset + 1;
    while (pos < text.size() && text[pos] != '"') pos += text[pos] == '\\' ? 2 : 1;
    if (pos >= text.size())
      Fail(Category::structure, "shape definition contains an invalid member name");
    return text.substr(keyOffset + 1, pos - keyOffset - 1);
  }

  std::map<std::string_view, JsonValueSpan> members;
};

MemberTable ReadObject(std::string_view text, const JsonValueSpan& object,
                       std::span<const std::string_view> allowed, std::string_view context) {
  MemberTable table(text, ReadJsonObjectMembers(text, object));
  table.RequireExactly(allowed, context);
  return table;
}

// The points of a value the caller has already proven to be an array.
std::vector<PlShapePoint> ReadPoints(std::string_view text, const JsonValueSpan& array,
                                     std::string_view context, std::string_view xLabel,
                                     std::string_view zLabel) {
  const std::vector<JsonValueSpan> elements = ReadJsonArrayElements(text, array);
  std::vector<PlShapePoint> points;
  points.reserve(elements.size());
  for (const JsonValueSpan& element : elements) {
    const MemberTable point = ReadObject(text, element, kPointMembers, context);
    PlShapePoint read;
    read.xUm = ReadInteger(text, point.At("xUm"), xLabel);
    read.zUm = ReadInteger(text, point.At("zUm"), zLabel);
    points.push_back(read);
  }
  return points;
}

PlShapeMount ReadMount(std::string_view text, const JsonValueSpan& value, std::string_view label) {
  const std::string_view name = ReadCanonicalString(text, value, label);
  for (std::size_t index = 0; index < std::size(kMountNames); ++index) {
    if (name == kMountNames[index])
      return static_cast<PlShapeMount>(static_cast<std::uint32_t>(index));
  }
  Fail(Category::mount, "shape mount must be upright or laidDown");
}

PlNotchQuadrant ReadQuadrant(std::string_view text, const JsonValueSpan& value) {
  const std::string_view name = ReadCanonicalString(text, value, "L-prism.notchQuadrant");
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
    std::string prefix = "apexShape.levels[";
    AppendJsonUnsigned(prefix, index);
    prefix += "]";
    const MemberTable level =
        ReadObject(text, elements[index], kLevelMembers, "levels shape level");
    const JsonValueSpan& vertices = level.At("vertices");
    if (vertices.kind != JsonValueKind::array)
      Fail(Category::polygon, prefix + ".vertices must be an array");
    PlShapeLevel read;
    read.vertices =
        ReadPoints(text, vertices, "levels shape point", prefix + ".xUm", prefix + ".zUm");
    read.yUm = ReadInteger(text, level.At("yUm"), prefix + ".yUm");
    levels.push_back(std::move(read));
  }
  return levels;
}

// Everything the raw text decides; the rules over whole values come after.
PlShapeDefinition ReadDefinition(std::string_view text) {
  const MemberTable document(text, ReadJsonFrame(text));
  document.RequireExactly(kDocumentMembers, "shape definition");
  const std::pair<std::string_view, std::string_view> fixed[] = {
      {"generatorProfile", kGeneratorProfile}, {"schema", kSchema}, {"units", kUnits}};
  for (const auto& [name, expected] : fixed) {
    const JsonValueSpan& value = document.At(name);
    // The fixed values are canonical ASCII, so equality of the raw text proves both rules.
    if (value.kind != JsonValueKind::string || RawStringText(text, value) != expected)
      Fail(Category::structure, "shape definition schema, generator profile, or units is invalid");
  }

  const MemberTable shape(text, ReadJsonObjectMembers(text, document.At("shape")));
  const JsonValueSpan* kindValue = shape.Find("kind");
  if (kindValue == nullptr) Fail(Category::structure, "missing shape definition member: kind");
  const std::string_view kindName = ReadCanonicalString(text, *kindValue, "shape.kind");
  const auto rules = std::find_if(std::begin(kKindRules), std::end(kKindRules),
                                  [&](const KindRules& r) { return r.name == kindName; });
  if (rules == std::end(kKindRules)) Fail(Category::structure, "shape kind is not supported");
  shape.RequireExactly(rules->members, rules->context);

  PlShapeDefinition definition;
  definition.kind =
      static_cast<PlShapeKind>(static_cast<std::uint32_t>(rules - std::begin(kKindRules)));
  const auto integer = [&](std::string_view name, std::string_view label) {
    return ReadInteger(text, shape.At(name), label);
  };
  switch (definition.kind) {
    case PlShapeKind::box:
      definition.heightUm = integer("heightUm", "box.heightUm");
      definition.xSpanUm = integer("xSpanUm", "box.xSpanUm");
      definition.zSpanUm = integer("zSpanUm", "box.zSpanUm");
      break;
    case PlShapeKind::cylinder:
      definition.axisLengthUm = integer("axisLengthUm", "cylinder.axisLengthUm");
      definition.diameterUm = integer("diameterUm", "cylinder.diameterUm");
      definition.mount = ReadMount(text, shape.At("mount"), "cylinder.mount");
      break;
    case PlShapeKind::lPrism:
      definition.heightUm = integer("heightUm", "L-prism.heightUm");
      definition.notchQuadrant = ReadQuadrant(text, shape.At("notchQuadrant"));
      definition.notchXSpanUm = integer("notchXSpanUm", "L-prism.notchXSpanUm");
      definition.notchZSpanUm = integer("notchZSpanUm", "L-prism.notchZSpanUm");
      definition.outsideXSpanUm = integer("outsideXSpanUm", "L-prism.outsideXSpanUm");
      definition.outsideZSpanUm = integer("outsideZSpanUm", "L-prism.outsideZSpanUm");
      break;
    case PlShapeKind::triangularPrism:
      definition.baseZSpanUm = integer("baseZSpanUm", "triangle.baseZSpanUm");
      definition.heightUm = integer("heightUm", "triangle.heightUm");
      definition.pointXDepthUm = integer("pointXDepthUm", "triangle.pointXDepthUm");
      definition.pointZOffsetUm = integer("pointZOffsetUm", "triangle.pointZOffsetUm");
      break;
    case PlShapeKind::wedge:
      definition.highHeightUm = integer("highHeightUm", "wedge.highHeightUm");
      definition.lowHeightUm = integer("lowHeightUm", "wedge.lowHeightUm");
      definition.xSpanUm = integer("xSpanUm", "wedge.xSpanUm");
      definition.zSpanUm = integer("zSpanUm", "wedge.zSpanUm");
      break;
    case PlShapeKind::frustum:
      definition.axisLengthUm = integer("axisLengthUm", "frustum.axisLengthUm");
      definition.largeDiameterUm = integer("largeDiameterUm", "frustum.largeDiameterUm");
      definition.mount = ReadMount(text, shape.At("mount"), "frustum.mount");
      definition.smallDiameterUm = integer("smallDiameterUm", "frustum.smallDiameterUm");
      break;
    case PlShapeKind::polygonPrism: {
      definition.heightUm = integer("heightUm", "polygon.heightUm");
      const JsonValueSpan& vertices = shape.At("vertices");
      if (vertices.kind != JsonValueKind::array)
        Fail(Category::polygon, "polygon.vertices must be an array");
      definition.vertices =
          ReadPoints(text, vertices, "polygon point", "polygon.xUm", "polygon.zUm");
      break;
    }
    case PlShapeKind::apexShape:
      definition.levels = ReadLevels(text, shape.At("levels"));
      break;
    case PlShapeKind::sphere:
      definition.diameterUm = integer("diameterUm", "sphere.diameterUm");
      break;
  }
  return definition;
}

void CheckRange(std::int64_t valueUm, std::string_view label) {
  if (valueUm < 1 || valueUm > kPlShapeMaxDimensionUm)
    Fail(Category::integer, std::string(label) + " must be between 1 and 100000000 micrometres");
}

void CheckMount(PlShapeMount mount) {
  if (mount != PlShapeMount::upright && mount != PlShapeMount::laidDown)
    Fail(Category::mount, "shape mount is not supported");
}

// Spans are taken in 128 bits: two arbitrary 64-bit coordinates may lie further
// apart than a 64-bit difference can hold.
void CheckSpan(PlInt128 span, std::string_view axis) {
  if (span <= 0) Fail(Category::polygon, "polygon " + std::string(axis) + " span must be positive");
  if (span > kPlShapeMaxDimensionUm)
    Fail(Category::polygon, "polygon " + std::string(axis) + " span exceeds 100 m");
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
  CheckSpan(static_cast<PlInt128>(maxX->xUm) - minX->xUm, "X");
  CheckSpan(static_cast<PlInt128>(maxZ->zUm) - minZ->zUm, "Z");
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
  if (result.Accepted()) return;
  if (result.category == PlLevelsShapeCategory::levels) Fail(Category::levels, result.message);
  if (result.category == PlLevelsShapeCategory::definition) Fail(Category::integer, result.message);
  Fail(Category::polygon, result.message);
}

// Writes one JSON object member by member; keys are fixed canonical names.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& target) : out(target) { out.push_back('{'); }
  void Integer(std::string_view key, std::int64_t value) {
    Key(key);
    AppendDecimal(out, value);
  }
  void Name(std::string_view key, std::string_view value) {
    Key(key);
    out.push_back('"');
    out.append(value);
    out.push_back('"');
  }
  // Opens an array member; the caller writes its elements and closes it with ']'.
  void ArrayStart(std::string_view key) {
    Key(key);
    out.push_back('[');
  }
  void Close() { out.push_back('}'); }

 private:
  void Key(std::string_view key) {
    if (!first) out.push_back(',');
    first = false;
    out.push_back('"');
    out.append(key);
    out.append("\":");
  }
  std::string& out;
  bool first = true;
};

void AppendPoints(std::string& out, const std::vector<PlShapePoint>& points) {
  for (std::size_t index = 0; index < points.size(); ++index) {
    if (index != 0) out.push_back(',');
    ObjectWriter point(out);
    point.Integer("xUm", points[index].xUm);
    point.Integer("zUm", points[index].zUm);
    point.Close();
  }
  out.push_back(']');
}

// The canonical document of a definition that has passed validation.
std::string SerialiseValidated(const PlShapeDefinition& definition) {
  std::string out(kDocumentPrefix);
  ObjectWriter shape(out);
  switch (definition.kind) {
    case PlShapeKind::box:
      shape.Integer("heightUm", definition.heightUm);
      shape.Name("kind", "box");
      shape.Integer("xSpanUm", definition.xSpanUm);
      shape.Integer("zSpanUm", definition.zSpanUm);
      break;
    case PlShapeKind::cylinder:
      shape.Integer("axisLengthUm", definition.axisLengthUm);
      shape.Integer("diameterUm", definition.diameterUm);
      shape.Name("kind", "cylinder");
      shape.Name("mount", PlShapeMountName(definition.mount));
      break;
    case PlShapeKind::lPrism:
      shape.Integer("heightUm", definition.heightUm);
      shape.Name("kind", "lPrism");
      shape.Name("notchQuadrant", PlNotchQuadrantName(definition.notchQuadrant));
      shape.Integer("notchXSpanUm", definition.notchXSpanUm);
      shape.Integer("notchZSpanUm", definition.notchZSpanUm);
      shape.Integer("outsideXSpanUm", definition.outsideXSpanUm);
      shape.Integer("outsideZSpanUm", definition.outsideZSpanUm);
      break;
    case PlShapeKind::triangularPrism:
      shape.Integer("baseZSpanUm", definition.baseZSpanUm);
      shape.Integer("heightUm", definition.heightUm);
      shape.Name("kind", "triangularPrism");
      shape.Integer("pointXDepthUm", definition.pointXDepthUm);
      shape.Integer("pointZOffsetUm", definition.pointZOffsetUm);
      break;
    case PlShapeKind::wedge:
      shape.Integer("highHeightUm", definition.highHeightUm);
      shape.Name("kind", "wedge");
      shape.Integer("lowHeightUm", definition.lowHeightUm);
      shape.Integer("xSpanUm", definition.xSpanUm);
      shape.Integer("zSpanUm", definition.zSpanUm);
      break;
    case PlShapeKind::frustum:
      shape.Integer("axisLengthUm", definition.axisLengthUm);
      shape.Name("kind", "frustum");
      shape.Integer("largeDiameterUm", definition.largeDiameterUm);
      shape.Name("mount", PlShapeMountName(definition.mount));
      shape.Integer("smallDiameterUm", definition.smallDiameterUm);
      break;
    case PlShapeKind::polygonPrism:
      shape.Integer("heightUm", definition.heightUm);
      shape.Name("kind", "polygonPrism");
      shape.ArrayStart("vertices");
      AppendPoints(out, definition.vertices);
      break;
    case PlShapeKind::apexShape:
      shape.Name("kind", "apexShape");
      shape.ArrayStart("levels");
      for (std::size_t index = 0; index < definition.levels.size(); ++index) {
        if (index != 0) out.push_back(',');
        ObjectWriter level(out);
        level.ArrayStart("vertices");
        AppendPoints(out, definition.levels[index].vertices);
        level.Integer("yUm", definition.levels[index].yUm);
        level.Close();
      }
      out.push_back(']');
      break;
    case PlShapeKind::sphere:
      shape.Integer("diameterUm", definition.diameterUm);
      shape.Name("kind", "sphere");
      break;
  }
  shape.Close();
  out.append(kDocumentSuffix);
  return out;
}

}  // namespace

std::string_view PlShapeKindName(PlShapeKind kind) {
  const auto index = static_cast<std::size_t>(kind);
  return index < std::size(kKindRules) ? kKindRules[index].name : std::string_view("unknown");
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
    std::string message = std::string(error.what()) + " at byte ";
    AppendJsonUnsigned(message, error.offset);
    Fail(Category::structure, message);
  }
  ValidatePlShapeDefinition(definition);
  const std::string canonical = SerialiseValidated(definition);
  if (canonical.size() > kPlShapeDefinitionMaxBytes)
    Fail(Category::size, "shape definition exceeds 1 MiB");
  if (canonical != bytes) Fail(Category::noncanonical, "shape definition bytes are not canonical");
  return definition;
}

void ValidatePlShapeDefinition(PlShapeDefinition& definition) {
  switch (definition.kind) {
    case PlShapeKind::box:
      CheckRange(definition.heightUm, "box.heightUm");
      CheckRange(definition.xSpanUm, "box.xSpanUm");
      CheckRange(definition.zSpanUm, "box.zSpanUm");
      return;
    case PlShapeKind::cylinder:
      CheckRange(definition.axisLengthUm, "cylinder.axisLengthUm");
      CheckRange(definition.diameterUm, "cylinder.diameterUm");
      CheckMount(definition.mount);
      return;
    case PlShapeKind::lPrism:
      CheckRange(definition.heightUm, "L-prism.heightUm");
      CheckRange(definition.notchXSpanUm, "L-prism.notchXSpanUm");
      CheckRange(definition.notchZSpanUm, "L-prism.notchZSpanUm");
      CheckRange(definition.outsideXSpanUm, "L-prism.outsideXSpanUm");
      CheckRange(definition.outsideZSpanUm, "L-prism.outsideZSpanUm");
      if (static_cast<std::size_t>(definition.notchQuadrant) >= std::size(kQuadrantNames))
        Fail(Category::notch, "L-prism notch quadrant is not supported");
      if (definition.notchXSpanUm >= definition.outsideXSpanUm ||
          definition.notchZSpanUm >= definition.outsideZSpanUm)
        Fail(Category::notch, "L-prism notch spans must be smaller than outside spans");
      return;
    case PlShapeKind::triangularPrism: {
      CheckRange(definition.baseZSpanUm, "triangle.baseZSpanUm");
      CheckRange(definition.heightUm, "triangle.heightUm");
      CheckRange(definition.pointXDepthUm, "triangle.pointXDepthUm");
      // The base span is positive here, so integer division is the floor.
      const std::int64_t halfBaseUm = definition.baseZSpanUm / 2;
      if (definition.pointZOffsetUm < -halfBaseUm || definition.pointZOffsetUm > halfBaseUm)
        Fail(Category::integer, "triangle point offset must stay within the broad base span");
      return;
    }
    case PlShapeKind::wedge:
      CheckRange(definition.highHeightUm, "wedge.highHeightUm");
      CheckRange(definition.lowHeightUm, "wedge.lowHeightUm");
      CheckRange(definition.xSpanUm, "wedge.xSpanUm");
      CheckRange(definition.zSpanUm, "wedge.zSpanUm");
      if (definition.highHeightUm <= definition.lowHeightUm)
        Fail(Category::integer, "wedge high height must exceed low height");
      return;
    case PlShapeKind::frustum:
      CheckRange(definition.axisLengthUm, "frustum.axisLengthUm");
      CheckRange(definition.largeDiameterUm, "frustum.largeDiameterUm");
      CheckRange(definition.smallDiameterUm, "frustum.smallDiameterUm");
      CheckMount(definition.mount);
      if (definition.largeDiameterUm <= definition.smallDiameterUm)
        Fail(Category::integer, "frustum large diameter must exceed small diameter");
      return;
    case PlShapeKind::polygonPrism:
      CheckRange(definition.heightUm, "polygon.heightUm");
      ValidatePolygon(definition.vertices);
      return;
    case PlShapeKind::apexShape:
      ValidateLevels(definition.levels);
      return;
    case PlShapeKind::sphere:
      CheckRange(definition.diameterUm, "sphere.diameterUm");
      return;
  }
  Fail(Category::structure, "shape kind is not supported");
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
  switch (category) {
    case PlShapeDefinitionCategory::noncanonical:
      return "noncanonical_shape_definition";
    case PlShapeDefinitionCategory::levels:
      return "invalid_shape_levels";
    case PlShapeDefinitionCategory::polygon:
      return "invalid_shape_polygon";
    case PlShapeDefinitionCategory::size:
      return "input_too_large";
    case PlShapeDefinitionCategory::structure:
    case PlShapeDefinitionCategory::integer:
    case PlShapeDefinitionCategory::mount:
    case PlShapeDefinitionCategory::notch:
      break;
  }
  return "invalid_shape_definition";
}
