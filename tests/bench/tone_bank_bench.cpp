// The tone bank's rebuild (envelope + bank) against the plain loops anyone would write, two sines
// per sample per row: with the C library's sin, the speed anchor, and with the bank's own sine,
// which gives the same bits. Then the rebuild as the window makes it at 30000 ms.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/support/reference_tones.h"

namespace {

double LibmSine(double x) {
  return std::sin(x);
}

// The bank's rebuild, into storage kept from the run before, as the window's spare bank is.
void Rebuild(benchmark::State& state) {
  const float tone_time = static_cast<float>(state.range(0));
  synth::ToneBank bank;
  for (auto _ : state) {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    benchmark::DoNotOptimize(synth::GenTones(tone_time, slope, bank));
  }
}

void PlainLibmSine(benchmark::State& state) {
  const float tone_time = static_cast<float>(state.range(0));
  for (auto _ : state) {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    benchmark::DoNotOptimize(testsupport::PlainToneBank(tone_time, slope, LibmSine));
  }
}

void PlainOwnSine(benchmark::State& state) {
  const float tone_time = static_cast<float>(state.range(0));
  for (auto _ : state) {
    const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    benchmark::DoNotOptimize(testsupport::ReferenceToneBank(tone_time, slope));
  }
}

BENCHMARK(Rebuild)->Arg(40)->Arg(2000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainLibmSine)->Arg(40)->Arg(2000)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainOwnSine)->Arg(40)->Arg(2000)->Arg(30000)->Unit(benchmark::kMillisecond);

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
  std::printf("\nrebuild time / plain loop time, best of runs (C library sin: the anchor):\n");
  for (int tone_time : {40, 2000, 30000}) {
    const int runs = tone_time == 30000 ? 5 : 20;
    const float t = static_cast<float>(tone_time);
    synth::ToneBank bank;
    const double fast =
        BestSeconds([&] { synth::GenTones(t, synth::SlopeEnvelope::Standard(), bank); }, runs);
    const double libm = BestSeconds(
        [&] {
          benchmark::DoNotOptimize(
              testsupport::PlainToneBank(t, synth::SlopeEnvelope::Standard(), LibmSine));
        },
        runs);
    const double own = BestSeconds(
        [&] {
          benchmark::DoNotOptimize(
              testsupport::ReferenceToneBank(t, synth::SlopeEnvelope::Standard()));
        },
        runs);
    std::printf(
        "  %5d ms: rebuild %8.3f ms | C library sin %8.3f ms, ratio %.3f | own sine %8.3f ms, "
        "ratio %.3f\n",
        tone_time, fast * 1e3, libm * 1e3, fast / libm, own * 1e3, fast / own);
  }
}

// The rebuild as the window makes it: a key-up in the tone-time box that changes the value runs
// InitAll (envelope, bank into the spare storage, a new buffer) on the headless engine with the
// virtual device. The value alternates between 30000 and 29999 ms.
void PrintWindowRebuild() {
  forms::HeadlessBinding engine("");  // no settings: the window's initial values
  dialer::Form1 form(engine,
                     [&engine](runtime::Dispatcher& d) { return engine.OpenVirtualDevice(d); });
  form.UserLoad();
  std::vector<double> ms;
  std::vector<double> cpu_ms;  // of both threads: what the rebuild costs on a busy machine
  for (int i = 0; i < 33; ++i) {
    form.Text2.UserEdited(i % 2 == 0 ? u"30000" : u"29999");
    const auto t0 = std::chrono::steady_clock::now();
    const std::clock_t c0 = std::clock();
    form.Text2.UserKeyUp('0', 0);
    const std::clock_t c1 = std::clock();
    const std::chrono::duration<double, std::milli> d = std::chrono::steady_clock::now() - t0;
    if (i >= 2) {  // the first two make the bank and its spare
      ms.push_back(d.count());
      cpu_ms.push_back(1e3 * static_cast<double>(c1 - c0) / CLOCKS_PER_SEC);
    }
  }
  std::sort(ms.begin(), ms.end());
  std::sort(cpu_ms.begin(), cpu_ms.end());
  std::printf(
      "\nwindow rebuild at 30000 ms (tone-time key-up, headless engine), %zu key-ups:\n"
      "  median %.1f ms, best %.1f ms, worst %.1f ms; processor time, median %.1f ms\n",
      ms.size(), ms[ms.size() / 2], ms.front(), ms.back(), cpu_ms[cpu_ms.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatios();
  PrintWindowRebuild();
  return 0;
}
