#include "shapes/analytic_member.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/byte_io.h"
#include "core/error.h"
#include "core/sha256.h"
#include "shapes/levels_shape.h"

namespace {

using Code = PlAnalyticShapeDiagnosticCode;
using BoundsBlock = std::array<std::int64_t, 6>;

// cos h and sin h of the heading 30·k (row k) as (p + q·√3) / 2.
struct HeadingTrig {
  std::int64_t cosP;
  std::int64_t cosQ;
  std::int64_t sinP;
  std::int64_t sinQ;
};
constexpr std::array<HeadingTrig, 12> kHeadingTrig = {{{2, 0, 0, 0},
                                                       {0, 1, 1, 0},
                                                       {1, 0, 0, 1},
                                                       {0, 0, 2, 0},
                                                       {-1, 0, 0, 1},
                                                       {0, -1, 1, 0},
                                                       {-2, 0, 0, 0},
                                                       {0, -1, -1, 0},
                                                       {-1, 0, 0, -1},
                                                       {0, 0, -2, 0},
                                                       {1, 0, 0, -1},
                                                       {0, 1, -1, 0}}};
constexpr std::uint32_t kHeadingStepDeg = 30;

// 1.732050807 <= √3 <= 1.732050808, scaled by 10^9.
constexpr PlInt128 kSqrt3LowScaled = 1'732'050'807;
constexpr PlInt128 kSqrt3HighScaled = 1'732'050'808;
constexpr PlInt128 kSqrt3Scale = 1'000'000'000;

// The curved kinds' carrier reaches 0.5 mm beyond the solid on every side.
constexpr std::int64_t kCarrierWideningHalfUm = kPlAnalyticCarrierHalfUm / 2;

constexpr std::uint64_t kCountBytes = 4;
constexpr std::uint64_t kDimensionBytes = 8;
constexpr std::uint64_t kPointBytes = 16;
constexpr std::uint64_t kIntervalBytes = 32;
// Two bounds blocks and the carrier value.
constexpr std::uint64_t kBoundsSectionBytes = 13 * 8;
// A level's height and point count; a heading's degrees and interval count.
constexpr std::uint64_t kLevelHeadBytes = 12;
constexpr std::uint64_t kHeadingHeadBytes = 8;

constexpr std::uint32_t kLastKind = static_cast<std::uint32_t>(PlShapeKind::sphere) + 1;
// The encoder's working reservation, per footprint point and heading plus a
// fixed allowance, in units of one interval.
constexpr std::size_t kEncodeReserveFixedUnits = 32;
constexpr std::size_t kEncodeReserveUnitBytes = 32;

PlAnalyticShapeDiagnostic Fail(Code code, const char* message) {
  return PlAnalyticShapeDiagnostic{code, message};
}

bool FitsInt64(PlInt128 v) {
  return v >= std::numeric_limits<std::int64_t>::min() &&
         v <= std::numeric_limits<std::int64_t>::max();
}

// Division by a positive divisor, rounded towards negative infinity.
PlInt128 FloorDivide(PlInt128 n, PlInt128 d) {
  PlInt128 q = n / d;
  if (n % d != 0 && n < 0) --q;
  return q;
}

// Division by a positive divisor, rounded towards positive infinity.
PlInt128 CeilDivide(PlInt128 n, PlInt128 d) {
  PlInt128 q = n / d;
  if (n % d != 0 && n > 0) ++q;
  return q;
}

// Integer bounds of (r + s·√3) / 2. The √3 bound that can only lower the value
// goes into `low` and the one that can only raise it into `high`, so the exact
// value lies between them. Inputs come from 64-bit coordinates times |p|, |q| <= 2,
// so every product stays far inside 128 bits.
bool CertifiedHalfBounds(PlInt128 r, PlInt128 s, std::int64_t& low, std::int64_t& high) {
  const PlInt128 lowSqrt3 = s >= 0 ? kSqrt3LowScaled : kSqrt3HighScaled;
  const PlInt128 highSqrt3 = s >= 0 ? kSqrt3HighScaled : kSqrt3LowScaled;
  const PlInt128 lowValue = FloorDivide((r * kSqrt3Scale) + (s * lowSqrt3), 2 * kSqrt3Scale);
  const PlInt128 highValue = CeilDivide((r * kSqrt3Scale) + (s * highSqrt3), 2 * kSqrt3Scale);
  if (!FitsInt64(lowValue) || !FitsInt64(highValue)) return false;
  low = static_cast<std::int64_t>(lowValue);
  high = static_cast<std::int64_t>(highValue);
  return true;
}

// ---- expected descriptor -------------------------------------------------

BoundsBlock FlatBounds(std::int64_t xHalfUm, std::int64_t heightUm, std::int64_t zHalfUm) {
  return {-xHalfUm, 0, -zHalfUm, xHalfUm, 2 * heightUm, zHalfUm};
}

BoundsBlock WidenedCarrier(const BoundsBlock& bounds, bool keepFloor) {
  return {bounds[0] - kCarrierWideningHalfUm,
          keepFloor ? bounds[1] : bounds[1] - kCarrierWideningHalfUm,
          bounds[2] - kCarrierWideningHalfUm,
          bounds[3] + kCarrierWideningHalfUm,
          bounds[4] + kCarrierWideningHalfUm,
          bounds[5] + kCarrierWideningHalfUm};
}

void SetFlatBounds(PlAnalyticShape& shape, const BoundsBlock& bounds) {
  shape.shapeBoundsHalfUm = bounds;
  shape.legacyCarrierCertificateHalfUm = bounds;
  shape.carrierValueHalfUm = 0;
}

// A flat kind that lies on its footprint: flag set, bounds of its half spans and height.
bool SetFlatFootprint(PlAnalyticShape& shape, std::int64_t xHalfUm, std::int64_t heightUm,
                      std::int64_t zHalfUm, std::vector<PlAnalyticPoint> footprint) {
  shape.flag = true;
  SetFlatBounds(shape, FlatBounds(xHalfUm, heightUm, zHalfUm));
  shape.footprint = std::move(footprint);
  return true;
}

// Cylinders and frustums: an upright one keeps its carrier on the plate.
void SetAxialCurvedBounds(PlAnalyticShape& shape, PlShapeMount mount, std::int64_t axisLengthUm,
                          std::int64_t diameterUm) {
  const bool upright = mount == PlShapeMount::upright;
  shape.flag = upright;
  shape.shapeBoundsHalfUm =
      upright
          ? BoundsBlock{-diameterUm, 0, -diameterUm, diameterUm, 2 * axisLengthUm, diameterUm}
          : BoundsBlock{-axisLengthUm, 0, -diameterUm, axisLengthUm, 2 * diameterUm, diameterUm};
  shape.legacyCarrierCertificateHalfUm = WidenedCarrier(shape.shapeBoundsHalfUm, upright);
  shape.carrierValueHalfUm = kPlAnalyticCarrierHalfUm;
}

std::vector<PlAnalyticPoint> Rectangle(std::int64_t xHalfUm, std::int64_t zHalfUm) {
  return {{-xHalfUm, -zHalfUm}, {-xHalfUm, zHalfUm}, {xHalfUm, zHalfUm}, {xHalfUm, -zHalfUm}};
}

// The notch is cut from the (+x, +z) corner and then mirrored into its
// quadrant; a single mirror would flip the turning sense, so it reverses the order.
std::vector<PlAnalyticPoint> LOutline(const PlShapeDefinition& d) {
  const std::int64_t x = d.outsideXSpanUm;
  const std::int64_t z = d.outsideZSpanUm;
  const std::int64_t nx = 2 * d.notchXSpanUm;
  const std::int64_t nz = 2 * d.notchZSpanUm;
  std::vector<PlAnalyticPoint> outline = {{-x, -z},         {-x, z},     {x - nx, z},
                                          {x - nx, z - nz}, {x, z - nz}, {x, -z}};
  const PlNotchQuadrant q = d.notchQuadrant;
  const std::int64_t sx =
      (q == PlNotchQuadrant::positiveXNegativeZ || q == PlNotchQuadrant::positiveXPositiveZ) ? 1
                                                                                             : -1;
  const std::int64_t sz =
      (q == PlNotchQuadrant::negativeXPositiveZ || q == PlNotchQuadrant::positiveXPositiveZ) ? 1
                                                                                             : -1;
  for (PlAnalyticPoint& p : outline) {
    p.xHalfUm *= sx;
    p.zHalfUm *= sz;
  }
  if (sx * sz < 0) std::reverse(outline.begin(), outline.end());
  return outline;
}

// Largest x and z of the points, never below 0.
void LargestCoordinates(const std::vector<PlShapePoint>& points, std::int64_t& xUm,
                        std::int64_t& zUm) {
  for (const PlShapePoint& p : points) {
    xUm = std::max(xUm, p.xUm);
    zUm = std::max(zUm, p.zUm);
  }
}

// (2·x - X, 2·z - Z) for every point; false when one leaves 64 bits, which a
// polygon far from the origin can do.
bool CentredPolygon(const std::vector<PlShapePoint>& vertices, std::int64_t xUm, std::int64_t zUm,
                    std::vector<PlAnalyticPoint>& out) {
  out.reserve(vertices.size());
  for (const PlShapePoint& v : vertices) {
    const PlInt128 x = (2 * static_cast<PlInt128>(v.xUm)) - xUm;
    const PlInt128 z = (2 * static_cast<PlInt128>(v.zUm)) - zUm;
    if (!FitsInt64(x) || !FitsInt64(z)) return false;
    out.push_back({static_cast<std::int64_t>(x), static_cast<std::int64_t>(z)});
  }
  return true;
}

// Kind, flag, bounds and footprint of a validated definition. False when the
// footprint has no 64-bit form; the footprint is then left empty.
bool ExpectedOutline(const PlShapeDefinition& d, PlAnalyticShape& shape) {
  shape.kind = static_cast<std::uint32_t>(d.kind) + 1;
  switch (d.kind) {
    case PlShapeKind::box:
      return SetFlatFootprint(shape, d.xSpanUm, d.heightUm, d.zSpanUm,
                              Rectangle(d.xSpanUm, d.zSpanUm));
    case PlShapeKind::cylinder:
      SetAxialCurvedBounds(shape, d.mount, d.axisLengthUm, d.diameterUm);
      return true;
    case PlShapeKind::lPrism:
      return SetFlatFootprint(shape, d.outsideXSpanUm, d.heightUm, d.outsideZSpanUm, LOutline(d));
    case PlShapeKind::triangularPrism:
      return SetFlatFootprint(shape, d.pointXDepthUm, d.heightUm, d.baseZSpanUm,
                              {{-d.pointXDepthUm, -d.baseZSpanUm},
                               {-d.pointXDepthUm, d.baseZSpanUm},
                               {d.pointXDepthUm, 2 * d.pointZOffsetUm}});
    case PlShapeKind::wedge:
      return SetFlatFootprint(shape, d.xSpanUm, d.highHeightUm, d.zSpanUm,
                              Rectangle(d.xSpanUm, d.zSpanUm));
    case PlShapeKind::frustum:
      SetAxialCurvedBounds(shape, d.mount, d.axisLengthUm, d.largeDiameterUm);
      return true;
    case PlShapeKind::polygonPrism: {
      std::int64_t xUm = 0;
      std::int64_t zUm = 0;
      LargestCoordinates(d.vertices, xUm, zUm);
      std::vector<PlAnalyticPoint> footprint;
      const bool centred = CentredPolygon(d.vertices, xUm, zUm, footprint);
      // A footprint without a 64-bit form is left empty.
      if (!centred) footprint.clear();
      SetFlatFootprint(shape, xUm, d.heightUm, zUm, std::move(footprint));
      return centred;
    }
    case PlShapeKind::apexShape: {
      std::int64_t xUm = 0;
      std::int64_t zUm = 0;
      for (const PlShapeLevel& level : d.levels) LargestCoordinates(level.vertices, xUm, zUm);
      shape.flag = false;
      SetFlatBounds(shape, FlatBounds(xUm, d.levels.back().yUm, zUm));
      return true;
    }
    case PlShapeKind::sphere: {
      const std::int64_t diameterUm = d.diameterUm;
      shape.flag = false;
      shape.shapeBoundsHalfUm = {-diameterUm,    0,         -diameterUm, diameterUm,
                                 2 * diameterUm, diameterUm};
      shape.legacyCarrierCertificateHalfUm = WidenedCarrier(shape.shapeBoundsHalfUm, false);
      shape.carrierValueHalfUm = kPlAnalyticCarrierHalfUm;
      return true;
    }
  }
  PlRequire(false, "validation admits the nine kinds only");
  return false;
}

// The whole expected geometry of a validated definition: outline, ear-clipped
// parts and the heading table. False when the footprint or one of its turned
// intervals has no 64-bit form; footprint, parts and table are then empty.
bool ExpectedGeometry(const PlShapeDefinition& d, PlAnalyticShape& shape) {
  if (!ExpectedOutline(d, shape)) return false;

  std::vector<PlAnalyticHeadingEntry> table;
  table.reserve(kPlAnalyticHeadingsDeg.size());
  for (const std::uint32_t headingDeg : kPlAnalyticHeadingsDeg) {
    PlAnalyticHeadingEntry entry{headingDeg, {}};
    entry.intervals.resize(shape.footprint.size());
    for (std::size_t i = 0; i < shape.footprint.size(); ++i) {
      if (!TurnPlAnalyticPoint(shape.footprint[i], headingDeg, entry.intervals[i])) {
        shape.footprint.clear();
        return false;
      }
    }
    table.push_back(std::move(entry));
  }

  if (!shape.footprint.empty()) {
    std::vector<PlShapePoint> polygon;
    polygon.reserve(shape.footprint.size());
    for (const PlAnalyticPoint& p : shape.footprint) polygon.push_back({p.xHalfUm, p.zHalfUm});
    // A validated footprint is simple and turns negatively, so an ear always
    // exists; a failure here is a bug and surfaces as std::invalid_argument.
    for (const std::array<std::uint32_t, 3>& part : PlEarClipPolygon(polygon)) {
      shape.convexDecomposition.push_back({part[0], part[1], part[2]});
    }
  }
  shape.headingTable = std::move(table);
  return true;
}

// ---- definition check ----------------------------------------------------

// Validates in place; the definition module's own error is its verdict.
bool ValidatesInPlace(PlShapeDefinition& definition) {
  // The expected geometry exists for the nine kinds only, whatever the validator makes of others.
  if (static_cast<std::uint32_t>(definition.kind) >= kLastKind) return false;
  try {
    ValidatePlShapeDefinition(definition);
  } catch (const PlShapeDefinitionError&) {
    return false;
  }
  return true;
}

// ---- binary form ---------------------------------------------------------

// A definition is written member by member in the order of its kind's member
// table (PlShapeKindMembers), the canonical document's order.

std::uint32_t Count(std::size_t n) {
  // Certified descriptors hold a few hundred items and decoded ones came from u32 counts.
  PlRequire(n <= std::numeric_limits<std::uint32_t>::max(), "an analytic count fits 32 bits");
  return static_cast<std::uint32_t>(n);
}

void WriteI64(ByteWriter& writer, std::int64_t v) { writer.U64(static_cast<std::uint64_t>(v)); }

void WriteText(ByteWriter& writer, const std::string& text) {
  writer.U32(Count(text.size()));
  for (const char c : text) writer.U8(static_cast<std::uint8_t>(c));
}

void WritePoints(ByteWriter& writer, const std::vector<PlShapePoint>& points) {
  writer.U32(Count(points.size()));
  for (const PlShapePoint& p : points) {
    WriteI64(writer, p.xUm);
    WriteI64(writer, p.zUm);
  }
}

// Lists are a u32 count and their elements; a level is its height, then its points.
void WriteDefinition(ByteWriter& writer, const PlShapeDefinition& d) {
  for (const PlShapeKindMember& member : PlShapeKindMembers(d.kind)) {
    switch (member.holds) {
      case PlShapeMemberValue::kind:
        break;
      case PlShapeMemberValue::integer:
        WriteI64(writer, d.*member.field);
        break;
      case PlShapeMemberValue::mount:
        writer.U32(static_cast<std::uint32_t>(d.mount));
        break;
      case PlShapeMemberValue::notchQuadrant:
        writer.U32(static_cast<std::uint32_t>(d.notchQuadrant));
        break;
      case PlShapeMemberValue::vertices:
        WritePoints(writer, d.vertices);
        break;
      case PlShapeMemberValue::levels:
        writer.U32(Count(d.levels.size()));
        for (const PlShapeLevel& level : d.levels) {
          WriteI64(writer, level.yUm);
          WritePoints(writer, level.vertices);
        }
        break;
    }
  }
}

std::vector<std::uint8_t> WriteMember(const PlAnalyticShape& shape, std::size_t reserveBytes) {
  ByteWriter writer(reserveBytes);
  writer.Bytes(kPlAnalyticShapeMagic);
  writer.U32(kPlAnalyticShapeVersion);
  writer.U32(shape.kind);
  writer.U32(shape.flag ? 1 : 0);
  WriteText(writer, shape.shapeDefinitionId);
  WriteText(writer, shape.definitionSha256);
  WriteDefinition(writer, shape.definition);
  for (const std::int64_t v : shape.shapeBoundsHalfUm) WriteI64(writer, v);
  for (const std::int64_t v : shape.legacyCarrierCertificateHalfUm) WriteI64(writer, v);
  WriteI64(writer, shape.carrierValueHalfUm);
  writer.U32(Count(shape.footprint.size()));
  for (const PlAnalyticPoint& p : shape.footprint) {
    WriteI64(writer, p.xHalfUm);
    WriteI64(writer, p.zHalfUm);
  }
  writer.U32(Count(shape.convexDecomposition.size()));
  for (const std::vector<std::uint32_t>& part : shape.convexDecomposition) {
    writer.U32(Count(part.size()));
    for (const std::uint32_t index : part) writer.U32(index);
  }
  writer.U32(Count(shape.headingTable.size()));
  for (const PlAnalyticHeadingEntry& entry : shape.headingTable) {
    writer.U32(entry.headingDeg);
    writer.U32(Count(entry.intervals.size()));
    for (const PlAnalyticInterval& interval : entry.intervals) {
      WriteI64(writer, interval.xLowHalfUm);
      WriteI64(writer, interval.xHighHalfUm);
      WriteI64(writer, interval.zLowHalfUm);
      WriteI64(writer, interval.zHighHalfUm);
    }
  }
  return std::move(writer.bytes);
}

std::int64_t ReadI64(ByteReader& reader) { return static_cast<std::int64_t>(reader.U64()); }

// Reads a u32 count; false when the count, or the `itemBytes` each of its
// items takes, runs past the end.
[[nodiscard]] bool ReadCount(ByteReader& reader, std::uint64_t itemBytes, std::uint32_t& count) {
  if (!reader.Has(kCountBytes)) return false;
  count = reader.U32();
  return reader.Has(itemBytes * count);
}

// False when the text runs past the end.
bool ReadText(ByteReader& reader, std::string& out) {
  std::uint32_t length = 0;
  if (!ReadCount(reader, 1, length)) return false;
  const std::span<const std::uint8_t> text = reader.Take(length);
  out.assign(text.begin(), text.end());
  return true;
}

// False when the list runs past the end.
bool ReadPoints(ByteReader& reader, std::vector<PlShapePoint>& out) {
  std::uint32_t count = 0;
  if (!ReadCount(reader, kPointBytes, count)) return false;
  out.resize(count);
  for (PlShapePoint& p : out) {
    p.xUm = ReadI64(reader);
    p.zUm = ReadI64(reader);
  }
  return true;
}

// Reads the members of `d.kind`; false when a field runs past the end. Mounts
// and quadrants are taken as they stand: certification judges their values.
bool ReadDefinition(ByteReader& reader, PlShapeDefinition& d) {
  for (const PlShapeKindMember& member : PlShapeKindMembers(d.kind)) {
    switch (member.holds) {
      case PlShapeMemberValue::kind:
        break;
      case PlShapeMemberValue::integer:
        if (!reader.Has(kDimensionBytes)) return false;
        d.*member.field = ReadI64(reader);
        break;
      case PlShapeMemberValue::mount:
        if (!reader.Has(kCountBytes)) return false;
        d.mount = static_cast<PlShapeMount>(reader.U32());
        break;
      case PlShapeMemberValue::notchQuadrant:
        if (!reader.Has(kCountBytes)) return false;
        d.notchQuadrant = static_cast<PlNotchQuadrant>(reader.U32());
        break;
      case PlShapeMemberValue::vertices:
        if (!ReadPoints(reader, d.vertices)) return false;
        break;
      case PlShapeMemberValue::levels: {
        std::uint32_t levelCount = 0;
        if (!ReadCount(reader, kLevelHeadBytes, levelCount)) return false;
        d.levels.resize(levelCount);
        for (PlShapeLevel& level : d.levels) {
          if (!reader.Has(kDimensionBytes)) return false;
          level.yUm = ReadI64(reader);
          if (!ReadPoints(reader, level.vertices)) return false;
        }
        break;
      }
    }
  }
  return true;
}

PlAnalyticShapeDiagnostic Decode(std::span<const std::uint8_t> bytes, PlAnalyticShape& out) {
  if (bytes.size() > kPlAnalyticShapeMaxBytes) {
    return Fail(Code::limitExceeded, "analytic shape member exceeds 1 MiB");
  }
  ByteReader reader(bytes);
  if (!reader.Has(kPlAnalyticShapeHeaderBytes)) {
    return Fail(Code::truncated, "analytic shape member has no complete header");
  }
  const std::span<const std::uint8_t> magic = reader.Take(kPlAnalyticShapeMagic.size());
  if (!std::equal(magic.begin(), magic.end(), kPlAnalyticShapeMagic.begin())) {
    return Fail(Code::truncated, "analytic shape member has no complete header");
  }
  const std::uint32_t version = reader.U32();
  const std::uint32_t kind = reader.U32();
  const std::uint32_t flag = reader.U32();
  // The kind decides the definition's layout, so an unknown one cannot be read on.
  if (version != kPlAnalyticShapeVersion || kind == 0 || kind > kLastKind || flag > 1) {
    return Fail(Code::malformed, "analytic shape member is malformed");
  }

  PlAnalyticShape shape;
  shape.kind = kind;
  shape.flag = flag == 1;
  shape.definition.kind = static_cast<PlShapeKind>(kind - 1);
  if (!ReadText(reader, shape.shapeDefinitionId) || !ReadText(reader, shape.definitionSha256) ||
      !ReadDefinition(reader, shape.definition)) {
    return Fail(Code::truncated, "analytic shape member is malformed");
  }

  if (!reader.Has(kBoundsSectionBytes)) {
    return Fail(Code::truncated, "analytic shape member is malformed");
  }
  for (std::int64_t& v : shape.shapeBoundsHalfUm) v = ReadI64(reader);
  for (std::int64_t& v : shape.legacyCarrierCertificateHalfUm) v = ReadI64(reader);
  shape.carrierValueHalfUm = ReadI64(reader);

  std::uint32_t pointCount = 0;
  if (!ReadCount(reader, kPointBytes, pointCount)) {
    return Fail(Code::truncated, "analytic shape member is malformed");
  }
  shape.footprint.resize(pointCount);
  for (PlAnalyticPoint& p : shape.footprint) {
    p.xHalfUm = ReadI64(reader);
    p.zHalfUm = ReadI64(reader);
  }

  std::uint32_t partCount = 0;
  // Every part holds at least its own index count.
  if (!ReadCount(reader, kCountBytes, partCount)) {
    return Fail(Code::truncated, "analytic shape member is malformed");
  }
  shape.convexDecomposition.resize(partCount);
  for (std::vector<std::uint32_t>& part : shape.convexDecomposition) {
    std::uint32_t indexCount = 0;
    if (!ReadCount(reader, kCountBytes, indexCount)) {
      return Fail(Code::truncated, "analytic shape member is malformed");
    }
    part.resize(indexCount);
    for (std::uint32_t& index : part) index = reader.U32();
  }

  std::uint32_t headingCount = 0;
  if (!ReadCount(reader, kHeadingHeadBytes, headingCount)) {
    return Fail(Code::truncated, "analytic shape member is malformed");
  }
  shape.headingTable.resize(headingCount);
  for (PlAnalyticHeadingEntry& entry : shape.headingTable) {
    if (!reader.Has(kHeadingHeadBytes)) {
      return Fail(Code::truncated, "analytic shape member is malformed");
    }
    entry.headingDeg = reader.U32();
    const std::uint32_t intervalCount = reader.U32();
    if (!reader.Has(kIntervalBytes * intervalCount)) {
      return Fail(Code::truncated, "analytic shape member is malformed");
    }
    entry.intervals.resize(intervalCount);
    for (PlAnalyticInterval& interval : entry.intervals) {
      interval.xLowHalfUm = ReadI64(reader);
      interval.xHighHalfUm = ReadI64(reader);
      interval.zLowHalfUm = ReadI64(reader);
      interval.zHighHalfUm = ReadI64(reader);
    }
  }

  if (!reader.AtEnd()) {
    return Fail(Code::nonCanonical, "analytic shape member is not in canonical binary form");
  }
  const std::vector<std::uint8_t> reencoded = WriteMember(shape, bytes.size());
  if (!std::equal(reencoded.begin(), reencoded.end(), bytes.begin(), bytes.end())) {
    return Fail(Code::nonCanonical, "analytic shape member is not in canonical binary form");
  }

  PlAnalyticShapeDiagnostic certified = CertifyPlAnalyticShape(shape);
  if (!certified.Accepted()) return certified;
  out = std::move(shape);
  return certified;
}

}  // namespace

bool TurnPlAnalyticPoint(const PlAnalyticPoint& point, std::uint32_t headingDeg,
                         PlAnalyticInterval& out) {
  if (headingDeg % kHeadingStepDeg != 0 || headingDeg / kHeadingStepDeg >= kHeadingTrig.size()) {
    throw std::invalid_argument("analytic heading must be a multiple of 30 degrees below 360");
  }
  const HeadingTrig& t = kHeadingTrig[headingDeg / kHeadingStepDeg];
  const PlInt128 x = point.xHalfUm;
  const PlInt128 z = point.zHalfUm;
  // Twice each turned coordinate, as a rational part plus a multiple of √3.
  const PlInt128 xRational = (x * t.cosP) + (z * t.sinP);
  const PlInt128 xSqrt3 = (x * t.cosQ) + (z * t.sinQ);
  const PlInt128 zRational = (z * t.cosP) - (x * t.sinP);
  const PlInt128 zSqrt3 = (z * t.cosQ) - (x * t.sinQ);
  PlAnalyticInterval interval;
  if (!CertifiedHalfBounds(xRational, xSqrt3, interval.xLowHalfUm, interval.xHighHalfUm) ||
      !CertifiedHalfBounds(zRational, zSqrt3, interval.zLowHalfUm, interval.zHighHalfUm)) {
    return false;
  }
  out = interval;
  return true;
}

PlAnalyticShape BuildPlAnalyticShape(const PlShapeDefinition& definition,
                                     std::string_view shapeDefinitionId,
                                     std::string_view definitionSha256,
                                     std::span<const std::uint32_t> headingsDeg) {
  if (!std::equal(headingsDeg.begin(), headingsDeg.end(), kPlAnalyticHeadingsDeg.begin(),
                  kPlAnalyticHeadingsDeg.end())) {
    throw std::invalid_argument("analytic headings must be the twelve multiples of 30 degrees");
  }
  PlAnalyticShape shape;
  PlShapeDefinition validated = PlShapeDefinitionOwnMembers(definition);
  if (ValidatesInPlace(validated)) {
    (void)ExpectedGeometry(validated, shape);
    shape.definition = std::move(validated);
  } else {
    shape.kind = static_cast<std::uint32_t>(definition.kind) + 1;
    shape.definition = definition;
  }
  shape.shapeDefinitionId = shapeDefinitionId;
  shape.definitionSha256 = definitionSha256;
  return shape;
}

PlAnalyticShapeDiagnostic CertifyPlAnalyticShape(const PlAnalyticShape& shape) {
  if (!IsCanonicalSha256Identity(shape.shapeDefinitionId) ||
      !IsCanonicalSha256Identity(shape.definitionSha256)) {
    return Fail(Code::identityText, "shape definition identities are not canonical SHA-256");
  }
  // A stored polygon that validation would still normalise is not canonical.
  PlShapeDefinition validated = PlShapeDefinitionOwnMembers(shape.definition);
  if (!ValidatesInPlace(validated) || validated != shape.definition) {
    return Fail(Code::definition, "shape definition is invalid or noncanonical");
  }
  if (PlShapeDefinitionId(shape.definition) != shape.shapeDefinitionId ||
      PlShapeDefinitionSourceHash(shape.definition) != shape.definitionSha256) {
    return Fail(Code::definition, "shape definition bytes and identities disagree");
  }

  PlAnalyticShape expected;
  const bool geometryFits = ExpectedGeometry(shape.definition, expected);
  if (shape.kind != expected.kind) {
    return Fail(Code::definition, "shape kind and definition disagree");
  }
  if (shape.shapeBoundsHalfUm != expected.shapeBoundsHalfUm ||
      shape.legacyCarrierCertificateHalfUm != expected.legacyCarrierCertificateHalfUm ||
      shape.carrierValueHalfUm != expected.carrierValueHalfUm || shape.flag != expected.flag) {
    return Fail(Code::bounds, "shape bounds or legacy carrier certificate disagree");
  }
  // A definition without a 64-bit footprint has none that could match.
  if (!geometryFits || shape.footprint != expected.footprint) {
    return Fail(Code::footprint, "shape footprint does not match its definition");
  }
  if (shape.convexDecomposition != expected.convexDecomposition) {
    return Fail(Code::decomposition, "convex decomposition is incomplete or noncanonical");
  }
  if (shape.headingTable != expected.headingTable) {
    return Fail(Code::headingTable, "heading table differs from the certified transform intervals");
  }
  return PlAnalyticShapeDiagnostic{};
}

std::vector<std::uint8_t> EncodePlAnalyticShape(const PlAnalyticShape& shape) {
  if (!CertifyPlAnalyticShape(shape).Accepted()) return {};
  // Certified counts are small (at most 256 points and 12 headings), so the
  // reservation cannot overflow; large polygons simply grow past it.
  const std::size_t reserveBytes =
      ((shape.footprint.size() * shape.headingTable.size()) + kEncodeReserveFixedUnits) *
      kEncodeReserveUnitBytes;
  std::vector<std::uint8_t> bytes = WriteMember(shape, reserveBytes);
  if (bytes.size() > kPlAnalyticShapeMaxBytes) return {};
  return bytes;
}

PlAnalyticShapeDiagnostic DecodePlAnalyticShape(std::span<const std::uint8_t> bytes,
                                                PlAnalyticShape& out) {
  out = PlAnalyticShape{};
  try {
    return Decode(bytes, out);
  } catch (const std::bad_alloc&) {
    return Fail(Code::limitExceeded, "analytic shape member exceeds bounded memory");
  } catch (const std::length_error&) {
    return Fail(Code::limitExceeded, "analytic shape member exceeds bounded memory");
  }
}
