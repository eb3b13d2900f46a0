#include "shapes/analytic_member.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "support/change_case.h"
#include "support/shape_documents.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Code = PlAnalyticShapeDiagnosticCode;
using Points = std::vector<PlAnalyticPoint>;
using Bounds = std::array<std::int64_t, 6>;

PlShapeDefinition Def(const std::string& shape) {
  return ParsePlShapeDefinition(ShapeDefinitionDocument(shape));
}
const PlShapeDefinition kBox = Def(BoxShape(10000, 20000, 30000));
PlAnalyticShape Build(const PlShapeDefinition& d) {
  return BuildPlAnalyticShape(d, PlShapeDefinitionId(d), PlShapeDefinitionSourceHash(d));
}

TEST(AnalyticMember, EncodesGoldenSphere) {
  Bytes golden = {'P', 'L', 'A', 'N', 'L', 'Y', '1', 0, 1, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0};
  // Little-endian, written independently of the member's own writer.
  const auto le = [&golden](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) golden.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  for (const std::string text :
       {"sha256:7ccb12e944495bd69ba87b6ff2bcb9a695b613337050f08d629aecda972ee0ce",
        "sha256:f75118b81bfe8a949a59a159679edda361d3e97f15939a01675cd9f1d0e1dcef"}) {
    le(text.size(), 4);
    golden.insert(golden.end(), text.begin(), text.end());
  }
  for (const std::int64_t v : {10000, -10000, 0, -10000, 10000, 20000, 10000, -11000, -1000, -11000,
                               11000, 21000, 11000, 2000})
    le(static_cast<std::uint64_t>(v), 8);
  for (const std::uint32_t v : {0, 0, 12}) le(v, 4);
  for (std::uint32_t heading = 0; heading < 360; heading += 30) le(heading, 8);
  const PlAnalyticShape sphere = Build(Def(SphereShape(10000)));
  EXPECT_EQ(EncodePlAnalyticShape(sphere), golden);
  PlAnalyticShape decoded;
  ASSERT_TRUE(DecodePlAnalyticShape(golden, decoded).Accepted());
  EXPECT_EQ(decoded, sphere);
}

TEST(AnalyticMember, BuildsCertifiesAndRoundTripsEachFamily) {
  // {definition, shape bounds, carrier certificate (its value is 2000 when they differ), flag,
  // footprint}
  const Bounds box = {-20000, 0, -30000, 20000, 20000, 30000};
  const Bounds l = {-40000, 0, -30000, 40000, 20000, 30000};
  const Bounds laid = {-40000, 0, -10000, 40000, 20000, 10000};
  const std::tuple<PlShapeDefinition, Bounds, Bounds, bool, Points> cases[] = {
      {kBox, box, box, true, {{-20000, -30000}, {-20000, 30000}, {20000, 30000}, {20000, -30000}}},
      {Def(CylinderShape(40000, 10000, "laidDown")),
       laid,
       {-41000, -1000, -11000, 41000, 21000, 11000},
       false,
       {}},
      {Def(LPrismShape("negativeXPositiveZ")),
       l,
       l,
       true,
       {{-40000, -30000},
        {-40000, 14000},
        {-20000, 14000},
        {-20000, 30000},
        {40000, 30000},
        {40000, -30000}}},
  };
  for (const auto& [definition, bounds, carrier, flag, footprint] : cases) {
    SCOPED_TRACE(PlShapeDefinitionCanonicalBytes(definition));
    const PlAnalyticShape shape = Build(definition);
    EXPECT_EQ(shape.shapeBoundsHalfUm, bounds);
    EXPECT_EQ(shape.legacyCarrierCertificateHalfUm, carrier);
    EXPECT_EQ(shape.carrierValueHalfUm, carrier == bounds ? 0 : 2000);
    EXPECT_EQ(shape.flag, flag);
    EXPECT_EQ(shape.footprint, footprint);
    EXPECT_TRUE(CertifyPlAnalyticShape(shape).Accepted());
    EXPECT_EQ(shape.convexDecomposition.size(), footprint.empty() ? 0 : footprint.size() - 2);
    PlAnalyticShape decoded;
    EXPECT_TRUE(DecodePlAnalyticShape(EncodePlAnalyticShape(shape), decoded).Accepted());
    EXPECT_EQ(decoded, shape);
  }
}

TEST(AnalyticMember, CertificationRefusesTamperedDescriptors) {
  PlShapeDefinition other = kBox;
  other.heightUm += 1;
  using S = PlAnalyticShape&;
  const ChangeCase<PlAnalyticShape, Code> cases[] = {
      {"id case", [](S s) { s.shapeDefinitionId[10] = 'A'; }, Code::identityText,
       "shape definition identities are not canonical SHA-256"},
      {"hash", [&](S s) { s.definitionSha256 = PlShapeDefinitionSourceHash(other); },
       Code::definition, "shape definition bytes and identities disagree"},
      {"stray member", [](S s) { s.definition.diameterUm = 5; }, Code::definition,
       "shape definition is invalid or noncanonical"},
      {"kind", [](S s) { s.kind = 5; }, Code::definition, "shape kind and definition disagree"},
  };
  for (const auto& c : cases) {
    PlAnalyticShape shape = Build(kBox);
    c.change(shape);
    const PlAnalyticShapeDiagnostic diagnostic = CertifyPlAnalyticShape(shape);
    EXPECT_EQ(diagnostic.code, c.code) << c.name;
    EXPECT_EQ(diagnostic.message, c.message) << c.name;
    EXPECT_TRUE(EncodePlAnalyticShape(shape).empty()) << c.name;
  }
}

TEST(AnalyticMember, DecoderRefusesDamagedMembers) {
  const Bytes valid = EncodePlAnalyticShape(Build(kBox));
  // Header, both identities and the three box dimensions come before the bounds.
  constexpr std::size_t kBounds = 20 + 2 * (4 + 71) + 24;
  constexpr std::size_t kFootprint = kBounds + 13 * 8 + 4;
  constexpr std::size_t kParts = kFootprint + 4 * 16 + 4;
  const char* kBad = "analytic shape member is malformed";
  const ChangeCase<Bytes, Code> cases[] = {
      {"19 bytes", [](Bytes& b) { b.resize(19); }, Code::truncated,
       "analytic shape member has no complete header"},
      {"kind 10", [](Bytes& b) { b[12] = 10; }, Code::malformed, kBad},
      {"trailing byte", [](Bytes& b) { b.push_back(0); }, Code::nonCanonical,
       "analytic shape member is not in canonical binary form"},
      {"over 1 MiB", [](Bytes& b) { b.resize(kPlAnalyticShapeMaxBytes + 1); }, Code::limitExceeded,
       "analytic shape member exceeds 1 MiB"},
      {"bounds", [](Bytes& b) { b[kBounds] ^= 1; }, Code::bounds,
       "shape bounds or legacy carrier certificate disagree"},
      {"footprint", [](Bytes& b) { b[kFootprint] ^= 2; }, Code::footprint,
       "shape footprint does not match its definition"},
      {"parts", [](Bytes& b) { b[kParts + 4] ^= 1; }, Code::decomposition,
       "convex decomposition is incomplete or noncanonical"},
      {"interval", [](Bytes& b) { b[b.size() - 8] ^= 1; }, Code::headingTable,
       "heading table differs from the certified transform intervals"},
  };
  for (const auto& c : cases) {
    Bytes bytes = valid;
    c.change(bytes);
    PlAnalyticShape out = Build(Def(SphereShape(10000)));
    const PlAnalyticShapeDiagnostic diagnostic = DecodePlAnalyticShape(bytes, out);
    EXPECT_EQ(diagnostic.code, c.code) << c.name;
    EXPECT_EQ(diagnostic.message, c.message) << c.name;
    EXPECT_EQ(out, PlAnalyticShape{}) << c.name;
  }
  // Every proper prefix is cut short, and no byte of the member is free.
  PlAnalyticShape out;
  for (std::size_t n = 0; n < valid.size(); ++n) {
    Bytes cut(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(n)), flipped = valid;
    flipped[n] ^= n % 2 ? 0x80 : 0x01;
    ASSERT_EQ(DecodePlAnalyticShape(cut, out).code, Code::truncated) << n;
    ASSERT_FALSE(DecodePlAnalyticShape(flipped, out).Accepted()) << n;
  }
}

}  // namespace
