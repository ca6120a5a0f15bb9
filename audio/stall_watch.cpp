#include "audio/stall_watch.h"

#include <algorithm>

namespace audio {

StallWatch::StallWatch(const LoopMixer& mixer, LossReport& loss, std::function<bool()> gone)
    : mixer_(mixer), loss_(loss), gone_(std::move(gone)), thread_([this] { Run(); }) {}

StallWatch::~StallWatch() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void StallWatch::Run() {
  using Clock = std::chrono::steady_clock;
  int64_t seen = -1;
  Clock::time_point moved = Clock::now();
  std::unique_lock wait_lock(mutex_);
  while (!wake_.wait_for(wait_lock, std::chrono::milliseconds(20), [this] { return quit_; })) {
    const int64_t renders = mixer_.Stats().renders;
    const int32_t playing_bytes = mixer_.PlayingBytes();
    const Clock::time_point now = Clock::now();
    if (renders != seen) {
      seen = renders;
      moved = now;
    }
    // A playing buffer of N bytes holds N / 2 samples: two half-buffers.
    const auto two_halves =
        std::chrono::microseconds(int64_t{playing_bytes} / 2 * 1000000 / synth::kSampleRate);
    const bool stalled =
        playing_bytes > 0 && now - moved > std::max<Clock::duration>(two_halves, kHangAfter);
    if (stalled || gone_()) {
      loss_.Raise();
      return;
    }
  }
}

}  // namespace audio
