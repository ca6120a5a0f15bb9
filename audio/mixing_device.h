// What the devices that mix in software on an output of another's (a sound server's, SDL's) share:
// their events, their mixer, their loss report and the watchdog that raises it, and the calls of
// the device interface that are the same for all of them.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/loop_mixer.h"
#include "audio/stall_watch.h"

namespace audio {

class MixingDevice : public SoundDevice {
 public:
  // Such an output is not tied to a window: any window may use it.
  void SetCooperativeLevel(runtime::WindowHandle, int32_t) override {}
  // The output never reads the events: a buffer's notifications carry their sinks.
  EventHandle CreateEvent(EventSink& sink) override { return events_.Add(sink); }
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override {
    return mixer_.CreateBuffer(desc, events_);
  }
  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }

 protected:
  // `started`: as LoopMixer's.
  explicit MixingDevice(runtime::Dispatcher& dispatcher, std::function<void()> started = {})
      : mixer_(dispatcher, std::move(started)), loss_(dispatcher) {}
  // Once the output runs: the loss is raised when `gone` says it went away, or when it stops
  // asking for samples while a buffer plays (StallWatch).
  void StartWatching(std::function<bool()> gone) { watch_.emplace(mixer_, loss_, std::move(gone)); }
  // First thing in a device's destructor, before what `gone` reads goes.
  void StopWatching() { watch_.reset(); }

  EventTable events_;  // the window's thread only
  LoopMixer mixer_;
  LossReport loss_;

 private:
  std::optional<StallWatch> watch_;
};

}  // namespace audio
