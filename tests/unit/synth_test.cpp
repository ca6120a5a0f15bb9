#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/support/reference_tones.h"

namespace {

TEST(SlopeFilter, BuiltInCallFigures) {
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  EXPECT_EQ(slope.SlopeLength(), 220);  // 219.5 goes to the even 220
  ASSERT_EQ(slope.SlopeTable().size(), 221u);
  EXPECT_NEAR(slope.FilterLength1(), 91.16666666666667, 1e-12);
  EXPECT_NEAR(slope.FilterLength2(), 75.486, 1e-12);
  EXPECT_EQ(slope.FilterLength3(), 59);
  EXPECT_NEAR(slope.FilterNorm(), 406026.61, 0.01);

  const auto& t = slope.SlopeTable();
  EXPECT_NEAR(t[0], 0.040352035, 1e-9);
  const int multiples[] = {1, 4, 10, 20, 35, 56};
  for (int i = 1; i <= 5; ++i) EXPECT_NEAR(t[i] / t[0], multiples[i], 1e-5) << i;
  EXPECT_NEAR(t[110], 8044.42, 0.005);
  EXPECT_NEAR(t[111], 8204.34, 0.005);
  EXPECT_EQ(t[220], 16248.6025390625f);
  EXPECT_TRUE(std::is_sorted(t.begin(), t.end()));
  EXPECT_LT(t.back(), 16384.0f);
}

TEST(SlopeFilter, TwoMoreStepsReachTheFullLevel) {
  synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  const float step = static_cast<float>(16384 / slope.FilterNorm());
  slope.SlopeFilter(step);
  const float settled = slope.SlopeFilter(step);
  EXPECT_NEAR(settled, 16248.76, 0.005);
  EXPECT_EQ(slope.SlopeFilter(step), settled);
}

TEST(SlopeFilter, ShortSlopeIsClampedAndSettles) {
  synth::SlopeEnvelope slope;
  int32_t time = 5;
  slope.InitSlopeFilter(time);
  EXPECT_EQ(time, 10);  // written back
  EXPECT_EQ(slope.SlopeLength(), 109);
  // Cycled lengths 44, 37 and 29.
  EXPECT_EQ(std::floor(slope.FilterLength1()), 44);
  EXPECT_EQ(std::floor(slope.FilterLength2()), 37);
  EXPECT_EQ(slope.FilterLength3(), 29);
  const int16_t magnitude = 16384;
  slope.CalcSlope(magnitude);
  const auto& t = slope.SlopeTable();
  ASSERT_EQ(t.size(), 110u);
  EXPECT_NEAR(t[107], 15967.23, 0.005);
  EXPECT_LT(t[106], t[107]);
  for (size_t i = 107; i < t.size(); ++i) EXPECT_EQ(t[i], t[107]) << i;
}

TEST(SlopeFilter, LongSlopeIsClamped) {
  synth::SlopeEnvelope slope;
  int32_t time = 40000;
  slope.InitSlopeFilter(time);
  EXPECT_EQ(time, 30000);
  EXPECT_EQ(slope.SlopeLength(), 330749);
  EXPECT_EQ(std::floor(slope.FilterLength1()), 137811);
  EXPECT_EQ(std::floor(slope.FilterLength2()), 114107);
  EXPECT_EQ(slope.FilterLength3(), 88613);
}

struct BlockCase {
  float tone_time;
  int32_t block_samples;
};

TEST(ToneBank, BlockSizes) {
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  const BlockCase cases[] = {{40, 882},   {20, 442},     {10, 442},      {0, 442},
                             {100, 2206}, {2000, 44100}, {30000, 661500}};
  for (const auto& c : cases) {
    synth::ToneBank bank;
    EXPECT_EQ(synth::GenTones(c.tone_time, slope, bank), c.block_samples) << c.tone_time;
    EXPECT_EQ(bank.Samples().size(), 17u * c.block_samples);
  }
  EXPECT_EQ(synth::HoldSamplesFor(40, 220), 220);
  EXPECT_EQ(synth::HoldSamplesFor(30000, 220), 330529);
}

TEST(ToneBank, FortyMillisecondRows) {
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  synth::ToneBank bank;
  ASSERT_EQ(synth::GenTones(40, slope, bank), 882);
  for (int16_t s : bank.Row(0)) ASSERT_EQ(s, 0);

  const auto one = bank.Row(1);
  const int16_t first[] = {0, 0, 1, 1, 1, 0, -2, -4};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(one[i], first[i]) << i;
  for (int k = 1; k <= 16; ++k) {
    const auto row = bank.Row(k);
    EXPECT_EQ(row[661], 0) << "last fall sample of tone " << k;
    for (int i = 662; i < 882; ++i) ASSERT_EQ(row[i], 0) << "break of tone " << k;
  }
  int peak = 0;
  for (int16_t s : bank.Samples()) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_EQ(peak, 32450);
}

TEST(ToneBank, LargestSampleOfLongTones) {
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  synth::ToneBank bank;
  synth::GenTones(2000, slope, bank);
  int peak = 0;
  for (int16_t s : bank.Samples()) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_EQ(peak, 32497);
}

TEST(ToneBank, PhaseWrapKeepsTheWaveformContinuous) {
  // At 42 ms the 1633 Hz phase (tone "D", row 16) passes one hundred turns at sample 675.
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  synth::ToneBank bank;
  synth::GenTones(42, slope, bank);
  const auto d = bank.Row(16);
  const auto& table = slope.SlopeTable();
  const int32_t hold = synth::HoldSamplesFor(42, 220);
  const double row_step = (synth::kTwoPi / 11025) * 941;
  const double col_step = (synth::kTwoPi / 11025) * 1633;
  EXPECT_LE(675 * col_step, synth::kPhaseWrap);
  EXPECT_GT(676 * col_step, synth::kPhaseWrap);
  for (int32_t s = 660; s < 684; ++s) {  // 684 samples of tone at 42 ms
    const int32_t fall = 221 + hold;
    const double env = table[s - fall <= 220 ? 220 - (s - fall) : 0];
    const double unwrapped = env * (std::sin((s + 1) * row_step) + std::sin((s + 1) * col_step));
    EXPECT_NEAR(d[s], unwrapped, 1.0) << s;
  }
}

TEST(ToneBank, FastBuildIsBitIdenticalToThePlainLoop) {
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  // One bank throughout: after the longest tone, each build reuses storage full of old samples.
  synth::ToneBank bank;
  for (float tone_time : {30000.0f, 20.0f, 40.0f, 40.5f, 42.0f, 100.0f, 777.7f, 2000.0f}) {
    synth::GenTones(tone_time, slope, bank);
    const std::vector<int16_t> reference = testsupport::ReferenceToneBank(tone_time, slope);
    ASSERT_TRUE(std::equal(reference.begin(), reference.end(), bank.Samples().begin(),
                           bank.Samples().end()))
        << "tone time " << tone_time;
  }
}

}  // namespace
