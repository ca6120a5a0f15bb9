#include "dialer/forms/headless/headless.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace forms {

HeadlessBinding::HeadlessBinding(std::string program_folder) : folder_(std::move(program_folder)) {}

void HeadlessBinding::Drive(runtime::VirtualClock& clock, std::weak_ptr<const bool> life) {
  clock_ = &clock;
  clock_life_ = std::move(life);
  clock.AdvanceTo(now_ / kTicksPerSample);
}

void HeadlessBinding::ArmTimer(Timer& timer) {
  timers_[&timer] = {now_ + static_cast<int64_t>(timer.Interval()) * kTicksPerMs, arm_sequence_++};
}

void HeadlessBinding::DisarmTimer(Timer& timer) {
  timers_.erase(&timer);
}

bool HeadlessBinding::Idle() const {
  return posted_.empty() && timers_.empty() && !(Clock() && Clock()->Running());
}

bool HeadlessBinding::Step(int64_t limit) {
  if (!idle_.empty()) {
    auto call = std::move(idle_.front());
    idle_.pop_front();
    call();
    return true;
  }
  if (!posted_.empty()) {
    auto call = std::move(posted_.front());
    posted_.pop_front();
    call();
    return true;
  }
  constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
  Timer* due_timer = nullptr;
  std::pair<int64_t, uint64_t> due{kNever, 0};
  for (auto& [timer, when] : timers_) {
    if (when < due) {
      due = when;
      due_timer = timer;
    }
  }
  int64_t event = kNever;
  runtime::VirtualClock* clock = Clock();
  if (clock) {
    const int64_t sample = clock->NextEvent();
    if (sample != runtime::VirtualClock::kNever) event = sample * kTicksPerSample;
  }
  const int64_t next = std::min({due.first, event, limit});
  if (clock) clock->AdvanceTo(next / kTicksPerSample);
  now_ = std::max(now_, next);
  if (!posted_.empty()) return true;  // an event of the clock came due
  if (due_timer && due.first <= now_) {
    timers_[due_timer].first += static_cast<int64_t>(due_timer->Interval()) * kTicksPerMs;
    due_timer->UserTick();
    return true;
  }
  return now_ < limit;
}

void HeadlessBinding::RunFor(double ms) {
  const int64_t limit = now_ + std::llround(ms * kTicksPerMs);
  while (Step(limit)) {
  }
}

bool HeadlessBinding::RunUntil(const std::function<bool()>& done, double max_ms) {
  const int64_t limit = now_ + std::llround(max_ms * kTicksPerMs);
  while (!done()) {
    if (!Step(limit)) return done();
  }
  return true;
}

bool HeadlessBinding::RunUntilIdle(double max_ms) {
  return RunUntil([this] { return Idle(); }, max_ms);
}

}  // namespace forms
