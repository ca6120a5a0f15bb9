#include "synth/tone_bank.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "synth/lanes.h"
#include "synth/sine.h"

namespace synth {
namespace {

// Samples per chunk: the chunk's eight sine runs (16 KB) stay in the first-level cache.
constexpr int32_t kChunk = 256;
// Below this many tone samples a second thread costs more than it saves.
constexpr int32_t kThreadedFrom = 16384;

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

// The samples envelope x (row sine + column sine) of a run, rounded to the nearest integer, ties
// to even, as the rounding rule does. Four at a time: adding 1.5 * 2^52 leaves the integer in the
// low bits of the sum, where integer arithmetic checks its range (a value beyond 2^51, infinite or
// NaN lands far outside it as well). Returns false if a sample is outside 16 bits.
bool Combine(const double* env, const double* row, const double* col, int32_t n, int16_t* out) {
  constexpr double kShifter = 0x1.8p52;
  constexpr int64_t kShifterBits = 0x4338000000000000;
  LaneInts outside{};
  int32_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    Lanes e, r, c;
    std::memcpy(&e, env + i, sizeof e);
    std::memcpy(&r, row + i, sizeof r);
    std::memcpy(&c, col + i, sizeof c);
    const LaneInts value = (LaneInts)(e * (r + c) + kShifter) - kShifterBits;
    outside |= (value + 32768) & ~int64_t{0xffff};
    const LaneSamples samples = __builtin_convertvector(value, LaneSamples);
    std::memcpy(out + i, &samples, sizeof samples);
  }
  bool in_range = true;
  for (int l = 0; l < kLanes; ++l) in_range &= outside[l] == 0;
  for (; i < n; ++i) {
    const double rounded = (env[i] * (row[i] + col[i]) + kShifter) - kShifter;
    in_range &= rounded >= INT16_MIN && rounded <= INT16_MAX;
    out[i] = static_cast<int16_t>(in_range ? rounded : 0);
  }
  return in_range;
}

// Writes tone samples [first, last) of every tone row, from the phases at `first`. The phases
// of a frequency do not depend on the row it is paired with, so each chunk computes eight sine
// runs and combines them sixteen ways: the same bits as both sines per row, a quarter of the sines.
void FillTones(const Plan& plan, std::array<double, 8> phase, int32_t first, int32_t last,
               ToneBank& bank) {
  alignas(32) double sines[8][kChunk];
  alignas(32) double env[kChunk];
  bool in_range = true;
  for (int32_t start = first; start < last; start += kChunk) {
    const int32_t n = std::min(kChunk, last - start);
    for (int32_t i = 0; i < n; ++i) {
      for (int f = 0; f < 8; ++f) {
        Advance(phase[f], plan.steps[f]);
        sines[f][i] = phase[f];
      }
    }
    for (auto& run : sines) Sines({run, static_cast<size_t>(n)});
    for (int32_t i = 0; i < n; ++i) env[i] = Envelope(plan, start + i);
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) {
        int16_t* out = bank.MutableRow(r * 4 + c + 1).data() + start;
        in_range &= Combine(env, sines[r], sines[4 + c], n, out);
      }
    }
  }
  if (!in_range) runtime::RaiseOverflow();
}

// Zeroes share `part` of `parts` of every silent stretch: row 0 and the break of each tone row.
void ClearSilence(const Plan& plan, int part, int parts, ToneBank& bank) {
  for (int k = 0; k < kToneCount; ++k) {
    const std::span<int16_t> row = bank.MutableRow(k);
    const std::span<int16_t> silence = row.subspan(k == 0 ? 0 : plan.tone_samples);
    const size_t size = silence.size();
    std::fill(silence.begin() + size * part / parts, silence.begin() + size * (part + 1) / parts,
              int16_t{0});
  }
}

void Fill(const Plan& plan, ToneBank& bank) {
  const std::array<double, 8> start_phase{};
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  if (cores < 2 || plan.tone_samples < kThreadedFrom) {
    FillTones(plan, start_phase, 0, plan.tone_samples, bank);
    ClearSilence(plan, 0, 1, bank);
    return;
  }

  // Two halves on two cores. The second half starts from the phases the first one reaches,
  // found by running the same additions ahead (cheap next to the sines).
  const int32_t split = plan.tone_samples / 2 / kChunk * kChunk;
  std::array<double, 8> mid_phase = start_phase;
  for (int32_t s = 0; s < split; ++s)
    for (int f = 0; f < 8; ++f) Advance(mid_phase[f], plan.steps[f]);

  std::exception_ptr failure;
  const auto second_half = [&] {
    try {
      FillTones(plan, mid_phase, split, plan.tone_samples, bank);
      ClearSilence(plan, 1, 2, bank);
    } catch (...) {
      failure = std::current_exception();
    }
  };
  std::thread second;
  try {
    second = runtime::Allocating([&] { return std::thread(second_half); });
  } catch (const std::system_error&) {
    runtime::RaiseOutOfMemory();
  }
  try {
    FillTones(plan, start_phase, 0, split, bank);
    ClearSilence(plan, 0, 2, bank);
  } catch (...) {
    second.join();
    throw;
  }
  second.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

void ToneBank::Allocate(int32_t block_samples) {
  const size_t size = static_cast<size_t>(block_samples) * kToneCount;
  if (size > capacity_) {
    // Free the old samples first, so that the two never take memory together.
    samples_.reset();
    capacity_ = 0;
    block_samples_ = 0;
    samples_ = runtime::MakeLargeArray<int16_t>(size);
    capacity_ = size;
  }
  block_samples_ = block_samples;
}

int32_t HoldSamplesFor(float ToneDuration, int32_t SlopeLength) {
  const int32_t hold =
      runtime::CLng(static_cast<double>(ToneDuration) * kSampleRate / 1000 - (SlopeLength + 1.0));
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
  try {
    Fill(plan, bank);
  } catch (...) {
    bank.Allocate(0);  // within its storage: cannot fail
    throw;
  }
  return BlockSamples;
}

}  // namespace synth
