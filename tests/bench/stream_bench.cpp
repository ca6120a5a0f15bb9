// Streams tone blocks through the output module on a real device (pulse, the default: the sound
// server's own; sdl: SDL2) for a while, paced by its own notifications as the dialer paces them,
// and prints how late the notifications reach the window's thread against the 660-byte (about
// 30 ms) lead, how often a half was heard again because it was not rewritten in time, and the
// server's own count of underflows. Run it with a sound server, e.g. through
// tests/bench/stream_bench.sh, which starts a private PulseAudio null sink, records it and
// counts the blocks heard wrong.
//
//   stream_bench [DEVICE OPTIONS] [--seconds S] [--tone-time MS] [--load THREADS]
//                [--expected FILE]
//
// (DEVICE OPTIONS: tests/support/device_choice.h)
//
// --load adds busy threads at normal priority beside the window's thread; --expected writes what
// should be heard, for stream_check verify.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/output.h"
#include "runtime/error.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/audio/block_streamer.h"
#include "tests/audio/main_thread_dispatcher.h"
#include "tests/support/device_choice.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when each call was posted (on the audio thread) and when it starts on the window's.
class TimedDispatcher final : public runtime::Dispatcher {
 public:
  explicit TimedDispatcher(testsupport::MainThreadDispatcher& inner) : inner_(inner) {
    delays_ms_.reserve(1 << 16);
  }
  void Post(std::function<void()> call) override {
    const auto posted = Clock::now();
    inner_.Post([this, posted, call = std::move(call)] {
      delays_ms_.push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
      call();
    });
  }
  std::vector<double>& delays_ms() { return delays_ms_; }

 private:
  testsupport::MainThreadDispatcher& inner_;
  std::vector<double> delays_ms_;  // touched on the window's thread only
};

double Percentile(const std::vector<double>& sorted, double p) {
  const size_t rank = static_cast<size_t>(p / 100 * static_cast<double>(sorted.size()) + 0.999999);
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  float tone_time = 40;
  int load = 0;
  std::string expected_path;
  testsupport::DeviceChoice choice;
  if (!choice.Parse(argc, argv)) return 2;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = i + 1 < argc ? argv[i] : "";
    if (flag == "--expected") {
      expected_path = argv[i + 1];
    } else if (flag == "--seconds") {
      seconds = std::stod(argv[i + 1]);
    } else if (flag == "--tone-time") {
      tone_time = std::stof(argv[i + 1]);
    } else if (flag == "--load") {
      load = std::stoi(argv[i + 1]);
    } else {
      std::cerr << "usage: stream_bench [DEVICE OPTIONS] [--seconds S] [--tone-time MS]"
                   " [--load THREADS] [--expected FILE]\n";
      return 2;
    }
  }

  std::atomic<bool> busy{true};
  std::vector<std::thread> spinners;
  for (int i = 0; i < load; ++i) {
    spinners.emplace_back([&busy] {
      volatile uint64_t n = 0;
      while (busy.load(std::memory_order_relaxed)) n = n + 1;
    });
  }

  testsupport::MainThreadDispatcher window_thread;
  TimedDispatcher dispatcher(window_thread);
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  synth::ToneBank bank;
  const int32_t block = synth::GenTones(tone_time, slope, bank);
  const auto blocks = static_cast<size_t>(seconds * synth::kSampleRate / block);
  std::vector<int16_t> tones;
  for (size_t i = 0; i < std::max<size_t>(blocks, 1); ++i) {
    tones.push_back(static_cast<int16_t>(1 + i % 16));
  }

  testsupport::BlockStreamer streamer(tones);
  audio::PlayDX8Module output([&] { return choice.Open(dispatcher); }, [] { return int16_t{1}; },
                              [] { return runtime::WindowHandle{}; }, streamer);
  int status = 0;
  try {
    output.InstallToneBank(tone_time, slope);
    const auto begun = Clock::now();
    streamer.Start(output);
    const bool finished =
        window_thread.RunUntil([&] { return streamer.finished(); },
                               begun + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(2 * seconds + 5)));
    const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
    const audio::MixStats stats = choice.Mix();

    std::vector<double> delays = dispatcher.delays_ms();
    std::sort(delays.begin(), delays.end());
    const double lead_ms = 1000.0 * audio::kNotifyLead / 2 / synth::kSampleRate;
    std::cout << std::fixed << std::setprecision(3);
    std::cout << "stream: " << tones.size() << " blocks of " << block << " samples (tone time "
              << tone_time << " ms) in " << elapsed << " s, " << load << " busy threads"
              << (finished ? "" : ", DID NOT FINISH") << "\n";
    if (!delays.empty()) {
      std::cout << "notification delay, audio callback to window handler (" << delays.size()
                << " notifications): median " << Percentile(delays, 50) << " ms, 99th percentile "
                << Percentile(delays, 99) << " ms, max " << delays.back() << " ms; lead " << lead_ms
                << " ms\n";
    }
    std::cout << "late refills: " << stats.late_refills << " (" << stats.renders << " renders, "
              << stats.frames << " frames)\n";
    std::cout << "holes counted: " << choice.Holes() << "; " << choice.Describe() << "\n";
    if (!expected_path.empty() && !testsupport::WriteExpected(expected_path, output, tones)) {
      std::cerr << "stream_bench: cannot write " << expected_path << "\n";
      status = 1;
    }
    if (!finished) status = 1;
  } catch (const runtime::Error& e) {
    std::cerr << "stream_bench: " << e.description() << "\n";
    status = 1;
  }
  busy = false;
  for (std::thread& t : spinners) t.join();
  return status;
}
