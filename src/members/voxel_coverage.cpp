#include "members/voxel_coverage.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "members/voxel_member.h"

namespace {

constexpr double kCoordinateLimitMm = 100001.0;
// From 2^23 on, the cell-range derivation needs more than a 24-bit significand.
constexpr double kBinary32DerivationLimit = 8388608.0;

// The binary64 layout.
constexpr std::uint64_t kSignBit = 0x8000'0000'0000'0000ULL;
constexpr std::uint64_t kPositiveInfinityBits = 0x7FF0'0000'0000'0000ULL;
constexpr std::uint64_t kFractionMask = 0x000F'FFFF'FFFF'FFFFULL;
constexpr std::uint64_t kImplicitBit = 0x0010'0000'0000'0000ULL;
constexpr std::uint64_t kExponentMask = 0x7FF;
constexpr int kFractionBits = 52;
constexpr int kExponentBias = 1023;
// The binary32 layout: 23 fraction bits, normal exponents from -126 to 127.
constexpr int kBinary32FractionBits = 23;
constexpr int kBinary32MinNormalExponent = -126;
constexpr int kBinary32MaxExponent = 127;

// Whether a finite double holds a binary32 value exactly. Decided on the bit
// pattern, because a round trip through float is not reliable here: the
// vectorizer of the compiler in use folds (double)(float)x back to x when it
// combines neighbouring conversions.
bool HoldsBinary32(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t field = (bits >> kFractionBits) & kExponentMask;
  const std::uint64_t fraction = bits & kFractionMask;
  // At binary32's normal exponents, the rule below asks exactly that the 29
  // fraction bits binary32 lacks are clear.
  constexpr std::uint64_t kLowestNormalField = kExponentBias + kBinary32MinNormalExponent;
  constexpr std::uint64_t kHighestField = kExponentBias + kBinary32MaxExponent;
  constexpr std::uint64_t kMissingFractionMask =
      (std::uint64_t{1} << (kFractionBits - kBinary32FractionBits)) - 1;
  if (field >= kLowestNormalField && field <= kHighestField) {
    return (fraction & kMissingFractionMask) == 0;
  }
  // Zero, or a binary64 subnormal, far below every binary32 value.
  if (field == 0) return fraction == 0;
  const int exponent = static_cast<int>(field) - kExponentBias;
  // A binary32 value is a multiple of 2^(e - 23) at normal exponents e, and of
  // 2^-149 below them.
  const int quantum = std::max(exponent, kBinary32MinNormalExponent) - kBinary32FractionBits;
  const int lowestSetBit = exponent - kFractionBits + std::countr_zero(fraction | kImplicitBit);
  return exponent <= kBinary32MaxExponent && lowestSetBit >= quantum;
}

enum class IndexStatus { ok, outsideRange, notBinary32, beyondDerivation };

[[noreturn]] void ThrowIndexStatus(IndexStatus status) {
  if (status == IndexStatus::outsideRange) {
    throw PlCadPrepError("invalid_voxel_bounds",
                         "voxel coordinate exceeds the native exact range limit", "voxel");
  }
  if (status == IndexStatus::notBinary32) {
    throw PlCadPrepError("invalid_voxel_bounds",
                         "voxel range requires an exact decoded-f32 coordinate", "voxel");
  }
  throw PlCadPrepError("invalid_voxel_bounds",
                       "voxel coordinate exceeds the exact cell-range derivation", "voxel");
}

// The cell size of one level, with what the index computation needs of it.
struct CellLattice {
  explicit CellLattice(std::uint32_t cellSizeMm) : sizeMm(cellSizeMm) {
    if (cellSizeMm == 0) {
      throw PlCadPrepError("invalid_voxel_bounds", "voxel cell size must be positive", "voxel");
    }
    inverse = 1.0 / sizeMm;
  }
  double sizeMm;
  double inverse;
};

// floor(x / s) without rounding. A valid x is m * 2^(e - 150) with a 24-bit
// significand m below 2^23 in magnitude, so x, s and every multiple q * s
// compared below are integers times a power of two that doubles hold exactly:
// the estimate from the reciprocal may be one off either way, and the exact
// comparisons correct it, giving the same q and remainder test as dividing m by
// s * 2^(150 - e) in integers.
inline IndexStatus TryExactCellIndex(double x, const CellLattice& lattice, PlVoxelCellIndex& out) {
  if (!(x >= -kCoordinateLimitMm && x <= kCoordinateLimitMm)) return IndexStatus::outsideRange;
  if (!HoldsBinary32(x)) return IndexStatus::notBinary32;
  const double magnitude = std::fabs(x);
  if (magnitude >= kBinary32DerivationLimit) return IndexStatus::beyondDerivation;
  auto quotient = static_cast<double>(static_cast<std::int64_t>(magnitude * lattice.inverse));
  // At most one of the two corrections applies: after a step down, (q + 1) * s is
  // the product that was too large. Written without branches, which the
  // estimate's rare misses would otherwise make unpredictable.
  quotient -= quotient * lattice.sizeMm > magnitude ? 1.0 : 0.0;
  quotient += (quotient + 1.0) * lattice.sizeMm <= magnitude ? 1.0 : 0.0;
  const bool remainderZero = quotient * lattice.sizeMm == magnitude;
  const auto q = static_cast<std::int64_t>(quotient);
  if (x >= 0.0) {
    out.index = q;
  } else {
    out.index = remainderZero ? -q : -(q + 1);
  }
  out.onBoundary = remainderZero;
  return IndexStatus::ok;
}

inline PlVoxelCellIndex ExactCellIndex(double x, const CellLattice& lattice) {
  PlVoxelCellIndex out;
  const IndexStatus status = TryExactCellIndex(x, lattice, out);
  if (status != IndexStatus::ok) [[unlikely]] {
    ThrowIndexStatus(status);
  }
  return out;
}

// TryExactCellIndex in integers, for a binary32 x within the coordinate limit,
// which is far below 2^23: |x| = m / 2^d with a 24-bit m, so floor(|x| / s) is
// floor(floor(|x|) / s), and |x| is a multiple of s when it has no fraction and
// its whole part is one.
// floor(n / s) for every whole part n of a coordinate within the limit, which
// is below 2^17, as (n * m) >> k with k = 17 + bit width of s and m = ceil(2^k / s):
// then m * s - 2^k < s <= 2^(k - 17), which keeps the quotient exact for every
// such n, and n * m stays below 2^36.
struct WholeDivisor {
  static constexpr int kWholeBits = 17;
  explicit WholeDivisor(std::uint32_t cellSizeMm)
      : sizeMm(cellSizeMm),
        shift(kWholeBits + std::bit_width(cellSizeMm)),
        multiplier(((std::uint64_t{1} << shift) + cellSizeMm - 1) / cellSizeMm) {}
  std::uint64_t Divide(std::uint64_t whole) const { return (whole * multiplier) >> shift; }
  std::uint64_t sizeMm;
  int shift;
  std::uint64_t multiplier;
};

inline PlVoxelCellIndex Binary32CellIndex(float x, const WholeDivisor& divisor) {
  constexpr std::uint32_t kFractionMask32 = 0x7F'FFFF;
  constexpr std::uint32_t kImplicitBit32 = 0x80'0000;
  constexpr std::uint32_t kExponentMask32 = 0xFF;
  // The exponent field at which bit 0 of the significand is worth 1, plus one.
  constexpr int kUnitField = 150;
  constexpr int kWordBits = 64;
  const auto bits = std::bit_cast<std::uint32_t>(x);
  const std::uint32_t field = (bits >> kBinary32FractionBits) & kExponentMask32;
  std::uint64_t whole = 0;
  bool fractionZero = false;
  if (field == 0) {
    // Zero, or a subnormal far below one.
    fractionZero = (bits & kFractionMask32) == 0;
  } else {
    const std::uint64_t m = (bits & kFractionMask32) | kImplicitBit32;
    const int shift = kUnitField - static_cast<int>(field);
    if (shift < kWordBits) {
      whole = m >> shift;
      fractionZero = (m & ((std::uint64_t{1} << shift) - 1)) == 0;
    }
  }
  const std::uint64_t q = divisor.Divide(whole);
  const bool remainderZero = fractionZero && q * divisor.sizeMm == whole;
  const auto signedQ = static_cast<std::int64_t>(q);
  PlVoxelCellIndex out;
  // -0.0 counts as non-negative, as the comparison with 0.0 has it.
  if ((bits >> 31) == 0 || (bits << 1) == 0) {
    out.index = signedQ;
  } else {
    out.index = remainderZero ? -signedQ : -(signedQ + 1);
  }
  out.onBoundary = remainderZero;
  return out;
}

inline PlVoxelCellRange CellRangeOf(double a, double b, const CellLattice& lattice) {
  if (a > b) {
    throw PlCadPrepError("invalid_voxel_bounds", "voxel coordinate range is inverted", "voxel");
  }
  const PlVoxelCellIndex start = ExactCellIndex(a, lattice);
  const PlVoxelCellIndex end = ExactCellIndex(b, lattice);
  PlVoxelCellRange range;
  range.first = start.onBoundary ? start.index - 1 : start.index;
  range.last = end.index;
  if (range.last < range.first) {
    throw PlCadPrepError("invalid_voxel_bounds", "voxel cell range is inverted", "voxel");
  }
  const auto count = static_cast<std::uint64_t>(range.last - range.first) + 1;
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    throw PlCadPrepError("voxel_cell_limit_exceeded", "voxel grid axis exceeds u32 limits",
                         "voxel");
  }
  range.count = static_cast<std::uint32_t>(count);
  return range;
}

// Interval arithmetic whose every result strictly contains the exact one: each
// end is computed in round-to-nearest and then stepped one double outward.

// The next larger double, as std::nextafter toward +inf gives it, from the bit
// pattern. The signs of the stepped values are unpredictable, so the step does
// not branch on them: a clear sign bit adds one, a set one subtracts one.
inline double Up(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t magnitude = bits & ~kSignBit;
  if (magnitude >= kPositiveInfinityBits) [[unlikely]] {
    // +inf and NaN stay; -inf steps to the most negative finite value.
    return bits == (kSignBit | kPositiveInfinityBits) ? std::numeric_limits<double>::lowest() : v;
  }
  const std::uint64_t stepped = bits + 1 - ((bits >> 63) << 1);
  return std::bit_cast<double>(magnitude == 0 ? std::uint64_t{1} : stepped);
}

inline double Down(double v) { return -Up(-v); }

// Subnormal operands and results make the hardware multiplier fall back to slow
// microcode, and the stepped zeros of the axis components produce exactly such
// operands. The same correctly rounded product is then formed in integers.
__extension__ using Uint128 = unsigned __int128;
constexpr int kSignificandBits = 53;
constexpr int kMinNormalExponent = -1022;
constexpr int kMaxExponent = 1023;
// The exponent of the smallest subnormal, and of bit 0 of a normal significand at bias 0.
constexpr int kSubnormalQuantumExponent = -1074;
constexpr int kSignificandScale = 1075;
// Factors with biased exponents at least this large always have a normal product.
constexpr std::uint64_t kSafeBiasedExponent = 512;

int BitLength(Uint128 v) {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  if (high != 0) return 128 - std::countl_zero(high);
  return 64 - std::countl_zero(static_cast<std::uint64_t>(v));
}

// Round-to-nearest-even a * b for finite a and b, without the hardware multiplier.
double MultiplyInIntegers(double a, double b) {
  const auto aBits = std::bit_cast<std::uint64_t>(a);
  const auto bBits = std::bit_cast<std::uint64_t>(b);
  const std::uint64_t sign = (aBits ^ bBits) & kSignBit;
  const std::uint64_t aField = (aBits >> kFractionBits) & kExponentMask;
  const std::uint64_t bField = (bBits >> kFractionBits) & kExponentMask;
  std::uint64_t aSignificand = aBits & kFractionMask;
  std::uint64_t bSignificand = bBits & kFractionMask;
  if ((aField == 0 && aSignificand == 0) || (bField == 0 && bSignificand == 0)) {
    return std::bit_cast<double>(sign);
  }
  int exponent = 0;
  if (aField == 0) {
    exponent += kSubnormalQuantumExponent;
  } else {
    aSignificand |= kImplicitBit;
    exponent += static_cast<int>(aField) - kSignificandScale;
  }
  if (bField == 0) {
    exponent += kSubnormalQuantumExponent;
  } else {
    bSignificand |= kImplicitBit;
    exponent += static_cast<int>(bField) - kSignificandScale;
  }
  const Uint128 product = Uint128{aSignificand} * bSignificand;
  const int length = BitLength(product);
  const int lead = length - 1 + exponent;
  if (lead > kMaxExponent) {
    return std::bit_cast<double>(sign | kPositiveInfinityBits);
  }
  int shift = 0;
  std::uint64_t base = 0;
  if (lead >= kMinNormalExponent) {
    shift = length - kSignificandBits;
    // The implicit bit of the rounded significand adds the last exponent step,
    // and a carry out of the significand lands in the exponent as it should.
    base = static_cast<std::uint64_t>(lead + kExponentBias - 1) << kFractionBits;
  } else {
    shift = kSubnormalQuantumExponent - exponent;
  }
  std::uint64_t rounded = 0;
  if (shift <= 0) {
    rounded = static_cast<std::uint64_t>(product << -shift);
  } else if (shift < 128) {
    const Uint128 kept = product >> shift;
    const Uint128 dropped = product - (kept << shift);
    const Uint128 half = Uint128{1} << (shift - 1);
    rounded = static_cast<std::uint64_t>(kept);
    if (dropped > half || (dropped == half && (rounded & 1U) != 0)) ++rounded;
  }
  return std::bit_cast<double>(sign | (base + rounded));
}

inline double Mul(double a, double b) {
  const std::uint64_t aField = (std::bit_cast<std::uint64_t>(a) >> kFractionBits) & kExponentMask;
  const std::uint64_t bField = (std::bit_cast<std::uint64_t>(b) >> kFractionBits) & kExponentMask;
  if ((aField >= kSafeBiasedExponent && bField >= kSafeBiasedExponent) || a == 0.0 || b == 0.0 ||
      aField == kExponentMask || bField == kExponentMask) {
    return a * b;
  }
  return MultiplyInIntegers(a, b);
}

struct Interval {
  double lo;
  double hi;
};

using IntervalVector = std::array<Interval, 3>;

Interval Difference(double p, double q) {
  const double d = p - q;
  return {Down(d), Up(d)};
}

Interval PointMinus(double v, const Interval& c) { return {Down(v - c.hi), Up(v - c.lo)}; }

Interval Product(const Interval& a, const Interval& b) {
  const double p0 = Mul(a.lo, b.lo);
  const double p1 = Mul(a.lo, b.hi);
  const double p2 = Mul(a.hi, b.lo);
  const double p3 = Mul(a.hi, b.hi);
  return {Down(std::min(std::min(p0, p1), std::min(p2, p3))),
          Up(std::max(std::max(p0, p1), std::max(p2, p3)))};
}

Interval Dot(const IntervalVector& x, const IntervalVector& y) {
  const Interval px = Product(x[0], y[0]);
  const Interval py = Product(x[1], y[1]);
  const Interval pz = Product(x[2], y[2]);
  return {Down(Down(px.lo + py.lo) + pz.lo), Up(Up(px.hi + py.hi) + pz.hi)};
}

Interval CrossComponent(const Interval& a1, const Interval& b2, const Interval& a2,
                        const Interval& b1) {
  const Interval first = Product(a1, b2);
  const Interval second = Product(a2, b1);
  return {Down(first.lo - second.hi), Up(first.hi - second.lo)};
}

IntervalVector Cross(const IntervalVector& a, const IntervalVector& b) {
  return {CrossComponent(a[1], b[2], a[2], b[1]), CrossComponent(a[2], b[0], a[0], b[2]),
          CrossComponent(a[0], b[1], a[1], b[0])};
}

// Cross(edge, unit) for the three unit vectors, worked out for finite edge
// components. A product with an exact 0 is {-m, m} for the least subnormal m
// (every product is a signed zero, stepped outward), and a product of x with an
// exact 1 is {Down(x.lo), Up(x.hi)}; the components below are CrossComponent of
// those, so the results are the same doubles as the general products give.
void CrossWithUnits(const IntervalVector& edge, IntervalVector& withX, IntervalVector& withY,
                    IntervalVector& withZ) {
  const double least = std::numeric_limits<double>::denorm_min();
  // CrossComponent of two products with 0.
  const Interval bothZero{Down(-least - least), Up(least + least)};
  // CrossComponent(x * 1, y * 0) and CrossComponent(y * 0, x * 1).
  const auto plus = [least](const Interval& x) {
    return Interval{Down(Down(x.lo) - least), Up(Up(x.hi) + least)};
  };
  const auto minus = [least](const Interval& x) {
    return Interval{Down(-least - Up(x.hi)), Up(least - Down(x.lo))};
  };
  withX = {bothZero, plus(edge[2]), minus(edge[1])};
  withY = {minus(edge[2]), bothZero, plus(edge[0])};
  withZ = {plus(edge[1]), minus(edge[0]), bothZero};
}

// Up(Mul(h, m)) with the last subnormal m remembered: the nine unit crosses share
// one subnormal component bound, whose product takes the slow exact route.
class RadiusTerms {
 public:
  explicit RadiusTerms(double halfExtentMm) : half(halfExtentMm) {}
  double Of(double magnitude) {
    if (magnitude == subnormal) return subnormalTerm;
    const double term = Up(Mul(half, magnitude));
    if (magnitude < std::numeric_limits<double>::min()) {
      subnormal = magnitude;
      subnormalTerm = term;
    }
    return term;
  }

 private:
  double half;
  double subnormal = std::numeric_limits<double>::quiet_NaN();
  double subnormalTerm = 0.0;
};

// The upper end of h * |N|_1, every product and sum rounded upwards.
double BoxRadius(RadiusTerms& radiusTerms, const IntervalVector& axis) {
  std::array<double, 3> terms{};
  for (int c = 0; c < 3; ++c) {
    const Interval& n = axis[static_cast<std::size_t>(c)];
    double magnitudeHi = 0.0;
    if (n.lo >= 0.0) {
      magnitudeHi = n.hi;
    } else if (n.hi <= 0.0) {
      magnitudeHi = -n.lo;
    } else {
      magnitudeHi = std::max(-n.lo, n.hi);
    }
    terms[static_cast<std::size_t>(c)] = radiusTerms.Of(magnitudeHi);
  }
  return Up(Up(terms[0] + terms[1]) + terms[2]);
}

constexpr int kAxisCount = 13;

// Everything of the overlap test that does not depend on the cell: the axes in
// their test order (box x, y, z; the normal; e_m x unit_n) and their radii.
struct TriangleAxes {
  std::array<IntervalVector, kAxisCount> axes;
  std::array<double, kAxisCount> radii;
};

void PrepareTriangleAxes(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c, double halfExtent,
                         TriangleAxes& out) {
  constexpr Interval kZero{0.0, 0.0};
  constexpr Interval kOne{1.0, 1.0};
  const std::array<IntervalVector, 3> units = {IntervalVector{kOne, kZero, kZero},
                                               IntervalVector{kZero, kOne, kZero},
                                               IntervalVector{kZero, kZero, kOne}};
  std::array<IntervalVector, 3> edges{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    edges[0][axis] = Difference(b[axis], a[axis]);
    edges[1][axis] = Difference(c[axis], b[axis]);
    edges[2][axis] = Difference(a[axis], c[axis]);
  }
  std::size_t next = 0;
  for (const IntervalVector& unit : units) out.axes[next++] = unit;
  out.axes[next++] = Cross(edges[0], edges[1]);
  const bool finiteEdges = std::all_of(edges.begin(), edges.end(), [](const IntervalVector& e) {
    return std::all_of(e.begin(), e.end(), [](const Interval& component) {
      return std::isfinite(component.lo) && std::isfinite(component.hi);
    });
  });
  for (const IntervalVector& edge : edges) {
    if (finiteEdges) {
      CrossWithUnits(edge, out.axes[next], out.axes[next + 1], out.axes[next + 2]);
      next += 3;
    } else {
      for (const IntervalVector& unit : units) out.axes[next++] = Cross(edge, unit);
    }
  }
  RadiusTerms radiusTerms(halfExtent);
  for (std::size_t i = 0; i < out.axes.size(); ++i) {
    out.radii[i] = BoxRadius(radiusTerms, out.axes[i]);
  }
}

bool MayOverlapCell(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c,
                    const TriangleAxes& prepared, const std::array<std::int64_t, 3>& cell,
                    double cellSize) {
  std::array<IntervalVector, 3> relative{};
  const std::array<const PlPoint3*, 3> corners = {&a, &b, &c};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const double centre = (static_cast<double>(cell[axis]) + 0.5) * cellSize;
    const Interval centreInterval{centre, centre};
    for (std::size_t v = 0; v < 3; ++v) {
      relative[v][axis] = PointMinus((*corners[v])[axis], centreInterval);
    }
  }
  for (std::size_t n = 0; n < prepared.axes.size(); ++n) {
    const IntervalVector& axis = prepared.axes[n];
    const Interval p0 = Dot(relative[0], axis);
    const Interval p1 = Dot(relative[1], axis);
    const Interval p2 = Dot(relative[2], axis);
    const double pMin = std::min(std::min(p0.lo, p1.lo), p2.lo);
    const double pMax = std::max(std::max(p0.hi, p1.hi), p2.hi);
    const double radius = prepared.radii[n];
    if (pMin > radius || -radius > pMax) return false;
  }
  return true;
}

// A cheap screen in plain doubles that decides most cells exactly as the
// interval test would, and leaves the rest to it. For every cell of the
// triangle's range, the interval test's projection ends lie within `slack` of a
// plain projection onto a fixed direction a0 taken from the axis interval, so
// a margin larger than the slack decides the axis the same way. The box axes
// are left out: inside the range they never separate, because every cell there
// touches the triangle's own extent on each axis.
constexpr std::size_t kFirstScreenedAxis = 3;
constexpr std::size_t kScreenedAxisCount = kAxisCount - kFirstScreenedAxis;
// Generous against the few roundings and steps of the interval test (each a
// relative 2^-52 or less) and of the screen itself.
constexpr double kRelativeSlack = 0x1p-40;
constexpr double kSlackGrowth = 1.0 + 0x1p-30;
// Covers every absolute subnormal error term.
constexpr double kAbsoluteSlack = 1e-300;
// Axis components smaller than this are treated as zero in the screen (their
// magnitude goes into the slack) so the screen never multiplies subnormals.
constexpr double kNegligibleComponent = 0x1p-500;

struct ScreenAxis {
  std::array<double, 3> direction;
  double projectionMin;
  double projectionMax;
  double slack;
  double radius;
};

struct TriangleScreen {
  std::array<ScreenAxis, kScreenedAxisCount> axes;
  std::size_t axisCount = 0;
};

// Every product with such an axis contains 0, so every projection interval
// contains 0 and can never lie beyond the (positive) radius: the axis never separates.
bool StraddlesZero(const IntervalVector& axis) {
  return std::all_of(axis.begin(), axis.end(),
                     [](const Interval& c) { return c.lo <= 0.0 && c.hi >= 0.0; });
}

enum class ScreenVerdict { separated, overlaps, undecided };

void PrepareTriangleScreen(const std::array<const PlPoint3*, 3>& corners,
                           const TriangleAxes& prepared,
                           const std::array<PlVoxelCellRange, 3>& range, double cellSize,
                           TriangleScreen& out) {
  // Over every cell of the range, |v - C| stays below the range length and |v|, |C|
  // below the farther range end, per axis.
  std::array<double, 3> spanMm{};
  std::array<double, 3> reachMm{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    spanMm[axis] = static_cast<double>(range[axis].count) * cellSize;
    reachMm[axis] = std::max(std::fabs(static_cast<double>(range[axis].first) * cellSize),
                             std::fabs(static_cast<double>(range[axis].last + 1) * cellSize));
  }
  out.axisCount = 0;
  for (std::size_t n = kFirstScreenedAxis; n < kAxisCount; ++n) {
    const IntervalVector& axis = prepared.axes[n];
    if (StraddlesZero(axis)) continue;
    ScreenAxis& screen = out.axes[out.axisCount++];
    double slack = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      double magnitude = std::max(std::fabs(axis[c].lo), std::fabs(axis[c].hi));
      double width = 0.0;
      if (magnitude < kNegligibleComponent) {
        // Bounded by the threshold itself, so no subnormal is ever multiplied.
        screen.direction[c] = 0.0;
        magnitude = kNegligibleComponent;
        width = kNegligibleComponent;
      } else {
        screen.direction[c] = axis[c].lo;
        width = axis[c].hi - axis[c].lo;
      }
      slack += spanMm[c] * (width + kRelativeSlack * magnitude) +
               kRelativeSlack * 2.0 * reachMm[c] * magnitude;
    }
    screen.slack = slack * kSlackGrowth + kAbsoluteSlack;
    screen.radius = prepared.radii[n];
    for (std::size_t v = 0; v < 3; ++v) {
      const PlPoint3& p = *corners[v];
      const double projection = ((p[0] * screen.direction[0]) + (p[1] * screen.direction[1])) +
                                (p[2] * screen.direction[2]);
      if (v == 0 || projection < screen.projectionMin) screen.projectionMin = projection;
      if (v == 0 || projection > screen.projectionMax) screen.projectionMax = projection;
    }
  }
}

ScreenVerdict ScreenCell(const TriangleScreen& screen, const std::array<std::int64_t, 3>& cell,
                         double cellSize) {
  const std::array<double, 3> centre = {(static_cast<double>(cell[0]) + 0.5) * cellSize,
                                        (static_cast<double>(cell[1]) + 0.5) * cellSize,
                                        (static_cast<double>(cell[2]) + 0.5) * cellSize};
  bool allClear = true;
  for (std::size_t n = 0; n < screen.axisCount; ++n) {
    const ScreenAxis& axis = screen.axes[n];
    const double offset = ((centre[0] * axis.direction[0]) + (centre[1] * axis.direction[1])) +
                          (centre[2] * axis.direction[2]);
    const double low = axis.projectionMin - offset;
    const double high = axis.projectionMax - offset;
    if (low - axis.slack > axis.radius || high + axis.slack < -axis.radius) {
      return ScreenVerdict::separated;
    }
    allClear = allClear && low + axis.slack <= axis.radius && high - axis.slack >= -axis.radius;
  }
  return allClear ? ScreenVerdict::overlaps : ScreenVerdict::undecided;
}

// Per axis of one triangle: its corners' lattice indices when they are exact,
// so cells that contain a corner can be marked without the interval test.
struct CornerCells {
  std::array<std::array<std::int64_t, 3>, 3> index{};
  std::array<std::array<bool, 3>, 3> onBoundary{};
  std::array<std::array<bool, 3>, 3> known{};
};

// A corner inside the closed cell box means the triangle truly touches the cell,
// and the outward-rounded test never rejects a true contact, so the answer is
// the same as the test's.
bool CellHoldsCorner(const CornerCells& corners, const std::array<std::int64_t, 3>& cell) {
  for (std::size_t v = 0; v < 3; ++v) {
    bool inside = true;
    for (std::size_t axis = 0; axis < 3 && inside; ++axis) {
      const std::int64_t idx = corners.index[v][axis];
      inside = corners.known[v][axis] &&
               (idx == cell[axis] || (corners.onBoundary[v][axis] && idx - 1 == cell[axis]));
    }
    if (inside) return true;
  }
  return false;
}

}  // namespace

PlVoxelCellIndex PlVoxelExactCellIndex(double x, std::uint32_t cellSizeMm) {
  return ExactCellIndex(x, CellLattice(cellSizeMm));
}

PlVoxelCellRange PlVoxelCellRangeOf(double a, double b, std::uint32_t cellSizeMm) {
  return CellRangeOf(a, b, CellLattice(cellSizeMm));
}

bool PlVoxelTriangleMayOverlapCell(const PlPoint3& a, const PlPoint3& b, const PlPoint3& c,
                                   const std::array<std::int64_t, 3>& cell,
                                   std::uint32_t cellSizeMm) {
  const double cellSize = CellLattice(cellSizeMm).sizeMm;
  TriangleAxes prepared;
  PrepareTriangleAxes(a, b, c, 0.5 * cellSize, prepared);
  return MayOverlapCell(a, b, c, prepared, cell, cellSize);
}

namespace {

// The cell range of one vertex coordinate, [ceil(x / s) - 1, floor(x / s)]: the
// cells whose closed boxes hold x. Both ends grow with x, so the range of a
// triangle on an axis is the least first and the greatest last of its corners,
// which is exactly the range of its lowest and highest coordinate.
struct VertexCells {
  std::array<std::int32_t, 3> first;
  std::array<std::int32_t, 3> last;
};

// Each vertex's cells, worked out once for all the triangles that share it. A
// vertex with a coordinate the exact index refuses is marked, and its triangles
// take the per-triangle route, which refuses it (or not) exactly as before.
// Valid coordinates are within 100001 mm, so every index fits 32 bits.
std::vector<VertexCells> MeasureVertexCells(const std::vector<PlPoint3>& vertices,
                                            std::uint32_t cellSizeMm,
                                            std::vector<std::uint8_t>& exact) {
  std::vector<VertexCells> cells(vertices.size());
  exact.assign(vertices.size(), 1);
  const WholeDivisor divisor(cellSizeMm);
  for (std::size_t v = 0; v < vertices.size(); ++v) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      // The conditions under which TryExactCellIndex accepts the coordinate.
      const double x = vertices[v][axis];
      if (!(x >= -kCoordinateLimitMm && x <= kCoordinateLimitMm) || !HoldsBinary32(x)) {
        exact[v] = 0;
        break;
      }
      const PlVoxelCellIndex index = Binary32CellIndex(static_cast<float>(x), divisor);
      cells[v].last[axis] = static_cast<std::int32_t>(index.index);
      cells[v].first[axis] =
          static_cast<std::int32_t>(index.onBoundary ? index.index - 1 : index.index);
    }
  }
  return cells;
}

// The triangle's cell range from its three corners' cells.
void RangeFromVertexCells(const VertexCells& a, const VertexCells& b, const VertexCells& c,
                          std::array<PlVoxelCellRange, 3>& range) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::int32_t first = std::min(std::min(a.first[axis], b.first[axis]), c.first[axis]);
    const std::int32_t last = std::max(std::max(a.last[axis], b.last[axis]), c.last[axis]);
    range[axis].first = first;
    range[axis].last = last;
    range[axis].count = static_cast<std::uint32_t>(std::int64_t{last} - first + 1);
  }
}

// The corner cells TryExactCellIndex would give for three exact corners.
void CornerCellsFromVertexCells(const std::array<const VertexCells*, 3>& corners,
                                CornerCells& cornerCells) {
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      cornerCells.index[v][axis] = corners[v]->last[axis];
      cornerCells.onBoundary[v][axis] = corners[v]->first[axis] != corners[v]->last[axis];
      cornerCells.known[v][axis] = true;
    }
  }
}

}  // namespace

void CoverPlVoxelTriangles(const PlGeometryMesh& mesh, std::uint32_t cellSizeMm,
                           const PlVoxelPaddedGrid& grid, std::vector<std::uint64_t>& covered,
                           const PlCadPrepOperationContext& context, std::uint64_t progressBase,
                           std::uint64_t progressTotal, const ProgressCallback& progress) {
  const CellLattice lattice(cellSizeMm);
  const double cellSize = lattice.sizeMm;
  const double halfExtent = 0.5 * cellSize;
  const std::uint64_t pnx = grid.padded[0];
  const std::uint64_t pnz = grid.padded[2];
  const std::size_t vertexCount = mesh.vertices.size();
  std::uint64_t cellTests = 0;
  TriangleAxes prepared;
  TriangleScreen screen;
  CornerCells corners;
  std::vector<std::uint8_t> exact;
  const std::vector<VertexCells> vertexCells = MeasureVertexCells(mesh.vertices, cellSizeMm, exact);

  for (std::size_t t = 0; t < mesh.triangles.size(); ++t) {
    if (t % kVoxelCheckpointTriangles == 0) {
      CheckpointStage(context, "voxel");
      if (progress) progress("voxel", progressBase + t, progressTotal);
    }
    const std::array<std::uint32_t, 3>& triangle = mesh.triangles[t];
    if (triangle[0] >= vertexCount || triangle[1] >= vertexCount || triangle[2] >= vertexCount) {
      throw std::out_of_range("voxelizer triangle index lies outside the mesh");
    }
    const PlPoint3& a = mesh.vertices[triangle[0]];
    const PlPoint3& b = mesh.vertices[triangle[1]];
    const PlPoint3& c = mesh.vertices[triangle[2]];

    const bool cornersExact =
        exact[triangle[0]] != 0 && exact[triangle[1]] != 0 && exact[triangle[2]] != 0;
    std::array<PlVoxelCellRange, 3> range{};
    if (cornersExact) {
      RangeFromVertexCells(vertexCells[triangle[0]], vertexCells[triangle[1]],
                           vertexCells[triangle[2]], range);
    } else {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        // Strict comparisons from the first corner, like every bounds fold.
        double lowest = a[axis];
        double highest = a[axis];
        if (b[axis] < lowest) lowest = b[axis];
        if (c[axis] < lowest) lowest = c[axis];
        if (b[axis] > highest) highest = b[axis];
        if (c[axis] > highest) highest = c[axis];
        range[axis] = CellRangeOf(lowest, highest, lattice);
      }
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
      if (range[axis].first < grid.lo[axis] || range[axis].last > grid.hi[axis]) {
        throw PlCadPrepError("invalid_voxel_bounds",
                             "triangle cell range escaped the vertex-derived grid", "voxel");
      }
    }

    // A triangle inside one closed cell touches it, so the test would keep it.
    // So would it keep both cells of a range two neighbours long when every
    // corner's cells are known: the corners' cells agree on the other axes, and
    // each end of the range comes from a corner. Most triangles are one of these.
    const std::uint64_t extraCells =
        std::uint64_t{range[0].count} + range[1].count + range[2].count - 3;
    if (extraCells == 0 || (extraCells == 1 && cornersExact)) {
      const auto pi = static_cast<std::uint64_t>(range[0].first - grid.lo[0]) + 1;
      const auto pj = static_cast<std::uint64_t>(range[1].first - grid.lo[1]) + 1;
      const auto pk = static_cast<std::uint64_t>(range[2].first - grid.lo[2]) + 1;
      const std::uint64_t base = ((pj * pnz) + pk) * pnx + pi;
      // The step to the second cell along its axis, in padded bits, in the
      // order the cell loop below visits them.
      const std::uint64_t step = range[0].count > 1 ? 1 : range[2].count > 1 ? pnx : pnz * pnx;
      for (std::uint64_t k = 0; k <= extraCells; ++k) {
        if (cellTests % kVoxelCheckpointCells == 0) CheckpointStage(context, "voxel");
        ++cellTests;
        PlVoxelSetBit(covered, base + k * step);
      }
      continue;
    }
    if (cornersExact) {
      CornerCellsFromVertexCells(
          {&vertexCells[triangle[0]], &vertexCells[triangle[1]], &vertexCells[triangle[2]]},
          corners);
    } else {
      const std::array<const PlPoint3*, 3> points = {&a, &b, &c};
      for (std::size_t v = 0; v < 3; ++v) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
          PlVoxelCellIndex cornerIndex;
          corners.known[v][axis] =
              TryExactCellIndex((*points[v])[axis], lattice, cornerIndex) == IndexStatus::ok;
          corners.index[v][axis] = cornerIndex.index;
          corners.onBoundary[v][axis] = cornerIndex.onBoundary;
        }
      }
    }
    bool axesPrepared = false;
    std::array<std::int64_t, 3> cell{};
    for (cell[1] = range[1].first; cell[1] <= range[1].last; ++cell[1]) {
      const auto pj = static_cast<std::uint64_t>(cell[1] - grid.lo[1]) + 1;
      for (cell[2] = range[2].first; cell[2] <= range[2].last; ++cell[2]) {
        const auto pk = static_cast<std::uint64_t>(cell[2] - grid.lo[2]) + 1;
        const std::uint64_t rowBase = ((pj * pnz) + pk) * pnx;
        for (cell[0] = range[0].first; cell[0] <= range[0].last; ++cell[0]) {
          if (cellTests % kVoxelCheckpointCells == 0) CheckpointStage(context, "voxel");
          ++cellTests;
          bool overlaps = CellHoldsCorner(corners, cell);
          if (!overlaps) {
            if (!axesPrepared) {
              PrepareTriangleAxes(a, b, c, halfExtent, prepared);
              PrepareTriangleScreen({&a, &b, &c}, prepared, range, cellSize, screen);
              axesPrepared = true;
            }
            const ScreenVerdict verdict = ScreenCell(screen, cell, cellSize);
            overlaps = verdict == ScreenVerdict::overlaps ||
                       (verdict == ScreenVerdict::undecided &&
                        MayOverlapCell(a, b, c, prepared, cell, cellSize));
          }
          if (overlaps) {
            const auto pi = static_cast<std::uint64_t>(cell[0] - grid.lo[0]) + 1;
            PlVoxelSetBit(covered, rowBase + pi);
          }
        }
      }
    }
  }
}
