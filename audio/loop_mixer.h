// The looping buffers of every device that mixes in software (virtual, SDL2, PulseAudio), and the
// mixing itself, in one place so that what reaches each device is the same to the bit. A device
// owns a LoopMixer and asks it for the next samples whenever its output wants them, from any
// thread; the mixer moves each playing buffer on, applies its volume and posts the notifications
// passed through the dispatcher once its lock is released.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"

namespace audio {

// The one short lock between the window thread and an audio thread. While a real-time audio
// thread waits for it, its holder runs at the waiter's priority: without that, a busy machine
// could set the window thread aside in the middle of a copy and hold the audio thread up with it.
class PriorityInheritingMutex {
 public:
  PriorityInheritingMutex();
  ~PriorityInheritingMutex();
  PriorityInheritingMutex(const PriorityInheritingMutex&) = delete;
  PriorityInheritingMutex& operator=(const PriorityInheritingMutex&) = delete;
  void lock();
  void unlock();

 private:
  pthread_mutex_t mutex_;
};

// Asks for real-time scheduling for the calling thread. Measured here: with the audio thread at
// a raised normal priority, busy programs in other sessions delayed it into audible gaps;
// real-time it held. Where the system refuses, the thread keeps the priority it had.
void RaiseToRealTime();

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

// A watchdog thread for a device whose output runs on a thread it does not control: looks every
// 20 ms and raises the loss once `gone` says the output went away, or once a buffer plays but the
// mixer has not rendered for kHangAfter or two half-buffers of it, whichever is longer (a hung
// sound server). A busy machine keeps a sound server from asking for far longer than two short
// halves (80 ms at the default tone time): that is heard as a hole, and the stream goes on.
class StallWatch {
 public:
  static constexpr std::chrono::milliseconds kHangAfter{2000};

  StallWatch(const LoopMixer& mixer, LossReport& loss, std::function<bool()> gone);
  ~StallWatch();
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

 private:
  void Run();

  const LoopMixer& mixer_;
  LossReport& loss_;
  const std::function<bool()> gone_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;  // under mutex_
  std::thread thread_;
};

}  // namespace audio
