#include "tests/support/reference_tones.h"

#include "runtime/rounding.h"
#include "synth/sine.h"
#include "synth/tone_bank.h"

namespace testsupport {

std::vector<int16_t> ReferenceToneBank(float tone_duration, const synth::SlopeEnvelope& slope) {
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
        out[s++] = runtime::CInt(static_cast<double>(envelope) *
                                 (synth::Sine(row_phase) + synth::Sine(col_phase)));
      };
      for (int32_t i = 0; i <= top; ++i) put(table[i]);
      for (int32_t i = 0; i < hold; ++i) put(table[top]);
      for (int32_t i = top; i >= 0; --i) put(table[i]);
    }
  }
  return bank;
}

}  // namespace testsupport
