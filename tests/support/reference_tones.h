// The tone bank computed the plain way, two sines per sample per row: with the bank's own sine,
// to check the fast build against; with the C library's, as the baseline of the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/rounding.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"

namespace testsupport {

// Rows 0..16 in one zeroed vector, as anyone would first write it.
template <typename Sine>
std::vector<int16_t> PlainToneBank(float tone_duration, const synth::SlopeEnvelope& slope,
                                   Sine sine) {
  const int32_t top = slope.SlopeLength();
  const int32_t hold = synth::HoldSamplesFor(tone_duration, top);
  const int32_t block = 2 * top + 2 * hold + 2;
  const std::vector<float>& table = slope.SlopeTable();
  std::vector<int16_t> bank(static_cast<size_t>(block) * 17, 0);
  int k = 0;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      ++k;
      double row_phase = 0, col_phase = 0;
      const double row_step = (synth::kTwoPi / 11025) * synth::RowFreq[r];
      const double col_step = (synth::kTwoPi / 11025) * synth::ColFreq[c];
      int16_t* out = bank.data() + static_cast<size_t>(k) * block;
      int32_t s = 0;
      auto put = [&](float envelope) {
        row_phase += row_step;
        if (row_phase > synth::kPhaseWrap) row_phase -= synth::kPhaseWrap;
        col_phase += col_step;
        if (col_phase > synth::kPhaseWrap) col_phase -= synth::kPhaseWrap;
        out[s++] =
            runtime::CInt(static_cast<double>(envelope) * (sine(row_phase) + sine(col_phase)));
      };
      for (int32_t i = 0; i <= top; ++i) put(table[i]);
      for (int32_t i = 0; i < hold; ++i) put(table[top]);
      for (int32_t i = top; i >= 0; --i) put(table[i]);
    }
  }
  return bank;
}

// With the bank's own sine.
std::vector<int16_t> ReferenceToneBank(float tone_duration, const synth::SlopeEnvelope& slope);

}  // namespace testsupport
