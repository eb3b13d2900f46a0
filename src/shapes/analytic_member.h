#pragma once
// The analytic member "analytic.pshape": the exact description of a generated
// shape (its definition and identities, bounds, plan footprint, convex parts and
// the footprint turned by every heading as certified integer intervals), with
// the certifier that rebuilds it from the definition and the codec that proves
// every member canonical.
//
// Every coordinate of a descriptor is in half-micrometres (units of 0.5 µm), so
// that the centred solids have integer corners: a span of X µm reaches from -X
// to X.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shapes/shape_definition.h"

inline constexpr std::array<std::uint8_t, 8> kPlAnalyticShapeMagic = {'P', 'L', 'A', 'N',
                                                                      'L', 'Y', '1', 0};
inline constexpr std::uint32_t kPlAnalyticShapeVersion = 1;
inline constexpr std::uint64_t kPlAnalyticShapeMaxBytes = 1'048'576;
// Magic, version, kind and flag.
inline constexpr std::uint64_t kPlAnalyticShapeHeaderBytes = 20;
// The 1 mm carrier margin of the curved kinds.
inline constexpr std::int64_t kPlAnalyticCarrierHalfUm = 2000;
// The only heading list a descriptor may carry, ascending.
inline constexpr std::array<std::uint32_t, 12> kPlAnalyticHeadingsDeg = {
    0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 330};

struct PlAnalyticPoint {
  std::int64_t xHalfUm = 0;
  std::int64_t zHalfUm = 0;
  friend bool operator==(const PlAnalyticPoint&, const PlAnalyticPoint&) = default;
};

// Bounds that certainly contain a turned coordinate.
struct PlAnalyticInterval {
  std::int64_t xLowHalfUm = 0;
  std::int64_t xHighHalfUm = 0;
  std::int64_t zLowHalfUm = 0;
  std::int64_t zHighHalfUm = 0;
  friend bool operator==(const PlAnalyticInterval&, const PlAnalyticInterval&) = default;
};

// One heading and the interval of every footprint point, in footprint order.
struct PlAnalyticHeadingEntry {
  std::uint32_t headingDeg = 0;
  std::vector<PlAnalyticInterval> intervals;
  friend bool operator==(const PlAnalyticHeadingEntry&, const PlAnalyticHeadingEntry&) = default;
};

// The descriptor, its members in encoding order. Bounds blocks are
// (min x, min y, min z, max x, max y, max z).
struct PlAnalyticShape {
  // The definition's kind index plus one; 0 never occurs in a valid member.
  std::uint32_t kind = 0;
  // True when the shape stands on a flat base face that covers its whole plan
  // view (upright prisms, wedges, upright cylinders and frustums).
  bool flag = false;
  std::string shapeDefinitionId;
  std::string definitionSha256;
  PlShapeDefinition definition;
  std::array<std::int64_t, 6> shapeBoundsHalfUm{};
  std::array<std::int64_t, 6> legacyCarrierCertificateHalfUm{};
  // kPlAnalyticCarrierHalfUm for a kind with a carrier, 0 otherwise.
  std::int64_t carrierValueHalfUm = 0;
  std::vector<PlAnalyticPoint> footprint;
  // Triangles of footprint indices; empty with an empty footprint.
  std::vector<std::vector<std::uint32_t>> convexDecomposition;
  std::vector<PlAnalyticHeadingEntry> headingTable;
  friend bool operator==(const PlAnalyticShape&, const PlAnalyticShape&) = default;
};

// Result values of the decoder and the certifier; 3 is never used.
enum class PlAnalyticShapeDiagnosticCode : std::uint32_t {
  accepted = 0,
  limitExceeded = 1,
  truncated = 2,
  malformed = 4,
  identityText = 5,
  definition = 6,
  bounds = 7,
  footprint = 8,
  decomposition = 9,
  headingTable = 10,
  nonCanonical = 11,
};

struct PlAnalyticShapeDiagnostic {
  PlAnalyticShapeDiagnosticCode code = PlAnalyticShapeDiagnosticCode::accepted;
  std::string message;
  bool Accepted() const { return code == PlAnalyticShapeDiagnosticCode::accepted; }
};

// The certified intervals of `point` turned by `headingDeg` about the y axis:
// x' = x·cos h + z·sin h, z' = z·cos h - x·sin h. False (and `out` untouched)
// when a bound leaves the signed 64-bit range. Throws std::invalid_argument for
// a heading outside kPlAnalyticHeadingsDeg.
[[nodiscard]] bool TurnPlAnalyticPoint(const PlAnalyticPoint& point, std::uint32_t headingDeg,
                                       PlAnalyticInterval& out);

// The expected descriptor of a definition, built from its validated copy.
// Throws std::invalid_argument unless `headingsDeg` is kPlAnalyticHeadingsDeg.
// Never throws on a bad definition: one that fails validation, or whose
// footprint leaves 64-bit coordinates, gives a descriptor that certification
// refuses.
PlAnalyticShape BuildPlAnalyticShape(
    const PlShapeDefinition& definition, std::string_view shapeDefinitionId,
    std::string_view definitionSha256,
    std::span<const std::uint32_t> headingsDeg = kPlAnalyticHeadingsDeg);

// Rebuilds the descriptor from its definition and compares; the first
// difference decides. Throws only on allocation failure.
[[nodiscard]] PlAnalyticShapeDiagnostic CertifyPlAnalyticShape(const PlAnalyticShape& shape);

// The member bytes; empty when certification fails or the member would exceed
// kPlAnalyticShapeMaxBytes. Throws only on allocation failure.
std::vector<std::uint8_t> EncodePlAnalyticShape(const PlAnalyticShape& shape);

// Never throws on bad input (an allocation failure is value 1). `out` is reset
// and filled only when the member decodes, is in canonical binary form and certifies.
[[nodiscard]] PlAnalyticShapeDiagnostic DecodePlAnalyticShape(std::span<const std::uint8_t> bytes,
                                                              PlAnalyticShape& out);
