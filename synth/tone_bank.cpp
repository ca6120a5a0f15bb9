#include "synth/tone_bank.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "synth/sine.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace synth {
namespace {

// Samples per chunk: the eight sine runs of one chunk stay in the first-level caches.
constexpr int32_t kChunk = 1024;
// Below this many tone samples a second thread costs more than it saves.
constexpr int32_t kThreadedFrom = 16384;

inline int16_t SampleOf(double value) {
#if defined(__SSE2__)
  // cvtsd2si rounds by the default mode (nearest, ties to even), like the rounding rule.
  const int32_t r = _mm_cvtsd_si32(_mm_set_sd(value));
  if (r < INT16_MIN || r > INT16_MAX) runtime::RaiseOverflow();
  return static_cast<int16_t>(r);
#else
  return runtime::CInt(value);
#endif
}

inline void Advance(double& phase, double step) {
  phase += step;
  if (phase > kPhaseWrap) phase -= kPhaseWrap;
}

struct Plan {
  int32_t slope_length;
  int32_t hold;
  int32_t tone_samples;  // rise + hold + fall
  const float* slope;
  std::array<double, 8> steps;  // four row frequencies, then four column frequencies
};

inline double Envelope(const Plan& p, int32_t s) {
  const int32_t top = p.slope_length;
  if (s <= top) return p.slope[s];
  const int32_t fall_start = top + 1 + p.hold;
  if (s < fall_start) return p.slope[top];
  return p.slope[top - (s - fall_start)];
}

// Fills samples [first, last) of every tone row. The phases of a frequency do not depend on the
// row it is paired with, so each chunk computes eight sine runs and combines them sixteen ways:
// the same bits as evaluating both sines per row, with a quarter of the sines.
void FillRange(const Plan& plan, std::array<double, 8> phase, int32_t first, int32_t last,
               ToneBank& bank) {
  std::vector<double> sines(8 * kChunk);
  std::vector<double> env(kChunk);
  for (int32_t start = first; start < last; start += kChunk) {
    const int32_t n = std::min(kChunk, last - start);
    for (int f = 0; f < 8; ++f) {
      double* out = &sines[f * kChunk];
      for (int32_t i = 0; i < n; ++i) {
        Advance(phase[f], plan.steps[f]);
        out[i] = Sine(phase[f]);
      }
    }
    for (int32_t i = 0; i < n; ++i) env[i] = Envelope(plan, start + i);
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        const double* row_sin = &sines[r * kChunk];
        const double* col_sin = &sines[(4 + c) * kChunk];
        int16_t* out = bank.MutableRow(r * 4 + c + 1).data() + start;
        for (int32_t i = 0; i < n; ++i) out[i] = SampleOf(env[i] * (row_sin[i] + col_sin[i]));
      }
    }
  }
}

}  // namespace

void ToneBank::Allocate(int32_t block_samples) {
  runtime::Allocating([&] {
    samples_.clear();
    samples_.shrink_to_fit();
    samples_.assign(static_cast<size_t>(block_samples) * kToneCount, 0);
  });
  block_samples_ = block_samples;
}

int32_t HoldSamplesFor(float ToneDuration, int32_t SlopeLength) {
  const int32_t hold =
      runtime::CLng(static_cast<double>(ToneDuration) * 11025 / 1000 - (SlopeLength + 1.0));
  return std::max(hold, 0);
}

int32_t GenTones(const float& ToneDuration, const SlopeEnvelope& slope, ToneBank& bank) {
  Plan plan{};
  plan.slope_length = slope.SlopeLength();
  plan.hold = HoldSamplesFor(ToneDuration, plan.slope_length);
  plan.tone_samples = 2 * (plan.slope_length + 1) + plan.hold;
  plan.slope = slope.SlopeTable().data();
  const double per_hz = kTwoPi / kSampleRate;
  for (int i = 0; i < 4; ++i) {
    plan.steps[i] = per_hz * RowFreq[i];
    plan.steps[4 + i] = per_hz * ColFreq[i];
  }
  const int32_t BlockSamples = 2 * plan.slope_length + 2 * plan.hold + 2;
  bank.Allocate(BlockSamples);

  const std::array<double, 8> start_phase{};
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (cores < 2 || plan.tone_samples < kThreadedFrom) {
    FillRange(plan, start_phase, 0, plan.tone_samples, bank);
    return BlockSamples;
  }

  // Two halves on two cores. The second half starts from the phases the first one reaches,
  // found by running the same additions ahead (cheap next to the sines).
  const int32_t split = plan.tone_samples / 2 / kChunk * kChunk;
  std::array<double, 8> mid_phase = start_phase;
  for (int32_t s = 0; s < split; ++s)
    for (int f = 0; f < 8; ++f) Advance(mid_phase[f], plan.steps[f]);

  std::exception_ptr failure;
  std::thread second([&] {
    try {
      FillRange(plan, mid_phase, split, plan.tone_samples, bank);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  try {
    FillRange(plan, start_phase, 0, split, bank);
  } catch (...) {
    second.join();
    throw;
  }
  second.join();
  if (failure) std::rethrow_exception(failure);
  return BlockSamples;
}

}  // namespace synth
