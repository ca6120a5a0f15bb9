// A sound device that plays in virtual time: nothing happens until the clock is advanced, every
// sample that reaches the "speaker" is recorded with the volume applied, and each notification is
// posted at the exact sample at which the play position passes its offset.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"

namespace audio {

class VirtualBuffer;

class VirtualSoundDevice final : public SoundDevice {
 public:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

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
  void AdvanceTo(int64_t time);
  bool Playing() const;

  // Every sample that was played, in order (stretches with nothing playing are not recorded).
  const std::vector<int16_t>& Recording() const { return recording_; }
  int32_t CooperativeLevel() const { return cooperative_level_; }
  int EventsCreated() const { return events_.Count(); }
  int BuffersCreated() const { return buffers_created_; }
  // The buffer most recently created, for inspection by tests (null when none is alive).
  const VirtualBuffer* LastBuffer() const;
  // Expires with the device, for those that keep a view of it.
  std::weak_ptr<const bool> Life() const { return life_; }

 private:
  friend class VirtualBuffer;

  runtime::Dispatcher& dispatcher_;
  int64_t now_ = 0;
  int32_t cooperative_level_ = 0;
  int buffers_created_ = 0;
  EventTable events_;
  std::vector<VirtualBuffer*> buffers_;
  std::vector<int16_t> recording_;
  LossReport loss_{dispatcher_};
  std::shared_ptr<const bool> life_ = std::make_shared<const bool>(true);
};

class VirtualBuffer final : public ContractBuffer {
 public:
  VirtualBuffer(VirtualSoundDevice& device, const BufferDesc& desc);
  ~VirtualBuffer() override;

  bool playing() const { return playing_; }
  int32_t position() const { return position_; }  // bytes
  int32_t volume() const { return volume_; }
  const BufferDesc& desc() const { return desc_; }
  const std::vector<Notification>& notifications() const { return notifications_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  friend class VirtualSoundDevice;

  bool Playing() const override { return playing_; }
  void ApplyNotifications(std::vector<Notification> notifications) override;
  void ApplyVolume(int32_t volume) override;
  void Write(int32_t start, int32_t size, const void* source) override;
  void Start(bool looping) override;
  void Halt() override { playing_ = false; }
  void Clear() override;

  // Samples until the position next passes a notification offset or the end of a one-shot play.
  int64_t SamplesToNextStop() const;
  int16_t SampleAtPosition() const;
  // Moves one sample on; posts the notifications passed.
  void Step();

  VirtualSoundDevice& device_;
  BufferDesc desc_;
  std::vector<uint8_t> bytes_;
  std::vector<Notification> notifications_;
  int32_t volume_ = 0;
  double gain_ = 1.0;
  bool playing_ = false;
  bool looping_ = false;
  int32_t position_ = 0;
};

}  // namespace audio
