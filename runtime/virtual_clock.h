// Virtual time, where nothing happens until a driver says so: the virtual sound device keeps such a
// clock, and the headless window engine drives it along with the window's timers and posted calls.
// Both use these, so they belong to neither.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

namespace runtime {

// Something that moves in virtual time, in whole steps of its own (a sound device's samples).
class VirtualClock {
 public:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

  // When its next event is due, in steps since it was made; kNever when none is.
  virtual int64_t NextEvent() const = 0;
  // Moves on to `time`, making every event due on the way (it posts them).
  virtual void AdvanceTo(int64_t time) = 0;
  // Whether it is still running towards events to come (a sound playing).
  virtual bool Running() const = 0;

 protected:
  ~VirtualClock() = default;
};

// What drives virtual clocks.
class ClockDriver {
 public:
  // Drives `clock` from the driver's present time on (the clock is moved there first), for as
  // long as `life` lasts.
  virtual void Drive(VirtualClock& clock, std::weak_ptr<const bool> life) = 0;

 protected:
  ~ClockDriver() = default;
};

}  // namespace runtime
