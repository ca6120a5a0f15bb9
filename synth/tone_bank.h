// The 17 pre-computed tone blocks: row 0 silence, rows 1..16 the keypad's DTMF pairs, each a tone
// shaped by the slope envelope followed by a break of equal length.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "runtime/large_array.h"
#include "synth/sample_rate.h"
#include "synth/slope_filter.h"

namespace synth {

inline constexpr int kToneCount = 17;  // tone numbers 0..16
inline constexpr std::array<int32_t, 4> RowFreq = {697, 770, 852, 941};
inline constexpr std::array<int32_t, 4> ColFreq = {1209, 1336, 1477, 1633};
// One hundred turns, to 15 significant digits: where a phase wraps.
inline constexpr double kPhaseWrap = 628.318530717959;
inline constexpr double kTwoPi = 6.28318530717959;

// One contiguous allocation of 17 rows of BlockSamples samples, rows contiguous.
class ToneBank {
 public:
  int32_t BlockSamples() const { return block_samples_; }
  std::span<const int16_t> Row(int tone_number) const {
    return {samples_.get() + static_cast<size_t>(tone_number) * block_samples_,
            static_cast<size_t>(block_samples_)};
  }
  std::span<const int16_t> Samples() const {
    return {samples_.get(), static_cast<size_t>(block_samples_) * kToneCount};
  }

  // Makes room for a bank of the given block size, in the storage it has when that is large
  // enough. Nothing is cleared: GenTones writes every sample. Out of memory leaves it empty.
  void Allocate(int32_t block_samples);
  std::span<int16_t> MutableRow(int tone_number) {
    return {samples_.get() + static_cast<size_t>(tone_number) * block_samples_,
            static_cast<size_t>(block_samples_)};
  }

 private:
  runtime::LargeArray<int16_t> samples_;
  size_t capacity_ = 0;
  int32_t block_samples_ = 0;
};

// Samples at full envelope level in each tone (the break has as many); 0 when the tone time is
// shorter than the two edges.
int32_t HoldSamplesFor(float ToneDuration, int32_t SlopeLength);

// Rebuilds the bank for a tone time in ms and returns BlockSamples. Needs the envelope computed.
// A failure (out of memory, a thread that cannot start) leaves the bank empty.
int32_t GenTones(const float& ToneDuration, const SlopeEnvelope& slope, ToneBank& bank);

}  // namespace synth
