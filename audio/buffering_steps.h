// How much a device keeps between the window and the listener, as it learns the machine: one step
// up whenever the output ran dry (a hole the listener heard), and one step back down each time it
// has stayed whole for a quiet period, so that one bad minute does not cost the rest of the
// session. A step down that is followed by a hole within the quiet period was one too many: the
// wait before the next step down from there doubles (up to 32 quiet periods), so a machine that
// needs more buffering keeps it instead of trading latency for a hole again and again. Not
// thread-safe: a device calls it from its own thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace audio {

class BufferingSteps {
 public:
  using Clock = std::chrono::steady_clock;

  // `steps` rise from the base (steps[0]); they must outlive this object.
  BufferingSteps(std::span<const uint32_t> steps, Clock::duration quiet, bool adapt = true)
      : steps_(steps), quiet_(quiet), adapt_(adapt) {}

  uint32_t Now() const { return steps_[level_]; }
  uint32_t Base() const { return steps_[0]; }
  int64_t Ups() const { return ups_; }
  int64_t Downs() const { return downs_; }

  // A hole: true when the buffering went up a step.
  bool Hole(Clock::time_point now) {
    if (!adapt_) return false;
    if (since_down_ && now - last_change_ < quiet_ * backoff_) {
      backoff_ = backoff_ * 2 > kMostBackoff ? kMostBackoff : backoff_ * 2;
    }
    since_down_ = false;
    last_change_ = now;
    if (level_ + 1 >= steps_.size()) return false;
    ++level_;
    ++ups_;
    return true;
  }

  // Called now and then: true when the buffering came down a step.
  bool Tick(Clock::time_point now) {
    if (level_ == 0 || now - last_change_ < quiet_ * backoff_) return false;
    --level_;
    ++downs_;
    since_down_ = true;
    last_change_ = now;
    if (level_ == 0) backoff_ = 1;
    return true;
  }

 private:
  static constexpr int kMostBackoff = 32;

  std::span<const uint32_t> steps_;
  Clock::duration quiet_;
  bool adapt_;
  size_t level_ = 0;
  int backoff_ = 1;
  bool since_down_ = false;
  Clock::time_point last_change_{};
  int64_t ups_ = 0;
  int64_t downs_ = 0;
};

}  // namespace audio
