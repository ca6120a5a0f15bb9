// The looping buffers of every device that mixes in software (virtual, PipeWire, PulseAudio, SDL2),
// and the mixing itself, in one place so that what reaches each device is the same to the bit. A
// device owns a LoopMixer and asks it for the next samples whenever its output wants them, from any
// thread; the mixer moves each playing buffer on, applies its volume and posts the notifications
// passed through the dispatcher once its lock is released.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"
#include "audio/realtime.h"

namespace audio {

// What the mixer has done so far.
struct MixStats {
  int64_t renders = 0;
  int64_t frames = 0;
  // Times a play position entered samples not written since they last played: a half the window
  // did not refill in time, heard again.
  int64_t late_refills = 0;
};

class LoopBuffer;

class LoopMixer {
 public:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

  // `started` runs on the caller's thread when a buffer starts playing while none did: a device
  // that keeps output queued ahead may bring it forward then. It may be empty.
  explicit LoopMixer(runtime::Dispatcher& dispatcher, std::function<void()> started = {});
  LoopMixer(const LoopMixer&) = delete;
  LoopMixer& operator=(const LoopMixer&) = delete;

  // The events must outlive the buffer, and every buffer must be released before the mixer.
  std::unique_ptr<LoopBuffer> CreateBuffer(const BufferDesc& desc, const EventTable& events);

  // Writes the next `frames` samples of all playing buffers, summed and clipped, into out.
  // Returns how many of them, at the end, no buffer played (all of them when none did).
  int Render(int16_t* out, int frames);
  // Samples until a playing buffer next passes a notification offset or ends a one-shot play;
  // with `notifying_only`, only buffers that have notifications count. kNever when none.
  int64_t SamplesToNextStop(bool notifying_only) const;
  bool Playing() const;
  // The size of the largest playing buffer, 0 when none plays.
  int32_t PlayingBytes() const;
  // The buffer most recently created of those alive, for inspection (null when none).
  const LoopBuffer* Newest() const;
  // Halts every buffer, as a device that went away does.
  void HaltAll();
  MixStats Stats() const;

 private:
  friend class LoopBuffer;

  bool PlayingLocked() const;

  runtime::Dispatcher& dispatcher_;
  const std::function<void()> started_;
  mutable PriorityInheritingMutex mutex_;
  std::vector<LoopBuffer*> buffers_;
  MixStats stats_;
  // Sums of one render; notifications it passed, posted once the lock is released. Only Render
  // uses them; their capacity is kept from call to call.
  std::vector<int32_t> sum_;
  std::vector<PassedNotification> due_;
};

class LoopBuffer final : public ContractBuffer {
 public:
  LoopBuffer(LoopMixer& mixer, const BufferDesc& desc, const EventTable& events);
  ~LoopBuffer() override;

  // For inspection.
  const BufferDesc& desc() const { return desc_; }
  bool playing() const;
  int32_t position() const;  // bytes
  int32_t volume() const;
  std::vector<Notification> notifications() const;
  std::vector<uint8_t> bytes() const;

 private:
  friend class LoopMixer;

  bool Playing() const override { return playing(); }
  void ApplyNotifications(std::vector<Notification> notifications) override;
  void ApplyVolume(int32_t volume) override;
  void Write(int32_t start, int32_t size, const void* source) override;
  void Start(bool looping) override;
  void Halt() override;
  void Clear() override;

  // The rest under the mixer's lock.
  // Adds the next `frames` samples into sum and moves the play position on; returns how many it
  // played (fewer when it stopped).
  int MixInto(int32_t* sum, int frames);
  int64_t SamplesToNextStop() const;

  LoopMixer& mixer_;
  const BufferDesc desc_;
  std::vector<uint8_t> bytes_;
  // Per sample: written since it last played.
  std::vector<uint8_t> fresh_;
  std::vector<Notification> notifications_;
  int32_t volume_ = 0;
  double gain_ = 1.0;
  bool playing_ = false;
  bool looping_ = false;
  bool in_stale_ = false;
  int32_t position_ = 0;
};

}  // namespace audio
