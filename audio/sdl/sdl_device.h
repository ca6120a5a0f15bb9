// A sound device on SDL2 for real sound on Linux. One SDL audio device runs for the whole life of
// this object, pulling 128 frames at a time at 11025 Hz mono 16-bit (SDL converts when the
// hardware wants another format); the callback mixes every playing buffer and posts each passed
// notification through the dispatcher, so the window never sees the audio thread. A watchdog
// thread reports the device lost when SDL says it was removed, or when the callback has not run
// for longer than two half-buffers of a playing buffer.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/buffer_contract.h"
#include "audio/device.h"

namespace audio {

class SdlBuffer;

// What the audio callback has done so far.
struct SdlPlaybackStats {
  int64_t callbacks = 0;
  int64_t frames = 0;
  // Times the play cursor entered samples not written since they last played: a half the window
  // did not refill in time, heard again.
  int64_t underruns = 0;
};

// The one short lock between the window thread and the audio thread. While the real-time audio
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

class SdlSoundDevice final : public SoundDevice {
 public:
  static constexpr int32_t kCallbackFrames = 128;

  // Opens the default output; raises runtime::Error when no audio device can be opened. The
  // dispatcher must outlive the device, and every buffer must be released before the device.
  explicit SdlSoundDevice(runtime::Dispatcher& dispatcher);
  ~SdlSoundDevice() override;
  SdlSoundDevice(const SdlSoundDevice&) = delete;
  SdlSoundDevice& operator=(const SdlSoundDevice&) = delete;

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override;
  EventHandle CreateEvent(EventSink& sink) override;
  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override;
  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }

  SdlPlaybackStats Stats() const;

 private:
  friend class SdlBuffer;

  static void Callback(void* self, uint8_t* stream, int len);
  void Render(int16_t* out, int frames);
  // The watchdog thread: looks every 20 ms until the device is lost or destroyed.
  void Watch();

  runtime::Dispatcher& dispatcher_;
  uint32_t device_id_ = 0;
  // Shared by the callback's reads and the window thread's changes; held only for short copies.
  mutable PriorityInheritingMutex mutex_;
  EventTable events_;  // the window's thread only
  std::vector<SdlBuffer*> buffers_;
  SdlPlaybackStats stats_;
  // Notifications the callback passed, posted once the lock is released. Filled and emptied by
  // the callback only; its capacity is kept from call to call.
  std::vector<PassedNotification> due_;
  bool callback_scheduled_ = false;  // the callback's thread only
  LossReport loss_{dispatcher_};
  std::mutex watch_mutex_;
  std::condition_variable watch_wake_;
  bool watch_quit_ = false;  // under watch_mutex_
  std::thread watchdog_;
};

// The device as the output module's factory wants it.
std::unique_ptr<SoundDevice> OpenSdlDevice(runtime::Dispatcher& dispatcher);

}  // namespace audio
