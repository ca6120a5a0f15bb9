// Full tone-bank rebuild (envelope + bank) against the plain two-sines-per-row loop.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/support/reference_tones.h"

namespace {

void Rebuild(benchmark::State& state) {
  const float tone_time = static_cast<float>(state.range(0));
  synth::ToneBank bank;
  for (auto _ : state) {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    benchmark::DoNotOptimize(synth::GenTones(tone_time, slope, bank));
  }
}

void RebuildPlain(benchmark::State& state) {
  const float tone_time = static_cast<float>(state.range(0));
  for (auto _ : state) {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    benchmark::DoNotOptimize(testsupport::ReferenceToneBank(tone_time, slope));
  }
}

BENCHMARK(Rebuild)->Arg(40)->Arg(2000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(RebuildPlain)->Arg(40)->Arg(2000)->Arg(30000)->Unit(benchmark::kMillisecond);

template <typename F>
double BestSeconds(F&& f, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count());
  }
  return best;
}

void PrintRatios() {
  std::printf("\nrebuild speed-up over the plain loop (best of runs):\n");
  for (int tone_time : {40, 2000, 30000}) {
    const int runs = tone_time == 30000 ? 3 : 20;
    synth::ToneBank bank;
    const double fast = BestSeconds(
        [&] {
          const auto slope = synth::SlopeEnvelope::Standard();
          synth::GenTones(static_cast<float>(tone_time), slope, bank);
        },
        runs);
    const double plain = BestSeconds(
        [&] {
          const auto slope = synth::SlopeEnvelope::Standard();
          benchmark::DoNotOptimize(
              testsupport::ReferenceToneBank(static_cast<float>(tone_time), slope));
        },
        runs);
    std::printf("  %5d ms: fast %9.3f ms, plain %9.3f ms, ratio %.2fx\n", tone_time, fast * 1e3,
                plain * 1e3, plain / fast);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatios();
  return 0;
}
