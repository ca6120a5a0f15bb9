// A sound device that plays in virtual time: nothing happens until the clock is advanced, every
// sample that reaches the "speaker" is recorded with the volume applied, and each notification is
// posted at the exact sample at which the play position passes its offset.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

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
  int EventsCreated() const { return static_cast<int>(sinks_.size()); }
  int BuffersCreated() const { return buffers_created_; }
  // The buffer most recently created, for inspection by tests (null when none is alive).
  const VirtualBuffer* LastBuffer() const;

 private:
  friend class VirtualBuffer;
  void Signal(const VirtualBuffer& buffer, EventHandle event);

  runtime::Dispatcher& dispatcher_;
  int64_t now_ = 0;
  int32_t cooperative_level_ = 0;
  int buffers_created_ = 0;
  std::vector<EventSink*> sinks_;
  std::vector<VirtualBuffer*> buffers_;
  std::vector<int16_t> recording_;
};

class VirtualBuffer final : public SoundBuffer {
 public:
  VirtualBuffer(VirtualSoundDevice& device, const BufferDesc& desc);
  ~VirtualBuffer() override;

  void SetNotificationPositions(std::span<const PositionNotify> positions) override;
  void SetVolume(int32_t volume) override;
  void WriteBuffer(int32_t start, int32_t size, const void* source) override;
  void Play(uint32_t flags) override;
  void Stop() override;
  void Renew() override;

  bool playing() const { return playing_; }
  int32_t position() const { return position_; }  // bytes
  int32_t volume() const { return volume_; }
  const BufferDesc& desc() const { return desc_; }
  const std::vector<PositionNotify>& notifications() const { return notifications_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  friend class VirtualSoundDevice;
  // Samples until the position next passes a notification offset or the end of a one-shot play.
  int64_t SamplesToNextStop() const;
  int16_t SampleAtPosition() const;
  // Moves one sample on; signals the notifications passed.
  void Step();

  VirtualSoundDevice& device_;
  BufferDesc desc_;
  std::vector<uint8_t> bytes_;
  std::vector<PositionNotify> notifications_;
  int32_t volume_ = 0;
  double gain_ = 1.0;
  bool playing_ = false;
  bool looping_ = false;
  int32_t position_ = 0;
  // Changes whenever the buffer stops or is renewed: notifications posted before that are stale.
  std::shared_ptr<uint64_t> generation_ = std::make_shared<uint64_t>(0);
};

}  // namespace audio
