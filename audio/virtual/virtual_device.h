// A sound device that plays in virtual time: nothing happens until the clock is advanced, every
// sample that reaches the "speaker" is recorded with the volume applied, and each notification is
// posted at the exact sample at which the play position passes its offset. Its clock counts
// samples; a runtime::ClockDriver (the headless window engine) may drive it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/loop_mixer.h"
#include "runtime/virtual_clock.h"

namespace audio {

class VirtualSoundDevice final : public SoundDevice, public runtime::VirtualClock {
 public:
  static_assert(kNever == LoopMixer::kNever);

  explicit VirtualSoundDevice(runtime::Dispatcher& dispatcher);
  ~VirtualSoundDevice() override;

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override;
  EventHandle CreateEvent(EventSink& sink) override;
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override;
  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }

  // Goes away as an unplugged device does: nothing plays any more, and the loss is reported.
  void Lose();

  // The clock, in samples since the device was made.
  int64_t Now() const { return now_; }
  // When the next notification of a playing buffer is due (kNever when none).
  int64_t NextNotification() const;
  // Plays up to sample time `time`, posting every notification due on the way.
  void AdvanceTo(int64_t time) override;
  bool Playing() const { return mixer_.Playing(); }

  // Every sample that was played, in order (stretches with nothing playing are not recorded).
  const std::vector<int16_t>& Recording() const { return recording_; }
  int32_t CooperativeLevel() const { return cooperative_level_; }
  int EventsCreated() const { return events_.Count(); }
  int BuffersCreated() const { return buffers_created_; }
  // The buffer most recently created, for inspection by tests (null when none is alive).
  const LoopBuffer* LastBuffer() const;
  // Expires with the device, for those that keep a view of it.
  std::weak_ptr<const bool> Life() const { return life_; }

 private:
  // The clock's events are the notifications, and it runs while a buffer plays.
  int64_t NextEvent() const override { return NextNotification(); }
  bool Running() const override { return Playing(); }

  int64_t now_ = 0;
  int32_t cooperative_level_ = 0;
  int buffers_created_ = 0;
  EventTable events_;
  LoopMixer mixer_;
  std::vector<int16_t> recording_;
  LossReport loss_;
  std::shared_ptr<const bool> life_ = std::make_shared<const bool>(true);
};

// A virtual device that `driver` drives from now on: a window's sound opener in virtual time.
std::unique_ptr<VirtualSoundDevice> OpenVirtualDevice(runtime::Dispatcher& dispatcher,
                                                      runtime::ClockDriver& driver);

}  // namespace audio
