// synth::Sine, and synth::Sines over runs as the tone bank takes them, against a 113-bit reference
// (libquadmath) and against the C library's sin, on every phase the tone bank uses (those of the
// longest tone include all others) and on arguments across its range. The bank used the C
// library's sin before; the last test shows that the switch left every sample of every tone time
// as it was.
#include <gtest/gtest.h>
#include <quadmath.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "synth/sine.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"

namespace {

// The phases of one frequency as the bank steps them, up to the longest tone.
std::vector<double> Phases(int32_t hz, int32_t samples) {
  std::vector<double> phases(static_cast<size_t>(samples));
  const double step = (synth::kTwoPi / synth::kSampleRate) * hz;
  double phase = 0;
  for (double& p : phases) {
    phase += step;
    if (phase > synth::kPhaseWrap) phase -= synth::kPhaseWrap;
    p = phase;
  }
  return phases;
}

struct Bank {
  int32_t samples;
  std::vector<std::vector<double>> phases;  // rows, then columns
};

const Bank& LongestTone() {
  static const Bank bank = [] {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    const int32_t top = slope.SlopeLength();
    Bank b{2 * (top + 1) + synth::HoldSamplesFor(30000, top), {}};
    for (int32_t hz : synth::RowFreq) b.phases.push_back(Phases(hz, b.samples));
    for (int32_t hz : synth::ColFreq) b.phases.push_back(Phases(hz, b.samples));
    return b;
  }();
  return bank;
}

// sin(x) correctly rounded, or NaN when 113 bits cannot tell (never seen).
double Reference(double x) {
  const __float128 exact = sinq(static_cast<__float128>(x));
  const double nearest = static_cast<double>(exact);
  const double other = std::nextafter(nearest, exact > nearest ? INFINITY : -INFINITY);
  const __float128 midpoint = (static_cast<__float128>(nearest) + other) / 2;
  const __float128 margin = fabsq(exact) * static_cast<__float128>(0x1p-110);
  return fabsq(exact - midpoint) > margin ? nearest : NAN;
}

int64_t UlpsApart(double a, double b) {
  return std::bit_cast<int64_t>(a) - std::bit_cast<int64_t>(b);
}

// Sines of a list, as the bank takes them.
std::vector<double> Quick(std::vector<double> arguments) {
  synth::Sines(arguments);
  return arguments;
}

TEST(Sine, CorrectlyRoundedOnEveryPhaseOfTheBank) {
  size_t checked = 0;
  for (const std::vector<double>& phases : LongestTone().phases) {
    const std::vector<double> quick = Quick(phases);
    for (size_t i = 0; i < phases.size(); ++i) {
      const double p = phases[i];
      const double expected = Reference(p);
      ASSERT_FALSE(std::isnan(expected)) << std::hexfloat << p;
      ASSERT_EQ(synth::Sine(p), expected) << std::hexfloat << p;
      ASSERT_EQ(quick[i], expected) << std::hexfloat << p;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 8u * 330971u);
}

TEST(Sine, CorrectlyRoundedAcrossItsRange) {
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> wide(-0x1p20, 0x1p20);
  std::uniform_real_distribution<double> unit(-1, 1);
  std::vector<double> arguments;
  for (int i = 0; i < 200000; ++i) arguments.push_back(wide(random));
  for (int i = 0; i < 200000; ++i) arguments.push_back(std::ldexp(unit(random), -(i % 40)));
  // Doubles next to multiples of pi/2, where the reduction cancels most of the argument.
  const __float128 pi = strtoflt128("3.14159265358979323846264338327950288", nullptr);
  for (int k = 1; k < 2000; ++k) {
    const double near = static_cast<double>(k * pi / 2);
    arguments.push_back(near);
    arguments.push_back(std::nextafter(near, 0.0));
    arguments.push_back(-std::nextafter(near, INFINITY));
  }
  const std::vector<double> quick = Quick(arguments);
  for (size_t i = 0; i < arguments.size(); ++i) {
    const double x = arguments[i];
    const double expected = Reference(x);
    if (std::isnan(expected)) continue;
    ASSERT_EQ(synth::Sine(x), expected) << std::hexfloat << x;
    ASSERT_EQ(quick[i], expected) << std::hexfloat << x;
  }
}

TEST(Sine, EdgesOfItsDomain) {
  EXPECT_TRUE(std::signbit(synth::Sine(-0.0)));
  EXPECT_EQ(synth::Sine(0.0), 0.0);
  EXPECT_EQ(synth::Sine(0x1p-1000), 0x1p-1000);
  EXPECT_TRUE(std::isnan(synth::Sine(NAN)));
  EXPECT_TRUE(std::isnan(synth::Sine(INFINITY)));
  EXPECT_EQ(synth::Sine(1e10), std::sin(1e10));  // beyond 2^20 it is the C library's
  const std::vector<double> edges = {-0.0,     0.0,   0x1p-1000, NAN,
                                     INFINITY, -1e10, 1024,      -0x1.0000000000001p10};
  const std::vector<double> quick = Quick(edges);
  for (size_t i = 0; i < edges.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint64_t>(quick[i]), std::bit_cast<uint64_t>(synth::Sine(edges[i])))
        << edges[i];
  }
}

// Where the C library and Sine part, the C library is the one off, by one unit; and no sample of
// the bank at any tone time changes: each sample is an envelope value times the sum of a row sine
// and a column sine, so every pair that differs is tried with every envelope value.
TEST(Sine, TheBankIsWhatTheCLibraryGave) {
  const Bank& bank = LongestTone();
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  size_t differing = 0;
  std::vector<std::vector<bool>> differs(8, std::vector<bool>(bank.phases[0].size()));
  for (int f = 0; f < 8; ++f) {
    for (size_t s = 0; s < bank.phases[f].size(); ++s) {
      const double p = bank.phases[f][s];
      if (synth::Sine(p) == std::sin(p)) continue;
      ++differing;
      differs[f][s] = true;
      ASSERT_EQ(std::abs(UlpsApart(synth::Sine(p), std::sin(p))), 1) << std::hexfloat << p;
      ASSERT_EQ(synth::Sine(p), Reference(p)) << std::hexfloat << p;
    }
  }
  std::printf("the C library's sin is one unit off at %zu of %zu phases\n", differing,
              8 * bank.phases[0].size());
  for (size_t s = 0; s < bank.phases[0].size(); ++s) {
    for (int r = 0; r < 4; ++r) {
      for (int c = 4; c < 8; ++c) {
        if (!differs[r][s] && !differs[c][s]) continue;
        const double row = bank.phases[r][s];
        const double col = bank.phases[c][s];
        const double ours = synth::Sine(row) + synth::Sine(col);
        const double theirs = std::sin(row) + std::sin(col);
        for (float envelope : slope.SlopeTable()) {
          ASSERT_EQ(std::nearbyint(envelope * ours), std::nearbyint(envelope * theirs))
              << "sample " << s << ", row " << r << ", column " << c - 4;
        }
      }
    }
  }
}

}  // namespace
