#include "shapes/analytic_member.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "shapes/levels_shape.h"
#include "support/change_case.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Code = PlAnalyticShapeDiagnosticCode;
using Points = std::vector<PlAnalyticPoint>;
using Bounds = std::array<std::int64_t, 6>;
using D = PlShapeDefinition;
using K = PlShapeKind;

D Make(PlShapeKind kind, std::initializer_list<std::pair<std::int64_t D::*, std::int64_t>> dims) {
  D d;
  d.kind = kind;
  for (const auto& [member, value] : dims) d.*member = value;
  return d;
}

D LPrism(PlNotchQuadrant quadrant) {
  D d = Make(K::lPrism, {{&D::heightUm, 5000},
                         {&D::notchXSpanUm, 4000},
                         {&D::notchZSpanUm, 3000},
                         {&D::outsideXSpanUm, 10000},
                         {&D::outsideZSpanUm, 8000}});
  d.notchQuadrant = quadrant;
  return d;
}

D Triangle(std::int64_t depth, std::int64_t base, std::int64_t offset) {
  return Make(K::triangularPrism, {{&D::heightUm, 1000},
                                   {&D::baseZSpanUm, base},
                                   {&D::pointXDepthUm, depth},
                                   {&D::pointZOffsetUm, offset}});
}

// A cylinder of 10 mm diameter or a frustum of 10 mm to 6 mm, 40 mm long.
D Axial(PlShapeKind kind, PlShapeMount mount) {
  const bool cylinder = kind == K::cylinder;
  D d = Make(kind, {{&D::axisLengthUm, 40000},
                    {cylinder ? &D::diameterUm : &D::largeDiameterUm, 10000},
                    {&D::smallDiameterUm, cylinder ? 0 : 6000}});
  d.mount = mount;
  return d;
}

// A definition of every kind and variant with its expected descriptor fields.
struct KindCase {
  const char* name;
  D definition;
  Bounds shape;
  Bounds carrier;  // the carrier value is 2000 exactly when it differs from `shape`
  bool flag;
  Points footprint;
};

std::vector<KindCase> EveryKind() {
  const std::vector<PlShapePoint> square = {{0, 0}, {0, 10000}, {10000, 10000}, {10000, 0}};
  D apex = Make(K::apexShape, {});
  apex.levels = {{square, 0}, {square, 5000}};
  // Concave, seated and already in normal form.
  D polygon = Make(K::polygonPrism, {{&D::heightUm, 3000}});
  polygon.vertices = {{0, 0},         {0, 20000},     {10000, 20000},
                      {10000, 10000}, {20000, 10000}, {20000, 0}};
  const Bounds l = {-10000, 0, -8000, 10000, 10000, 8000};
  const Bounds rectangle = {-10000, 0, -6000, 10000, 16000, 6000};
  // clang-format off
  return {
      {"box", Make(K::box, {{&D::xSpanUm, 20000}, {&D::zSpanUm, 30000}, {&D::heightUm, 10000}}),
       {-20000, 0, -30000, 20000, 20000, 30000}, {-20000, 0, -30000, 20000, 20000, 30000}, true,
       {{-20000, -30000}, {-20000, 30000}, {20000, 30000}, {20000, -30000}}},
      {"cylinder upright", Axial(K::cylinder, PlShapeMount::upright),
       {-10000, 0, -10000, 10000, 80000, 10000}, {-11000, 0, -11000, 11000, 81000, 11000}, true, {}},
      {"cylinder laidDown", Axial(K::cylinder, PlShapeMount::laidDown),
       {-40000, 0, -10000, 40000, 20000, 10000}, {-41000, -1000, -11000, 41000, 21000, 11000}, false, {}},
      {"L ++", LPrism(PlNotchQuadrant::positiveXPositiveZ), l, l, true,
       {{-10000, -8000}, {-10000, 8000}, {2000, 8000}, {2000, 2000}, {10000, 2000}, {10000, -8000}}},
      {"L --", LPrism(PlNotchQuadrant::negativeXNegativeZ), l, l, true,
       {{10000, 8000}, {10000, -8000}, {-2000, -8000}, {-2000, -2000}, {-10000, -2000}, {-10000, 8000}}},
      {"L +-", LPrism(PlNotchQuadrant::positiveXNegativeZ), l, l, true,
       {{10000, 8000}, {10000, -2000}, {2000, -2000}, {2000, -8000}, {-10000, -8000}, {-10000, 8000}}},
      {"L -+", LPrism(PlNotchQuadrant::negativeXPositiveZ), l, l, true,
       {{-10000, -8000}, {-10000, 2000}, {-2000, 2000}, {-2000, 8000}, {10000, 8000}, {10000, -8000}}},
      {"triangle", Triangle(4000, 5000, -2000),
       {-4000, 0, -5000, 4000, 2000, 5000}, {-4000, 0, -5000, 4000, 2000, 5000}, true,
       {{-4000, -5000}, {-4000, 5000}, {4000, -4000}}},
      {"wedge", Make(K::wedge, {{&D::xSpanUm, 10000}, {&D::zSpanUm, 6000}, {&D::highHeightUm, 8000},
                                {&D::lowHeightUm, 2000}}),
       rectangle, rectangle, true, {{-10000, -6000}, {-10000, 6000}, {10000, 6000}, {10000, -6000}}},
      {"frustum upright", Axial(K::frustum, PlShapeMount::upright),
       {-10000, 0, -10000, 10000, 80000, 10000}, {-11000, 0, -11000, 11000, 81000, 11000}, true, {}},
      {"frustum laidDown", Axial(K::frustum, PlShapeMount::laidDown),
       {-40000, 0, -10000, 40000, 20000, 10000}, {-41000, -1000, -11000, 41000, 21000, 11000}, false, {}},
      {"polygon", polygon,
       {-20000, 0, -20000, 20000, 6000, 20000}, {-20000, 0, -20000, 20000, 6000, 20000}, true,
       {{-20000, -20000}, {-20000, 20000}, {0, 20000}, {0, 0}, {20000, 0}, {20000, -20000}}},
      {"apex", apex,
       {-10000, 0, -10000, 10000, 10000, 10000}, {-10000, 0, -10000, 10000, 10000, 10000}, false, {}},
      {"sphere", Make(K::sphere, {{&D::diameterUm, 10000}}),
       {-10000, 0, -10000, 10000, 20000, 10000}, {-11000, -1000, -11000, 11000, 21000, 11000}, false, {}},
  };
  // clang-format on
}

PlShapeDefinition Kind(const char* name) {
  for (const KindCase& c : EveryKind()) {
    if (std::string(c.name) == name) return c.definition;
  }
  throw std::out_of_range(name);
}

PlAnalyticShape Build(const PlShapeDefinition& d) {
  return BuildPlAnalyticShape(d, PlShapeDefinitionId(d), PlShapeDefinitionSourceHash(d));
}

// Little-endian bytes written independently of the member's own writer.
struct LeBytes {
  Bytes bytes;
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void I64(std::int64_t v) {
    const auto u = static_cast<std::uint64_t>(v);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
  }
  void Text(const std::string& t) {
    U32(static_cast<std::uint32_t>(t.size()));
    bytes.insert(bytes.end(), t.begin(), t.end());
  }
};

void AddToI64(Bytes& bytes, std::size_t offset, std::int64_t delta) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{bytes[offset + i]} << (8 * i);
  v += static_cast<std::uint64_t>(delta);
  for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::int64_t DoubledArea(const Points& p, const std::vector<std::uint32_t>& indices) {
  std::int64_t s = 0;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const PlAnalyticPoint& a = p[indices[i]];
    const PlAnalyticPoint& b = p[indices[(i + 1) % indices.size()]];
    s += a.xHalfUm * b.zHalfUm - a.zHalfUm * b.xHalfUm;
  }
  return s;
}

// True when 2·bound compares with r + s·√3 as `below` asks, decided exactly
// by squaring both sides.
bool BoundHolds(std::int64_t bound, PlInt128 r, PlInt128 s, bool below) {
  const PlInt128 a = below ? 2 * PlInt128{bound} - r : r - 2 * PlInt128{bound};
  const PlInt128 t = below ? s : -s;  // need t·√3 >= a
  if (t >= 0) return a <= 0 || 3 * t * t >= a * a;
  return a < 0 && 3 * t * t <= a * a;
}

TEST(AnalyticMember, EncodesGoldenSphere) {
  LeBytes golden;
  golden.bytes = {'P', 'L', 'A', 'N', 'L', 'Y', '1', 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  golden.Text("sha256:7ccb12e944495bd69ba87b6ff2bcb9a695b613337050f08d629aecda972ee0ce");
  golden.Text("sha256:f75118b81bfe8a949a59a159679edda361d3e97f15939a01675cd9f1d0e1dcef");
  for (const std::int64_t v : {10000, -10000, 0, -10000, 10000, 20000, 10000, -11000, -1000, -11000,
                               11000, 21000, 11000, 2000}) {
    golden.I64(v);
  }
  golden.U32(0);
  golden.U32(0);
  golden.U32(12);
  for (std::uint32_t heading = 0; heading < 360; heading += 30) {
    golden.U32(heading);
    golden.U32(0);
  }
  const PlAnalyticShape sphere = Build(Kind("sphere"));
  EXPECT_EQ(EncodePlAnalyticShape(sphere), golden.bytes);
  PlAnalyticShape decoded;
  ASSERT_TRUE(DecodePlAnalyticShape(golden.bytes, decoded).Accepted());
  EXPECT_EQ(decoded, sphere);
}

TEST(AnalyticMember, BuildsCertifiesAndRoundTripsEveryKind) {
  for (const KindCase& c : EveryKind()) {
    SCOPED_TRACE(c.name);
    const PlAnalyticShape shape = Build(c.definition);
    EXPECT_EQ(shape.kind, static_cast<std::uint32_t>(c.definition.kind) + 1);
    EXPECT_EQ(shape.shapeBoundsHalfUm, c.shape);
    EXPECT_EQ(shape.legacyCarrierCertificateHalfUm, c.carrier);
    EXPECT_EQ(shape.carrierValueHalfUm, c.carrier == c.shape ? 0 : 2000);
    EXPECT_EQ(shape.flag, c.flag);
    EXPECT_EQ(shape.footprint, c.footprint);

    const PlAnalyticShapeDiagnostic certified = CertifyPlAnalyticShape(shape);
    EXPECT_TRUE(certified.Accepted()) << certified.message;
    PlAnalyticShape decoded;
    const PlAnalyticShapeDiagnostic diagnostic =
        DecodePlAnalyticShape(EncodePlAnalyticShape(shape), decoded);
    EXPECT_TRUE(diagnostic.Accepted()) << diagnostic.message;
    EXPECT_EQ(decoded, shape);

    ASSERT_EQ(shape.headingTable.size(), 12u);
    for (std::size_t k = 0; k < 12; ++k) {
      EXPECT_EQ(shape.headingTable[k].headingDeg, 30 * k);
      EXPECT_EQ(shape.headingTable[k].intervals.size(), shape.footprint.size());
    }
    // n - 2 triangles that each turn like the footprint and together cover it.
    const std::size_t n = shape.footprint.size();
    ASSERT_EQ(shape.convexDecomposition.size(), n == 0 ? 0 : n - 2);
    std::vector<std::uint32_t> all(n);
    for (std::uint32_t i = 0; i < n; ++i) all[i] = i;
    std::int64_t covered = 0;
    for (const std::vector<std::uint32_t>& part : shape.convexDecomposition) {
      ASSERT_EQ(part.size(), 3u);
      EXPECT_LT(DoubledArea(shape.footprint, part), 0);
      covered += DoubledArea(shape.footprint, part);
    }
    EXPECT_EQ(covered, n == 0 ? 0 : DoubledArea(shape.footprint, all));
  }
}

TEST(AnalyticMember, CertifiedIntervalsContainTheExactTurn) {
  PlAnalyticInterval turned;
  ASSERT_TRUE(TurnPlAnalyticPoint({1000000, 0}, 30, turned));
  EXPECT_EQ(turned, (PlAnalyticInterval{866025, 866026, -500000, -500000}));
  // A point depth of 1 mm puts the apex 0.5 mm out: (1000000, 0) half-micrometres.
  EXPECT_EQ(Build(Triangle(1000000, 600000, 0)).headingTable[1].intervals[2], turned);

  // cos 30·k as (p + q·√3) / 2, written from the unit circle rather than the code's table.
  const int cosine[12][2] = {{2, 0},  {0, 1},  {1, 0},  {0, 0}, {-1, 0}, {0, -1},
                             {-2, 0}, {0, -1}, {-1, 0}, {0, 0}, {1, 0},  {0, 1}};
  std::mt19937_64 random(20240611);
  std::uniform_int_distribution<std::int64_t> coordinate(-200000000, 200000000);
  for (int sample = 0; sample < 2000; ++sample) {
    const PlAnalyticPoint p{coordinate(random), coordinate(random)};
    for (int k = 0; k < 12; ++k) {
      const int s = (k + 9) % 12;  // sin h = cos(h - 90°)
      const PlInt128 x = p.xHalfUm;
      const PlInt128 z = p.zHalfUm;
      const PlInt128 xr = x * cosine[k][0] + z * cosine[s][0];
      const PlInt128 xs = x * cosine[k][1] + z * cosine[s][1];
      const PlInt128 zr = z * cosine[k][0] - x * cosine[s][0];
      const PlInt128 zs = z * cosine[k][1] - x * cosine[s][1];
      PlAnalyticInterval t;
      ASSERT_TRUE(TurnPlAnalyticPoint(p, static_cast<std::uint32_t>(30 * k), t));
      ASSERT_TRUE(BoundHolds(t.xLowHalfUm, xr, xs, true) &&
                  BoundHolds(t.xHighHalfUm, xr, xs, false))
          << p.xHalfUm << "," << p.zHalfUm << " @" << 30 * k;
      ASSERT_TRUE(BoundHolds(t.zLowHalfUm, zr, zs, true) &&
                  BoundHolds(t.zHighHalfUm, zr, zs, false))
          << p.xHalfUm << "," << p.zHalfUm << " @" << 30 * k;
      EXPECT_LE(t.xHighHalfUm - t.xLowHalfUm, 2);
      EXPECT_LE(t.zHighHalfUm - t.zLowHalfUm, 2);
      if (k % 3 == 0) {  // quarter turns are exact
        EXPECT_EQ(t.xLowHalfUm, t.xHighHalfUm);
        EXPECT_EQ(t.zLowHalfUm, t.zHighHalfUm);
      }
    }
  }
}

TEST(AnalyticMember, RefusesCoordinatesAndHeadingsOutsideItsRange) {
  PlAnalyticInterval turned;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_TRUE(TurnPlAnalyticPoint({kMax, kMax}, 0, turned));
  EXPECT_FALSE(TurnPlAnalyticPoint({kMax, kMax}, 30, turned));
  EXPECT_THROW((void)TurnPlAnalyticPoint({1, 1}, 45, turned), std::invalid_argument);
  EXPECT_THROW((void)TurnPlAnalyticPoint({1, 1}, 360, turned), std::invalid_argument);
  const std::uint32_t eleven[] = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300};
  const std::uint32_t shifted[] = {0, 30, 60, 90, 120, 150, 180, 210, 240, 270, 300, 345};
  EXPECT_THROW((void)BuildPlAnalyticShape(Kind("box"), "", "", eleven), std::invalid_argument);
  EXPECT_THROW((void)BuildPlAnalyticShape(Kind("box"), "", "", shifted), std::invalid_argument);
}

TEST(AnalyticMember, CertificationRefusesTamperedDescriptors) {
  PlShapeDefinition other = Kind("box");
  other.heightUm += 1;
  using Case = ChangeCase<PlAnalyticShape, Code>;
  const char* kIdentities = "shape definition identities are not canonical SHA-256";
  const char* kDisagree = "shape definition bytes and identities disagree";
  const char* kInvalid = "shape definition is invalid or noncanonical";
  const char* kBounds = "shape bounds or legacy carrier certificate disagree";
  const Case cases[] = {
      {"upper-case id", [](PlAnalyticShape& s) { s.shapeDefinitionId[10] = 'A'; },
       Code::identityText, kIdentities},
      {"short hash", [](PlAnalyticShape& s) { s.definitionSha256.pop_back(); }, Code::identityText,
       kIdentities},
      {"foreign id", [&](PlAnalyticShape& s) { s.shapeDefinitionId = PlShapeDefinitionId(other); },
       Code::definition, kDisagree},
      {"foreign hash",
       [&](PlAnalyticShape& s) { s.definitionSha256 = PlShapeDefinitionSourceHash(other); },
       Code::definition, kDisagree},
      {"zero height", [](PlAnalyticShape& s) { s.definition.heightUm = 0; }, Code::definition,
       kInvalid},
      {"stray member", [](PlAnalyticShape& s) { s.definition.diameterUm = 5; }, Code::definition,
       kInvalid},
      {"kind", [](PlAnalyticShape& s) { s.kind = 5; }, Code::definition,
       "shape kind and definition disagree"},
      {"carrier", [](PlAnalyticShape& s) { --s.legacyCarrierCertificateHalfUm[0]; }, Code::bounds,
       kBounds},
      {"carrier value", [](PlAnalyticShape& s) { s.carrierValueHalfUm = 2000; }, Code::bounds,
       kBounds},
      {"flag", [](PlAnalyticShape& s) { s.flag = false; }, Code::bounds, kBounds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlAnalyticShape shape = Build(Kind("box"));
    c.change(shape);
    const PlAnalyticShapeDiagnostic diagnostic = CertifyPlAnalyticShape(shape);
    EXPECT_EQ(diagnostic.code, c.code);
    EXPECT_EQ(diagnostic.message, c.message);
    EXPECT_TRUE(EncodePlAnalyticShape(shape).empty());
  }
}

TEST(AnalyticMember, DecoderRefusesDamagedMembers) {
  const Bytes valid = EncodePlAnalyticShape(Build(Kind("box")));
  // Header, both identities and the three box dimensions come before the bounds.
  constexpr std::size_t kBounds = 20 + 2 * (4 + 71) + 24;
  constexpr std::size_t kFootprint = kBounds + 13 * 8 + 4;
  constexpr std::size_t kParts = kFootprint + 4 * 16 + 4;
  using Case = ChangeCase<Bytes, Code>;
  const char* kHeader = "analytic shape member has no complete header";
  const char* kMalformed = "analytic shape member is malformed";
  const Case cases[] = {
      {"19 bytes", [](Bytes& b) { b.resize(19); }, Code::truncated, kHeader},
      {"magic", [](Bytes& b) { b[7] = '!'; }, Code::truncated, kHeader},
      {"version 2", [](Bytes& b) { b[8] = 2; }, Code::malformed, kMalformed},
      {"kind 0", [](Bytes& b) { b[12] = 0; }, Code::malformed, kMalformed},
      {"kind 10", [](Bytes& b) { b[12] = 10; }, Code::malformed, kMalformed},
      {"flag 2", [](Bytes& b) { b[16] = 2; }, Code::malformed, kMalformed},
      {"footprint count past the end", [](Bytes& b) { b[kFootprint - 2] = 1; }, Code::truncated,
       kMalformed},
      {"trailing byte", [](Bytes& b) { b.push_back(0); }, Code::nonCanonical,
       "analytic shape member is not in canonical binary form"},
      {"over 1 MiB", [](Bytes& b) { b.resize(kPlAnalyticShapeMaxBytes + 1); }, Code::limitExceeded,
       "analytic shape member exceeds 1 MiB"},
      {"bounds", [](Bytes& b) { AddToI64(b, kBounds, -1); }, Code::bounds,
       "shape bounds or legacy carrier certificate disagree"},
      {"footprint", [](Bytes& b) { AddToI64(b, kFootprint, 2); }, Code::footprint,
       "shape footprint does not match its definition"},
      {"decomposition", [](Bytes& b) { b[kParts + 4] ^= 1; }, Code::decomposition,
       "convex decomposition is incomplete or noncanonical"},
      {"widened interval", [](Bytes& b) { AddToI64(b, b.size() - 8, 1); }, Code::headingTable,
       "heading table differs from the certified transform intervals"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = valid;
    c.change(bytes);
    PlAnalyticShape out = Build(Kind("sphere"));
    const PlAnalyticShapeDiagnostic diagnostic = DecodePlAnalyticShape(bytes, out);
    EXPECT_EQ(diagnostic.code, c.code);
    EXPECT_EQ(diagnostic.message, c.message);
    EXPECT_EQ(out, PlAnalyticShape{});
  }

  // Every proper prefix is cut short, and every changed byte is refused: no
  // byte of the member is free.
  PlAnalyticShape out;
  for (std::size_t size = 0; size < valid.size(); ++size) {
    const Bytes prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(size));
    ASSERT_EQ(DecodePlAnalyticShape(prefix, out).code, Code::truncated) << size;
  }
  for (std::size_t i = 0; i < valid.size(); ++i) {
    for (const std::uint8_t mask : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      Bytes changed = valid;
      changed[i] ^= mask;
      ASSERT_FALSE(DecodePlAnalyticShape(changed, out).Accepted()) << i;
    }
  }
}

}  // namespace
