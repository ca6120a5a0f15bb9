#include "audio/paced_queue.h"

#include <algorithm>
#include <chrono>

#include "synth/sample_rate.h"

namespace audio {
namespace {

// The pacing thread wakes this often and mixes at most one and a half steps' worth.
constexpr auto kTick = std::chrono::milliseconds(5);
constexpr int64_t kStep = synth::kSampleRate * 5 / 1000 * 3 / 2;

}  // namespace

PacedQueue::PacedQueue(LoopMixer& mixer, int64_t depth, int64_t most)
    : mixer_(mixer),
      most_(std::max(depth, most)),
      depth_(depth),
      ring_(static_cast<size_t>(2 * most_ + kStep)) {
  std::lock_guard lock(mutex_);
  MixOnto(depth_);
}

PacedQueue::~PacedQueue() {
  {
    std::lock_guard lock(pace_mutex_);
    quit_ = true;
  }
  pace_wake_.notify_one();
  if (pacer_.joinable()) pacer_.join();
}

void PacedQueue::Start() {
  pacer_ = std::thread([this] { Pace(); });
}

void PacedQueue::SetDepth(int64_t depth) {
  std::lock_guard lock(mutex_);
  depth_ = std::min(depth, most_);
}

void PacedQueue::Pace() {
  RaiseToRealTime();
  auto next = std::chrono::steady_clock::now();
  std::unique_lock wait_lock(pace_mutex_);
  while (!pace_wake_.wait_until(wait_lock, next += kTick, [this] { return quit_; })) {
    // After the thread was held up, it goes on from now rather than mixing the time lost at once.
    next = std::max(next, std::chrono::steady_clock::now() - kTick);
    std::lock_guard lock(mutex_);
    const int64_t missing = depth_ - static_cast<int64_t>(queued_);
    if (missing > 0) MixOnto(std::min(missing, kStep));
  }
}

void PacedQueue::MixOnto(int64_t frames) {
  mixed_.resize(static_cast<size_t>(frames));
  const int idle = mixer_.Render(mixed_.data(), static_cast<int>(frames));
  idle_tail_ = idle == frames ? idle_tail_ + idle : idle;
  size_t at = (read_ + queued_) % ring_.size();
  for (const int16_t sample : mixed_) {
    ring_[at] = sample;
    at = at + 1 == ring_.size() ? 0 : at + 1;
  }
  queued_ += mixed_.size();
}

size_t PacedQueue::Take(int16_t* out, size_t frames) {
  std::lock_guard lock(mutex_);
  const size_t taken = std::min(frames, queued_);
  for (size_t i = 0; i < taken; ++i) {
    out[i] = ring_[read_];
    read_ = read_ + 1 == ring_.size() ? 0 : read_ + 1;
  }
  queued_ -= taken;
  idle_tail_ = std::min(idle_tail_, static_cast<int64_t>(queued_));
  std::fill(out + taken, out + frames, int16_t{0});
  return frames - taken;
}

// The queue's end is the silence mixed while no buffer played: the start replaces it, from as
// early as it can, and nothing a buffer played before (a stopped tone plays out its pause, so the
// pause before the new one is never shorter than the window's own). It mixes no further at once
// than one step past the buffer's first notification: the window then has the lead it has while
// the queue is kept up step by step.
bool PacedQueue::BringForward() {
  const int64_t to_notification = mixer_.SamplesToNextStop(true);
  std::lock_guard lock(mutex_);
  int64_t frames = std::min(idle_tail_, static_cast<int64_t>(queued_));
  if (to_notification != LoopMixer::kNever) frames = std::min(frames, to_notification + kStep);
  if (frames <= 0) return false;
  queued_ -= static_cast<size_t>(frames);
  idle_tail_ -= frames;
  MixOnto(frames);
  return true;
}

}  // namespace audio
