#include "synth/sine.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

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

constexpr DD TwoProd(double a, double b) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  const double p = a * b;
  const double ca = kSplitter * a;
  const double ah = ca - (ca - a);
  const double al = a - ah;
  const double cb = kSplitter * b;
  const double bh = cb - (cb - b);
  const double bl = b - bh;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
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
inline double RoundToInteger(double v) {
  constexpr double kShifter = 0x1.8p52;
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

}  // namespace synth
