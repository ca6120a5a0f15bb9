#include "synth/sine.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "synth/lanes.h"

// Double-double arithmetic throughout: a value is hi + lo with |lo| at most half an ulp of hi.
// The exact products and sums below rely on every operation being rounded once, to double: the
// build disables contraction into fused multiply-adds and x87 arithmetic.
namespace synth {
namespace {

struct DD {
  double hi, lo;
};

constexpr DD TwoSum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// Needs |a| >= |b| (or a == 0).
constexpr DD FastTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

constexpr double kSplitter = 134217729.0;  // 2^27 + 1

// a as a head of 26 bits and a tail of 27: products of halves are exact.
constexpr DD Split(double a) {
  const double ca = kSplitter * a;
  const double ah = ca - (ca - a);
  return {ah, a - ah};
}

constexpr DD TwoProd(double a, double b) {
  const double p = a * b;
  const DD as = Split(a);
  const DD bs = Split(b);
  return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

constexpr DD Add(DD a, DD b) {
  DD s = TwoSum(a.hi, b.hi);
  const DD t = TwoSum(a.lo, b.lo);
  s = FastTwoSum(s.hi, s.lo + t.hi);
  return FastTwoSum(s.hi, s.lo + t.lo);
}

constexpr DD Mul(DD a, DD b) {
  const DD p = TwoProd(a.hi, b.hi);
  return FastTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// Division by a small integer, exact as a double.
constexpr DD Div(DD a, double b) {
  const double q = a.hi / b;
  const DD p = TwoProd(q, b);
  return FastTwoSum(q, (((a.hi - p.hi) - p.lo) + a.lo) / b);
}

constexpr DD OneMinus(DD a) {
  return Add({1.0, 0.0}, {-a.hi, -a.lo});
}

// Taylor series to about 2^-100 for |r| below 0.8, in nested form:
// sin r = r (1 - z/(2*3) (1 - z/(4*5) (1 - ...))), cos r = 1 - z/(1*2) (1 - z/(3*4) (...)).
constexpr int kSeriesTerms = 15;

constexpr DD SinSeries(DD r) {
  const DD z = Mul(r, r);
  DD t{1.0, 0.0};
  for (int n = kSeriesTerms; n >= 1; --n) t = OneMinus(Div(Mul(z, t), (2.0 * n) * (2.0 * n + 1)));
  return Mul(r, t);
}

constexpr DD CosSeries(DD r) {
  const DD z = Mul(r, r);
  DD t{1.0, 0.0};
  for (int n = kSeriesTerms; n >= 1; --n) t = OneMinus(Div(Mul(z, t), (2.0 * n - 1) * (2.0 * n)));
  return t;
}

// sin and cos at the points i/64 that the fast path expands around, computed by the compiler.
constexpr int kTableSteps = 64;
struct Point {
  DD sin, cos;
};
using PointTable = std::array<Point, 52>;  // up to 51/64, just past pi/4

constexpr PointTable MakePoints() {
  PointTable t{};
  for (int i = 0; i < static_cast<int>(t.size()); ++i) {
    const DD a{static_cast<double>(i) / kTableSteps, 0.0};
    t[i] = {SinSeries(a), CosSeries(a)};
  }
  return t;
}
constexpr PointTable kPoints = MakePoints();

// Nearest integer, ties to even, for |v| < 2^51: adding 1.5 * 2^52 leaves no fraction bits.
constexpr double kShifter = 0x1.8p52;
inline double RoundToInteger(double v) {
  return (v + kShifter) - kShifter;
}

// pi/2 in pieces of 33, 33 and 29 significant bits and a tail: k times a piece is exact for
// |k| < 2^20. Together they are pi/2 to 2^-160.
constexpr double kHalfPi1 = 0x1.921fb544p+0;
constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
constexpr double kHalfPi3 = 0x1.3198a2ep-69;
constexpr double kHalfPiTail = 0x1.b839a252049c1p-104;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kDomain = 0x1p20;

// x - k pi/2 as a double-double.
DD Reduce(double x, double k) {
  const double w = x - k * kHalfPi1;  // exact: the two are within a factor of two
  const DD s = TwoSum(w, -(k * kHalfPi2));
  const DD s3 = TwoSum(s.hi, -(k * kHalfPi3));
  return FastTwoSum(s3.hi, (s.lo + s3.lo) - k * kHalfPiTail);
}

// Bound on the fast path's relative error (the largest seen is below 2^-65); its result is used
// only when no value within the bound rounds differently.
constexpr double kFastError = 0x1p-62;

// sin(r) or cos(r) for 0 <= r <= about pi/4, rounded to nearest.
double Kernel(DD r, bool cosine) {
  const int i = static_cast<int>(RoundToInteger(r.hi * kTableSteps));
  const Point& p = kPoints[static_cast<size_t>(i)];
  // r = i/64 + d with |d| <= 1/128; dh is exact.
  const double dh = r.hi - static_cast<double>(i) / kTableSteps;
  const double dl = r.lo;
  const double d = dh + dl;
  const double z = d * d;
  const double cos_m1 = -z * (1.0 / 2 - z * (1.0 / 24 - z * (1.0 / 720 - z * (1.0 / 40320))));
  const double sin_md = -d * z * (1.0 / 6 - z * (1.0 / 120 - z * (1.0 / 5040 - z / 362880)));

  DD h;
  double t;
  if (cosine) {
    // cos(a + d) = C + C (cos d - 1) - S d - S (sin d - d)
    const DD sd = TwoProd(p.sin.hi, dh);
    h = TwoSum(p.cos.hi, -sd.hi);
    t = ((((-(p.sin.lo * dh) - p.sin.hi * dl) + p.cos.lo) - sd.lo) + h.lo) - p.sin.hi * sin_md +
        p.cos.hi * cos_m1;
  } else {
    // sin(a + d) = S + S (cos d - 1) + C d + C (sin d - d)
    const DD cd = TwoProd(p.cos.hi, dh);
    h = TwoSum(p.sin.hi, cd.hi);
    t = ((((p.cos.lo * dh + p.cos.hi * dl) + p.sin.lo) + cd.lo) + h.lo) + p.cos.hi * sin_md +
        p.sin.hi * cos_m1;
  }
  const DD y = TwoSum(h.hi, t);
  // The distance from y.hi to its neighbour towards zero, the nearer of its two neighbours.
  const double below = std::bit_cast<double>(std::bit_cast<uint64_t>(y.hi) - 1);
  const double gap = std::abs(y.hi - below);
  if (std::abs(y.lo) + kFastError * std::abs(y.hi) < gap / 2) return y.hi;

  // Too close to a rounding boundary for the fast path: the full series decides.
  return (cosine ? CosSeries(r) : SinSeries(r)).hi;
}

}  // namespace

double Sine(double x) {
  if (x == 0) return x;  // keeps the sign of a zero
  // Beyond the reduction's reach (infinities and NaN included), the C library's sine.
  if (!(std::abs(x) <= kDomain)) return std::sin(x);
  const double k = RoundToInteger(x * kTwoOverPi);
  DD r = Reduce(x, k);
  const auto quadrant = static_cast<int64_t>(k) & 3;
  const bool cosine = (quadrant & 1) != 0;
  bool negate = (quadrant & 2) != 0;
  if (r.hi < 0) {
    r = {-r.hi, -r.lo};
    if (!cosine) negate = !negate;
  }
  const double y = Kernel(r, cosine);
  return negate ? -y : y;
}

namespace {

// ---- The quick path over runs ----------------------------------------------------------------

// sin and cos of j pi/256 for j = 0..511, the whole circle, so that an argument reduces to a
// point and a remainder below pi/512 with no quadrant logic.
constexpr int kCircleSteps = 512;
struct CirclePoint {
  double sin_hi, sin_lo, cos_hi, cos_lo;
};
using CircleTable = std::array<CirclePoint, kCircleSteps>;

// pi/256 in the pieces of pi/2 (dividing by 128 is exact): k times each piece is exact for
// |k| < 2^17, which covers every argument up to kQuickDomain. The dropped tail costs 2^-93.
constexpr double kStep1 = kHalfPi1 / 128;
constexpr double kStep2 = kHalfPi2 / 128;
constexpr double kStep3 = kHalfPi3 / 128;
constexpr double kStepsPerRadian = kTwoOverPi * 128;
constexpr double kQuickDomain = 1024;

constexpr CircleTable MakeCircle() {
  const DD step = Add(Add({kStep1, 0.0}, {kStep2, 0.0}), {kStep3, 0.0});
  // The first octant by the series, the rest by symmetry.
  std::array<DD, 65> sines{}, cosines{};
  for (int m = 0; m <= 64; ++m) {
    const DD a = Mul({static_cast<double>(m), 0.0}, step);
    sines[m] = SinSeries(a);
    cosines[m] = CosSeries(a);
  }
  CircleTable t{};
  for (int j = 0; j < kCircleSteps; ++j) {
    const int m = j % 128;
    DD s = m <= 64 ? sines[m] : cosines[128 - m];
    DD c = m <= 64 ? cosines[m] : sines[128 - m];
    for (int quarter = 0; quarter < j / 128; ++quarter) {  // (sin, cos) -> (cos, -sin)
      const DD was = s;
      s = c;
      c = {-was.hi, -was.lo};
    }
    t[j] = {s.hi, s.lo, c.hi, c.lo};
  }
  return t;
}
constexpr CircleTable kCircle = MakeCircle();

// Bound on the quick path's absolute error, about three times what it adds up to. With
// |r| <= pi/512, cos r - 1 (at most 2^-15.7), evaluated from rh in double, is off by at most 2.5
// units of 2^-53 of it, 2^-67.4; its product with S and the last sum into t round by at most
// 2^-69 each; the series cut after r^6 and r^7 miss 2^-74; the rest adds up to less than 2^-73.
constexpr double kQuickError = 0x1p-65;

// Replaces four arguments with their sines; lanes the error bound cannot prove go through Sine.
void SineLanes(double* values) {
  Lanes x;
  std::memcpy(&x, values, sizeof x);
  // k = x / (pi/256) to the nearest integer; the shifted sum holds its low bits, which pick the
  // point (any bits, for arguments outside the domain: those lanes are not used).
  const Lanes shifted = x * kStepsPerRadian + kShifter;
  const Lanes k = shifted - kShifter;
  const LaneBits point = (LaneBits)shifted & (kCircleSteps - 1);
  Lanes sin_hi, sin_lo, cos_hi, cos_lo;
  for (int l = 0; l < kLanes; ++l) {
    const CirclePoint& p = kCircle[point[l]];
    sin_hi[l] = p.sin_hi;
    sin_lo[l] = p.sin_lo;
    cos_hi[l] = p.cos_hi;
    cos_lo[l] = p.cos_lo;
  }
  // r = x - k pi/256 = rh + rl; x - k kStep1 is exact (both are multiples of 2^-60 and the
  // difference is below 2^-7).
  const Lanes t1 = x - k * kStep1;
  const Lanes p2 = -(k * kStep2);
  const Lanes rh = t1 + p2;
  const Lanes rb = rh - t1;
  const Lanes rl = ((t1 - (rh - rb)) + (p2 - rb)) - k * kStep3;

  // sin(a + r) = S + C r + S (cos r - 1) + C (sin r - r); S + C rh exactly as hh + hl + pl.
  const Lanes rs = kSplitter * rh;
  const Lanes rh_head = rs - (rs - rh);
  const Lanes rh_tail = rh - rh_head;
  const Lanes cs = kSplitter * cos_hi;
  const Lanes cos_head = cs - (cs - cos_hi);
  const Lanes cos_tail = cos_hi - cos_head;
  const Lanes ph = cos_hi * rh;
  const Lanes pl =
      ((cos_head * rh_head - ph) + cos_head * rh_tail + cos_tail * rh_head) + cos_tail * rh_tail;
  const Lanes hh = sin_hi + ph;
  const Lanes hb = hh - sin_hi;
  const Lanes hl = (sin_hi - (hh - hb)) + (ph - hb);
  const Lanes z = rh * rh;
  const Lanes cos_m1 = -z * (1.0 / 2 - z * (1.0 / 24 - z * (1.0 / 720)));
  const Lanes sin_mr = -rh * z * (1.0 / 6 - z * (1.0 / 120 - z * (1.0 / 5040)));
  // Small terms first; the last one moves cos r - 1 from rh to rh + rl.
  const Lanes small = ((((hl + pl) + sin_lo) + cos_lo * rh) + cos_hi * rl) - sin_hi * (rh * rl);
  const Lanes t = sin_hi * cos_m1 + (cos_hi * sin_mr + small);
  const Lanes y = hh + t;
  const Lanes yb = y - hh;
  const Lanes y_lo = (hh - (y - yb)) + (t - yb);

  // y is the rounded sine when the true value, within kQuickError of y + y_lo, stays inside y's
  // rounding interval; the smaller half of that is half the gap to y's neighbour towards zero
  // (none for 0: the gap is NaN and the test fails).
  constexpr uint64_t kMagnitude = 0x7fffffffffffffff;
  const Lanes magnitude = (Lanes)((LaneBits)y & kMagnitude);
  const Lanes gap = magnitude - (Lanes)((LaneBits)magnitude - 1);
  const Lanes x_magnitude = (Lanes)((LaneBits)x & kMagnitude);
  const Lanes lo_magnitude = (Lanes)((LaneBits)y_lo & kMagnitude);
  const auto proven = (x_magnitude <= kQuickDomain) & (lo_magnitude + kQuickError < gap / 2);
  for (int l = 0; l < kLanes; ++l) values[l] = proven[l] ? y[l] : Sine(x[l]);
}

}  // namespace

void Sines(std::span<double> values) {
  size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) SineLanes(&values[i]);
  for (; i < values.size(); ++i) values[i] = Sine(values[i]);
}

}  // namespace synth
