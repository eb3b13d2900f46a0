#pragma once
// Shape definitions: the one canonical JSON form of a generated solid (a kind
// and integer micrometre dimensions), the parser that accepts exactly that
// byte form, and the two identities derived from it.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint64_t kPlShapeDefinitionMaxBytes = 1'048'576;
inline constexpr std::int64_t kPlShapeMaxDimensionUm = 100'000'000;
inline constexpr std::string_view kPlShapeDefinitionIdDomain = "pelto.shape.definition-id.v1";

// The kind's index is its position here.
enum class PlShapeKind : std::uint32_t {
  box = 0,
  cylinder = 1,
  lPrism = 2,
  triangularPrism = 3,
  wedge = 4,
  frustum = 5,
  polygonPrism = 6,
  apexShape = 7,
  sphere = 8,
};

enum class PlShapeMount : std::uint32_t { upright = 0, laidDown = 1 };

enum class PlNotchQuadrant : std::uint32_t {
  negativeXNegativeZ = 0,
  negativeXPositiveZ = 1,
  positiveXNegativeZ = 2,
  positiveXPositiveZ = 3,
};

struct PlShapePoint {
  std::int64_t xUm = 0;
  std::int64_t zUm = 0;
  friend bool operator==(const PlShapePoint&, const PlShapePoint&) = default;
};

struct PlShapeLevel {
  std::vector<PlShapePoint> vertices{};
  std::int64_t yUm = 0;
  friend bool operator==(const PlShapeLevel&, const PlShapeLevel&) = default;
};

// One definition; only the members of its kind are meaningful, the others stay zero.
struct PlShapeDefinition {
  PlShapeKind kind = PlShapeKind::box;
  // box, wedge
  std::int64_t xSpanUm = 0;
  std::int64_t zSpanUm = 0;
  // box, lPrism, triangularPrism, polygonPrism
  std::int64_t heightUm = 0;
  // cylinder, frustum
  std::int64_t axisLengthUm = 0;
  std::int64_t diameterUm = 0;  // cylinder, sphere
  PlShapeMount mount = PlShapeMount::upright;
  std::int64_t largeDiameterUm = 0;
  std::int64_t smallDiameterUm = 0;
  // lPrism
  PlNotchQuadrant notchQuadrant = PlNotchQuadrant::negativeXNegativeZ;
  std::int64_t notchXSpanUm = 0;
  std::int64_t notchZSpanUm = 0;
  std::int64_t outsideXSpanUm = 0;
  std::int64_t outsideZSpanUm = 0;
  // triangularPrism
  std::int64_t baseZSpanUm = 0;
  std::int64_t pointXDepthUm = 0;
  std::int64_t pointZOffsetUm = 0;
  // wedge
  std::int64_t highHeightUm = 0;
  std::int64_t lowHeightUm = 0;
  // polygonPrism (normalised once validated)
  std::vector<PlShapePoint> vertices{};
  // apexShape
  std::vector<PlShapeLevel> levels{};
  friend bool operator==(const PlShapeDefinition&, const PlShapeDefinition&) = default;
};

// What one member of a kind's shape object holds.
enum class PlShapeMemberValue { kind, integer, mount, notchQuadrant, vertices, levels };

// One member of a kind's shape object. An integer member names its field, the
// failure text of a value that is not an integer and, when the kind bounds it
// to 1..kPlShapeMaxDimensionUm, the failure text of a value outside that range.
struct PlShapeKindMember {
  std::string_view name;
  PlShapeMemberValue holds = PlShapeMemberValue::integer;
  std::int64_t PlShapeDefinition::*field = nullptr;
  const char* notInteger = nullptr;
  const char* outOfRange = nullptr;
};

// The members of the kind's shape object in ascending byte order, "kind"
// included: the canonical document's order. Empty outside the enumeration.
std::span<const PlShapeKindMember> PlShapeKindMembers(PlShapeKind kind);

// A copy with the kind and only the members of that kind, the others left at
// their defaults, so that stray values never pass as part of a definition.
// Just the kind outside the enumeration.
PlShapeDefinition PlShapeDefinitionOwnMembers(const PlShapeDefinition& definition);

// Failure categories of the parser and the validator.
enum class PlShapeDefinitionCategory : std::int32_t {
  structure = 0,
  integer = 1,
  mount = 2,
  notch = 3,
  levels = 4,
  polygon = 5,
  size = 6,
  noncanonical = 7,
};

class PlShapeDefinitionError : public std::runtime_error {
 public:
  PlShapeDefinitionError(const std::string& message, PlShapeDefinitionCategory errorCategory)
      : std::runtime_error(message), category(errorCategory) {}
  PlShapeDefinitionCategory category;
};

// The event code of a definition failure category: "noncanonical_shape_definition",
// "invalid_shape_levels", "invalid_shape_polygon", "input_too_large", or
// "invalid_shape_definition" for every other category.
std::string_view PlShapeDefinitionEventCode(PlShapeDefinitionCategory category);

// "box", "cylinder", ...; "unknown" outside the enumeration.
std::string_view PlShapeKindName(PlShapeKind kind);
std::string_view PlShapeMountName(PlShapeMount mount);
std::string_view PlNotchQuadrantName(PlNotchQuadrant quadrant);

// Parses definition bytes; accepts only the canonical byte form. Throws PlShapeDefinitionError.
PlShapeDefinition ParsePlShapeDefinition(std::string_view bytes);

// Checks every rule of the definition's kind and normalises a polygonPrism
// polygon in place. Throws PlShapeDefinitionError.
void ValidatePlShapeDefinition(PlShapeDefinition& definition);

// The canonical document of a valid definition; empty when it is not valid.
std::string PlShapeDefinitionCanonicalBytes(const PlShapeDefinition& definition);

// Identity text of the SHA-256 of the canonical document; empty when invalid.
std::string PlShapeDefinitionSourceHash(const PlShapeDefinition& definition);

// "shapeDefinitionId": SHA-256 over the domain text, one zero byte, the
// canonical length as u64 little-endian and the canonical document; empty when invalid.
std::string PlShapeDefinitionId(const PlShapeDefinition& definition);
